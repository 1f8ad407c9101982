"""HTTPS on loopback: free 127.0.0.N addresses for port 443, certificates, the TLS server.

Shared by the web calendar stand-in and the transport tests' scripted fixture.
"""

import http.server
import os
import socketserver
import ssl
import subprocess

PORT = 443
CURVE = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]


class TlsThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Threaded HTTPS server; `context` is set before serving."""

    daemon_threads = True
    context = None

    def server_bind(self):  # without the base class's host-name lookup
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's thread: a refusing client blocks none.
        try:
            with self.context.wrap_socket(request, server_side=True) as secure:
                # Closed without close_notify: a cut-off body looks like a dropped connection.
                self.RequestHandlerClass(secure, client_address, self)
        except (OSError, ssl.SSLError):
            pass

    def handle_error(self, request, client_address):
        pass


def bind_https_servers(count, handler, server_class=TlsThreadingServer, address=None):
    """Binds `count` servers on free 127.0.0.N port 443 (or on `address` when given).

    Parallel test processes start at different N (by process id) and so land apart.
    """
    candidates = [address] if address else [
        "127.0.0.%d" % (2 + (os.getpid() % 253 + step) % 253) for step in range(253)]
    servers = []
    for candidate in candidates:
        server = server_class((candidate, PORT), handler, False)
        try:
            server.server_bind()
        except OSError:
            server.server_close()
            continue
        server.server_activate()
        servers.append(server)
        if len(servers) == count:
            return servers
    for server in servers:
        server.server_close()
    raise RuntimeError("no free loopback address for port %d" % PORT)


def _openssl(args, folder):
    subprocess.run(["openssl"] + args, check=True, cwd=folder, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def server_context(certificate, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    return context


def make_certificate(folder, addresses):
    """A throw-away self-signed certificate for *.nexora.example and the addresses."""
    names = ",".join(["DNS:*.nexora.example"] + ["IP:" + a for a in addresses])
    _openssl(["req", "-x509"] + CURVE + ["-keyout", "key.pem", "-out", "cert.pem", "-days", "2",
                                         "-subj", "/CN=www.nexora.example", "-addext",
                                         "subjectAltName=" + names], folder)
    certificate = os.path.join(folder, "cert.pem")
    return server_context(certificate, os.path.join(folder, "key.pem")), certificate


def _certificate_fits(folder, address):
    """Whether server.pem exists, names the address and stays valid for another day."""
    path = os.path.join(folder, "server.pem")
    if not os.path.exists(path) or not os.path.exists(os.path.join(folder, "server-key.pem")):
        return False
    result = subprocess.run(["openssl", "x509", "-in", path, "-noout", "-checkend", "86400",
                             "-ext", "subjectAltName"], cwd=folder, capture_output=True,
                            text=True)
    names = [n.strip() for n in result.stdout.replace("\n", ",").split(",")]
    return result.returncode == 0 and "IP Address:" + address in names


def make_authority_certificates(folder, address, host_names):
    """Keeps in `folder` a certificate authority (made once) and a server certificate it
    signed for the host names and the address (made again when the address is not in it).
    Keys are written with mode 0600. Returns (server TLS context, CA file path)."""
    old_mask = os.umask(0o077)
    try:
        ca = os.path.join(folder, "ca.pem")
        if not (os.path.exists(ca) and os.path.exists(os.path.join(folder, "ca-key.pem"))):
            _openssl(["req", "-x509"] + CURVE + [
                "-keyout", "ca-key.pem", "-out", "ca.pem", "-days", "3650",
                "-subj", "/CN=Tidewell loopback test authority",
                "-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign"], folder)
        if not _certificate_fits(folder, address):
            names = ",".join(["DNS:" + n for n in host_names] + ["IP:" + address])
            with open(os.path.join(folder, "server-ext.cnf"), "w") as ext:
                ext.write("basicConstraints=critical,CA:false\nkeyUsage=critical,"
                          "digitalSignature\nextendedKeyUsage=serverAuth\n"
                          "subjectAltName=%s\n" % names)
            _openssl(["req", "-new"] + CURVE + ["-keyout", "server-key.pem", "-out",
                                                "server.csr", "-subj", "/CN=" + host_names[0]],
                     folder)
            _openssl(["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey",
                      "ca-key.pem", "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
                      "-days", "825", "-extfile", "server-ext.cnf", "-out", "server.pem"],
                     folder)
            os.remove(os.path.join(folder, "server.csr"))
        return (server_context(os.path.join(folder, "server.pem"),
                               os.path.join(folder, "server-key.pem")), ca)
    finally:
        os.umask(old_mask)
