"""The page's sessions, kept in memory: a session id in the cookie, its CSRF token here.

A session ends after its idle time, after SESSION_LIFETIME whatever its use, at log-out, when
the page's password changes (whoever knew the old one is out), or, the least recently used
first, when SESSIONS_MAX are open. A session the user asked to keep ("keep me logged in on
this phone") is not kept here but in the remembered sessions (remembered.py), by their rules."""

import collections
import secrets
import time

SESSIONS_MAX = 256
SESSION_LIFETIME = 12 * 3600.0

Session = collections.namedtuple("Session", "csrf opened")


class Sessions:
    def __init__(self, idle_seconds, clock=time.monotonic, lifetime=SESSION_LIFETIME,
                 remembered=None):
        self.idle, self.lifetime, self.clock = idle_seconds, lifetime, clock
        self.remembered = remembered  # a remembered.Remembered, or None: none are kept
        self._sessions = collections.OrderedDict()  # id -> [Session, last use]
        self._password = None  # the page's password record the open sessions were opened under

    def follow_password(self, record):
        """Ends every session when the page's password record is not the one they were opened
        under."""
        if record != self._password:
            self._sessions.clear()
            self._password = record

    def open(self, remember=False):
        """A new session's id and CSRF token; remembered when asked and possible, else kept
        here as any other."""
        session, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(32)
        kept = remember and self.remembered and self.remembered.open(session, self._password)
        if kept:
            return session, kept
        now = self.clock()
        self._sessions[session] = [Session(csrf, now), now]
        while len(self._sessions) > SESSIONS_MAX:
            self._sessions.popitem(last=False)
        return session, csrf

    def csrf(self, session):
        """The session's CSRF token, or None when it is not open (any more)."""
        record = self._sessions.get(session or "")
        if record is None:
            return self.remembered.csrf(session, self._password) if self.remembered else None
        now = self.clock()
        if now - record[1] > self.idle or now - record[0].opened > self.lifetime:
            del self._sessions[session]
            return None
        record[1] = now
        self._sessions.move_to_end(session)
        return record[0].csrf

    def is_remembered(self, session):
        """Whether the open session is one the user asked to keep."""
        return (session or "") not in self._sessions and self.csrf(session) is not None

    def end(self, session):
        self._sessions.pop(session or "", None)
        if self.remembered:
            self.remembered.end(session)
