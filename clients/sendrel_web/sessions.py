"""The page's sessions, kept in memory: a session id in the cookie, its CSRF token here.

A session ends after its idle time, after SESSION_LIFETIME whatever its use, at log-out, when
the page's password changes (whoever knew the old one is out), or, the least recently used
first, when SESSIONS_MAX are open."""

import collections
import secrets
import time

SESSIONS_MAX = 256
SESSION_LIFETIME = 12 * 3600.0

Session = collections.namedtuple("Session", "csrf opened")


class Sessions:
    def __init__(self, idle_seconds, clock=time.monotonic, lifetime=SESSION_LIFETIME):
        self.idle, self.lifetime, self.clock = idle_seconds, lifetime, clock
        self._sessions = collections.OrderedDict()  # id -> [Session, last use]
        self._password = None  # the page's password record the open sessions were opened under

    def follow_password(self, record):
        """Ends every session when the page's password record is not the one they were opened
        under."""
        if record != self._password:
            self._sessions.clear()
            self._password = record

    def open(self):
        session, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(32)
        now = self.clock()
        self._sessions[session] = [Session(csrf, now), now]
        while len(self._sessions) > SESSIONS_MAX:
            self._sessions.popitem(last=False)
        return session, csrf

    def csrf(self, session):
        """The session's CSRF token, or None when it is not open (any more)."""
        record = self._sessions.get(session or "")
        if record is None:
            return None
        now = self.clock()
        if now - record[1] > self.idle or now - record[0].opened > self.lifetime:
            del self._sessions[session]
            return None
        record[1] = now
        self._sessions.move_to_end(session)
        return record[0].csrf

    def end(self, session):
        self._sessions.pop(session or "", None)
