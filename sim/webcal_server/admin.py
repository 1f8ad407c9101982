"""The admin API under /admin/: seeds accounts and entries, shows state, sets the clock,
ends tokens, injects faults. JSON in and out; callers must give the admin secret."""

import base64
import hmac
import json
import random
import urllib.parse
import xml.etree.ElementTree as ElementTree

import accounts
import entry_ids
import faults
import feed
import times
import writes
from namespaces import ATOM, DS

GENERATED_START = "2008-01-01T09:00:00Z"
CONTENT_LIMIT, GENERATED_LIMIT = 1 << 20, 1 << 30


class AdminError(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status, self.message = status, message


def _object(body):
    try:
        value = json.loads(body.decode("utf-8")) if body.strip() else {}
    except (UnicodeDecodeError, ValueError) as error:
        raise AdminError(400, "the body is not JSON: %s" % error) from None
    if not isinstance(value, dict):
        raise AdminError(400, "the body is not a JSON object")
    return value


def _text(request, name, default=None):
    value = request.get(name, default)
    if not isinstance(value, str) or not value:
        raise AdminError(400, "%s is required (a non-empty text)" % name)
    return value


def _calendar_of(db, request):
    email = accounts.normal_email(_text(request, "email"))
    calendar = _text(request, "calendar", "default")
    if db.execute("SELECT 1 FROM calendars WHERE email=? AND calendar_id=?",
                  (email, calendar)).fetchone() is None:
        raise AdminError(404, "no calendar %r for that account" % calendar)
    return email, calendar


def store_entry(db, email, calendar, entry, deleted, now_ms):
    """Adds the entry or changes the one of its id (raising its version); returns
    (entry id, version)."""
    entry_id = writes.usable_id(entry)
    target = writes.Calendar(db, email, calendar, now_ms)
    row = target.row(entry_id)
    if row is not None and row["uid"] != entry.uid:
        raise feed.EntryError("entry %s belongs to another uid" % entry_id)
    body = feed.canceled(entry.body) if deleted else entry.body
    original = None if entry.original_start is None else times.format_value(
        entry.original_start)
    version = row["version"] + 1 if row else target.first_version(entry_id)
    row = target.put(entry_id, entry.uid, version, entry.sequence,
                     deleted, entry.master_entry_id, original, body)
    return entry_id, row["version"]


def _generated(spec):
    count = spec.get("count") if isinstance(spec, dict) else None
    if type(count) is not int or not 1 <= count <= 200000:
        raise AdminError(400, "generate.count is a whole number from 1 to 200000")
    start = times.parse_iso(spec.get("start", GENERATED_START))
    if start is None or start.date_only:
        raise AdminError(400, "generate.start is an ISO time")
    title = spec.get("title", "Event")
    size = spec.get("content_bytes", 0)
    if type(size) is not int or not 0 <= size <= CONTENT_LIMIT or size * count > GENERATED_LIMIT:
        raise AdminError(400, "generate.content_bytes is a whole number up to %d, and %d in all"
                         % (CONTENT_LIMIT, GENERATED_LIMIT))
    noise = random.Random(count)  # the same content for the same request
    for n in range(1, count + 1):
        begin = start.ms + (n - 1) * 3600000
        fields = {"uid": "gen-%d%s" % (n, entry_ids.MAIL_DOMAIN), "title": "%s %d" % (title, n),
                  "start": times.format_iso(begin), "end": times.format_iso(begin + 1800000)}
        if size:  # random bytes written in base64: deflate saves a quarter at most
            fields["content"] = base64.b64encode(noise.randbytes(size)).decode()[:size]
        yield feed.entry_from_fields(fields), False


def _seed(service, request):
    with service.store.transaction() as db:
        email, calendar = _calendar_of(db, request)
        if "generate" in request:
            given = _generated(request["generate"])
        else:
            specs = request.get("entries")
            if not isinstance(specs, list) or not all(isinstance(s, dict) for s in specs):
                raise AdminError(400, "entries is a list of objects")
            given = ((feed.entry_from_xml(s["xml"]) if "xml" in s else
                      feed.entry_from_fields(s), s.get("deleted") is True) for s in specs)
        now, stored = service.store.now_ms(), []
        for entry, deleted in given:
            entry_id, version = store_entry(db, email, calendar, entry, deleted, now)
            stored.append({"id": entry_id, "uid": entry.uid, "version": version})
    return 200, {"entries": stored}


EDITS = ("title", "move", "cancel", "decline", "delete", "recurrence")


def _times(request):
    move = request["move"]
    if not isinstance(move, dict):
        raise AdminError(400, "move is {\"start\", \"end\"}")
    start, end = (times.parse_iso(move.get(n)) for n in ("start", "end"))
    if start is None or end is None or start.date_only != end.date_only or end.ms < start.ms:
        raise AdminError(400, "move.start and move.end are ISO times or dates, in order")
    return start, end


def _set_when(root, start, end):
    when = feed.child(root, "{%s}when" % DS)
    when.set("startTime", times.format_value(start))
    when.set("endTime", times.format_value(end))


def _occurrence_body(master, original, start, end):
    """A new exception's body: the master's, with the occurrence's times instead of the
    rule (an alert reminder of the series moves into the times)."""
    def change(root):
        for tag in ("recurrence", "when"):
            for element in root.findall("{%s}%s" % (DS, tag)):
                root.remove(element)
        _set_when(root, start or original, end or original)
        for reminder in root.findall("{%s}reminder" % DS):
            root.remove(reminder)
            root.find("{%s}when" % DS).append(reminder)
    return feed.edited(master["xml"], change)


def _decline(email):
    def change(root):
        who = next((w for w in root.findall("{%s}who" % DS)
                    if (w.get("email") or "").lower() == email), None)
        if who is None:
            who = ElementTree.SubElement(root, "{%s}who" % DS, {
                "valueString": email, "email": email, "rel": DS + "#event.attendee"})
            ElementTree.SubElement(who, "{%s}attendeeType" % DS, {
                "value": DS + "#event.required"})
        feed.child(who, "{%s}attendeeStatus" % DS).set("value", DS + "#event.declined")
    return change


def _edit(service, request):
    """A change made on the web side, as another client would make it."""
    actions = [name for name in EDITS if name in request]
    if len(actions) != 1:
        raise AdminError(400, "give exactly one of " + ", ".join(EDITS))
    action, value = actions[0], request[actions[0]]
    if action in ("cancel", "decline", "delete") and value is not True:
        raise AdminError(400, action + " is true")
    if action in ("title", "recurrence") and not isinstance(value, str):
        raise AdminError(400, action + " is a text")
    with service.store.transaction() as db:
        email, calendar_id = _calendar_of(db, request)
        calendar = writes.Calendar(db, email, calendar_id, service.store.now_ms())
        master_id = entry_ids.entry_id_for_uid(_text(request, "uid"))
        master = calendar.row(master_id)
        original = None
        if "original_start" in request:
            original = times.parse_iso(request["original_start"]) if isinstance(
                request["original_start"], str) else None
            if original is None:
                raise AdminError(400, "original_start is an ISO time or date")
            if action == "recurrence":
                raise AdminError(400, "a rule belongs to the series, not to an occurrence")
        elif action == "cancel":
            raise AdminError(400, "cancel needs original_start")
        entry_id = master_id if original is None else entry_ids.exception_id(master_id,
                                                                              original)
        row = calendar.row(entry_id)
        start = end = None
        if action == "move":
            start, end = _times(request)
        if row is None or row["deleted"]:
            if original is None or action not in ("move", "cancel", "decline") or (
                    master is None or master["deleted"] or
                    feed.recurrence(master["xml"]) is None):
                raise AdminError(404, "no such entry")
            # The first change of an occurrence makes its exception entry.
            calendar.put(entry_id, master["uid"], row["version"] if row else
                         calendar.first_version(entry_id) - 1,
                         master["sequence"], False, master_id, times.format_value(original),
                         _occurrence_body(master, original, start, end))
            row = calendar.row(entry_id)
        is_series = row["master_entry_id"] is None and feed.recurrence(row["xml"]) is not None
        if action == "move" and is_series:
            raise AdminError(400, "an occurrence of a series is moved with original_start")
        if action == "recurrence" and row["master_entry_id"] is not None:
            raise AdminError(400, "a rule belongs to the series, not to an occurrence")
        if action == "delete":
            row = calendar.mark_deleted(row)
        else:
            def change(root):
                if action == "title":
                    title = feed.child(root, "{%s}title" % ATOM)
                    title.clear()
                    title.set("type", "text")
                    title.text = value
                elif action == "move":
                    _set_when(root, start, end)
                elif action == "cancel":
                    feed.child(root, "{%s}eventStatus" % DS).set("value", feed.CANCELED)
                elif action == "decline":
                    _decline(email)(root)
                else:
                    for when in root.findall("{%s}when" % DS):
                        root.remove(when)  # a series carries its times in the rule
                    feed.child(root, "{%s}recurrence" % DS).text = value
            row = calendar.change(row, feed.edited(row["xml"], change), row["sequence"])
    return 200, {"entry": _listed(row, feed.feed_url(service.address, calendar_id))}


def _listed(row, url):
    return {"id": row["entry_id"], "uid": row["uid"], "version": row["version"],
            "sequence": row["sequence"], "updated": times.format_iso(row["updated_ms"]),
            "deleted": bool(row["deleted"]), "xml": feed.entry_xml(row, url, declare=True).rstrip()}


def _list(service, query):
    with service.store.transaction() as db:
        email, calendar = _calendar_of(db, query)
        rows = db.execute("SELECT * FROM entries WHERE email=? AND calendar_id=? %s ORDER BY row"
                          % ("" if query.get("deleted") == "1" else "AND deleted=0"),
                          (email, calendar)).fetchall()
    url = feed.feed_url(service.address, calendar)
    return 200, {"entries": [_listed(r, url) for r in rows]}


def _clock(service, method, request):
    if method == "POST":
        if "now" in request:
            moment = times.parse_iso(request["now"]) if isinstance(request["now"], str) else None
            if moment is None:
                raise AdminError(400, "now is an ISO time")
            service.store.set_clock(moment.ms)
        elif "advance_seconds" in request:
            step = request["advance_seconds"]
            now = service.store.now_ms() + int(step * 1000) if type(step) in (int, float) and (
                abs(step) < 1e12) else None
            if now is None or not times.MIN_MS <= now <= times.MAX_MS:
                raise AdminError(400, "advance_seconds is a number that keeps the clock in "
                                      "the years 1 to 9999")
            service.store.set_clock(now)
        elif request.get("real") is True:
            service.store.set_clock(None)
        else:
            raise AdminError(400, "give now, advance_seconds or real")
    return 200, {"now": times.format_iso(service.store.now_ms()),
                 "fixed": service.store.clock_fixed()}


def handle(service, method, path, query_text, headers, body):
    """The answer (status, JSON value) to one admin request."""
    if not hmac.compare_digest(headers.get("X-Admin-Secret", "").encode(),
                               service.secret.encode()):
        return 403, {"error": "the admin secret is missing or wrong"}
    query = {k: v[-1] for k, v in urllib.parse.parse_qs(query_text).items()}
    route = (method, path)
    try:
        request = _object(body) if method in ("POST", "PUT") else {}
        if route == ("POST", "/admin/accounts"):
            password, calendars = request.get("password"), request.get("calendars", ["default"])
            if not isinstance(password, str) or not isinstance(calendars, list) or not all(
                    isinstance(c, str) and c and "/" not in c for c in calendars):
                raise AdminError(400, "password is a text, calendars a list of ids without /")
            with service.store.transaction() as db:
                new = accounts.put_account(db, _text(request, "email"), password, calendars)
                email = accounts.normal_email(request["email"])
                return (201 if new else 200), {"email": email,
                                               "calendars": accounts.calendars_of(db, email)}
        if route == ("POST", "/admin/entries"):
            return _seed(service, request)
        if route == ("POST", "/admin/edit"):
            return _edit(service, request)
        if route == ("GET", "/admin/entries"):
            return _list(service, query)
        if path == "/admin/clock" and method in ("GET", "POST"):
            return _clock(service, method, request)
        if route == ("POST", "/admin/tokens/expire"):
            email = request.get("email")
            if email is not None and not isinstance(email, str):
                raise AdminError(400, "email is a text")
            with service.store.transaction() as db:
                return 200, {"expired": accounts.expire_tokens(db, email)}
        if route == ("POST", "/admin/faults"):
            return 200, {"fault": service.faults.add(request)}
        if route == ("DELETE", "/admin/faults"):
            return 200, {"pending": service.faults.clear()}
        if route == ("GET", "/admin/log"):
            wanted = query.get("count", "0")
            if not (wanted.isascii() and wanted.isdigit()):
                raise AdminError(400, "count is a whole number")
            return 200, {"requests": service.faults.log(int(wanted))}
        if route == ("POST", "/admin/reset"):
            service.store.reset()
            service.faults.reset()
            return 200, {}
    except AdminError as error:
        return error.status, {"error": error.message}
    except (feed.EntryError, faults.FaultError) as error:
        return 400, {"error": str(error)}
    return 404, {"error": "no admin call %s %s" % route}
