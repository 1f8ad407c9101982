"""Entry ids, derived from UIDs the same way the client derives them."""

import base64

import times

MAIL_DOMAIN = "@nexora.example"


def entry_id_for_uid(uid):
    """The part before the first "@nexora.example", or "_" + lower-case base32hex (no
    padding) of the UID's UTF-8 bytes."""
    at = uid.find(MAIL_DOMAIN)
    if at >= 0:
        return uid[:at]
    return "_" + base64.b32hexencode(uid.encode("utf-8")).decode("ascii").rstrip("=").lower()


def exception_id(master_entry_id, original_start):
    """An exception's id: its master's id, "_", the instance's original start (a Moment)."""
    return master_entry_id + "_" + times.format_ical(original_start)
