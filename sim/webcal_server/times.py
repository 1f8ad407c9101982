"""Time values of the protocol: milliseconds since 1970 (UTC) and the texts that carry them."""

import datetime
import re

UTC = datetime.timezone.utc
EPOCH = datetime.datetime(1970, 1, 1, tzinfo=UTC)
# The times that can be written: 0001-01-01 to 9999-12-31 (milliseconds since 1970).
MIN_MS, MAX_MS = -62135596800000, 253402300799999
_ISO = re.compile(r"(\d{4})-(\d{2})-(\d{2})(?:T(\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,6}))?"
                  r"(Z|[+-]\d{2}:?\d{2})?)?\Z")


class Moment:
    """A parsed time: `ms` since the epoch in UTC; `date_only` for an all-day date."""

    def __init__(self, ms, date_only=False):
        self.ms, self.date_only = ms, date_only

    def __eq__(self, other):
        return (self.ms, self.date_only) == (other.ms, other.date_only)

    def __repr__(self):
        return "Moment(%s)" % format_value(self)


def parse_iso(text):
    """'YYYY-MM-DD' (a date) or 'YYYY-MM-DDTHH:MM:SS[.fff][Z|+HH:MM]' (no zone: UTC).
    Returns a Moment, or None for any other text or an impossible date."""
    match = _ISO.match(text.strip()) if isinstance(text, str) else None
    if not match:
        return None
    year, month, day, hour, minute, second, fraction, zone = match.groups()
    try:
        if hour is None:
            value = datetime.datetime(int(year), int(month), int(day), tzinfo=UTC)
            return Moment((value - EPOCH) // datetime.timedelta(milliseconds=1), True)
        offset = datetime.timedelta()
        if zone and zone != "Z":
            digits = zone[1:].replace(":", "")
            offset = datetime.timedelta(hours=int(digits[:2]), minutes=int(digits[2:]))
            offset = -offset if zone[0] == "-" else offset
        value = datetime.datetime(int(year), int(month), int(day), int(hour), int(minute),
                                  int(second), int((fraction or "0").ljust(6, "0")), tzinfo=UTC)
        return Moment((value - offset - EPOCH) // datetime.timedelta(milliseconds=1))
    except (ValueError, OverflowError):  # no such date, or beyond year 9999 once in UTC
        return None


def _datetime(ms):
    return EPOCH + datetime.timedelta(milliseconds=ms)


def format_iso(ms):
    """'YYYY-MM-DDTHH:MM:SS.mmmZ' in UTC."""
    value = _datetime(ms)
    return value.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (value.microsecond // 1000)


def format_value(moment):
    """A date as 'YYYY-MM-DD', a time as format_iso."""
    return _datetime(moment.ms).strftime("%Y-%m-%d") if moment.date_only else format_iso(
        moment.ms)


def format_ical(moment):
    """iCalendar form in UTC: '20080307T090000Z', or '20080307' for a date."""
    value = _datetime(moment.ms)
    return value.strftime("%Y%m%d" if moment.date_only else "%Y%m%dT%H%M%SZ")
