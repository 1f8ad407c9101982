"""The admin API under /admin/: seeds accounts and entries, shows state, sets the clock,
ends tokens, injects faults. JSON in and out; callers must give the admin secret."""

import hmac
import json
import urllib.parse

import accounts
import entry_ids
import faults
import feed
import times

GENERATED_START = "2008-01-01T09:00:00Z"


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
    entry_id = entry.entry_id()
    if not entry_id or len(entry_id) > 1000:
        raise feed.EntryError("uid %r gives no usable entry id" % entry.uid[:80])
    row = db.execute("SELECT uid, version FROM entries WHERE email=? AND calendar_id=? AND "
                     "entry_id=?", (email, calendar, entry_id)).fetchone()
    if row is not None and row["uid"] != entry.uid:
        raise feed.EntryError("entry %s belongs to another uid" % entry_id)
    version = row["version"] + 1 if row else 1
    body = feed.canceled(entry.body) if deleted else entry.body
    original = None if entry.original_start is None else times.format_value(
        entry.original_start)
    db.execute("INSERT OR REPLACE INTO entries (row, email, calendar_id, entry_id, uid, version,"
               " sequence, updated_ms, deleted, master_entry_id, original_start, xml) VALUES ("
               "(SELECT row FROM entries WHERE email=? AND calendar_id=? AND entry_id=?),"
               " ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               (email, calendar, entry_id, email, calendar, entry_id, entry.uid, version,
                entry.sequence, now_ms, int(deleted), entry.master_entry_id, original,
                body))
    return entry_id, version


def _generated(spec):
    count = spec.get("count") if isinstance(spec, dict) else None
    if type(count) is not int or not 1 <= count <= 200000:
        raise AdminError(400, "generate.count is a whole number from 1 to 200000")
    start = times.parse_iso(spec.get("start", GENERATED_START))
    if start is None or start.date_only:
        raise AdminError(400, "generate.start is an ISO time")
    title = spec.get("title", "Event")
    for n in range(1, count + 1):
        begin = start.ms + (n - 1) * 3600000
        yield feed.entry_from_fields({
            "uid": "gen-%d%s" % (n, entry_ids.MAIL_DOMAIN), "title": "%s %d" % (title, n),
            "start": times.format_iso(begin), "end": times.format_iso(begin + 1800000)}), False


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


def _list(service, query):
    with service.store.transaction() as db:
        email, calendar = _calendar_of(db, query)
        rows = db.execute("SELECT * FROM entries WHERE email=? AND calendar_id=? %s ORDER BY row"
                          % ("" if query.get("deleted") == "1" else "AND deleted=0"),
                          (email, calendar)).fetchall()
    url = feed.feed_url(service.address, calendar)
    return 200, {"entries": [{
        "id": r["entry_id"], "uid": r["uid"], "version": r["version"],
        "sequence": r["sequence"], "updated": times.format_iso(r["updated_ms"]),
        "deleted": bool(r["deleted"]), "xml": feed.entry_xml(r, url, declare=True).rstrip()}
        for r in rows]}


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
            service.faults.clear()
            return 200, {}
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
