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
DS_URI = "https://schemas.nexora.example/data/2008"
CS_URI = "https://schemas.nexora.example/calendar/2008"
DS, CS = "{%s}" % DS_URI, "{%s}" % CS_URI
RULE = "DTSTART:20080303T090000Z\nDURATION:PT3600S\nRRULE:FREQ=DAILY;COUNT=5"
LOGIN = "Email=ann%40nexora.example&Passwd=s%26cret&source=t&service=cl&accountType=x"


def entry(uid="one@nexora.example", sequence=0, title="t", inner="", original=None):
    """An entry as the client writes one; `original` (master id, start) for an exception."""
    if original:
        inner += ('<nxd:originalEvent id="%s" href="https://h/x/%s"><nxd:when startTime="%s"/>'
                  '</nxd:originalEvent>' % (original[0], original[0], original[1]))
    return ('<entry xmlns="http://www.w3.org/2005/Atom" xmlns:nxd="%s" xmlns:nxCal="%s">'
            '<title type="text">%s</title><nxCal:uid value="%s"/><nxd:eventStatus value="%s#event.'
            'confirmed"/>%s<nxCal:sequence value="%d"/></entry>' % (DS_URI, CS_URI, title, uid,
                                                                   DS_URI, inner, sequence))


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
        admin = {"X-Admin-Secret": server.secret}

        def seed(*fields):
            return json.dumps({"email": "ann@nexora.example", "entries": list(fields)})
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
                ("POST", FEED + query, entry().replace('"0"', '"99999999999999999999"'),
                 {"Content-Type": "application/atom+xml"}, 400),
                ("POST", "/admin/entries", seed({"uid": "u", "sequence": 2 ** 63}), admin, 400),
                ("PATCH", FEED + query, None, {}, 405),
                ("POST", FEED + query, "x", {"Content-Length": str(2 << 20)}, 413),
                ("GET", "/accounts/ClientLogin", None, {}, 405),
                ("POST", "/accounts/ClientLogin", "Email=ann%40nexora.example", {}, 403),
                ("POST", "/accounts/ClientLogin", LOGIN.replace("s%26", "S%26"), {}, 403),
                ("POST", "/accounts/ClientLogin", LOGIN.replace("cl", "xx"), {}, 403),
                ("POST", "/accounts/ClientLogin", b"Email=%ff%fe", {}, 403),
                ("POST", "/admin/entries", "{not json", admin, 400),
                ("POST", "/admin/clock", '{"now": "9999-12-31T23:59:59-01:00"}', admin, 400),
                ("POST", "/admin/clock", '{"advance_seconds": 1e15}', admin, 400),
                ("POST", "/admin/entries", seed({"title": "no uid"}), admin, 400),
                ("POST", "/admin/entries", seed({"xml": 5}), admin, 400),
                ("POST", "/admin/entries", seed({"uid": "u", "status": ["canceled"]}), admin, 400)]:
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

    # --- writes ---------------------------------------------------------------------------

    def write(self, method, address, body=None, query=""):
        """(status, the answered entry element or None)."""
        response, data = self.server.request(method, address + "?" + self.server.session + query,
                                             body, {**self.headers,
                                                    "Content-Type": "application/atom+xml"})
        if response.getheader("Content-Encoding") == "gzip":
            data = gzip.decompress(data)
        return response.status, (ElementTree.fromstring(data) if data.startswith(b"<?xml")
                                 else None)

    def stored(self):
        """(id, version, sequence, deleted, updated) of every stored entry."""
        return [(e["id"], e["version"], e["sequence"], e["deleted"], e["updated"][11:19])
                for e in self.server.admin("GET", "/admin/entries?email=ann@nexora.example"
                                           "&deleted=1")[1]["entries"]]

    def clock(self, now):
        self.server.admin("POST", "/admin/clock", {"now": "2008-03-01T%sZ" % now})

    def test_writes_check_the_version_and_bring_back_deleted_entries(self):
        self.headers = self.server.session_headers()
        self.clock("10:00:00")
        one = FEED + "/one"
        for method, address, body, query, status, version in [
                ("POST", FEED, entry(), "", 201, 1),
                ("POST", FEED, entry(title="again"), "", 409, None),
                ("PUT", one + "/2", entry(title="b"), "", 409, None),
                ("PUT", one + "/1", entry(uid="two@nexora.example"), "", 400, None),
                ("PUT", one + "/1", entry(title="b"), "", 200, 2),
                ("DELETE", one + "/1", None, "", 409, None),
                ("DELETE", one + "/2", None, "", 200, 3),
                ("DELETE", one + "/3", None, "", 404, None),
                ("POST", FEED, entry(), "", 409, None),
                ("PUT", one + "/3", entry(sequence=1), "", 409, None),
                ("PUT", one + "/3", entry(sequence=0), "&showdeleted=true", 409, None),
                ("PUT", one + "/3", entry(sequence=1, title="back"), "&showdeleted=true", 200, 4),
                ("PUT", FEED + "/two/1", entry(uid="two@nexora.example"), "", 404, None)]:
            with self.subTest(method=method, address=address, query=query):
                got, answer = self.write(method, address, body, query)
                self.assertEqual(got, status)
                if version:
                    self.assertEqual(answer.find(ATOM + "link[@rel='edit']").get("href"),
                                     "https://%s%s/%d" % (self.server.address, one, version))
        _, answer = self.write("GET", one)
        self.assertEqual((answer.findtext(ATOM + "title"), answer.find(DS + "eventStatus").get(
            "value"), answer.find(CS + "sequence").get("value")), ("back", DS_URI +
                                                                   "#event.confirmed", "1"))
        self.assertEqual(self.stored(), [("one", 4, 1, False, "10:00:00")])

    def test_deleted_entries_stay_for_show_deleted_reads_and_deltas(self):
        self.headers = self.server.session_headers()
        self.clock("10:00:00")
        for uid in ("one@nexora.example", "two@nexora.example"):
            self.assertEqual(self.write("POST", FEED, entry(uid=uid))[0], 201)
        self.clock("11:00:00")
        self.assertEqual(self.write("DELETE", FEED + "/one/1")[0], 200)
        self.assertEqual(self.write("GET", FEED + "/one")[0], 404)
        _, answer = self.write("GET", FEED + "/one", query="&showdeleted=true")
        self.assertEqual(answer.find(DS + "eventStatus").get("value"), DS_URI + "#event.canceled")
        for query, listed in [("", ["two"]), ("&updated-min=2008-03-01T11:00:00Z", ["one"])]:
            _, feed = self.write("GET", FEED, query=query)
            self.assertEqual([e.findtext(ATOM + "id").rsplit("/", 1)[1] for e in feed.iter(
                ATOM + "entry")], listed)

    def test_series_rules(self):
        self.headers = self.server.session_headers()
        self.clock("10:00:00")
        ser = entry("ser@nexora.example", 2, "s", "<nxd:recurrence>%s</nxd:recurrence>" % RULE)
        at = [("ser", "2008-03-0%dT09:00:00.000Z" % day) for day in (4, 5)]
        for body in [ser] + [entry("ser@nexora.example", 2, "x", original=a) for a in at]:
            self.assertEqual(self.write("POST", FEED, body)[0], 201)
        self.clock("11:00:00")  # the rule written with other line ends is the same rule
        self.assertEqual(self.write("PUT", FEED + "/ser/1", ser.replace("t</", "T</").replace(
            "\n", "&#13;\n").replace(">s<", ">title<").replace('"2"', '"1"'))[0], 200)
        exception = FEED + "/ser_20080304T090000Z/"
        self.assertEqual(self.write("PUT", exception + "2", entry(
            "ser@nexora.example", original=at[0]))[0], 409)
        self.assertEqual(self.stored(), [("ser", 2, 2, False, "11:00:00"),
                                         ("ser_20080304T090000Z", 1, 2, False, "10:00:00"),
                                         ("ser_20080305T090000Z", 1, 2, False, "10:00:00")])
        self.clock("12:00:00")
        self.assertEqual(self.write("PUT", FEED + "/ser/2", ser.replace("COUNT=5", "COUNT=9")
                                    .replace('"2"', '"1"'))[0], 200)
        self.assertEqual(self.stored(), [("ser", 3, 3, False, "12:00:00")])
        _, delta = self.write("GET", FEED, query="&updated-min=2008-03-01T10:30:00Z")
        self.assertEqual(len(delta.findall(ATOM + "entry")), 1)
        # An occurrence without exception entry is written at its series' version.
        occurrence = entry("ser@nexora.example", 3, "moved", original=at[0])
        self.assertEqual(self.write("PUT", exception + "1", occurrence)[0], 409)
        status, answer = self.write("PUT", exception + "3", occurrence)
        self.assertEqual((status, answer.findtext(ATOM + "title")), (200, "moved"))
        for version in "13":  # the removed exception's address reaches the new one no more
            self.assertEqual(self.write("PUT", exception + version, occurrence)[0], 409)
        self.clock("13:00:00")
        self.assertEqual(self.write("DELETE", FEED + "/ser/3")[0], 200)
        self.assertEqual(self.stored(), [("ser", 4, 4, True, "13:00:00"),
                                         ("ser_20080304T090000Z", 3, 3, True, "13:00:00")])

    def test_elements_the_server_does_not_know_travel_back(self):
        self.headers = self.server.session_headers()
        self.clock("10:00:00")
        foreign = ('<id>https://h/x</id><updated>1999-01-01T00:00:00Z</updated><link rel="edit" '
                   'href="https://h/x/9"/><link rel="alternate" href="https://h/page"/>'
                   '<f:thing xmlns:f="urn:nexora.example:f" f:a="1">text<f:in/></f:thing>'
                   '<nxd:where valueString="here" extra="kept"/>')
        status, answer = self.write("POST", FEED, entry(inner=foreign))
        self.assertEqual(status, 201)
        # Sent back as a client does: the entry as answered, edited.
        body = ElementTree.tostring(answer, encoding="unicode").replace(">t<", ">u<")
        status, answer = self.write("PUT", FEED + "/one/1", body)
        self.assertEqual(status, 200)
        self.assertEqual([(e.tag, e.get("rel")) for e in answer if e.tag in (
            ATOM + "id", ATOM + "updated", ATOM + "link")], [
            (ATOM + "id", None), (ATOM + "updated", None), (ATOM + "link", "edit"),
            (ATOM + "link", "self"), (ATOM + "link", "alternate")])
        self.assertEqual((answer.findtext(ATOM + "updated"), answer.findtext(ATOM + "title")),
                         ("2008-03-01T10:00:00.000Z", "u"))
        thing = answer.find("{urn:nexora.example:f}thing")
        self.assertEqual((thing.text, thing.attrib, [c.tag for c in thing]), (
            "text", {"{urn:nexora.example:f}a": "1"}, ["{urn:nexora.example:f}in"]))
        self.assertEqual(answer.find(DS + "where").get("extra"), "kept")

    def test_web_side_edits(self):
        self.clock("10:00:00")
        ann = {"email": "ann@nexora.example", "rel": "attendee", "status": "accepted"}
        self.assertEqual(self.server.seed(
            {"uid": "one@nexora.example", "start": "2008-03-03T09:00:00Z",
             "end": "2008-03-03T10:00:00Z"},
            {"uid": "ser@nexora.example", "recurrence": RULE, "reminder_minutes": 10,
             "sequence": 1, "who": [ann]})[0], 200)

        def edit(uid, **change):
            return self.server.admin("POST", "/admin/edit", {
                "email": "ann@nexora.example", "uid": uid + "@nexora.example", **change})

        def value(path, name):
            return lambda e: e.find(path).get(name)
        move = {"start": "2008-03-04T11:00:00Z", "end": "2008-03-04T12:00:00Z"}
        four = "2008-03-04T09:00:00Z"
        for uid, change, status, check, expected in [
                ("one", {"title": "New"}, 200, lambda e: e.findtext(ATOM + "title"), "New"),
                ("one", {"move": move}, 200, value(DS + "when", "startTime"),
                 "2008-03-04T11:00:00.000Z"),
                ("ser", {"original_start": four, "move": move}, 200,
                 lambda e: (e.find(DS + "when").get("endTime"), e.find(DS + "recurrence"),
                            e.find(DS + "when/" + DS + "reminder").get("minutes"),
                            e.find(DS + "originalEvent/" + DS + "when").get("startTime")),
                 ("2008-03-04T12:00:00.000Z", None, "10", "2008-03-04T09:00:00.000Z")),
                ("ser", {"original_start": "2008-03-05T09:00:00Z", "cancel": True}, 200,
                 value(DS + "eventStatus", "value"), DS_URI + "#event.canceled"),
                ("ser", {"decline": True}, 200, value(DS + "who/" + DS + "attendeeStatus",
                                                      "value"), DS_URI + "#event.declined"),
                ("ser", {"recurrence": RULE + ";INTERVAL=2"}, 200,
                 lambda e: e.find(CS + "sequence").get("value"), "2"),
                ("one", {"delete": True}, 200, value(DS + "eventStatus", "value"),
                 DS_URI + "#event.canceled"),
                ("ser", {"move": move}, 400, None, None),
                ("ser", {"title": "x", "delete": True}, 400, None, None),
                ("ser", {"original_start": four, "title": "x"}, 404, None, None),
                ("none", {"title": "x"}, 404, None, None)]:
            with self.subTest(uid=uid, change=change):
                got, reply = edit(uid, **change)
                self.assertEqual(got, status, reply)
                if check:
                    self.assertEqual(check(ElementTree.fromstring(reply["entry"]["xml"])),
                                     expected)
        self.assertEqual([e[:4] for e in self.stored()],
                         [("one", 4, 0, True), ("ser", 3, 2, False)])

    def test_generated_content_is_poorly_compressible(self):
        status, _ = self.server.admin("POST", "/admin/entries", {
            "email": "ann@nexora.example", "generate": {"count": 2, "content_bytes": 5000}})
        contents = [ElementTree.fromstring(e["xml"]).findtext(ATOM + "content") for e in
                    self.server.admin("GET", "/admin/entries?email=ann@nexora.example")[1][
                        "entries"]]
        self.assertEqual((status, [len(c) for c in contents]), (200, [5000, 5000]))
        self.assertNotEqual(contents[0], contents[1])
        self.assertGreater(len(zlib.compress(contents[0].encode())), 3500)


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
