#!/usr/bin/env python3
"""A scriptable HTTPS server and CONNECT proxy on a loopback address, for transport tests.

The fixture picks a free address 127.0.0.N (N from 2 to 254, starting from a number derived
from its process id, moving on when port 443 is taken there), makes a throw-away
certificate authority and a server certificate for www.nexora.example, *.nexora.example and
that address with the openssl command-line tool, and listens on port 443 (HTTPS) and on a
free port of the same address (a CONNECT proxy that wants Basic credentials).

When listening it writes one line to stdout:
    ready <address> <https port> <proxy port> <CA certificate file>
Then it reads commands from stdin, one JSON object per line, and answers each with zero or
more lines followed by a line "end":
    {"cmd": "serve", "path": "/p", "status": 200, "headers": [["Name", "value"]],
     "body": "text", "body_file": "/path", "repeat": 1, "gzip": false, "chunked": false,
     "cut_after": -1, "gate": "", "gate_at": 0}
        Scripts the response for a path (with or without its query). "body" is sent as
        UTF-8, "body_file" as the file's bytes; the body is repeated "repeat" times and
        gzip-compressed when "gzip" is true (Content-Encoding is left to "headers").
        "cut_after" >= 0 closes the connection after that many body bytes although the
        head announced more. "gate" holds the body after "gate_at" bytes until the gate is
        opened. Unscripted paths answer 404.
    {"cmd": "proxy", "user": "u", "password": "p"}   credentials the proxy accepts
    {"cmd": "open_gate", "name": "g"}   answers "waiting" when a response was held there,
                                        "idle" otherwise
    {"cmd": "wait_finished", "path": "/p"}   waits until the response for the path has
                                             ended: "finished <aborted 0|1> <bytes sent>"
    {"cmd": "requests"}   per request: "request <method> <target>", "header <name>: <value>"
                          lines, "body <hex>"
    {"cmd": "connects"}   per CONNECT: "connect <target> <status>"
    {"cmd": "reset"}      forgets scripts, gates, records and proxy credentials
It exits when stdin is closed. Everything it serves and tunnels stays on its own address.
"""

import base64
import errno
import gzip
import http.server
import json
import os
import select
import shutil
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading

HTTPS_PORT = 443
WAIT_SECONDS = 30
BLOCK = 64 * 1024


class State:
    """What the test scripted and what the fixture saw, shared by all threads."""

    def __init__(self):
        self.lock = threading.Condition()
        self.reset()

    def reset(self):
        with self.lock:
            self.routes = {}
            self.requests = []
            self.connects = []
            self.finished = {}
            self.gates = {}
            self.waiting_gates = set()
            self.proxy_credentials = None
            self.file_cache = {}

    def gate(self, name):
        with self.lock:
            return self.gates.setdefault(name, threading.Event())


STATE = State()


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(folder, address):
    """Writes ca.pem, server.pem and server.key; returns their paths."""
    ca_key, ca_pem = os.path.join(folder, "ca.key"), os.path.join(folder, "ca.pem")
    key, csr = os.path.join(folder, "server.key"), os.path.join(folder, "server.csr")
    pem, extensions = os.path.join(folder, "server.pem"), os.path.join(folder, "server.ext")
    curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run("openssl", "req", "-x509", *curve, "-keyout", ca_key, "-out", ca_pem, "-days", "2",
        "-subj", "/CN=Tidewell throw-away test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("openssl", "req", "-new", *curve, "-keyout", key, "-out", csr,
        "-subj", "/CN=www.nexora.example")
    with open(extensions, "w") as out:
        out.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                  "subjectAltName=DNS:www.nexora.example,DNS:*.nexora.example,IP:%s\n" % address)
    run("openssl", "x509", "-req", "-in", csr, "-CA", ca_pem, "-CAkey", ca_key,
        "-CAcreateserial", "-out", pem, "-days", "2", "-extfile", extensions)
    return ca_pem, pem, key


def response_body(route):
    if "body_file" in route:
        with STATE.lock:
            cached = STATE.file_cache.get(route["body_file"])
        if cached is None:
            with open(route["body_file"], "rb") as source:
                cached = source.read()
            with STATE.lock:
                STATE.file_cache[route["body_file"]] = cached
        body = cached
    else:
        body = route.get("body", "").encode("utf-8")
    body = body * route.get("repeat", 1)
    return gzip.compress(body, mtime=0) if route.get("gzip") else body


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_request(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        with STATE.lock:
            STATE.requests.append((self.command, self.path, list(self.headers.items()), body))
            route = STATE.routes.get(self.path) or STATE.routes.get(self.path.split("?")[0])
        if route is None:
            route = {"status": 404, "body": "not scripted"}
        self.respond(route)

    do_GET = do_POST = do_PUT = do_DELETE = do_request

    def respond(self, route):
        body = response_body(route)
        chunked = route.get("chunked", False)
        self.send_response(route.get("status", 200))
        for name, value in route.get("headers", []):
            self.send_header(name, value)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        path = self.path.split("?")[0]
        sent, aborted = 0, False
        try:
            sent = self.send_body(route, body, chunked)
        except (OSError, ssl.SSLError):
            aborted = True
            self.close_connection = True
        with STATE.lock:
            STATE.finished[path] = (aborted, sent)
            STATE.lock.notify_all()

    def send_body(self, route, body, chunked):
        cut_after = route.get("cut_after", -1)
        end = len(body) if cut_after < 0 else min(cut_after, len(body))
        gate, gate_at = route.get("gate", ""), route.get("gate_at", 0)
        if gate:
            # Marked before the first byte goes out: a reader that has the bytes before the
            # gate must find the response still held there.
            with STATE.lock:
                STATE.waiting_gates.add(gate)
        sent = 0
        while sent < end:
            if gate and sent == gate_at:
                self.hold(gate)
            stop = min(end, sent + BLOCK, gate_at if gate and sent < gate_at else end)
            self.write_piece(body[sent:stop], chunked)
            sent = stop
        with STATE.lock:
            STATE.waiting_gates.discard(gate)
        if cut_after >= 0:
            self.close_connection = True  # the rest of the announced body never comes
        elif chunked:
            self.wfile.write(b"0\r\n\r\n")
        return sent

    def write_piece(self, piece, chunked):
        if chunked:
            piece = b"%x\r\n%s\r\n" % (len(piece), piece)
        self.wfile.write(piece)

    def hold(self, name):
        STATE.gate(name).wait(WAIT_SECONDS)
        with STATE.lock:
            STATE.waiting_gates.discard(name)


class HttpsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, address, context):
        self.context = context
        super().__init__((address, HTTPS_PORT), Handler, bind_and_activate=False)

    def server_bind(self):
        # The base class looks the host name up, which costs a resolver round trip.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def finish_request(self, request, client_address):
        # The handshake runs in the connection's thread, so a client that refuses the
        # certificate cannot hold up the others.
        try:
            secure = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            Handler(secure, client_address, self)
        except (OSError, ssl.SSLError):
            pass
        finally:
            secure.close()  # no close_notify: a cut-off body looks like a dropped connection

    def handle_error(self, request, client_address):
        pass


def read_head(connection):
    head = b""
    while b"\r\n\r\n" not in head:
        data = connection.recv(4096)
        if not data:
            return None
        head += data
    return head.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")


def pump(one, other):
    sockets = [one, other]
    while True:
        readable, _, _ = select.select(sockets, [], [])
        for source in readable:
            data = source.recv(BLOCK)
            if not data:
                return
            (other if source is one else one).sendall(data)


class ProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        lines = read_head(self.request)
        if not lines:
            return
        method, target = (lines[0].split(" ") + ["", ""])[:2]
        status = self.decide(method, target, lines[1:])
        with STATE.lock:
            STATE.connects.append((target, status))
        if status != 200:
            extra = 'Proxy-Authenticate: Basic realm="nexora test proxy"\r\n' if status == 407 else ""
            self.request.sendall(("HTTP/1.1 %d Refused\r\n%sContent-Length: 0\r\n"
                                  "Connection: close\r\n\r\n" % (status, extra)).encode())
            return
        with socket.create_connection((self.server.address, HTTPS_PORT)) as upstream:
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            pump(self.request, upstream)

    def decide(self, method, target, header_lines):
        # Only the fixture's own server may be reached through the tunnel.
        allowed = {"%s:%d" % (self.server.address, HTTPS_PORT), "www.nexora.example:443"}
        if method != "CONNECT" or target not in allowed:
            return 403
        with STATE.lock:
            expected = STATE.proxy_credentials
        given = None
        for line in header_lines:
            name, _, value = line.partition(":")
            if name.strip().lower() == "proxy-authorization":
                given = value.strip()
        if expected is None:
            return 200
        wanted = "Basic " + base64.b64encode(("%s:%s" % expected).encode()).decode()
        return 200 if given == wanted else 407


class ProxyServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address):
        self.address = address
        super().__init__((address, 0), ProxyHandler)

    def handle_error(self, request, client_address):
        pass


def bind_https_server(context_factory):
    """Finds a free 127.0.0.N for port 443; parallel test processes land on different N."""
    start = os.getpid() % 253
    for step in range(253):
        address = "127.0.0.%d" % (2 + (start + step) % 253)
        server = HttpsServer(address, None)
        try:
            server.server_bind()
        except OSError as error:
            server.server_close()
            if error.errno == errno.EADDRINUSE:
                continue
            raise
        server.server_activate()
        server.context = context_factory(address)
        return server
    raise RuntimeError("no free loopback address for port 443")


def tls_context(folder):
    def create(address):
        ca_pem, pem, key = make_certificates(folder, address)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(pem, key)
        create.ca_pem = ca_pem
        return context
    return create


def serve(command):
    route = {key: value for key, value in command.items() if key not in ("cmd", "path")}
    with STATE.lock:
        STATE.routes[command["path"]] = route
        STATE.finished.pop(command["path"].split("?")[0], None)
    return []


def open_gate(command):
    with STATE.lock:
        was_waiting = command["name"] in STATE.waiting_gates
    STATE.gate(command["name"]).set()
    return ["waiting" if was_waiting else "idle"]


def wait_finished(command):
    with STATE.lock:
        STATE.lock.wait_for(lambda: command["path"] in STATE.finished, WAIT_SECONDS)
        aborted, sent = STATE.finished.get(command["path"], (False, -1))
    return ["finished %d %d" % (aborted, sent)]


def list_requests(_):
    lines = []
    with STATE.lock:
        for method, target, headers, body in STATE.requests:
            lines.append("request %s %s" % (method, target))
            lines.extend("header %s: %s" % (name, value) for name, value in headers)
            lines.append("body " + body.hex())
    return lines


def list_connects(_):
    with STATE.lock:
        return ["connect %s %d" % connect for connect in STATE.connects]


def set_proxy(command):
    with STATE.lock:
        STATE.proxy_credentials = (command["user"], command["password"])
    return []


def reset(_):
    STATE.reset()
    return []


COMMANDS = {"serve": serve, "open_gate": open_gate, "wait_finished": wait_finished,
            "requests": list_requests, "connects": list_connects, "proxy": set_proxy,
            "reset": reset}


def main():
    # Killed rather than closed: still leave no key material behind.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    folder = tempfile.mkdtemp(prefix="tidewell-https-fixture-")
    try:
        create_context = tls_context(folder)
        server = bind_https_server(create_context)
        address = server.server_address[0]
        proxy = ProxyServer(address)
        for each in (server, proxy):
            threading.Thread(target=each.serve_forever, daemon=True).start()
        print("ready %s %d %d %s" % (address, HTTPS_PORT, proxy.server_address[1],
                                     create_context.ca_pem), flush=True)
        for line in sys.stdin:
            if not line.strip():
                continue
            command = json.loads(line)
            for reply in COMMANDS[command["cmd"]](command) + ["end"]:
                sys.stdout.write(reply + "\n")
            sys.stdout.flush()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
