"""Who asks: the client's address, the limit on failed tokens and passwords by address, and
whether a request carries a valid API token or page session.

The limit exists to slow the guessing of the page's password (and of tokens, which cannot be
guessed); so a request that carries a valid token or session is never refused by it, and a
guess is counted before it is compared, in one step with the check, so that guesses sent
together cannot all pass the check before the first is counted."""

import asyncio
import collections
import concurrent.futures
import hmac
import ipaddress
import logging
import time

from .credentials import password_matches, token_hash
from .events import Refused
from .remembered import Remembered, sessions_path
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
# Failures from all addresses together within a minute above which page logins wait: a
# crowd of addresses then guesses no faster than this.
FAILURES_PER_MINUTE_MAX = 60
# The page's password is a slow hash: a few at a time, a few more waiting, the rest 503.
HASH_WORKERS = 2
HASH_JOBS_MAX = 8


def address_key(text):
    """What the failure limit counts by: an IPv4 address, or the /64 network of an IPv6 one
    (a single host is given a whole /64)."""
    address = ipaddress.ip_address(text)
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    if address.version == 6:
        return str(ipaddress.ip_network((address, 64), strict=False))
    return str(address)


class FailureLimit:
    """Wrong tokens and passwords by address key: FAILURES_MAX within FAILURE_WINDOW seconds
    block the key for BLOCK_SECONDS. At most ADDRESSES_MAX keys are kept."""

    def __init__(self, clock=time.monotonic):
        self.clock = clock
        self._records = collections.OrderedDict()  # key -> [failure times, blocked until]
        self._recent = collections.deque()  # times of the failures of the last minute, all keys
        self._said = {}  # key -> the end of its block last logged

    def blocked_for(self, key):
        """Seconds the key is still refused, 0 when it is not."""
        record = self._records.get(key)
        return max(0.0, record[1] - self.clock()) if record else 0.0

    def crowd_wait(self):
        """Seconds until the failures of the last minute, all keys together, are below
        FAILURES_PER_MINUTE_MAX again; 0 when they are."""
        now = self.clock()
        while self._recent and now - self._recent[0] >= 60:
            self._recent.popleft()
        if len(self._recent) < FAILURES_PER_MINUTE_MAX:
            return 0.0
        return self._recent[-FAILURES_PER_MINUTE_MAX] + 60 - now

    def failed(self, key):
        now = self.clock()
        self._recent.append(now)
        record = self._records.pop(key, None) or [[], 0.0]
        record[0] = [t for t in record[0] if now - t < FAILURE_WINDOW] + [now]
        if len(record[0]) >= FAILURES_MAX:
            record[1] = now + BLOCK_SECONDS
        self._records[key] = record
        if len(self._records) > ADDRESSES_MAX:
            self._forget_one(now)

    def _forget_one(self, now):
        """The key that failed longest ago and is not refused now; a refused one only when
        every key is, so a crowd of fresh addresses cannot free a guesser."""
        for key, (_, until) in self._records.items():
            if until <= now:
                del self._records[key]
                return
        self._records.popitem(last=False)

    def say_block(self, key):
        """Logs the key's block once, when a failure that stays counted has set it (a right
        password takes its own guess back, and the block with it)."""
        until = self._records.get(key, [None, 0.0])[1]
        if until > self.clock() and self._said.get(key) != until:
            self._said[key] = until
            if len(self._said) > ADDRESSES_MAX:
                self._said.pop(next(iter(self._said)))
            log.warning("%s refused for %d minutes after %d failed logins or tokens within %d "
                        "minutes (a restart of the service lifts it)", key,
                        BLOCK_SECONDS // 60, FAILURES_MAX, FAILURE_WINDOW // 60)

    def forgive(self, key):
        """A right password: the key's failures are forgotten (its own guess was counted
        before it was compared, as every guess is)."""
        self._records.pop(key, None)


class HashPool:
    """Password checks on a few threads of their own, with a bounded queue: the slow hash
    never takes the threads of other work, and a flood of checks is refused, not queued."""

    def __init__(self, workers=HASH_WORKERS, jobs_max=HASH_JOBS_MAX):
        self._pool = concurrent.futures.ThreadPoolExecutor(workers, "sendrel-web-hash")
        self.jobs_max, self.jobs = jobs_max, 0

    async def run(self, function, *arguments):
        if self.jobs >= self.jobs_max:
            raise Refused("too many logins are being checked; try again in a moment", 503,
                          "busy", {"Retry-After": "5"})
        self.jobs += 1
        try:
            return await asyncio.wrap_future(self._pool.submit(function, *arguments))
        finally:
            self.jobs -= 1

    def close(self):
        self._pool.shutdown(wait=False)


class Guard:
    """Decides who a request comes from and whether it may send: the page's secrets, its
    sessions and the failure limit, on the event loop's thread."""

    def __init__(self, web_settings, secrets, clock=time.monotonic, hash_pool=None):
        self.web = web_settings
        self.secrets = secrets
        self.limit = FailureLimit(clock)
        # Phones kept logged in are remembered beside the secrets, across restarts.
        self.sessions = Sessions(web_settings["session_minutes"] * 60, clock, remembered=(
            Remembered(sessions_path(secrets.path)) if secrets.path else None))
        self.https = bool(web_settings["cert"])
        self.proxies = web_settings["proxy_networks"]
        self.hash_pool = hash_pool or HashPool()
        self._checking = set()  # keys with a page password check under way
        self._crowd_said = -60.0  # when the crowd of failures was last logged
        self.password_check = password_matches

    # -- where a request comes from --

    def is_proxy(self, peer):
        """Whether the peer's address is the reverse proxy's the settings name."""
        try:
            address = ipaddress.ip_address(peer)
        except ValueError:
            return False
        if address.version == 6 and address.ipv4_mapped:
            address = address.ipv4_mapped
        return any(address in network for network in self.proxies)

    def _from_proxy(self, request):
        return self.is_proxy(request.remote)

    @staticmethod
    def _last_entry(request, name):
        """The last entry of all the header's lines: the one the proxy added itself."""
        entries = ",".join(request.headers.getall(name, [])).split(",")
        return entries[-1].strip()

    def address(self, request):
        """The client's address: behind the reverse proxy named in the settings, the one the
        proxy says it forwards for (the last of X-Forwarded-For, which it added itself), so
        that one guesser does not get everyone behind the proxy refused."""
        if self._from_proxy(request) and "X-Forwarded-For" in request.headers:
            forwarded = self._last_entry(request, "X-Forwarded-For")
            try:
                return str(ipaddress.ip_address(forwarded))
            except ValueError:
                raise Refused("the proxy forwarded for no address (X-Forwarded-For: %s)"
                              % forwarded[:64], 400, "bad-forwarded-for") from None
        return request.remote

    def key(self, request):
        return address_key(self.address(request))

    def secure(self, request):
        """Whether the browser reached the service over HTTPS (itself, or its proxy)."""
        return self.https or (self._from_proxy(request)
                              and self._last_entry(request, "X-Forwarded-Proto") == "https")

    # -- what a request carries --

    def _check_blocked(self, key):
        wait = self.limit.blocked_for(key)
        if wait:
            raise Refused("too many failed logins from this address; try again in %d minutes"
                          % -(-wait // 60), 429, "blocked", {"Retry-After": "%d" % -(-wait // 1)})

    def session_csrf(self, request):
        """The CSRF token of the request's page session, or None."""
        self.sessions.follow_password(self.secrets.refresh().page_password)
        return self.sessions.csrf(request.cookies.get(COOKIE))

    def caller(self, request, csrf=True):
        """"token" or "page" for an authorised request; raises Refused. Only a Bearer
        authorisation is a token; another scheme (a proxy's own) is left to the session."""
        scheme, _, token = request.headers.get("Authorization", "").partition(" ")
        if scheme.lower() == "bearer":
            tokens = self.secrets.refresh().checked_tokens()
            if tokens.get(token_hash(token.strip())) is not None:
                return "token"
            key = self.key(request)
            self._check_blocked(key)
            self.limit.failed(key)
            log.warning("a wrong API token from %s", self.address(request))
            self.limit.say_block(key)
            raise Refused("wrong API token", 401, "wrong-token", {"WWW-Authenticate": "Bearer"})
        expected = self.session_csrf(request)
        if expected is None:
            raise Refused("give an API token (Authorization: Bearer ...), or log in on the page",
                          401, "unauthorised", {"WWW-Authenticate": "Bearer"})
        given = request.headers.get(CSRF_HEADER, "").encode("utf-8", "surrogateescape")
        if csrf and not hmac.compare_digest(given, expected.encode("ascii")):
            raise Refused("the page's request lacks its CSRF token; reload the page", 403, "csrf")
        return "page"

    async def log_in(self, request, password, remember=False):
        """A new session's id for the right page password; raises Refused. The guess is
        counted before it is compared, with no wait between the check and the count, and
        one address has one check under way at most."""
        key = self.key(request)
        self._check_blocked(key)
        if key in self._checking:
            raise Refused("a login from this address is being checked; wait for it", 429,
                          "busy", {"Retry-After": "2"})
        record = self.secrets.refresh().checked_page_password()
        self._checking.add(key)
        try:
            wait = self.limit.crowd_wait()
            while wait:
                if self.limit.clock() - self._crowd_said >= 60:
                    self._crowd_said = self.limit.clock()
                    log.warning("%d failed logins within a minute from all addresses together: "
                                "page logins wait", FAILURES_PER_MINUTE_MAX)
                await asyncio.sleep(wait)
                wait = self.limit.crowd_wait()
            self._check_blocked(key)
            self.limit.failed(key)
            if not await self.hash_pool.run(self.password_check, password, record):
                log.warning("a wrong page password from %s", self.address(request))
                self.limit.say_block(key)
                raise Refused("Wrong password.", 401, "wrong-password")
        finally:
            self._checking.discard(key)
        self.limit.forgive(key)
        self.sessions.follow_password(record)
        session, _ = self.sessions.open(remember)
        return session

    def close(self):
        self.hash_pool.close()
