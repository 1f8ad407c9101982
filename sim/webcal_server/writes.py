"""Entry writes: add, change and delete with versions and conflicts, and the series rules.

Every write raises the entry's version (the last segment of its edit address) and sets its
`updated` to the server clock. A write at an address whose version is not the current one
is a conflict (409): the writer has not seen the latest change.
"""

import re
import urllib.parse

import feed
import times

ADDRESS = re.compile(r"(.+)/([0-9]{1,18})\Z")


class WriteError(Exception):
    """A write that is refused: `status` and a short text for the answer."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status, self.message = status, message


class Calendar:
    """One account's calendar inside a transaction."""

    def __init__(self, db, email, calendar_id, now_ms):
        self.db, self.email, self.calendar_id, self.now = db, email, calendar_id, now_ms

    def row(self, entry_id):
        return self.db.execute("SELECT * FROM entries WHERE email=? AND calendar_id=? AND "
                               "entry_id=?", (self.email, self.calendar_id, entry_id)).fetchone()

    def put(self, entry_id, uid, version, sequence, deleted, master, original, body):
        """Stores one row (keeping its place in the listing order); returns it."""
        self.db.execute(
            "INSERT OR REPLACE INTO entries (row, email, calendar_id, entry_id, uid, version,"
            " sequence, updated_ms, deleted, master_entry_id, original_start, xml) VALUES ("
            "(SELECT row FROM entries WHERE email=? AND calendar_id=? AND entry_id=?),"
            " ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (self.email, self.calendar_id, entry_id, self.email, self.calendar_id, entry_id, uid,
             version, sequence, self.now, int(deleted), master, original, body))
        return self.row(entry_id)

    def first_version(self, entry_id):
        """The version of a new entry at this id."""
        row = self.db.execute("SELECT version FROM retired WHERE email=? AND calendar_id=? AND "
                              "entry_id=?", (self.email, self.calendar_id, entry_id)).fetchone()
        return row[0] + 1 if row else 1

    def exceptions(self, master_id):
        return self.db.execute("SELECT * FROM entries WHERE email=? AND calendar_id=? AND "
                               "master_entry_id=?", (self.email, self.calendar_id,
                                                     master_id)).fetchall()

    # --- the writes -----------------------------------------------------------------------

    def add(self, entry):
        """A new entry (POST); its id must never have been used, deleted ones included."""
        entry_id = usable_id(entry)
        if self.row(entry_id) is not None:
            raise WriteError(409, "entry %s exists already\n" % entry_id)
        original = None if entry.original_start is None else times.format_value(
            entry.original_start)
        return self.put(entry_id, entry.uid, self.first_version(entry_id), entry.sequence,
                        False, entry.master_entry_id,
                        original, feed.with_sequence(entry.body, entry.sequence))

    def update(self, entry_id, version, entry, show_deleted):
        """A changed entry (PUT at its edit address)."""
        row = self.row(entry_id)
        if row is None:
            return self.add_occurrence(entry_id, version, entry)
        if row["uid"] != entry.uid:
            raise WriteError(400, "the entry at this address has another nxCal:uid\n")
        if version != row["version"]:
            raise WriteError(409, "version %d is not the current one\n" % version)
        if row["deleted"] and not (show_deleted and entry.sequence > row["sequence"]):
            # Only a writer that saw the deletion, and says so with a higher sequence, may
            # bring the entry back.
            raise WriteError(409, "the entry is deleted\n")
        return self.change(row, entry.body, entry.sequence)

    def add_occurrence(self, entry_id, version, entry):
        """A write at the address of an occurrence that has no exception entry (never made,
        or dropped when its series changed): made at the version of its series' master."""
        master = None
        if entry.master_entry_id is not None and entry.entry_id() == entry_id:
            master = self.row(entry.master_entry_id)
        if master is None or master["deleted"] or feed.recurrence(master["xml"]) is None:
            raise WriteError(404, "no such entry\n")
        if entry.uid != master["uid"]:
            raise WriteError(400, "the occurrence has another nxCal:uid than its series\n")
        if version != master["version"]:
            raise WriteError(409, "version %d is not the current one of the series\n" % version)
        return self.put(entry_id, entry.uid, self.first_version(entry_id), entry.sequence,
                        False, master["entry_id"],
                        times.format_value(entry.original_start),
                        feed.with_sequence(entry.body, entry.sequence))

    def change(self, row, body, sequence):
        """Stores a new body for a row (live afterwards), with the series rules: a master
        whose rule changes gets a higher sequence and loses its exceptions entirely (the
        client drops them by the sequence); otherwise the sequence never goes down."""
        stored = row["sequence"]
        rule_changed = row["master_entry_id"] is None and (
            feed.recurrence(row["xml"]) != feed.recurrence(body))
        if rule_changed:
            sequence = max(stored + 1, sequence)
            key = (self.email, self.calendar_id, row["entry_id"])
            self.db.execute("INSERT OR REPLACE INTO retired SELECT email, calendar_id, entry_id,"
                            " version FROM entries WHERE email=? AND calendar_id=? AND "
                            "master_entry_id=?", key)
            self.db.execute("DELETE FROM entries WHERE email=? AND calendar_id=? AND "
                            "master_entry_id=?", key)
        else:
            sequence = max(stored, sequence)
        if sequence > feed.MAX_SEQUENCE:
            raise WriteError(409, "the sequence cannot rise further\n")
        return self.put(row["entry_id"], row["uid"], row["version"] + 1, sequence, False,
                        row["master_entry_id"], row["original_start"],
                        feed.with_sequence(body, sequence))

    def delete(self, entry_id, version):
        """Marks an entry deleted (DELETE at its edit address); a master takes its live
        exceptions with it and its sequence rises by one."""
        row = self.row(entry_id)
        if row is None or row["deleted"]:
            raise WriteError(404, "no such entry\n")
        if version != row["version"]:
            raise WriteError(409, "version %d is not the current one\n" % version)
        return self.mark_deleted(row)

    def mark_deleted(self, row):
        sequence = row["sequence"]
        if row["master_entry_id"] is None and feed.recurrence(row["xml"]) is not None:
            sequence = min(sequence + 1, feed.MAX_SEQUENCE)
            for exception in self.exceptions(row["entry_id"]):
                if not exception["deleted"]:
                    self.mark_deleted(exception)
        return self.put(row["entry_id"], row["uid"], row["version"] + 1, sequence, True,
                        row["master_entry_id"], row["original_start"],
                        feed.with_sequence(feed.canceled(row["xml"]), sequence))


def usable_id(entry):
    entry_id = entry.entry_id()
    if not entry_id or len(entry_id) > 1000:
        raise feed.EntryError("uid %r gives no usable entry id" % entry.uid[:80])
    return entry_id


def edit_address(rest):
    """(entry id, version) of the part of an edit address after the feed, still escaped."""
    match = ADDRESS.match(rest)
    if not match:
        raise WriteError(400, "an edit address ends in /<version>\n")
    return urllib.parse.unquote(match.group(1)), int(match.group(2))
