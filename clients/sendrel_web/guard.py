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
# An IPv6 /64 (a home's network, any of whose addresses one guesser may take) is blocked after
# this many failures of its addresses together.
FAILURES_PER_NETWORK_MAX = 20
FAILURE_WINDOW = 600.0
BLOCK_SECONDS = 600.0
ADDRESSES_MAX = 4096
# Wrong page passwords from all addresses together within a minute above which page logins
# wait: a crowd of addresses then guesses no faster than this. A login waits this long at
# most, then is told to try again, uncounted.
FAILURES_PER_MINUTE_MAX = 60
LOGIN_WAIT_MAX = 3.0
# The page's password is a slow hash: a few at a time, a few more waiting, the rest 503.
HASH_WORKERS = 2
HASH_JOBS_MAX = 8


def network_key(text):
    """An IPv4 address, or the /64 network of an IPv6 one: what one home or host is given."""
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return text
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    if address.version == 6:
        return str(ipaddress.ip_network((address, 64), strict=False))
    return str(address)


def failure_keys(text):
    """What the failure limit counts a client's failures by, with the failures that block
    each: its address, and for IPv6 also its /64, whose ceiling is higher so that a
    neighbour on the same network does not get the owner refused."""
    address = ipaddress.ip_address(text)
    if address.version == 6 and address.ipv4_mapped:
        address = address.ipv4_mapped
    keys = [(str(address), FAILURES_MAX)]
    if address.version == 6:
        keys.append((network_key(str(address)), FAILURES_PER_NETWORK_MAX))
    return keys


class FailureLimit:
    """Wrong tokens and passwords by key: as many as the key's ceiling within FAILURE_WINDOW
    seconds block it for BLOCK_SECONDS. At most ADDRESSES_MAX keys are kept. Wrong page
    passwords of all keys together also make page logins wait (crowd_wait)."""

    def __init__(self, clock=time.monotonic):
        self.clock = clock
        self._records = collections.OrderedDict()  # key -> [failure times, blocked until]
        self._recent = collections.deque()  # times of the wrong page passwords of the last minute
        self._said = {}  # key -> the end of its block last logged

    def blocked_for(self, keys):
        """Seconds the first blocked of the keys is still refused, 0 when none is."""
        now = self.clock()
        return max([0.0] + [self._records.get(key, (None, 0.0))[1] - now for key, _ in keys])

    def crowd_wait(self):
        """Seconds until the wrong page passwords of the last minute, all keys together, are
        below FAILURES_PER_MINUTE_MAX again; 0 when they are."""
        now = self.clock()
        while self._recent and now - self._recent[0] >= 60:
            self._recent.popleft()
        if len(self._recent) < FAILURES_PER_MINUTE_MAX:
            return 0.0
        return self._recent[-FAILURES_PER_MINUTE_MAX] + 60 - now

    def failed(self, keys, page_password=False):
        now = self.clock()
        if page_password:
            self._recent.append(now)
        for key, ceiling in keys:
            record = self._records.pop(key, None) or [[], 0.0]
            record[0] = [t for t in record[0] if now - t < FAILURE_WINDOW][-ceiling:] + [now]
            if len(record[0]) >= ceiling:
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

    def say_block(self, keys):
        """Logs a key's block once, when a failure that stays counted has set it (a right
        password takes its own guess back, and the block with it)."""
        for key, ceiling in keys:
            until = self._records.get(key, [None, 0.0])[1]
            if until > self.clock() and self._said.get(key) != until:
                self._said[key] = until
                if len(self._said) > ADDRESSES_MAX:
                    self._said.pop(next(iter(self._said)))
                log.warning("%s refused for %d minutes after %d failed logins or tokens within "
                            "%d minutes (a restart of the service lifts it)", key,
                            BLOCK_SECONDS // 60, ceiling, FAILURE_WINDOW // 60)

    def forgive(self, keys):
        """A right password: the address's failures are forgotten, and its network's and the
        budget of all lose the guess just counted (every guess is counted before it is
        compared); the rest of the network's may be others'."""
        self._records.pop(keys[0][0], None)
        if self._recent:
            self._recent.pop()
        for key, ceiling in keys[1:]:
            record = self._records.get(key)
            if record and record[0]:
                record[0].pop()
                if len(record[0]) < ceiling:
                    record[1] = 0.0


class HashPool:
    """Password checks on a few threads of their own, with a bounded queue: the slow hash
    never takes the threads of other work, and a flood of checks is refused, not queued."""

    def __init__(self, workers=HASH_WORKERS, jobs_max=HASH_JOBS_MAX):
        self._pool = concurrent.futures.ThreadPoolExecutor(workers, "sendrel-web-hash")
        self.jobs_max, self.jobs = jobs_max, 0

    def check_room(self):
        """Raises Refused when no more checks may wait: before a guess is counted, so that
        the refusal is not."""
        if self.jobs >= self.jobs_max:
            raise Refused("too many logins are being checked; try again in a moment", 503,
                          "busy", {"Retry-After": "5"})

    async def run(self, function, *arguments):
        self.check_room()
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

    def keys(self, request):
        return failure_keys(self.address(request))

    def secure(self, request):
        """Whether the browser reached the service over HTTPS (itself, or its proxy)."""
        return self.https or (self._from_proxy(request)
                              and self._last_entry(request, "X-Forwarded-Proto") == "https")

    # -- what a request carries --

    def _check_blocked(self, keys):
        wait = self.limit.blocked_for(keys)
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
            keys = self.keys(request)
            self._check_blocked(keys)
            self.limit.failed(keys)
            log.warning("a wrong API token from %s", self.address(request))
            self.limit.say_block(keys)
            raise Refused("wrong API token", 401, "wrong-token", {"WWW-Authenticate": "Bearer"})
        expected = self.session_csrf(request)
        if expected is None:
            raise Refused("give an API token (Authorization: Bearer ...), or log in on the page",
                          401, "unauthorised", {"WWW-Authenticate": "Bearer"})
        given = request.headers.get(CSRF_HEADER, "").encode("utf-8", "surrogateescape")
        if csrf and not hmac.compare_digest(given, expected.encode("ascii")):
            raise Refused("the page's request lacks its CSRF token; reload the page", 403, "csrf")
        return "page"

    async def log_in(self, request, read_form):
        """A new session's id for the right page password, and whether it is remembered;
        raises Refused. read_form, a coroutine function, reads the form's fields once the
        cheap checks passed. The guess is counted before it is compared, with no wait between
        the count and the check, and one address has one check under way at most."""
        keys = self.keys(request)
        self._check_blocked(keys)
        if keys[0][0] in self._checking:
            raise Refused("a login from this address is being checked; wait for it", 429,
                          "busy", {"Retry-After": "2"})
        self._checking.add(keys[0][0])
        try:
            form = await read_form()
            record = self.secrets.refresh().checked_page_password()
            await self._wait_for_the_crowd()
            self._check_blocked(keys)
            self.hash_pool.check_room()
            self.limit.failed(keys, page_password=True)
            if not await self.hash_pool.run(self.password_check, form.get("password", [""])[0],
                                            record):
                log.warning("a wrong page password from %s", self.address(request))
                self.limit.say_block(keys)
                raise Refused("Wrong password.", 401, "wrong-password")
        finally:
            self._checking.discard(keys[0][0])
        self.limit.forgive(keys)
        self.sessions.follow_password(record)
        remember = form.get("remember", [""])[0] == "1" and bool(self.sessions.remembered)
        session, _ = self.sessions.open(remember)
        return session, remember

    async def _wait_for_the_crowd(self):
        """Waits while the wrong page passwords of all addresses are over their budget, up to
        LOGIN_WAIT_MAX; beyond it the login is refused, uncounted, to be tried again."""
        deadline = self.limit.clock() + LOGIN_WAIT_MAX
        wait = self.limit.crowd_wait()
        while wait:
            if self.limit.clock() - self._crowd_said >= 60:
                self._crowd_said = self.limit.clock()
                log.warning("%d wrong page passwords within a minute from all addresses "
                            "together: page logins wait", FAILURES_PER_MINUTE_MAX)
            if self.limit.clock() + wait > deadline:
                raise Refused("Many wrong passwords were tried here lately; try again in %d "
                              "seconds." % -(-wait // 1), 503, "busy",
                              {"Retry-After": "%d" % -(-wait // 1)})
            await asyncio.sleep(wait)
            wait = self.limit.crowd_wait()

    def close(self):
        self.hash_pool.close()
