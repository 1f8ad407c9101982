"""Accounts, log-in tokens and the session parameter that belongs to each token."""

import hashlib
import hmac
import secrets
import urllib.parse

TOKEN_LIFETIME_MS = 24 * 3600 * 1000
# Enough to make a stolen table costly; low enough that tests may log in often.
PBKDF2_ROUNDS = 20000
LOGIN_FIELDS = ("Email", "Passwd", "source", "service", "accountType")


def normal_email(email):
    return email.strip().lower()


def _password_hash(password, salt):
    return hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, PBKDF2_ROUNDS)


def _token_hash(token):
    return hashlib.sha256(token.encode("utf-8")).hexdigest()


def put_account(db, email, password, calendars):
    """Creates the account, or gives an existing one this password and further calendars.
    Returns whether it was new."""
    salt = secrets.token_bytes(16)
    email = normal_email(email)
    new = db.execute("SELECT 1 FROM accounts WHERE email=?", (email,)).fetchone() is None
    db.execute("INSERT OR REPLACE INTO accounts VALUES (?, ?, ?)",
               (email, salt, _password_hash(password, salt)))
    db.executemany("INSERT OR IGNORE INTO calendars VALUES (?, ?)",
                   [(email, c) for c in calendars])
    return new


def calendars_of(db, email):
    return [r[0] for r in db.execute(
        "SELECT calendar_id FROM calendars WHERE email=? ORDER BY calendar_id", (email,))]


def client_login(store, body):
    """The answer (status, text) to a log-in form body (bytes)."""
    try:
        form = urllib.parse.parse_qs(body.decode("ascii"), keep_blank_values=True,
                                     strict_parsing=False, errors="strict")
    except (UnicodeDecodeError, ValueError):
        return 403, "Error=BadAuthentication\n"
    fields = {name: values[-1] for name, values in form.items()}
    if any(name not in fields for name in LOGIN_FIELDS) or not fields["Email"]:
        return 403, "Error=BadAuthentication\nInfo=MissingField\n"
    if fields["service"] != "cl":
        return 403, "Error=UnknownService\n"
    email = normal_email(fields["Email"])
    with store.transaction() as db:
        row = db.execute("SELECT salt, hash FROM accounts WHERE email=?", (email,)).fetchone()
        # A wrong e-mail costs the same hashing as a wrong password.
        salt, stored = (row["salt"], row["hash"]) if row else (b"\0" * 16, b"")
        if not hmac.compare_digest(_password_hash(fields["Passwd"], salt), stored):
            return 403, "Error=BadAuthentication\n"
        token = secrets.token_urlsafe(32)
        db.execute("INSERT INTO tokens VALUES (?, ?, ?, ?)",
                   (_token_hash(token), email, store.now_ms() + TOKEN_LIFETIME_MS,
                    secrets.token_hex(12)))
    return 200, "SID=%s\nLSID=%s\nAuth=%s\n" % (secrets.token_hex(32), secrets.token_hex(32),
                                                 token)


def authorize(store, header):
    """(e-mail, session value) of the token in an Authorization header, or None when the
    header is not "NexoraLogin auth=<token>" with a known token that has not expired."""
    scheme, _, rest = (header or "").strip().partition(" ")
    name, _, token = rest.strip().partition("=")
    if scheme != "NexoraLogin" or name != "auth" or not token:
        return None
    with store.transaction() as db:
        row = db.execute("SELECT email, expires_ms, session FROM tokens WHERE token_hash=?",
                         (_token_hash(token),)).fetchone()
    if row is None or row["expires_ms"] <= store.now_ms():
        return None
    return row["email"], row["session"]


def expire_tokens(db, email=None):
    """Ends the tokens of one account, or all; returns how many."""
    if email is None:
        return db.execute("DELETE FROM tokens").rowcount
    return db.execute("DELETE FROM tokens WHERE email=?", (normal_email(email),)).rowcount
