"""The page's sessions, kept in memory: a session id in the cookie, its CSRF token here."""

import collections
import secrets
import time

SESSIONS_MAX = 256


class Sessions:
    """The page's sessions: id -> [CSRF token, last use], ended after an idle time, at log-out,
    or, the oldest first, when SESSIONS_MAX are open."""

    def __init__(self, idle_seconds, clock=time.monotonic):
        self.idle, self.clock = idle_seconds, clock
        self._sessions = collections.OrderedDict()

    def open(self):
        session, csrf = secrets.token_urlsafe(32), secrets.token_urlsafe(32)
        self._sessions[session] = [csrf, self.clock()]
        while len(self._sessions) > SESSIONS_MAX:
            self._sessions.popitem(last=False)
        return session, csrf

    def csrf(self, session):
        """The session's CSRF token, or None when it is not open (any more)."""
        record = self._sessions.get(session or "")
        if record is None:
            return None
        if self.clock() - record[1] > self.idle:
            del self._sessions[session]
            return None
        record[1] = self.clock()
        self._sessions.move_to_end(session)
        return record[0]

    def end(self, session):
        self._sessions.pop(session or "", None)
