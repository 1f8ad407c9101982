"""Persistent state in SQLite: accounts, calendars, tokens, entries and the server clock.

One connection guarded by a lock; every request's changes are one transaction. A long feed
reads its entries in pages, taking the lock once per page, so it blocks nobody for long.
The file is in WAL mode: a committed request survives the process being killed.
"""

import contextlib
import sqlite3
import threading
import time

SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (email TEXT PRIMARY KEY, salt BLOB NOT NULL,
                                     hash BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS calendars (email TEXT NOT NULL, calendar_id TEXT NOT NULL,
                                      PRIMARY KEY (email, calendar_id));
CREATE TABLE IF NOT EXISTS tokens (token_hash TEXT PRIMARY KEY, email TEXT NOT NULL,
                                   expires_ms INTEGER NOT NULL, session TEXT NOT NULL);
-- One row per entry, deleted ones included. `version` rises at every change (it ends the
-- edit address); `updated_ms` is the server clock of the last change; an exception names
-- its master's entry id and its original start (the ISO text of that value).
CREATE TABLE IF NOT EXISTS entries (
  row INTEGER PRIMARY KEY AUTOINCREMENT, email TEXT NOT NULL, calendar_id TEXT NOT NULL,
  entry_id TEXT NOT NULL, uid TEXT NOT NULL, version INTEGER NOT NULL,
  sequence INTEGER NOT NULL, updated_ms INTEGER NOT NULL, deleted INTEGER NOT NULL,
  master_entry_id TEXT, original_start TEXT, xml TEXT NOT NULL,
  UNIQUE (email, calendar_id, entry_id));
-- The last version of each removed entry: an entry made again at that id starts above it,
-- so that an edit address of the removed one cannot change the new one.
CREATE TABLE IF NOT EXISTS retired (email TEXT NOT NULL, calendar_id TEXT NOT NULL,
                                    entry_id TEXT NOT NULL, version INTEGER NOT NULL,
                                    PRIMARY KEY (email, calendar_id, entry_id));
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value);
"""

ENTRY_COLUMNS = ("row, entry_id, uid, version, sequence, updated_ms, deleted, "
                 "master_entry_id, original_start, xml")


class Store:
    def __init__(self, path=None):
        """`path` None keeps everything in memory."""
        self._lock = threading.RLock()
        self._db = sqlite3.connect(path or ":memory:", isolation_level=None,
                                   check_same_thread=False)
        self._db.row_factory = sqlite3.Row
        if path:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")  # durable against a killed process
        self._db.executescript(SCHEMA)
        row = self._db.execute("SELECT value FROM settings WHERE key='clock'").fetchone()
        self._fixed_ms = row[0] if row else None

    def close(self):
        with self._lock:
            self._db.close()

    @contextlib.contextmanager
    def transaction(self):
        """The connection inside one transaction, rolled back when the block raises."""
        with self._lock:
            self._db.execute("BEGIN IMMEDIATE")
            try:
                yield self._db
            except BaseException:
                self._db.execute("ROLLBACK")
                raise
            self._db.execute("COMMIT")

    # The server clock: the real UTC clock until set, then fixed unless advanced.
    def now_ms(self):
        fixed = self._fixed_ms
        return fixed if fixed is not None else time.time_ns() // 1_000_000

    def clock_fixed(self):
        return self._fixed_ms is not None

    def set_clock(self, ms):
        """Fixes the clock at `ms`, or lets it follow the real clock again for None."""
        with self.transaction() as db:
            db.execute("DELETE FROM settings WHERE key='clock'")
            if ms is not None:
                db.execute("INSERT INTO settings VALUES ('clock', ?)", (ms,))
            self._fixed_ms = ms

    def reset(self):
        with self.transaction() as db:
            for table in ("accounts", "calendars", "tokens", "entries", "retired",
                          "settings"):
                db.execute("DELETE FROM " + table)
            self._fixed_ms = None

    def entry_pages(self, email, calendar_id, where, args, also=("0", ()), page=500):
        """Yields the number of rows matching `where` (a condition on entry columns), then
        lists of those rows in row order, one page per lock.

        Rows added after the listing began are left out, so the count stays right; a row
        changed meanwhile shows in one of its states. Rows that match `also` (condition,
        arguments) are listed too: they are those that stopped matching `where` since."""
        base = "email=? AND calendar_id=? AND row<=? AND (%s" % where
        with self._lock:
            top = self._db.execute("SELECT COALESCE(MAX(row), 0) FROM entries").fetchone()[0]
            count = self._db.execute("SELECT COUNT(*) FROM entries WHERE " + base + ")",
                                     (email, calendar_id, top, *args)).fetchone()[0]
        yield count  # never while holding the lock: the consumer writes to the network
        last = 0
        while True:
            with self._lock:
                rows = self._db.execute(
                    "SELECT %s FROM entries WHERE row>? AND %s OR %s) ORDER BY row LIMIT ?"
                    % (ENTRY_COLUMNS, base, also[0]),
                    (last, email, calendar_id, top, *args, *also[1], page)).fetchall()
            if not rows:
                return
            yield rows
            last = rows[-1]["row"]
