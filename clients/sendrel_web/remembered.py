"""The page's remembered sessions: a phone whose user chose "keep me logged in" stays logged in
for REMEMBERED_DAYS, across restarts of the service.

They are kept in a file beside the secrets (web.sessions.json beside web.secrets.json), owner
only, and hold no secret: each session by the SHA-256 hash of its id, with when it was opened
and a fingerprint of the page password it was opened under. Its CSRF token is derived from
its id, so nothing else needs keeping. A session ends at log-out, after REMEMBERED_DAYS, when
the page's password changes, or when --revoke-sessions empties the file; the file is read
again whenever it changed, so a revocation counts at once in a running service."""

import hashlib
import json
import logging
import os
import time

from .credentials import token_hash, write_private

log = logging.getLogger("sendrel-web")

REMEMBERED_DAYS = 30
REMEMBERED_SECONDS = REMEMBERED_DAYS * 86400
REMEMBERED_MAX = 256


def sessions_path(secrets_path):
    """The file beside the secrets file: web.secrets.json gives web.sessions.json."""
    base = secrets_path[:-len(".secrets.json")] if secrets_path.endswith(".secrets.json") \
        else os.path.splitext(secrets_path)[0]
    return base + ".sessions.json"


def password_fingerprint(record):
    """Tells page password records apart without keeping anything of them worth guessing at."""
    if not record:
        return None
    return hashlib.sha256(json.dumps(record, sort_keys=True).encode("ascii")).hexdigest()[:32]


def derived_csrf(session):
    return hashlib.sha256(b"csrf\0" + session.encode("ascii", "replace")).hexdigest()


class Remembered:
    """The remembered sessions' file, with the wall clock (they outlive the process)."""

    def __init__(self, path, clock=time.time):
        self.path, self.clock = path, clock
        self._stamp = None
        self._sessions = {}  # hash -> {"opened": seconds, "password": fingerprint}

    def _refresh(self):
        try:
            status = os.stat(self.path)
            stamp = (status.st_ino, status.st_size, status.st_mtime_ns)
        except FileNotFoundError:
            stamp = None
        except OSError as error:
            stamp = "unreadable: %s" % error.strerror  # said once, below
        if stamp == self._stamp:
            return
        self._stamp, self._sessions = stamp, {}
        if stamp is None:
            return
        try:
            with open(self.path, "rb") as source:
                stored = json.loads(source.read().decode("utf-8"))["sessions"]
            self._sessions = {h: {"opened": float(s["opened"]), "password": str(s["password"])}
                              for h, s in stored.items()}
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            log.error("the remembered sessions in %s cannot be used (%s): those phones log in "
                      "again", self.path, error)

    def _write(self):
        """Whether the file could be written; a failure is logged, and the service goes on."""
        self._stamp = None  # read back next time: another process may write it too
        try:
            write_private(self.path, {"sessions": self._sessions})
        except OSError as error:
            log.error("cannot write the remembered sessions to %s (%s): phones cannot be kept "
                      "logged in", self.path, error.strerror)
            return False
        return True

    def _current(self, password):
        """The stored sessions still in force under this page password."""
        now = self.clock()
        return {h: s for h, s in self._sessions.items()
                if s["password"] == password and 0 <= now - s["opened"] < REMEMBERED_SECONDS}

    def open(self, session, password_record):
        """Remembers a new session opened under this page password; returns its CSRF token, or
        None when it cannot be kept."""
        self._refresh()
        password = password_fingerprint(password_record)
        kept = sorted(self._current(password).items(), key=lambda item: item[1]["opened"])
        self._sessions = dict(kept[-(REMEMBERED_MAX - 1):])
        self._sessions[token_hash(session)] = {"opened": self.clock(), "password": password}
        return derived_csrf(session) if self._write() else None

    def csrf(self, session, password_record):
        """The CSRF token of a remembered session in force, or None."""
        if not session or not password_record:
            return None
        self._refresh()
        record = self._current(password_fingerprint(password_record)).get(token_hash(session))
        return derived_csrf(session) if record else None

    def end(self, session):
        self._refresh()
        if self._sessions.pop(token_hash(session or ""), None) is not None:
            self._write()

    def revoke_all(self):
        """Ends every remembered session; returns how many the file held. Raises OSError when
        the file cannot be written: the command must not say they ended when they did not."""
        self._refresh()
        count = len(self._sessions)
        write_private(self.path, {"sessions": {}})
        self._sessions, self._stamp = {}, None
        return count
