"""The HTTP side: the handlers, the headers every answer carries, and serving until stopped."""

import asyncio
import hmac
import json
import logging
import ssl
import time
import urllib.parse

import sendrel_send
from aiohttp import web

from .credentials import password_matches
from .dispatcher import Dispatcher, server_conversation
from .events import Refused, events_from, refusal_for, value_of_form
from .guard import COOKIE, Guard
from .page import ASSET_TYPES, Page
from .settings import is_loopback, listen_address

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_CANNOT_LISTEN = 2
EXIT_WRONG_PASSWORD = sendrel_send.EXIT_WRONG_PASSWORD
EXIT_FAILED = sendrel_send.EXIT_FAILED

log = logging.getLogger("sendrel-web")

# Limits that keep what one client can make the service hold small.
BODY_BYTES_MAX = 64 * 1024
BODY_SECONDS = 10.0
# The page's status is the plug-in's as the service knew it at most this long ago.
RECHECK_SECONDS = 5.0

CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; form-action 'self'; "
                           "frame-ancestors 'none'; base-uri 'none'")


class Service:
    """The handlers, and the state they share on the event loop's thread."""

    def __init__(self, settings, dispatcher, clock=time.monotonic):
        self.settings = settings
        self.web = settings["web"]
        self.buttons = settings["buttons"]
        self.dispatcher = dispatcher
        self.guard = Guard(self.web, clock)
        self.page_files = Page()
        self._checking = None  # the login that renews the status, while it runs

    def application(self):
        app = web.Application(client_max_size=BODY_BYTES_MAX, middlewares=[self._headers])
        app.router.add_get("/", self.page)
        for name in ASSET_TYPES:
            app.router.add_get("/" + name, self.asset)
        app.router.add_get("/favicon.ico", self.no_icon)
        app.router.add_post("/login", self.log_in)
        app.router.add_post("/logout", self.log_out)
        app.router.add_get("/api/status", self.status)
        app.router.add_post("/api/events", self.post_events)
        app.router.add_post("/api/buttons/{number:[0-9]+}", self.press)
        return app

    async def _headers(self, request, handler):
        """Refusals as JSON, and the headers every answer carries."""
        try:
            response = await handler(request)
        except Refused as refusal:
            response = web.json_response({"error": refusal.text, "reason": refusal.reason},
                                         status=refusal.status, headers=refusal.headers)
        response.headers["Content-Security-Policy"] = CONTENT_SECURITY_POLICY
        response.headers["X-Content-Type-Options"] = "nosniff"
        response.headers["Referrer-Policy"] = "no-referrer"
        response.headers.setdefault("Cache-Control", "no-store")
        return response

    _headers.__middleware_version__ = 1  # what aiohttp's middleware decorator marks

    # -- the API --

    async def _send(self, events):
        try:
            await asyncio.wrap_future(self.dispatcher.send(events))
        except sendrel_send.SendrelError as error:
            if events:
                log.warning("%d events not sent: %s", len(events), error)
            raise refusal_for(error) from None
        return web.json_response({"sent": len(events)})

    async def _body(self, request):
        try:
            return await asyncio.wait_for(request.read(), BODY_SECONDS)
        except web.HTTPRequestEntityTooLarge:
            raise Refused("the body is larger than %d bytes" % BODY_BYTES_MAX, 413,
                          "too-large") from None
        except asyncio.TimeoutError:
            raise Refused("the body did not arrive within %d s" % BODY_SECONDS, 408,
                          "too-slow") from None

    async def post_events(self, request):
        if self.guard.caller(request) == "page" and not self.web["allow_any_event"]:
            raise Refused("the page sends its buttons only (allow_any_event is off)", 403,
                          "buttons-only")
        body = await self._body(request)
        if request.content_type == "application/x-www-form-urlencoded":
            value = value_of_form(body)
        elif request.content_type == "application/json":
            try:
                value = json.loads(body.decode("utf-8"))
            except ValueError:
                raise Refused("the body is not JSON in UTF-8") from None
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
        """Whether the plug-in takes events, as the service knew it at most RECHECK_SECONDS
        ago: older knowledge is renewed first by a login without events, so that a page that
        asks every few seconds sees the plug-in stop and come back within seconds."""
        self.guard.caller(request, csrf=False)
        if self.dispatcher.clock() - self.dispatcher.last[0] > RECHECK_SECONDS:
            await self._check_server()
        error = self.dispatcher.last[1]
        if error is None:
            return web.json_response({"server": "up"})
        refusal = refusal_for(error)
        return web.json_response({"server": "down", "reason": refusal.reason,
                                  "error": str(error)})

    async def _check_server(self):
        """One login without events for every request that asks meanwhile: the plug-in sees
        at most one such login every RECHECK_SECONDS, however many pages ask."""
        if self._checking is None:
            self._checking = asyncio.ensure_future(self._log_in_once())
        await asyncio.shield(self._checking)

    async def _log_in_once(self):
        try:
            await asyncio.wrap_future(self.dispatcher.send([]))
        except (sendrel_send.SendrelError, Refused):
            pass  # the dispatcher keeps what the conversation met
        finally:
            self._checking = None

    # -- the page --

    def _html(self, text, status=200):
        return web.Response(text=text, status=status, content_type="text/html",
                            charset="utf-8")

    def _login_page(self, message="", status=200):
        if not self.guard.secrets.refresh().page_password:
            message = ("No page password is set yet: run sendrel-web --config FILE "
                       "--set-page-password, then log in here.")
        return self._html(self.page_files.login(self.web["title"], message), status)

    async def page(self, request):
        csrf = self.guard.sessions.csrf(request.cookies.get(COOKIE))
        if csrf is None:
            return self._login_page()
        return self._html(self.page_files.remote(
            self.web["title"], csrf, [(b.label, b.group) for b in self.buttons],
            self.web["allow_any_event"]))

    async def asset(self, request):
        name = request.path.lstrip("/")
        return web.Response(text=self.page_files.assets[name], content_type=ASSET_TYPES[name],
                            charset="utf-8", headers={"Cache-Control": "no-cache"})

    async def no_icon(self, request):
        """Browsers ask for an icon; there is none, and that is no error."""
        return web.Response(status=204)

    async def log_in(self, request):
        guard = self.guard
        address = guard.address(request)
        try:
            guard.check_blocked(address)
        except Refused as refusal:
            return self._login_page(refusal.text, 429)
        form = urllib.parse.parse_qs((await self._body(request)).decode("utf-8", "replace"))
        password = form.get("password", [""])[0]
        record = guard.secrets.refresh().page_password
        guard.limit.failed(address)
        loop = asyncio.get_running_loop()
        if not await loop.run_in_executor(None, password_matches, password, record):
            log.warning("a wrong page password from %s", address)
            return self._login_page("Wrong password.", 401)
        guard.limit.forgive(address)
        session, _ = guard.sessions.open()
        response = see_page()
        response.set_cookie(COOKIE, session, httponly=True, samesite="Strict", path="/",
                            secure=guard.secure(request) or None)
        return response

    async def log_out(self, request):
        form = urllib.parse.parse_qs((await self._body(request)).decode("utf-8", "replace"))
        session = request.cookies.get(COOKIE)
        expected = self.guard.sessions.csrf(session)
        if expected and hmac.compare_digest(form.get("csrf", [""])[0], expected):
            self.guard.sessions.end(session)
        response = see_page()
        response.del_cookie(COOKIE, path="/")
        return response


def see_page():
    return web.Response(status=303, headers={"Location": "/"})
async def serve(settings, stopping):
    """Serves until stopping is set; returns the exit code."""
    server = settings["sendrel"]
    dispatcher = Dispatcher(server_conversation(server), settings["web"]["workers"])
    try:
        return await serve_with(settings, dispatcher, stopping)
    finally:
        await asyncio.get_running_loop().run_in_executor(None, dispatcher.close)


async def serve_with(settings, dispatcher, stopping):
    web_settings = settings["web"]
    # One login at start, so that a wrong password shows at once; a server that is away is
    # only said (the page tells its users why their taps fail).
    try:
        await asyncio.wrap_future(dispatcher.send([]))
    except sendrel_send.WrongPassword as error:
        log.error("%s", error)
        return EXIT_WRONG_PASSWORD
    except sendrel_send.SendrelError as error:
        log.warning("%s; events fail until it can be reached", error)
    context = None
    if web_settings["cert"]:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            context.load_cert_chain(web_settings["cert"], web_settings["key"] or None)
        except (OSError, ssl.SSLError) as error:
            log.error("cannot use the certificate %s and key %s (%s)", web_settings["cert"],
                      web_settings["key"], error)
            return EXIT_USAGE
    service = Service(settings, dispatcher)
    runner = web.AppRunner(service.application(), access_log=None, handle_signals=False)
    await runner.setup()
    host, port = listen_address(web_settings["listen"])
    try:
        await web.TCPSite(runner, host, port, ssl_context=context).start()
    except OSError as error:
        log.error("cannot listen on %s (%s)", web_settings["listen"], error)
        await runner.cleanup()
        return EXIT_CANNOT_LISTEN
    bound = runner.addresses[0]
    log.info("serving %s://%s:%d/", "https" if context else "http",
             "[%s]" % bound[0] if ":" in bound[0] else bound[0], bound[1])
    if not context and not is_loopback(host):
        log.warning("plain HTTP on %s: the page's password, its session and API tokens cross "
                    "the network in clear; serve HTTPS with --cert and --key", host)
    if not service.guard.secrets.refresh().page_password:
        log.warning("no page password is set: the page cannot be used until one is "
                    "(--set-page-password)")
    await stopping.wait()
    await runner.cleanup()
    log.info("stopped")
    return EXIT_OK


