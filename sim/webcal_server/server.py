#!/usr/bin/env python3
"""The web calendar and account service stand-in: HTTPS on a loopback address, port 443.

  server.py --data DIR [--address 127.0.0.N] [--memory] [--foreground]

Prints one line, "ready service=https://<addr> accounts=https://<addr> ca=<DIR>/ca.pem
secret=<admin secret>", and serves until SIGTERM or the end of its standard input (with
--foreground: SIGINT or SIGTERM). See README.md.
"""

import argparse
import http.server
import json
import os
import re
import secrets
import signal
import sys
import threading
import time
import traceback
import urllib.parse
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import accounts  # noqa: E402
import admin  # noqa: E402
import faults  # noqa: E402
import feed  # noqa: E402
import loopback_tls  # noqa: E402
import store  # noqa: E402
import times  # noqa: E402
import writes  # noqa: E402

HOST_NAMES = ["www.nexora.example", "accounts.nexora.example"]
BODY_LIMIT, ADMIN_BODY_LIMIT = 1 << 20, 64 << 20
CHUNK = 32 * 1024
LINGER_SECONDS = 2
FEED = re.compile(r"/calendar/feeds/([^/]+)/private/full(?:/(.+))?\Z")
HOST = re.compile(r"(?:[A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(?::\d{1,5})?\Z")
# After a full flush the deflate stream is byte-aligned; this byte starts a final block of
# the reserved type 3, which every inflater refuses.
BAD_DEFLATE_BLOCK = b"\x07\xde\xad\xbe\xef"
XML_MEDIA = ("application/atom+xml", "application/xml", "text/xml")
BROKEN_XML = "<entry><title>&undefined-entity;</entry>\n"


class Cut(Exception):
    """The body stops here and the connection is dropped (an injected fault)."""


class Service:
    def __init__(self, store_, secret, address):
        self.store, self.secret, self.address = store_, secret, address
        self.faults = faults.Faults()


def _accepts_gzip(header):
    for item in (header or "").split(","):
        name, _, params = item.strip().partition(";")
        quality = re.search(r"q\s*=\s*([0-9.]+)", params)
        if name.strip().lower() in ("gzip", "x-gzip"):
            try:
                return quality is None or float(quality.group(1)) > 0
            except ValueError:
                return False
    return False


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "NexoraCalendarStandIn/1"
    error_content_type = "text/plain; charset=utf-8"
    error_message_format = "%(code)d %(message)s\n"

    def log_message(self, *args):
        pass

    def version_string(self):
        return self.server_version

    @property
    def service(self):
        return self.server.service

    # --- one request ----------------------------------------------------------------------

    def dispatch(self):
        path, _, query = self.path.partition("?")
        is_admin = path.startswith("/admin/")
        self.fault = None if is_admin else self.service.faults.take(self.command, path)
        self.status, self.sent, self.complete, self.started = 0, 0, False, False
        try:
            self.route(path, query, is_admin)
        except Cut:
            self.close_connection = True
        except OSError:  # the client went away
            self.close_connection = True
        except Exception:  # a failed request never stops the service
            print("webcal_server: %s %s failed:\n%s" % (self.command, path,
                                                        traceback.format_exc()),
                  file=sys.stderr)
            if not self.started:
                self.answer(500, "internal error\n")
            self.close_connection = True
        finally:
            if not is_admin:
                self.service.faults.record(self.command, path, self.status, self.sent,
                                           self.complete)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = dispatch

    def finish(self):
        super().finish()
        if getattr(self, "refused_body", False):
            # Closing with the refused body unread would reset the connection and could
            # destroy the answer before the client read it: read (and drop) a while first.
            deadline = time.monotonic() + LINGER_SECONDS
            try:
                while time.monotonic() < deadline:
                    self.connection.settimeout(max(0.01, deadline - time.monotonic()))
                    if not self.connection.recv(1 << 16):
                        break
            except OSError:
                pass

    def read_body(self, limit):
        """The request body, or None after answering a refused one."""
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self.close_connection = True
            self.answer(411, "a Content-Length is required\n")
            return None
        length = self.headers.get("Content-Length", "0").strip() or "0"
        if not re.fullmatch(r"[0-9]{1,18}", length):
            self.close_connection = True
            self.answer(400, "bad Content-Length\n")
            return None
        if int(length) > limit:
            self.close_connection = self.refused_body = True  # the body is left unread
            self.answer(413, "the body is over %d bytes\n" % limit)
            return None
        return self.rfile.read(int(length))

    def route(self, path, query, is_admin):
        body = self.body = self.read_body(ADMIN_BODY_LIMIT if is_admin else BODY_LIMIT)
        if body is None:
            return
        if self.fault and "delay_seconds" in self.fault:
            time.sleep(self.fault["delay_seconds"])
        if self.fault and self.fault.get("drop"):
            self.close_connection = True
            return
        if self.fault and "status" in self.fault:
            return self.answer(self.fault["status"], "service unavailable (injected)\n")
        if is_admin:
            status, value = admin.handle(self.service, self.command, path, query,
                                         self.headers, body)
            return self.answer(status, json.dumps(value) + "\n", "application/json")
        if path == "/accounts/ClientLogin":
            if self.command != "POST":
                return self.answer(405, "use POST\n", headers=[("Allow", "POST")])
            return self.answer(*accounts.client_login(self.service.store, body))
        if path == "/calendar" or path.startswith("/calendar/"):
            return self.calendar(path, query)
        self.answer(404, "not found\n")

    def calendar(self, path, query):
        who = accounts.authorize(self.service.store, self.headers.get("Authorization"))
        if who is None:
            return self.answer(401, "a valid NexoraLogin token is required\n",
                               headers=[("WWW-Authenticate", 'NexoraLogin realm="calendar"')])
        email, session = who
        try:
            params = {k: v[-1] for k, v in urllib.parse.parse_qs(
                query, keep_blank_values=True, errors="strict").items()}
        except (UnicodeDecodeError, ValueError):
            return self.answer(400, "bad query\n")
        if params.get("nxsessionid") != session:
            return self.redirect_with_session(path, query, session)
        match = FEED.match(path)
        if not match:
            return self.answer(404, "no such calendar resource\n")
        calendar_id = urllib.parse.unquote(match.group(1))
        with self.service.store.transaction() as db:
            known = db.execute("SELECT 1 FROM calendars WHERE email=? AND calendar_id=?",
                               (email, calendar_id)).fetchone()
        if not known:
            return self.answer(404, "no such calendar\n")
        rest = match.group(2)
        url = feed.feed_url(self.host(), calendar_id)
        allowed = ("GET", "POST") if rest is None else ("GET", "PUT", "DELETE")
        if self.command not in allowed:
            return self.answer(405, "method not allowed here\n",
                               headers=[("Allow", ", ".join(allowed))])
        if self.command != "GET":
            return self.write(email, calendar_id, url, rest, params)
        if rest is None:
            return self.send_feed(email, calendar_id, url, params)
        return self.send_entry(email, calendar_id, url, urllib.parse.unquote(rest), params)

    def write(self, email, calendar_id, url, rest, params):
        """POST to the feed, PUT or DELETE at an edit address; answers the stored entry."""
        media = self.headers.get("Content-Type", "").partition(";")[0].strip().lower()
        if self.command != "DELETE" and media not in XML_MEDIA:
            return self.answer(415, "entries are sent as application/atom+xml\n")
        try:
            entry = None if self.command == "DELETE" else feed.entry_from_xml(
                self.body.decode("utf-8"))
            with self.service.store.transaction() as db:
                calendar = writes.Calendar(db, email, calendar_id, self.service.store.now_ms())
                if self.command == "POST":
                    row = calendar.add(entry)
                elif self.command == "PUT":
                    row = calendar.update(*writes.edit_address(rest), entry,
                                          params.get("showdeleted") == "true")
                else:
                    row = calendar.delete(*writes.edit_address(rest))
        except UnicodeDecodeError:
            return self.answer(400, "the body is not UTF-8\n")
        except feed.EntryError as error:
            return self.answer(400, "%s\n" % error)
        except writes.WriteError as error:
            return self.answer(error.status, error.message)
        self.answer(201 if self.command == "POST" else 200,
                    iter([feed.entry_document(row, url)]), "application/atom+xml; charset=UTF-8")

    def host(self):
        host = self.headers.get("Host", "")
        return host if HOST.match(host) else self.service.address

    def redirect_with_session(self, path, query, session):
        pairs = [p for p in query.split("&") if p and not p.startswith("nxsessionid=")]
        query = "&".join(pairs + ["nxsessionid=" + session])
        self.answer(302, "moved\n", headers=[
            ("Location", "https://%s%s?%s" % (self.host(), path, query))])

    def send_feed(self, email, calendar_id, url, params):
        limit, since = params.get("max-results"), params.get("updated-min")
        if limit is not None and not re.fullmatch(r"[0-9]{1,7}", limit):
            return self.answer(400, "max-results is a whole number\n")
        # A "+" of a zone offset that was not escaped arrives as a blank.
        moment = times.parse_iso(since.replace(" ", "+")) if since is not None else None
        if since is not None and moment is None:
            return self.answer(400, "updated-min is an ISO time\n")
        begun = self.service.store.now_ms()
        if moment is None:  # entries deleted while the feed is written stay listed
            pages = self.service.store.entry_pages(email, calendar_id, "deleted=0", (),
                                                   ("deleted=1 AND updated_ms>?", (begun,)))
        else:
            pages = self.service.store.entry_pages(email, calendar_id, "updated_ms>=?",
                                                   (moment.ms,))
        # The client asks next for changes from this time plus one second: one second
        # before the listing began, so that nothing changed meanwhile is missed.
        pieces = feed.feed_pieces(url, calendar_id, begun - 1000, pages,
                                  None if limit is None else int(limit))
        self.answer(200, pieces, "application/atom+xml; charset=UTF-8", stream=True)

    def send_entry(self, email, calendar_id, url, entry_id, params):
        names = [entry_id]
        head, _, last = entry_id.rpartition("/")
        if head and re.fullmatch(r"[0-9]+", last):
            names.append(head)  # an edit address: the version is not part of the id
        with self.service.store.transaction() as db:
            rows = [db.execute("SELECT * FROM entries WHERE email=? AND calendar_id=? AND "
                               "entry_id=?", (email, calendar_id, n)).fetchone() for n in names]
        row = next((r for r in rows if r is not None), None)
        if row is None or (row["deleted"] and params.get("showdeleted") != "true"):
            return self.answer(404, "no such entry\n")
        self.answer(200, iter([feed.entry_document(row, url)]),
                    "application/atom+xml; charset=UTF-8")

    # --- answers --------------------------------------------------------------------------

    def answer(self, status, body, content_type="text/plain; charset=utf-8", headers=(),
               stream=False):
        """Sends a response. `body` is a text, or an iterator of XML text pieces, which is
        compressed when the client accepts gzip and written in chunks when `stream`."""
        fault = self.fault or {}
        xml = not isinstance(body, str)
        if isinstance(body, str):
            body = iter([body])
        if xml and fault.get("malformed_xml"):
            body = _malformed(body)
        compress = xml and (fault.get("corrupt_gzip") or _accepts_gzip(
            self.headers.get("Accept-Encoding")))
        blocks = _encoded(body, compress, xml and fault.get("corrupt_gzip"))
        self.status = status
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        for name, value in headers:
            self.send_header(name, value)
        if compress:
            self.send_header("Content-Encoding", "gzip")
        if not stream:
            blocks = [b"".join(blocks)]
            self.send_header("Content-Length", str(len(blocks[0])))
        else:
            self.send_header("Transfer-Encoding", "chunked")
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.started = True
        if self.command == "HEAD":  # the head alone; the connection stays usable
            blocks, stream = [], False
        for block in blocks:
            if block:
                self.write_body(block, stream)
        if stream:
            self.wfile.write(b"0\r\n\r\n")
        self.complete = True

    def write_body(self, block, chunked):
        cut = (self.fault or {}).get("cut_after")
        whole = cut is None or self.sent + len(block) <= cut
        part = block if whole else block[:cut - self.sent]
        data = b"%x\r\n%s\r\n" % (len(block), part) if chunked and whole else (
            b"%x\r\n%s" % (len(block), part) if chunked else part)
        self.wfile.write(data)
        self.sent += len(part)
        if not whole:
            raise Cut()


def _malformed(pieces):
    yield next(pieces)
    yield BROKEN_XML


def _encoded(pieces, compress, corrupt):
    """UTF-8 blocks of about CHUNK bytes, compressed as gzip one piece at a time."""
    packer = zlib.compressobj(6, zlib.DEFLATED, 31) if compress else None
    pending, size = [], 0
    for number, piece in enumerate(pieces):
        data = piece.encode("utf-8")
        if packer:
            data = packer.compress(data)
            if corrupt:
                yield data + packer.flush(zlib.Z_FULL_FLUSH) + BAD_DEFLATE_BLOCK
                return
        pending.append(data)
        size += len(data)
        if size >= CHUNK:
            yield b"".join(pending)
            pending, size = [], 0
    if packer:
        pending.append(packer.flush())
    yield b"".join(pending)


class Server(loopback_tls.TlsThreadingServer):
    service = None


def _secret(folder):
    path = os.path.join(folder, "admin-secret")
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        with open(path, encoding="ascii") as source:
            return source.read().strip()
    with os.fdopen(descriptor, "w") as target:
        secret = secrets.token_hex(24)
        target.write(secret + "\n")
    return secret


def _stop_at_end_of_input(stop):
    # The descriptor, not sys.stdin: a buffered reader busy at exit aborts the interpreter.
    try:
        while os.read(0, 65536):
            pass
    except OSError:
        pass
    stop.set()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", required=True, help="folder for CA, certificate, database")
    parser.add_argument("--address", help="loopback address to use (default: a free one)")
    parser.add_argument("--memory", action="store_true", help="keep the database in memory")
    parser.add_argument("--foreground", action="store_true",
                        help="ignore standard input; stop on SIGINT or SIGTERM")
    options = parser.parse_args(argv)
    folder = os.path.abspath(options.data)
    os.makedirs(folder, mode=0o700, exist_ok=True)
    os.chmod(folder, 0o700)

    server = loopback_tls.bind_https_servers(1, Handler, Server, options.address)[0]
    address = server.server_address[0]
    server.context, ca = loopback_tls.make_authority_certificates(folder, address, HOST_NAMES)
    database = None if options.memory else os.path.join(folder, "webcal.sqlite3")
    if database:  # accounts and entries are for this user only
        os.close(os.open(database, os.O_WRONLY | os.O_CREAT, 0o600))
        os.chmod(database, 0o600)
    data = store.Store(database)
    server.service = Service(data, _secret(folder), address)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    if options.foreground:
        signal.signal(signal.SIGINT, lambda *_: stop.set())
    else:
        threading.Thread(target=_stop_at_end_of_input, args=(stop,), daemon=True).start()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("ready service=https://%s accounts=https://%s ca=%s secret=%s" % (
        address, address, ca, server.service.secret), flush=True)
    stop.wait()
    server.shutdown()
    server.server_close()
    data.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
