"""The HTTP side: the handlers, the checks every request passes (the host it names, the site
it comes from), the headers every answer carries, and serving until stopped."""

import asyncio
import hmac
import ipaddress
import logging
import os
import ssl
import time

import sendrel_send
import sendrel_settings
from aiohttp import web

from .certificate import certificate_names, names_to_open
from .connections import CONNECTIONS_MAX, Connections
from .credentials import Secrets
from .dispatcher import Dispatcher, ServerConversation
from .events import Refused, events_from, form_fields, refusal_for, value_of_form, value_of_json
from .guard import COOKIE, Guard
from .page import ASSET_TYPES, MANIFEST_TYPE, Page
from .remembered import REMEMBERED_SECONDS
from .settings import is_loopback, listen_address, parse_settings
from .watcher import UP, Watcher

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_CANNOT_LISTEN = 2
EXIT_WRONG_PASSWORD = sendrel_send.EXIT_WRONG_PASSWORD
EXIT_FAILED = sendrel_send.EXIT_FAILED

log = logging.getLogger("sendrel-web")

# Limits that keep what one client can make the service hold small.
BODY_BYTES_MAX = 64 * 1024
FORM_BYTES_MAX = 4096  # /login and /logout: a password or a CSRF token
BODY_SECONDS = 10.0
# Seconds a body the service refused without reading it may take to arrive, read and thrown
# away, so that its client still reads the answer; then the connection is closed.
DRAIN_SECONDS = 2.0
BUTTON_DIGITS_MAX = 4
# Seconds the requests under way may take to finish at a stop.
STOP_SECONDS = 5.0
# Lines of one kind (a wrong token, a refused accept) logged at most in a minute.
SAME_KIND_PER_MINUTE = 5
BUDGETED_LOGGERS = ("sendrel-web", "sendrel-web.loop", "aiohttp", "aiohttp.server", "aiohttp.web",
                    "aiohttp.access", "aiohttp.internal")

CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; manifest-src 'self'; connect-src 'self'; "
                           "form-action 'self'; frame-ancestors 'none'; base-uri 'none'")
SECURITY_HEADERS = {"Content-Security-Policy": CONTENT_SECURITY_POLICY,
                    "X-Content-Type-Options": "nosniff",
                    # Not no-referrer: under it a browser sends "Origin: null" with the page's
                    # own form, which the site check could not tell from another site's.
                    "Referrer-Policy": "same-origin"}


def allowed_host_names(web_settings):
    """The names (beyond IP addresses) that a request's Host may give: a page that another
    name points at this service (DNS rebinding) must not reach it as if it were its own."""
    names = {"localhost"} | set(web_settings["hosts"])
    host, _ = listen_address(web_settings["listen"])
    names.add(host)
    if web_settings["cert"]:
        names |= certificate_names(web_settings["cert"]) or set()
    return {name.lower().rstrip(".") for name in names}


def host_name(header):
    """The name of a Host header without its port; None for an IP address."""
    if header.startswith("["):
        return None
    name, colon, port = header.rpartition(":")
    name = name if colon and port.isdigit() else header
    try:
        ipaddress.ip_address(name)
    except ValueError:
        return name.lower().rstrip(".")
    return None


class Service:
    """The handlers, and the state they share on the event loop's thread."""

    def __init__(self, settings, dispatcher, watcher, clock=time.monotonic, connections=None):
        self.settings = settings
        self.watcher = watcher
        self.web = settings["web"]
        self.buttons = settings["buttons"]
        self.dispatcher = dispatcher
        self.guard = Guard(self.web, Secrets(self.web["secrets"]), clock)
        self.page_files = Page()
        self.host_names = allowed_host_names(self.web)
        self.connections = connections

    def application(self):
        app = web.Application(client_max_size=BODY_BYTES_MAX, middlewares=[self._checks])
        app.router.add_get("/", self.page)
        for name in ASSET_TYPES:
            app.router.add_get("/" + name, self.asset)
        app.router.add_get("/manifest.webmanifest", self.manifest)
        app.router.add_get("/favicon.ico", self.no_icon)
        app.router.add_post("/login", self.log_in)
        app.router.add_post("/logout", self.log_out)
        app.router.add_get("/api/status", self.status)
        app.router.add_post("/api/events", self.post_events)
        app.router.add_post("/api/buttons/{number:[0-9]{1,%d}}" % BUTTON_DIGITS_MAX, self.press)
        return app

    # -- what every request passes, and what every answer carries --

    def _check_host(self, request):
        name = host_name(request.headers.get("Host", ""))
        if name is not None and name not in self.host_names:
            raise Refused("this service does not answer to the name %s (see hosts in the "
                          "settings)" % name[:100], 421, "wrong-host")

    def _check_site(self, request):
        """A request that changes something must come from the service's own page (or from
        no page at all: tools send neither header), so that a page elsewhere can neither send
        nor count failures against its visitor's address."""
        site = request.headers.get("Sec-Fetch-Site")
        if site is not None:  # a browser's own word, which no page can change
            if site not in ("same-origin", "none"):
                raise Refused("requests from other sites are refused", 403, "cross-site")
            return
        origin = request.headers.get("Origin")
        if origin is not None:
            own = "%s://%s" % ("https" if self.guard.secure(request) else "http",
                               request.headers.get("Host", ""))
            if origin.lower() != own.lower():
                raise Refused("requests from other sites are refused", 403, "cross-site")

    async def _checks(self, request, handler):
        """The host and site checks; refusals and aiohttp's own errors as JSON; any other
        failure logged and answered 500; the headers every answer carries."""
        if self.connections is not None:
            self.connections.request_started(request.transport, request.body_exists)
        try:
            self._check_host(request)
            if request.method not in ("GET", "HEAD", "OPTIONS"):
                self._check_site(request)
            response = await handler(request)
        except Refused as refusal:
            response = web.json_response({"error": refusal.text, "reason": refusal.reason},
                                         status=refusal.status, headers=refusal.headers)
        except web.HTTPException as answer:
            if answer.status < 400:
                raise
            response = web.json_response({"error": answer.reason,
                                          "reason": answer.reason.lower().replace(" ", "-")},
                                         status=answer.status, headers={
                                             k: v for k, v in answer.headers.items()
                                             if k in ("Allow", "Retry-After")})
        except Exception:
            log.exception("%s %s failed unexpectedly", request.method, request.path[:100])
            response = web.json_response({"error": "the service failed; see its log",
                                          "reason": "failed"}, status=500)
        finally:
            if self.connections is not None:
                self.connections.request_ended(request.transport, request.content.is_eof())
        response.headers.update(SECURITY_HEADERS)
        response.headers.setdefault("Cache-Control", "no-store")
        return response

    _checks.__middleware_version__ = 1  # what aiohttp's middleware decorator marks

    # -- the API --

    async def _send(self, events):
        try:
            await asyncio.wrap_future(self.dispatcher.send(events))
        except sendrel_send.SendrelError as error:
            if events:
                log.warning("%d events not sent: %s", len(events), error)
            raise refusal_for(error) from None
        return web.json_response({"sent": len(events)})

    async def _body(self, request, limit=BODY_BYTES_MAX):
        """The whole body, however many pieces it comes in; refused when it is encoded, larger
        than limit, cut short, or not all there within BODY_SECONDS. A part of a body is
        never used."""
        if request.headers.get("Content-Encoding", "identity").strip().lower() != "identity":
            raise Refused("send the body without a Content-Encoding", 415, "encoded")
        if request.content_length is not None and request.content_length > limit:
            raise Refused("the body is larger than %d bytes" % limit, 413, "too-large")
        try:
            return await asyncio.wait_for(whole_body(request.content, limit), BODY_SECONDS)
        except asyncio.TimeoutError:
            raise Refused("the body did not arrive within %d s" % BODY_SECONDS, 408,
                          "too-slow") from None
        except (web.RequestPayloadError, ConnectionError):
            raise Refused("the body was cut short or is malformed", 400, "bad-body") from None
        finally:
            if self.connections is not None:
                self.connections.body_read(request.transport)

    async def post_events(self, request):
        if self.guard.caller(request) == "page" and not self.web["allow_any_event"]:
            raise Refused("the page sends its buttons only (allow_any_event is off)", 403,
                          "buttons-only")
        body = await self._body(request)
        if request.content_type == "application/x-www-form-urlencoded":
            value = value_of_form(body)
        elif request.content_type == "application/json":
            value = value_of_json(body)
        else:
            raise Refused("send application/json or application/x-www-form-urlencoded", 415,
                          "media-type")
        return await self._send(events_from(value, self.settings["sendrel"]["encoding"]))

    async def press(self, request):
        self.guard.caller(request)
        number = int(request.match_info["number"])
        if number >= len(self.buttons):
            raise Refused("no such button", 404, "no-button")
        button = self.buttons[number]
        return await self._send([(button.event, button.payloads)])

    async def status(self, request):
        """Whether the plug-in takes events, as the conversation the watcher holds tells."""
        self.guard.caller(request, csrf=False)
        self.dispatcher.held_failure()  # mended settings lift a held wrong password at once
        state = await self.watcher.known(self.settings["sendrel"]["timeout"])
        when, error = self.dispatcher.last
        if isinstance(error, sendrel_send.CannotConnect) and when > self.watcher.changed:
            state = error  # an event found nothing listening since the watcher last learned
        if state == UP:
            return web.json_response({"server": "up"})
        if state is None:
            return web.json_response({"server": "unknown"})
        refusal = refusal_for(state)
        return web.json_response({"server": "down", "reason": refusal.reason,
                                  "error": str(state)})

    # -- the page --

    def _html(self, text, status=200):
        return web.Response(text=text, status=status, content_type="text/html",
                            charset="utf-8")

    def _login_page(self, message="", status=200, headers=None):
        if not self.guard.secrets.refresh().page_password and not self.guard.secrets.problem:
            message = ("No page password is set yet: run sendrel-web --config FILE "
                       "--set-page-password, then log in here.")
        response = self._html(self.page_files.login(self.web["title"], message), status)
        response.headers.update(headers or {})
        return response

    async def page(self, request):
        csrf = self.guard.session_csrf(request)
        if csrf is None:
            return self._login_page()
        return self._html(self.page_files.remote(
            self.web["title"], csrf, [(b.label, b.group) for b in self.buttons],
            self.web["allow_any_event"],
            self.guard.sessions.is_remembered(request.cookies.get(COOKIE))))

    async def asset(self, request):
        name = request.path.lstrip("/")
        kind = ASSET_TYPES[name]
        return web.Response(body=self.page_files.assets[name], content_type=kind,
                            charset=None if kind.startswith("image/") else "utf-8",
                            headers={"Cache-Control": "no-cache"})

    async def manifest(self, request):
        return web.Response(text=self.page_files.manifest(self.web["title"]),
                            content_type=MANIFEST_TYPE, charset="utf-8",
                            headers={"Cache-Control": "no-cache"})

    async def no_icon(self, request):
        """Some browsers ask for /favicon.ico whatever the page names as its icon: nothing is
        there, and that is no error."""
        return web.Response(status=204)

    async def _form(self, request):
        return form_fields(await self._body(request, FORM_BYTES_MAX))

    async def log_in(self, request):
        try:
            session, remember = await self.guard.log_in(request, lambda: self._form(request))
        except Refused as refusal:
            return self._login_page(refusal.text, refusal.status, refusal.headers)
        response = see_page()
        # A remembered session's cookie outlives the browser's run; any other ends with it.
        response.set_cookie(COOKIE, session, httponly=True, samesite="Strict", path="/",
                            secure=self.guard.secure(request) or None,
                            max_age=REMEMBERED_SECONDS if remember else None)
        return response

    async def log_out(self, request):
        """Ends the session given with its own CSRF token; without a session, the body is
        not even read."""
        expected = self.guard.session_csrf(request)
        if expected:
            form = await self._form(request)
            given = form.get("csrf", [""])[0].encode("utf-8", "surrogateescape")
            if hmac.compare_digest(given, expected.encode("ascii")):
                self.guard.sessions.end(request.cookies.get(COOKIE))
        response = see_page()
        response.del_cookie(COOKIE, path="/")
        return response


def see_page():
    return web.Response(status=303, headers={"Location": "/"})


async def whole_body(content, limit):
    """Every piece of a body until its end; raises Refused beyond limit bytes."""
    pieces, size = [], 0
    while True:
        piece = await content.readany()
        if not piece:
            return b"".join(pieces)
        size += len(piece)
        if size > limit:
            raise Refused("the body is larger than %d bytes" % limit, 413, "too-large")
        pieces.append(piece)


# ---- running ----------------------------------------------------------------------------------

def raise_open_file_limit(wanted):
    """Raises the soft limit on open files towards wanted, as far as the hard limit lets;
    returns the connections the service can then hold (some files are for other uses)."""
    try:
        import resource
    except ImportError:  # Windows: no such limit
        return wanted
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = wanted + 256
    if soft != resource.RLIM_INFINITY and soft < needed:
        target = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
            soft = target
        except (ValueError, OSError):
            pass
    return wanted if soft == resource.RLIM_INFINITY else max(16, min(wanted, soft - 256))


class LogBudget(logging.Filter):
    """Lets each kind of line (its logger and message, whatever its particulars) through at
    most SAME_KIND_PER_MINUTE times a minute: a flood of requests or failures must not become
    a flood of log lines. The event loop's and aiohttp's lines lose their tracebacks, which
    tell of the network, not of a fault of the service."""

    def __init__(self, clock=time.monotonic):
        super().__init__()
        self.clock, self._said = clock, {}  # kind -> [start of its minute, lines said in it]

    def filter(self, record):
        now, kind = self.clock(), (record.name, record.msg)
        said = self._said.get(kind)
        if said is None or now - said[0] >= 60:
            if len(self._said) > 1000:
                self._said.clear()
            said = self._said[kind] = [now, 0]
        if said[1] >= SAME_KIND_PER_MINUTE:
            return False
        said[1] += 1
        if record.name != log.name:
            record.exc_info, record.exc_text = None, None
        return True


def quiet_logs(loop):
    """Every logger of the service, aiohttp's and the event loop's failures (a refused accept,
    a broken connection) go to the service's log within one budget."""
    budget = LogBudget()
    loop_log = logging.getLogger("sendrel-web.loop")

    def handler(_, context):
        # The message is the kind; the error is the particular.
        error = context.get("exception")
        loop_log.error(context.get("message", "failure").replace("%", "%%") + "%s",
                       " (%s)" % error if error else "")
    loop.set_exception_handler(handler)
    aiohttp_log = logging.getLogger("aiohttp")
    aiohttp_log.propagate = False
    for handler_ in log.handlers:
        aiohttp_log.addHandler(handler_)
    # A logger's filter sees the lines logged on it, not its children's.
    for name in BUDGETED_LOGGERS:
        logging.getLogger(name).addFilter(budget)
    return budget


def settings_watch(settings, conversation):
    """A callable that tells whether the settings file changed since the last call, and then
    gives the conversation its [sendrel] table."""
    path = settings["config"]

    def stamp():
        try:
            status = os.stat(path)
        except (OSError, TypeError):
            return None
        return status.st_ino, status.st_size, status.st_mtime_ns
    seen = [stamp()]

    def changed():
        now = stamp()
        if now == seen[0]:
            return False
        seen[0] = now
        try:
            conversation.server = parse_settings(settings["arguments"])["sendrel"]
        except sendrel_settings.Usage as error:
            log.error("the changed settings cannot be used: %s", error)
            return False
        log.info("the settings changed: logging in to the Sendrel server with them")
        return True
    return changed


async def serve(settings, stopping):
    """Serves until stopping is set; returns the exit code."""
    conversation = ServerConversation(settings["sendrel"])
    dispatcher = Dispatcher(conversation, settings["web"]["workers"],
                            settings_changed=settings_watch(settings, conversation))
    watcher = Watcher(conversation, dispatcher)
    try:
        return await serve_with(settings, dispatcher, watcher, stopping)
    finally:
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, watcher.close)
        await loop.run_in_executor(None, dispatcher.close)


async def serve_with(settings, dispatcher, watcher, stopping):
    web_settings = settings["web"]
    loop = asyncio.get_running_loop()
    quiet_logs(loop)
    try:
        Secrets(web_settings["secrets"]).check_at_start()
    except sendrel_settings.Usage as error:
        log.error("%s", error)
        return EXIT_USAGE
    # One login at start, so that a wrong password shows at once; a server that is away is
    # only said (the page tells its users why their taps fail).
    dispatcher.starting = True
    try:
        await asyncio.wrap_future(dispatcher.send([]))
    except sendrel_send.WrongPassword as error:
        log.error("%s; the plug-in's password belongs in password of the [sendrel] table of %s "
                  "(or --password)", error, settings["config"] or "the settings file")
        return EXIT_WRONG_PASSWORD
    except sendrel_send.SendrelError as error:
        log.warning("%s; events fail until it can be reached", error)
    finally:
        dispatcher.starting = False
    context = None
    if web_settings["cert"]:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            context.load_cert_chain(web_settings["cert"], web_settings["key"] or None)
        except (OSError, ssl.SSLError) as error:
            log.error("cannot use the certificate %s and key %s (%s)", web_settings["cert"],
                      web_settings["key"], error)
            return EXIT_USAGE
    service = Service(settings, dispatcher, watcher)
    # Bodies are taken as sent: an encoded one is refused, never inflated.
    runner = web.AppRunner(service.application(), access_log=None, handle_signals=False,
                           auto_decompress=False, lingering_time=DRAIN_SECONDS)
    await runner.setup()
    connections = Connections(runner.server, exempt=lambda peer: service.guard.is_proxy(peer),
                              total_max=raise_open_file_limit(CONNECTIONS_MAX))
    service.connections = connections
    host, port = listen_address(web_settings["listen"])
    try:
        server = await loop.create_server(connections.protocol, host, port, ssl=context,
                                          backlog=128)
    except OSError as error:
        log.error("cannot listen on %s (%s)", web_settings["listen"], error)
        await runner.cleanup()
        return EXIT_CANNOT_LISTEN
    connections.start()
    bound = server.sockets[0].getsockname()
    names = names_to_open(bound[0], web_settings["cert"])
    if not names:
        log.warning("the certificate %s holds none of the names and addresses this machine is "
                    "reached at: browsers refuse it; make one with --make-certificate",
                    web_settings["cert"])
    log.info("serving %s", " and ".join(
        "%s://%s:%d/" % ("https" if context else "http", "[%s]" % name if ":" in name else name,
                         bound[1]) for name in names or [bound[0]]))
    if not context and not is_loopback(host):
        log.warning("plain HTTP on %s: the page's password, its session and API tokens cross "
                    "the network in clear; serve HTTPS with --cert and --key", host)
    if not service.guard.secrets.refresh().page_password:
        log.warning("no page password is set: the page cannot be used until one is "
                    "(--set-page-password)")
    await stopping.wait()
    # As aiohttp's own sites stop: no more connections, then those open are ended.
    connections.stop()
    server.close()
    await runner.shutdown()
    await runner.server.shutdown(STOP_SECONDS)
    await runner.cleanup()
    await server.wait_closed()
    service.guard.close()
    log.info("stopped")
    return EXIT_OK
