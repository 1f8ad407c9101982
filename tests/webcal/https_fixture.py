#!/usr/bin/env python3
"""A scriptable HTTPS server and CONNECT proxy on loopback addresses, for transport tests.

HTTPS on port 443 of two free addresses 127.0.0.N and M (two origins, one script) with a
throw-away self-signed certificate, and a CONNECT proxy on a free port of the first. Once
listening it prints "ready <address> <other address> <proxy port> <certificate file>",
then answers each JSON command line read from the named pipe given as its argument with
reply lines and a line "end":
  serve {path, status, headers [[name, value]], body (UTF-8) or body_file, repeat, gzip,
         framing "length"|"chunked"|"close" (the end of the connection ends the body),
         close_notify (end TLS cleanly, not just drop the connection), cut_after (drop
         the connection after that many body bytes)}; other paths get a 404
  proxy {user, password, scheme "Basic"|"Digest"}: the credentials the proxy wants
  wait_finished {path} -> "finished <aborted 0|1> <bytes sent>" once the response ended
  requests {headers [names]} -> per request "<method> <target> | <each header or <absent>>
         | <body>";  connects -> each CONNECT's status;  reset: forget everything
It exits at the end of that input. Everything it serves and tunnels stays on its own addresses.
"""

import base64, gzip, hashlib, http.server, json, os, re, select, shutil, signal, socket
import socketserver, ssl, sys, tempfile, threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim",
                                "webcal_server"))
from loopback_tls import PORT, bind_https_servers, make_certificate  # noqa: E402

WAIT_SECONDS, BLOCK, REALM = 30, 64 * 1024, "nexora test proxy"
LOCK = threading.Condition()
STATE = {}


def reset():
    with LOCK:
        STATE.update(routes={}, requests=[], connects=[], finished={}, proxy=None,
                     nonce=os.urandom(12).hex())


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_request(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        path = self.path.split("?")[0]
        with LOCK:
            STATE["requests"].append((self.command, self.path, self.headers, body))
            route = STATE["routes"].get(self.path) or STATE["routes"].get(path)
        route = route or {"status": 404, "body": "not scripted"}
        if "body_file" in route:
            with open(route["body_file"], "rb") as source:
                body = source.read()
        else:
            body = route.get("body", "").encode("utf-8") * route.get("repeat", 1)
        body = gzip.compress(body, mtime=0) if route.get("gzip") else body
        framing, cut_after = route.get("framing", "length"), route.get("cut_after", -1)
        self.send_response(route.get("status", 200))
        for name, value in route.get("headers", []) + (
                [("Transfer-Encoding", "chunked")] if framing == "chunked" else
                [("Content-Length", str(len(body)))] if framing == "length" else []):
            self.send_header(name, value)
        self.end_headers()
        end = len(body) if cut_after < 0 else min(cut_after, len(body))
        sent, aborted = 0, False
        try:
            for sent in range(0, end, BLOCK):
                piece = body[sent:min(end, sent + BLOCK)]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked"
                                 else piece)
            sent = end
            if cut_after >= 0 or framing == "close":
                self.close_connection = True  # the rest of the announced body never comes
                if route.get("close_notify"):
                    self.connection.unwrap()
            elif framing == "chunked":
                self.wfile.write(b"0\r\n\r\n")
        except (OSError, ssl.SSLError):
            aborted = self.close_connection = True
        with LOCK:
            STATE["finished"][path] = (aborted, sent)
            LOCK.notify_all()

    do_GET = do_POST = do_PUT = do_DELETE = do_request


def md5(*parts):
    return hashlib.md5(":".join(parts).encode()).hexdigest()


class ProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head:
            data = self.request.recv(4096)
            if not data:
                return
            head += data
        lines = head.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
        method, target = (lines[0].split(" ") + ["", ""])[:2]
        given = next((value.strip() for name, _, value in (l.partition(":") for l in lines[1:])
                      if name.strip().lower() == "proxy-authorization"), "")
        with LOCK:
            wanted, nonce = STATE["proxy"], STATE["nonce"]
        if method != "CONNECT" or target not in self.server.origins:
            status = 403
        else:
            status = 200 if not wanted or self.authorized(given, target, *wanted, nonce) else 407
        with LOCK:
            STATE["connects"].append(status)
        if status != 200:
            challenge = ('Basic realm="%s"' % REALM if wanted and wanted[2] == "Basic" else
                         'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5' % (REALM, nonce))
            self.request.sendall(("HTTP/1.1 %d Refused\r\n%sContent-Length: 0\r\nConnection: "
                                  "close\r\n\r\n" % (status, "Proxy-Authenticate: %s\r\n" %
                                                     challenge if status == 407 else "")).encode())
            return
        with socket.create_connection(target.rsplit(":", 1)) as upstream:
            self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            ends = [self.request, upstream]
            while True:
                for source in select.select(ends, [], [])[0]:
                    data = source.recv(BLOCK)
                    if not data:
                        return
                    ends[source is ends[0]].sendall(data)

    @staticmethod
    def authorized(given, target, user, password, scheme, nonce):
        if scheme == "Basic":
            return given == "Basic " + base64.b64encode(b"%s:%s" % (user.encode(),
                                                                     password.encode())).decode()
        fields = {key: quoted or plain for key, quoted, plain in
                  re.findall(r'(\w+)=(?:"([^"]*)"|([^,\s]*))', given[7:])}
        expected = md5(md5(user, REALM, password), nonce, fields.get("nc", ""),
                       fields.get("cnonce", ""), "auth", md5("CONNECT", target))
        return given.startswith("Digest ") and (
            fields.get("username"), fields.get("uri"), fields.get("nonce"),
            fields.get("response")) == (user, target, nonce, expected)


def command_replies(command):
    name = command["cmd"]
    if name == "reset":
        reset()
    with LOCK:
        if name == "serve":
            STATE["routes"][command["path"]] = command
            STATE["finished"].pop(command["path"].split("?")[0], None)
        elif name == "proxy":
            STATE["proxy"] = (command["user"], command["password"], command["scheme"])
        elif name == "requests":
            return [" | ".join(["%s %s" % (method, target)] +
                               [headers.get(h, "<absent>") for h in command.get("headers", [])] +
                               [body.decode("utf-8", "replace")])
                    for method, target, headers, body in STATE["requests"]]
        elif name == "connects":
            return [str(status) for status in STATE["connects"]]
        elif name == "wait_finished":
            LOCK.wait_for(lambda: command["path"] in STATE["finished"], WAIT_SECONDS)
            return ["finished %d %d" % STATE["finished"].get(command["path"], (False, -1))]
    return []


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))  # killed: still remove the keys
    sys.stdout.reconfigure(encoding="utf-8")
    folder = tempfile.mkdtemp(prefix="tidewell-https-fixture-")
    reset()
    try:
        servers = bind_https_servers(2, Handler)
        addresses = [server.server_address[0] for server in servers]
        context, certificate = make_certificate(folder, addresses)
        proxy = socketserver.ThreadingTCPServer((addresses[0], 0), ProxyHandler)
        proxy.daemon_threads, proxy.origins = True, {"%s:%d" % (a, PORT) for a in addresses}
        proxy.handle_error = lambda *_: None
        for each in servers:
            each.context = context
        for each in servers + [proxy]:
            threading.Thread(target=each.serve_forever, daemon=True).start()
        print("ready %s %s %d %s" % (*addresses, proxy.server_address[1], certificate), flush=True)
        for line in open(sys.argv[1], encoding="utf-8"):
            if line.strip():
                replies = command_replies(json.loads(line)) + ["end"]
                sys.stdout.write("".join(reply + "\n" for reply in replies))
                sys.stdout.flush()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
