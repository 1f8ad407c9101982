"""Checks of the web calendar stand-in that the C++ client cannot see: what is kept after a
kill, a large feed streamed without building it, refused requests, entry ids, faults."""

import gzip
import http.client
import json
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
import zlib

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "sim",
                      "webcal_server", "server.py")
READY = re.compile(r"ready service=https://(127\.0\.0\.\d+) accounts=https://\1 ca=(/\S+/ca\.pem)"
                   r" secret=(\S+)\n\Z")
ATOM, OPENSEARCH = "{http://www.w3.org/2005/Atom}", "{http://a9.com/-/spec/opensearch/1.1/}"
FEED = "/calendar/feeds/default/private/full"
LOGIN = "Email=ann%40nexora.example&Passwd=s%26cret&source=t&service=cl&accountType=x"


class Server:
    def __init__(self, folder, *options):
        self.process = subprocess.Popen([sys.executable, SERVER, "--data", folder, *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = READY.match(line)
        if not match:
            self.process.kill()
            raise AssertionError("no ready line: %r" % line)
        self.address, self.ca, self.secret = match.groups()
        self.context = ssl.create_default_context(cafile=self.ca)

    def stop(self, signal_number=None):
        """Ends it with the signal, or by ending its input; returns its exit status."""
        if signal_number:
            self.process.send_signal(signal_number)
        self.process.stdin.close()
        self.process.stdout.close()
        return self.process.wait(60)

    def request(self, method, path, body=None, headers=None, read=True):
        connection = http.client.HTTPSConnection(self.address, context=self.context, timeout=60)
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        if not read:
            return connection, response
        data = response.read()
        connection.close()
        return response, data

    def admin(self, method, path, value=None, secret=None):
        response, data = self.request(method, path, None if value is None else json.dumps(value),
                                      {"X-Admin-Secret": secret or self.secret})
        return response.status, json.loads(data)

    def seed(self, *entries):
        status, reply = self.admin("POST", "/admin/entries", {
            "email": "ann@nexora.example", "calendar": "default", "entries": list(entries)})
        return status, reply

    def session_headers(self, gzip_ok=True):
        """Logs in and follows the session redirect; the headers of later requests."""
        response, body = self.request("POST", "/accounts/ClientLogin", LOGIN)
        token = dict(line.split("=", 1) for line in body.decode().split())["Auth"]
        headers = {"Authorization": "NexoraLogin auth=" + token}
        if gzip_ok:
            headers["Accept-Encoding"] = "gzip"
        response, _ = self.request("GET", FEED, headers=headers)
        self.session = response.getheader("Location").split("?", 1)[1]
        return headers


class ServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="webcal-server-test-")
        cls.server = Server(cls.folder, "--memory")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.folder)

    def setUp(self):
        self.assertEqual(self.server.admin("POST", "/admin/reset"), (200, {}))
        self.assertEqual(self.server.admin("POST", "/admin/accounts", {
            "email": "Ann@nexora.example", "password": "s&cret"})[0], 201)

    def test_large_feed_is_streamed_not_built(self):
        server = self.server
        status, reply = server.admin("POST", "/admin/entries", {
            "email": "ann@nexora.example", "generate": {"count": 25000}})
        self.assertEqual((status, reply["entries"][-1]), (200, {
            "id": "gen-25000", "uid": "gen-25000@nexora.example", "version": 1}))
        headers = server.session_headers(gzip_ok=False)
        peak = self.peak_memory()
        connection, response = server.request("GET", FEED + "?" + server.session,
                                              headers=headers, read=False)
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        size, entries, total = 0, 0, None
        parser = ElementTree.XMLPullParser(["end"])
        for block in iter(lambda: response.read(1 << 16), b""):
            size += len(block)
            parser.feed(block)
            for _, element in parser.read_events():
                entries += element.tag == ATOM + "entry"
                total = element.text if element.tag == OPENSEARCH + "totalResults" else total
                element.clear()
        connection.close()
        self.assertEqual((total, entries), ("25000", 25000))
        self.assertGreater(size, 20 << 20)
        # Holding the body (or its text) whole would raise the peak by more than its size.
        self.assertLess(self.peak_memory() - peak, size // 4)

    def peak_memory(self):
        with open("/proc/%d/status" % self.server.process.pid) as status:
            return int(re.search(r"VmHWM:\s+(\d+) kB", status.read()).group(1)) * 1024

    def test_bad_requests_get_4xx_and_the_server_keeps_serving(self):
        server = self.server
        headers = server.session_headers()
        query = "?" + server.session
        for method, path, body, extra, status in [
                ("GET", FEED + query, None, {"Authorization": "NexoraLogin auth=nope"}, 401),
                ("GET", FEED + query, None, {"Authorization": ""}, 401),
                ("GET", "/calendar/feeds/other/private/full" + query, None, {}, 404),
                ("GET", "/calendar/feeds/default/public/basic" + query, None, {}, 404),
                ("GET", FEED + query + "&max-results=-1", None, {}, 400),
                ("GET", FEED + query + "&max-results=ten", None, {}, 400),
                ("GET", FEED + query + "&max-results=%C2%B2", None, {}, 400),
                ("GET", FEED + query + "&updated-min=2008-13-45", None, {}, 400),
                ("GET", FEED + "/nothing" + query, None, {}, 404),
                ("POST", FEED + query, "<entry/>", {}, 415),
                ("POST", FEED + query, "<entry/>", {"Content-Type": "application/atom+xml"}, 400),
                ("PUT", FEED + "/x" + query, "<entry/>", {"Content-Type": "text/xml"}, 400),
                ("DELETE", FEED + query, None, {}, 405),
                ("PATCH", FEED + query, None, {}, 405),
                ("POST", FEED + query, "x", {"Content-Length": str(2 << 20)}, 413),
                ("GET", "/accounts/ClientLogin", None, {}, 405),
                ("POST", "/accounts/ClientLogin", "Email=ann%40nexora.example", {}, 403),
                ("POST", "/accounts/ClientLogin", LOGIN.replace("s%26", "S%26"), {}, 403),
                ("POST", "/accounts/ClientLogin", LOGIN.replace("cl", "xx"), {}, 403),
                ("POST", "/accounts/ClientLogin", b"Email=%ff%fe", {}, 403),
                ("POST", "/admin/entries", "{not json", {"X-Admin-Secret": server.secret}, 400),
                ("POST", "/admin/clock", '{"now": "9999-12-31T23:59:59-01:00"}',
                 {"X-Admin-Secret": server.secret}, 400),
                ("POST", "/admin/clock", '{"advance_seconds": 1e15}',
                 {"X-Admin-Secret": server.secret}, 400),
                ("POST", "/admin/entries", json.dumps({"email": "ann@nexora.example",
                                                       "entries": [{"title": "no uid"}]}),
                 {"X-Admin-Secret": server.secret}, 400),
                ("POST", "/admin/entries", json.dumps({"email": "ann@nexora.example",
                                                       "entries": [{"xml": 5}]}),
                 {"X-Admin-Secret": server.secret}, 400),
                ("POST", "/admin/entries", json.dumps({"email": "ann@nexora.example", "entries": [
                    {"uid": "u", "status": ["canceled"]}]}), {"X-Admin-Secret": server.secret},
                 400)]:
            with self.subTest(method=method, path=path, body=str(body)[:40]):
                response, data = server.request(method, path, body, {**headers, **extra})
                self.assertEqual(response.status, status)
                self.assertNotIn(b"Traceback", data)
        response, data = server.request("POST", "/accounts/ClientLogin", LOGIN.replace("s%26",
                                                                                       "S%26"))
        self.assertEqual(data, b"Error=BadAuthentication\n")
        response, data = server.request("GET", FEED + query, headers=headers)
        self.assertEqual((response.status, response.getheader("Content-Encoding")),
                         (200, "gzip"))
        ElementTree.fromstring(gzip.decompress(data))

    def test_admin_is_refused_without_the_secret(self):
        for method, path, value in [("POST", "/admin/reset", {}), ("GET", "/admin/log", None),
                                    ("POST", "/admin/accounts", {"email": "x@nexora.example",
                                                                 "password": "p"}),
                                    ("GET", "/admin/entries?email=ann@nexora.example", None)]:
            for secret in ["wrong", " "]:
                with self.subTest(path=path, secret=secret):
                    self.assertEqual(self.server.admin(method, path, value, secret)[0], 403)
        self.assertEqual(self.server.admin("POST", "/admin/accounts", {
            "email": "ann@nexora.example", "password": "s&cret"})[0], 200)  # still there

    def test_entry_ids_follow_the_uid(self):
        for fields, entry_id in [
                ({"uid": "abc"}, "_c5h66"), ({"uid": "\u00e9"}, "_oekg"),
                ({"uid": "f"}, "_co"), ({"uid": "foob"}, "_cpnmuog"), ({"uid": "foobar"}, "_cpnmuoj1e8"),
                ({"uid": "mtg-1@nexora.example"}, "mtg-1"),
                ({"uid": "a@nexora.example.org@nexora.example"}, "a"),
                ({"uid": "b@NEXORA.example"}, "_c904shao9t942bj5f1gmqs3cck"),
                ({"uid": "abc", "master_uid": "abc", "original_start": "2008-03-07T10:00:00+01:00",
                  "start": "2008-03-07T11:00:00Z", "end": "2008-03-07T12:00:00Z"},
                 "_c5h66_20080307T090000Z"),
                ({"uid": "m@nexora.example", "master_uid": "m@nexora.example",
                  "original_start": "2008-03-07"}, "m_20080307")]:
            with self.subTest(uid=fields["uid"], original=fields.get("original_start")):
                self.assertEqual(self.server.seed(fields), (200, {"entries": [{
                    "id": entry_id, "uid": fields["uid"], "version": 1}]}))
        for fields in [{"uid": "@nexora.example"}, {"uid": "_c5h66@nexora.example"}]:
            with self.subTest(refused=fields["uid"]):  # no id; the id of another uid
                self.assertEqual(self.server.seed(fields)[0], 400)
        headers = self.server.session_headers()
        response, data = self.server.request("GET", FEED + "/_c5h66_20080307T090000Z?" +
                                             self.server.session, headers=headers)
        origin = ElementTree.fromstring(gzip.decompress(data)).find(
            "{https://schemas.nexora.example/data/2008}originalEvent")
        self.assertEqual((origin.get("id"), origin.get("href")), (
            "_c5h66", "https://%s%s/_c5h66" % (self.server.address, FEED)))

    def test_faults_hit_the_next_matching_requests(self):
        server = self.server
        server.admin("POST", "/admin/clock", {"now": "2008-03-01T10:00:00Z"})  # same bytes
        self.assertEqual(server.seed({"uid": "abc", "title": "x" * 5000})[0], 200)
        headers = server.session_headers()
        url = FEED + "?" + server.session

        def fetch():
            connection, response = server.request("GET", url, headers=headers, read=False)
            body = b""
            try:  # byte by byte: what came before the cut is kept
                for byte in iter(lambda: response.read(1), b""):
                    body += byte
                return response.status, body
            except http.client.IncompleteRead:
                return "cut", body
            finally:
                connection.close()

        _, whole = fetch()
        for fault, check in [
                ({"status": 503}, lambda r: self.assertEqual(r[0], 503)),
                ({"cut_after": 100}, lambda r: self.assertEqual(r, ("cut", whole[:100]))),
                ({"corrupt_gzip": True}, lambda r: self.assertRaises(zlib.error, gzip.decompress,
                                                                     r[1])),
                ({"malformed_xml": True}, lambda r: self.assertRaises(
                    ElementTree.ParseError, ElementTree.fromstring, gzip.decompress(r[1])))]:
            with self.subTest(fault=fault):
                self.assertEqual(server.admin("POST", "/admin/faults", {
                    "method": "GET", "path_prefix": "/calendar/feeds/", "count": 1, **fault})[0],
                    200)
                check(fetch())
                self.assertEqual(fetch(), (200, whole))  # used up after one request
        server.admin("POST", "/admin/faults", {"path_prefix": "/calendar/", "drop": True})
        self.assertRaises(http.client.RemoteDisconnected, fetch)
        log = [(r["status"], r["bytes"], r["complete"]) for r in server.admin(
            "GET", "/admin/log")[1]["requests"] if r["path"] == FEED]
        self.assertEqual(log[1:5], [(200, len(whole), True), (503, 31, True),
                                   (200, len(whole), True), (200, 100, False)])
        self.assertEqual(log[-1], (0, 0, False))


class PersistenceTest(unittest.TestCase):
    def test_everything_answered_survives_a_kill(self):
        folder = tempfile.mkdtemp(prefix="webcal-server-test-")
        self.addCleanup(shutil.rmtree, folder)
        server = Server(folder)
        server.admin("POST", "/admin/accounts", {"email": "ann@nexora.example",
                                                 "password": "s&cret"})
        server.admin("POST", "/admin/clock", {"now": "2008-03-01T10:00:00Z"})
        self.assertEqual(server.seed({"uid": "abc"}, {"uid": "gone", "deleted": True})[0], 200)
        with open(server.ca, "rb") as ca:
            authority = ca.read()
        self.assertEqual(server.stop(signal.SIGKILL), -signal.SIGKILL)
        again = Server(folder, "--address", server.address)
        self.addCleanup(again.process.kill)  # when a check fails before it stops
        self.assertEqual((again.address, again.secret), (server.address, server.secret))
        with open(again.ca, "rb") as ca:
            self.assertEqual(ca.read(), authority)
        status, reply = again.admin("GET", "/admin/entries?email=ann@nexora.example&deleted=1")
        self.assertEqual([(e["id"], e["version"], e["updated"], e["deleted"])
                          for e in reply["entries"]],
                         [("_c5h66", 1, "2008-03-01T10:00:00.000Z", False),
                          ("_ctnmsp8", 1, "2008-03-01T10:00:00.000Z", True)])
        self.assertEqual(again.request("POST", "/accounts/ClientLogin", LOGIN)[0].status, 200)
        modes = {name: os.stat(os.path.join(folder, name)).st_mode & 0o777 for name in
                 ("", "admin-secret", "ca-key.pem", "server-key.pem", "webcal.sqlite3")}
        self.assertEqual(set(modes.values()), {0o700, 0o600})
        self.assertEqual(modes[""], 0o700)
        # The certificate names the service's host and is trusted through the printed CA.
        with again.context.wrap_socket(__import__("socket").create_connection(
                (again.address, 443)), server_hostname="www.nexora.example") as secure:
            self.assertTrue(secure.getpeercert())
        self.assertEqual(again.stop(signal.SIGTERM), 0)


if __name__ == "__main__":
    unittest.main()
