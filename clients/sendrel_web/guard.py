"""Who asks: the client's address, the limit on failed tokens and passwords by address, and
whether a request carries a valid API token or page session."""

import collections
import hmac
import logging
import time

from .credentials import Secrets, token_hash
from .events import Refused
from .sessions import Sessions

log = logging.getLogger("sendrel-web")

COOKIE = "sendrel_session"
CSRF_HEADER = "X-CSRF-Token"

# The plug-in's own rule for wrong passwords: 5 failures within 10 minutes block the address
# for the next 10 minutes.
FAILURES_MAX = 5
FAILURE_WINDOW = 600.0
BLOCK_SECONDS = 600.0
ADDRESSES_MAX = 4096


class FailureLimit:
    """Wrong tokens and passwords by address: FAILURES_MAX within FAILURE_WINDOW seconds block
    the address for BLOCK_SECONDS. At most ADDRESSES_MAX addresses are kept."""

    def __init__(self, clock=time.monotonic):
        self.clock = clock
        self._records = collections.OrderedDict()  # address -> [failure times, blocked until]

    def blocked_for(self, address):
        """Seconds the address is still refused, 0 when it is not."""
        record = self._records.get(address)
        return max(0.0, record[1] - self.clock()) if record else 0.0

    def failed(self, address):
        now = self.clock()
        record = self._records.pop(address, None) or [[], 0.0]
        record[0] = [t for t in record[0] if now - t < FAILURE_WINDOW] + [now]
        if len(record[0]) >= FAILURES_MAX:
            record[1] = now + BLOCK_SECONDS
        self._records[address] = record
        if len(self._records) > ADDRESSES_MAX:
            self._forget_one(now)

    def _forget_one(self, now):
        """The address that failed longest ago and is not refused now; a refused one only when
        every address is, so a crowd of fresh addresses cannot free a guesser."""
        for address, (_, until) in self._records.items():
            if until <= now:
                del self._records[address]
                return
        self._records.popitem(last=False)

    def forgive(self, address):
        """Takes back the last failure: an attempt is counted before it is compared, so that
        parallel guesses cannot all pass before the first one is counted."""
        record = self._records.get(address)
        if record and record[0]:
            record[0].pop()


class Guard:
    """Decides who a request comes from and whether it may send: the page's secrets, its
    sessions and the failure limit, on the event loop's thread."""

    def __init__(self, web_settings, clock=time.monotonic):
        self.web = web_settings
        self.secrets = Secrets(web_settings["secrets"])
        self.limit = FailureLimit(clock)
        self.sessions = Sessions(web_settings["session_minutes"] * 60, clock)
        self.https = bool(web_settings["cert"])

    def address(self, request):
        """The client's address: behind the reverse proxy named in the settings, the one the
        proxy says it forwards for (the last of X-Forwarded-For, which it added itself), so
        that one guesser does not get everyone behind the proxy refused."""
        forwarded = request.headers.get("X-Forwarded-For")
        if self._from_proxy(request) and forwarded:
            return forwarded.split(",")[-1].strip()
        return request.remote

    def _from_proxy(self, request):
        return bool(self.web["proxy"]) and request.remote == self.web["proxy"]

    def secure(self, request):
        """Whether the browser reached the service over HTTPS (itself, or its proxy)."""
        return self.https or (self._from_proxy(request)
                              and request.headers.get("X-Forwarded-Proto") == "https")

    def check_blocked(self, address):
        wait = self.limit.blocked_for(address)
        if wait:
            raise Refused("too many failed logins from this address; try again in %d minutes"
                          % -(-wait // 60), 429, "blocked", {"Retry-After": "%d" % -(-wait // 1)})

    def caller(self, request, csrf=True):
        """"token" or "page" for an authorised request; raises Refused."""
        address = self.address(request)
        self.check_blocked(address)
        header = request.headers.get("Authorization")
        if header is not None:
            scheme, _, token = header.partition(" ")
            name = self.secrets.refresh().tokens.get(token_hash(token.strip()))
            if scheme.lower() != "bearer" or name is None:
                self.limit.failed(address)
                log.warning("a wrong API token from %s", address)
                raise Refused("wrong API token", 401, "wrong-token",
                              {"WWW-Authenticate": "Bearer"})
            return "token"
        expected = self.sessions.csrf(request.cookies.get(COOKIE))
        if expected is None:
            raise Refused("give an API token (Authorization: Bearer ...), or log in on the page",
                          401, "unauthorised", {"WWW-Authenticate": "Bearer"})
        if csrf and not hmac.compare_digest(request.headers.get(CSRF_HEADER, ""), expected):
            raise Refused("the page's request lacks its CSRF token; reload the page", 403, "csrf")
        return "page"
