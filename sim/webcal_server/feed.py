"""Entry and feed documents: stored entry bodies, their XML form, the streamed feed.

An entry is stored as its body: the XML of its children without the elements the server
writes itself (id, updated, the edit and self links, nxd:originalEvent), so that elements
the server does not understand travel back unchanged. Documents are written by hand, with
the prefixes the client matches as written (Atom as the default namespace, nxd, nxCal).
"""

import re
import urllib.parse
import xml.etree.ElementTree as ElementTree

import entry_ids
import times
from namespaces import ATOM, CS, DS, OPENSEARCH, PREFIXES

XML_NAMESPACE = "http://www.w3.org/XML/1998/namespace"
DECLARATIONS = ' xmlns="%s" xmlns:openSearch="%s" xmlns:nxd="%s" xmlns:nxCal="%s"' % (
    ATOM, OPENSEARCH, DS, CS)
ENTRY_DECLARATIONS = ' xmlns="%s" xmlns:nxd="%s" xmlns:nxCal="%s"' % (ATOM, DS, CS)
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")
_TEXT = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", "\r": "&#13;"})
_ATTRIBUTE = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                            "\n": "&#10;", "\r": "&#13;", "\t": "&#9;"})
# Form values accepted from the admin API, and the value written for each.
STATUS = {"confirmed": "event.confirmed", "tentative": "event.tentative",
          "canceled": "event.canceled"}
TRANSPARENCY = {"opaque": "event.opaque", "transparent": "event.transparent"}
REL = {"organizer": "event.organizer", "attendee": "event.attendee"}
ATTENDEE_TYPE = {"required": "event.required", "optional": "event.optional"}
ATTENDEE_STATUS = {"accepted": "event.accepted", "declined": "event.declined",
                   "tentative": "event.tentative", "invited": "event.invited"}
CANCELED = DS + "#event.canceled"
# Numbers kept in the database's 64-bit integers; the client reads them as 32-bit ones.
MAX_SEQUENCE = 2 ** 31 - 1


class EntryError(ValueError):
    """An entry that cannot be stored; the text says why."""


def text(value):
    return _checked(value).translate(_TEXT)


def attribute(value):
    return _checked(value).translate(_ATTRIBUTE)


def _checked(value):
    if not isinstance(value, str) or _NOT_XML.search(value):
        raise EntryError("text that XML cannot carry: %r" % (value,)[:80])
    return value


class Entry:
    """What the server knows of an entry besides its body."""

    def __init__(self, uid, sequence, body, master_entry_id=None, original_start=None):
        self.uid, self.sequence, self.body = uid, sequence, body
        self.master_entry_id, self.original_start = master_entry_id, original_start

    def entry_id(self):
        if self.master_entry_id is not None:
            return entry_ids.exception_id(self.master_entry_id, self.original_start)
        return entry_ids.entry_id_for_uid(self.uid)


def integer(value):
    """A decimal number as the client reads one: leading blanks, a sign, digits up to the
    first non-digit; no digits give 0."""
    match = re.match(r" *([+-]?)(\d*)", value or "")
    number = int(match.group(2) or "0")
    return -number if match.group(1) == "-" else number


# --- Entries given as fields -------------------------------------------------------------

def _moment(fields, name):
    moment = times.parse_iso(fields[name]) if name in fields else None
    if name in fields and moment is None:
        raise EntryError("%s is not an ISO time or date" % name)
    return moment


def _choice(fields, name, table, default):
    value = fields.get(name, default)
    if not isinstance(value, str) or value not in table:
        raise EntryError("%s must be one of %s" % (name, ", ".join(sorted(table))))
    return DS + "#" + table[value]


def _whole(fields, name, default):
    value = fields.get(name, default)
    if value is None or isinstance(value, bool) or not isinstance(value, int) or not (
            0 <= value <= MAX_SEQUENCE):
        raise EntryError("%s must be a whole number from 0 to %d" % (name, MAX_SEQUENCE))
    return value


def entry_from_fields(fields):
    """An Entry from the admin API's fields; raises EntryError."""
    uid = fields.get("uid", fields.get("master_uid"))
    if not isinstance(uid, str) or not uid:
        raise EntryError("uid is required")
    start, end, original = (_moment(fields, n) for n in ("start", "end", "original_start"))
    recurrence = fields.get("recurrence")
    if (start is None) != (end is None) or (start and end and start.date_only != end.date_only):
        raise EntryError("start and end come together, both dates or both times")
    if recurrence is not None and start is not None:
        raise EntryError("a series carries its times in the recurrence")
    if ("master_uid" in fields) != (original is not None):
        raise EntryError("an exception needs master_uid and original_start")
    sequence = _whole(fields, "sequence", 0)
    reminder = ""
    if "reminder_minutes" in fields:
        reminder = '<nxd:reminder method="alert" minutes="%d"/>' % _whole(
            fields, "reminder_minutes", 0)
    parts = ['<category scheme="%s#kind" term="%s#event"/>' % (DS, DS),
             '<title type="text">%s</title>' % text(fields.get("title", "")),
             '<content type="text">%s</content>' % text(fields.get("content", "")),
             '<nxd:where valueString="%s"/>' % attribute(fields.get("where", ""))]
    if start is not None:
        when = '<nxd:when startTime="%s" endTime="%s"' % (times.format_value(start),
                                                          times.format_value(end))
        parts.append(when + (">%s</nxd:when>" % reminder if reminder else "/>"))
    parts.append('<nxd:transparency value="%s"/>' % _choice(
        fields, "transparency", TRANSPARENCY, "opaque"))
    parts.append('<nxd:eventStatus value="%s"/>' % (
        CANCELED if fields.get("deleted") is True else
        _choice(fields, "status", STATUS, "confirmed")))
    who = fields.get("who", [])
    if not isinstance(who, list) or not all(isinstance(w, dict) for w in who):
        raise EntryError("who must be a list of objects")
    for guest in who:
        rel = _choice(guest, "rel", REL, "attendee")
        children = "" if rel.endswith("organizer") else '<nxd:attendeeType value="%s"/>' % (
            _choice(guest, "type", ATTENDEE_TYPE, "required"))
        if "status" in guest:
            children += '<nxd:attendeeStatus value="%s"/>' % _choice(
                guest, "status", ATTENDEE_STATUS, "invited")
        parts.append('<nxd:who valueString="%s" email="%s" rel="%s">%s</nxd:who>' % (
            attribute(guest.get("name", "")), attribute(guest.get("email", "")), rel, children))
    if recurrence is not None:
        parts.append("<nxd:recurrence>%s</nxd:recurrence>%s" % (text(recurrence), reminder))
    parts += ['<nxCal:uid value="%s"/>' % attribute(uid),
              '<nxCal:sequence value="%d"/>' % sequence, '<nxCal:syncEvent value="true"/>']
    master = None if original is None else entry_ids.entry_id_for_uid(fields["master_uid"])
    return Entry(uid, sequence, "".join(parts), master, original)


# --- Entries given as XML ----------------------------------------------------------------

def _qualified(name, scope, declarations):
    """Writes `{uri}local` with this document's prefixes; other namespaces get a prefix
    declared where first needed (added to `declarations`)."""
    if name[0] != "{":
        return name
    uri, local = name[1:].split("}", 1)
    if uri == XML_NAMESPACE:
        return "xml:" + local
    prefix = PREFIXES.get(uri, scope.get(uri))
    if prefix is None:
        prefix = scope[uri] = "ns%d" % len(scope)
        declarations.append(' xmlns:%s="%s"' % (prefix, attribute(uri)))
    return prefix + ":" + local if prefix else local


def serialize(element, scope=None, default=ATOM):
    """The XML text of an element parsed by ElementTree, in this document's prefixes."""
    scope = dict(scope or {})
    declarations = []
    name = _qualified(element.tag, scope, declarations)
    uri = element.tag[1:].split("}", 1)[0] if element.tag[0] == "{" else ""
    if uri in ("", ATOM) and uri != default:  # the default namespace changes here
        declarations.append(' xmlns="%s"' % uri)
        default = uri
    attributes = "".join(' %s="%s"' % (_qualified(key, scope, declarations), attribute(value))
                         for key, value in element.attrib.items())
    inner = text(element.text or "") + "".join(
        serialize(child, scope, default) + text(child.tail or "") for child in element)
    head = "<" + name + "".join(declarations) + attributes
    return head + ("/>" if not inner else ">" + inner + "</" + name + ">")


def _server_written(child):
    return (child.tag in ("{%s}id" % ATOM, "{%s}updated" % ATOM, "{%s}originalEvent" % DS)
            or (child.tag == "{%s}link" % ATOM and child.get("rel") in ("edit", "self")))


def entry_from_xml(document):
    """An Entry from the XML text of an Atom entry; raises EntryError."""
    if not isinstance(document, str):
        raise EntryError("xml is a text")
    try:
        root = ElementTree.fromstring(document)
    except (ElementTree.ParseError, ValueError) as error:
        raise EntryError("not well-formed XML: %s" % error) from None
    if root.tag != "{%s}entry" % ATOM:
        raise EntryError("the root element is not an Atom entry")
    uid = root.find("{%s}uid" % CS)
    if uid is None or not uid.get("value"):
        raise EntryError("the entry has no nxCal:uid value")
    sequence = root.find("{%s}sequence" % CS)
    master, original = None, None
    origin = root.find("{%s}originalEvent" % DS)
    if origin is not None:
        when = origin.find("{%s}when" % DS)
        original = times.parse_iso(when.get("startTime", "") if when is not None else "")
        master = urllib.parse.unquote(origin.get("id") or (origin.get("href") or "").rstrip(
            "/").rsplit("/", 1)[-1])
        if original is None or not master:
            raise EntryError("nxd:originalEvent needs an id and a nxd:when startTime")
    number = max(0, integer(sequence.get("value") if sequence is not None else "0"))
    if number > MAX_SEQUENCE:
        raise EntryError("nxCal:sequence is above %d" % MAX_SEQUENCE)
    body = text(root.text or "") + "".join(
        serialize(item) + text(item.tail or "") for item in root if not _server_written(item))
    return Entry(uid.get("value"), number, body, master, original)


def edited(body, change):
    """The body after `change(root)` edited it, `root` being an entry element holding it."""
    root = ElementTree.fromstring("<entry%s>%s</entry>" % (ENTRY_DECLARATIONS, body))
    change(root)
    return text(root.text or "") + "".join(serialize(c) + text(c.tail or "") for c in root)


def child(root, tag, create=True):
    """The first child `{uri}local` of root, appended when missing and `create`."""
    found = root.find(tag)
    if found is None and create:
        found = ElementTree.SubElement(root, tag)
    return found


def canceled(body):
    """The body with its nxd:eventStatus (added when missing) set to canceled."""
    return edited(body, lambda root: child(root, "{%s}eventStatus" % DS).set("value", CANCELED))


def with_sequence(body, sequence):
    """The body with nxCal:sequence saying `sequence`; unchanged when it already does, or
    when it has none and the number is 0."""
    root = ElementTree.fromstring("<entry%s>%s</entry>" % (ENTRY_DECLARATIONS, body))
    element = root.find("{%s}sequence" % CS)
    if (element.get("value") if element is not None else "0") == str(sequence):
        return body
    return edited(body, lambda r: child(r, "{%s}sequence" % CS).set("value", str(sequence)))


def recurrence(body):
    """The nxd:recurrence text of a body with line ends and outer blanks evened out, or
    None without one: two texts that differ only so describe the same series."""
    root = ElementTree.fromstring("<entry%s>%s</entry>" % (ENTRY_DECLARATIONS, body))
    element = root.find("{%s}recurrence" % DS)
    if element is None:
        return None
    lines = "".join(element.itertext()).replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return "\n".join(line.strip() for line in lines).strip()


# --- Documents ---------------------------------------------------------------------------

def feed_url(host, calendar_id):
    return "https://%s/calendar/feeds/%s/private/full" % (
        host, urllib.parse.quote(calendar_id, safe="@"))


def entry_xml(row, url, declare=False):
    """One stored entry row as an Atom entry; `url` is its feed's URL."""
    address = url + "/" + urllib.parse.quote(row["entry_id"], safe="@")
    origin = ""
    if row["master_entry_id"] is not None:
        master = urllib.parse.quote(row["master_entry_id"], safe="@")
        origin = ('<nxd:originalEvent id="%s" href="%s"><nxd:when startTime="%s"/>'
                  '</nxd:originalEvent>' % (attribute(master), attribute(url + "/" + master),
                                             row["original_start"]))
    return ('<entry%s><id>%s</id><updated>%s</updated><link rel="edit" '
            'type="application/atom+xml" href="%s/%d"/><link rel="self" '
            'type="application/atom+xml" href="%s"/>%s%s</entry>\n' % (
                ENTRY_DECLARATIONS if declare else "", text(address),
                times.format_iso(row["updated_ms"]), attribute(address), row["version"],
                attribute(address), row["xml"], origin))


def entry_document(row, url):
    return "<?xml version='1.0' encoding='UTF-8'?>\n" + entry_xml(row, url, declare=True)


def feed_pieces(url, title, complete_ms, pages, limit=None):
    """The feed as text pieces: the head, then one piece per page of entries.

    `pages` yields the number of entries, then lists of rows (Store.entry_pages);
    `complete_ms` is the time up to which the listing is complete; `limit` caps the
    number of entries."""
    count = next(pages)
    count = count if limit is None else min(count, limit)
    yield ("<?xml version='1.0' encoding='UTF-8'?>\n<feed%s><id>%s</id><updated>%s</updated>"
           '<title type="text">%s</title><openSearch:totalResults>%d</openSearch:totalResults>'
           "<openSearch:startIndex>1</openSearch:startIndex><openSearch:itemsPerPage>%d"
           "</openSearch:itemsPerPage>\n" % (DECLARATIONS, text(url),
                                             times.format_iso(complete_ms), text(title),
                                             count, count if limit is None else limit))
    left = count
    for rows in pages:
        rows = rows[:left]
        left -= len(rows)
        if rows:
            yield "".join(entry_xml(row, url) for row in rows)
        if left == 0:
            break
    yield "</feed>\n"
