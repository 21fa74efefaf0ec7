#!/usr/bin/env python3
"""Events from a phone's browser and from web hooks: a small HTTP service for a Sendrel server.

sendrel-web logs in to the Sendrel server as a client (the Python client's own code) and turns
HTTP requests into events:

- POST /api/events with a JSON body {"event": "...", "payloads": ["...", ...]}, a JSON array
  of such objects (sent in order, in one conversation), or a form-encoded body with the
  fields event and payloads (repeated). Authorised by an API token (Authorization: Bearer
  ...) or by the page's session with its CSRF token.
- a remote-control page for phones at /: a grid of buttons defined in the settings file,
  behind the page's own password.

An event counts as sent only once its conversation was closed cleanly: the service sends the
closing line and waits until the server closes the connection, which tells that it took every
line. Otherwise the request gets the reason (unreachable, not admitted, wrong password, close
notice) with the matching HTTP status. The conversations run on a few worker threads, off the
event loop, and requests that wait together share one conversation.

Needs aiohttp (Debian's python3-aiohttp, or pip install aiohttp) and sendrel_send.py and
sendrel_mqtt.py beside it (the bridge's settings conventions; Paho is not needed). Settings
come from a TOML file (--config) and the command line, which wins; see --help.
"""

import argparse
import asyncio
import codecs
import collections
import concurrent.futures
import getpass
import hashlib
import hmac
import html
import ipaddress
import json
import logging
import os
import queue
import secrets
import signal
import ssl
import sys
import threading
import time
import urllib.parse

import sendrel_mqtt
import sendrel_send
from sendrel_mqtt import Usage

try:
    from aiohttp import web
except ImportError:  # said at start; --new-token and --set-page-password work without it
    web = None

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_CANNOT_LISTEN = 2
EXIT_WRONG_PASSWORD = sendrel_send.EXIT_WRONG_PASSWORD
EXIT_FAILED = sendrel_send.EXIT_FAILED

log = logging.getLogger("sendrel-web")

DEFAULTS = {
    "sendrel": sendrel_mqtt.DEFAULTS["sendrel"],
    "web": {"listen": "127.0.0.1:8080", "cert": "", "key": "", "insecure_http_on_lan": False,
            "title": "Sendrel", "allow_any_event": False, "session_minutes": 30.0,
            "secrets": "", "workers": 4, "proxy": ""},
    "log": {"file": ""},
}

# Limits that keep what one client can make the service hold small.
BODY_BYTES_MAX = 64 * 1024
BODY_SECONDS = 10.0
EVENTS_PER_REQUEST_MAX = 100
# Events that requests waiting together may share in one conversation.
EVENTS_PER_CONVERSATION_MAX = 200
WAITING_REQUESTS_MAX = 1000
SESSIONS_MAX = 256
ADDRESSES_MAX = 4096
# The plug-in's own rule for wrong passwords: 5 failures within 10 minutes block the address
# for the next 10 minutes.
FAILURES_MAX = 5
FAILURE_WINDOW = 600.0
BLOCK_SECONDS = 600.0
# A plug-in that failed is tried again for the page's banner at most this often.
RECHECK_SECONDS = 5.0
PAGE_PASSWORD_LENGTH_MIN = 8
PBKDF2_ITERATIONS = 600000
COOKIE = "sendrel_session"
CSRF_HEADER = "X-CSRF-Token"

EXAMPLE = """\
example:
  sendrel-web --config web.toml --new-token phone-shortcut   (prints the token once)
  sendrel-web --config web.toml --set-page-password < two-lines.txt
  sendrel-web --config web.toml
  curl -H "Authorization: Bearer TOKEN" -H "Content-Type: application/json" \\
       -d '{"event": "Lights", "payloads": ["kitchen", "on"]}' http://127.0.0.1:8080/api/events

settings file (TOML; the command line wins over it):
  [sendrel]
  host = "127.0.0.1"
  port = 1024
  password = "my-password"
  [web]
  listen = "127.0.0.1:8080"  # another interface needs cert and key (or insecure_http_on_lan)
  # cert = "web.crt", key = "web.key", allow_any_event = false, session_minutes = 30
  # proxy = "127.0.0.1"      # a reverse proxy in front: its X-Forwarded-For/-Proto count
  [[button]]
  label = "Kitchen lights on"
  event = "Lights"
  payloads = ["kitchen", "on"]
  group = "Kitchen"
  [[button]]
  label = "Good night"
  event = "Scene"
  payloads = ["night"]

The tokens and the page's password are kept, as hashes only, in FILE.secrets.json beside the
settings file (or where [web] secrets says).

exit codes: 0 stopped (SIGTERM, Ctrl+C) or the token or password stored; 1 wrong usage or
settings, or aiohttp missing; 2 cannot listen on the address; 4 wrong Sendrel password;
6 any other failure.
"""

# ---- settings ----------------------------------------------------------------------------------

# The Sendrel server's options: the bridge's.
SERVER_OPTIONS = {option[0]: option for option in sendrel_mqtt.OPTIONS if option[1] == "sendrel"}
# (option, table, key, argparse keywords); table None: handled by hand.
OPTIONS = [
    ("--config", None, None, {"metavar": "FILE", "help": "read the settings from this TOML file"}),
] + list(SERVER_OPTIONS.values()) + [
    ("--listen", "web", "listen", {"metavar": "HOST:PORT",
                                   "help": "where to serve HTTP (default 127.0.0.1:8080)"}),
    ("--cert", "web", "cert", {"metavar": "FILE", "help": "serve HTTPS with this certificate"}),
    ("--key", "web", "key", {"metavar": "FILE", "help": "the certificate's private key"}),
    ("--insecure-http-on-lan", "web", "insecure_http_on_lan",
     {"action": "store_const", "const": True,
      "help": "allow plain HTTP on an address other than loopback (passwords and tokens then "
              "cross the network in clear)"}),
    ("--log-file", "log", "file", {"metavar": "FILE", "help": "append the log here"}),
    ("--new-token", None, None, {"metavar": "NAME",
                                 "help": "store a new API token of this name (replacing one of "
                                         "the same name), print it once and exit"}),
    ("--set-page-password", None, None, {"action": "store_true",
                                         "help": "read the page's password twice from standard "
                                                 "input, store its hash and exit"}),
]


def listen_address(text):
    """HOST:PORT (an IPv6 host in brackets) as (host, port); port 0 picks a free one."""
    host, colon, port = text.rpartition(":")
    if not colon or not host or not (port.isascii() and port.isdigit()) or int(port) > 65535:
        raise Usage("listen must be HOST:PORT, not %s" % text)
    return host.strip("[]"), int(port)


def is_loopback(host):
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


Button = collections.namedtuple("Button", "label group event payloads")


def buttons_from(tables, encoding):
    """The [[button]] tables as Buttons, their texts as the server's bytes; raises Usage."""
    if not isinstance(tables, list):
        raise Usage("button must be an array of tables: [[button]]")
    buttons = []
    for number, table in enumerate(tables, 1):
        where = "button %d" % number
        if not isinstance(table, dict) or set(table) - {"label", "event", "payloads", "group"}:
            raise Usage("%s: only label, event, payloads and group" % where)
        label, group = table.get("label", table.get("event")), table.get("group", "")
        if not isinstance(label, str) or not isinstance(group, str):
            raise Usage("%s needs an event, and label and group must be texts" % where)
        try:
            (event, payloads), = events_from(
                {"event": table.get("event"), "payloads": table.get("payloads", [])}, encoding)
        except Refused as refusal:
            raise Usage("%s: %s" % (where, refusal.text)) from None
        buttons.append(Button(label, group, event, payloads))
    return buttons


def parse_settings(arguments):
    """The settings from the command line and the file it names, with the buttons under
    "buttons" and the command under "command"; raises Usage."""
    parser = sendrel_mqtt.ArgumentParser(
        prog="sendrel-web", epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Serves a remote-control page and an HTTP API that send events to a "
                    "Sendrel server, each reported sent only once the server has taken it.")
    for option, _, key, keywords in OPTIONS:
        parser.add_argument(option, dest=key or option[2:].replace("-", "_"), **keywords)
    given = parser.parse_args(arguments)
    file_settings = sendrel_mqtt.read_toml(given.config) if given.config else {}
    button_tables = file_settings.pop("button", [])
    settings = sendrel_mqtt.merged_settings(file_settings, DEFAULTS)
    web_settings = settings["web"]
    # Files the settings file names are found beside it; those of options where they are run.
    for key in ("cert", "key", "secrets"):
        if web_settings[key]:
            web_settings[key] = os.path.join(os.path.dirname(given.config), web_settings[key])
    if given.config and not web_settings["secrets"]:
        web_settings["secrets"] = os.path.splitext(given.config)[0] + ".secrets.json"
    for option, table, key, _ in OPTIONS:
        value = getattr(given, key or option[2:].replace("-", "_"))
        if table and value is not None:
            settings[table][key] = value
    try:
        codecs.lookup(settings["sendrel"]["encoding"])
    except LookupError:
        raise Usage("unknown encoding: %s" % settings["sendrel"]["encoding"]) from None
    settings["buttons"] = buttons_from(button_tables, settings["sendrel"]["encoding"])
    if (given.new_token or given.set_page_password) and not web_settings["secrets"]:
        raise Usage("--new-token and --set-page-password need --config FILE: the secrets are "
                    "kept beside it")
    settings["command"] = ("new-token", given.new_token) if given.new_token else (
        ("page-password", None) if given.set_page_password else ("serve", None))
    host, _ = listen_address(web_settings["listen"])
    if web_settings["key"] and not web_settings["cert"]:
        raise Usage("--key needs --cert")
    if not web_settings["cert"] and not is_loopback(host) and \
            not web_settings["insecure_http_on_lan"]:
        raise Usage("without --cert and --key the service listens on loopback only; serve "
                    "HTTPS, put it behind a reverse proxy, or give --insecure-http-on-lan")
    if web_settings["session_minutes"] <= 0 or web_settings["workers"] < 1:
        raise Usage("session_minutes must be more than 0, and workers 1 or more")
    return settings


# ---- secrets: API tokens and the page's password, as hashes only ------------------------------

def token_hash(token):
    """Tokens are long random texts, so one round of SHA-256 keeps them as well as any."""
    return "sha256:" + hashlib.sha256(token.encode("utf-8", "surrogateescape")).hexdigest()


def password_record(password, salt=None, iterations=PBKDF2_ITERATIONS):
    """A salted, slow hash of a password a person chose."""
    salt = salt or secrets.token_bytes(16)
    digest = hashlib.pbkdf2_hmac("sha256", password.encode("utf-8"), salt, iterations)
    return {"kdf": "pbkdf2-sha256", "iterations": iterations, "salt": salt.hex(),
            "hash": digest.hex()}


def password_matches(password, record):
    if not record or record.get("kdf") != "pbkdf2-sha256":
        return False
    expected = password_record(password, bytes.fromhex(record["salt"]), record["iterations"])
    return hmac.compare_digest(expected["hash"], record["hash"])


class Secrets:
    """The secrets file: {"tokens": {name: hash}, "page_password": record}. Read again when it
    changed, so a token added while the service runs works at once."""

    def __init__(self, path):
        self.path = path
        self._stamp = None
        self.tokens, self.page_password = {}, None  # tokens: hash -> name

    def _read(self):
        try:
            with open(self.path, encoding="utf-8") as source:
                return json.load(source)
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as error:
            raise Usage("cannot read the secrets file %s (%s)" % (self.path, error)) from None

    def refresh(self):
        try:
            stamp = os.stat(self.path).st_mtime_ns if self.path else None
        except OSError:
            stamp = None
        if stamp != self._stamp:
            self._stamp = stamp
            stored = self._read() if stamp is not None else {}
            self.tokens = {h: name for name, h in stored.get("tokens", {}).items()}
            self.page_password = stored.get("page_password")
        return self

    def _write(self, change):
        stored = self._read()
        change(stored)
        temporary = self.path + ".new"
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with open(descriptor, "w", encoding="utf-8") as out:
            json.dump(stored, out, indent=1)
        os.replace(temporary, self.path)

    def add_token(self, name):
        token = "srw_" + secrets.token_urlsafe(32)
        self._write(lambda stored: stored.setdefault("tokens", {}).__setitem__(
            name, token_hash(token)))
        return token

    def set_page_password(self, password):
        record = password_record(password)
        self._write(lambda stored: stored.__setitem__("page_password", record))


def read_new_password(stream):
    """The page's password, read twice: with getpass at a terminal, else two input lines."""
    if stream.isatty():
        first, second = getpass.getpass("page password: "), getpass.getpass("again: ")
    else:
        first, second = (stream.readline().rstrip("\r\n") for _ in range(2))
    if first != second:
        raise Usage("the two passwords differ; nothing stored")
    if len(first) < PAGE_PASSWORD_LENGTH_MIN:
        raise Usage("the page's password needs %d characters or more; nothing stored"
                    % PAGE_PASSWORD_LENGTH_MIN)
    return first


# ---- requests to events -------------------------------------------------------------------------

class Refused(Exception):
    """What a request asked for cannot be sent; status and reason go to the client."""

    def __init__(self, text, status=400, reason="refused", headers=None):
        super().__init__(text)
        self.text, self.status, self.reason, self.headers = text, status, reason, headers


def events_from(value, encoding):
    """The events of a request's JSON value (one object, or an array of them) as (event,
    payloads) in the server's bytes; raises Refused for anything the server would not take
    as asked (reporting it sent would be wrong)."""
    items = value if isinstance(value, list) else [value]
    if not items or len(items) > EVENTS_PER_REQUEST_MAX:
        raise Refused("a request holds 1 to %d events" % EVENTS_PER_REQUEST_MAX)
    events = []
    for item in items:
        if not isinstance(item, dict) or set(item) - {"event", "payloads"}:
            raise Refused('each event is an object with "event" and, optionally, "payloads"')
        event, payloads = item.get("event"), item.get("payloads", [])
        if not isinstance(event, str) or not isinstance(payloads, list) or \
                not all(isinstance(p, str) for p in payloads):
            raise Refused('"event" must be a text and "payloads" a list of texts')
        if not event:
            raise Refused("an empty event cannot be sent")
        try:
            line = sendrel_send.encoded(event, "event", encoding, is_event=True)
            texts = [sendrel_send.encoded(p, "payload", encoding) for p in payloads]
        except ValueError as error:
            raise Refused(str(error)) from None
        # The server would drop these without a word.
        problems = sendrel_send.payload_warnings(event, texts)
        if problems:
            raise Refused("cannot send: " + "; ".join(problems))
        events.append((line, texts))
    return events


def value_of_form(body):
    """A form-encoded body's event and payloads as the JSON value they stand for."""
    fields = urllib.parse.parse_qs(body.decode("utf-8", "replace"), keep_blank_values=True)
    if set(fields) - {"event", "payloads"} or len(fields.get("event", [])) != 1:
        raise Refused("a form holds one field event and any number of fields payloads")
    return {"event": fields["event"][0], "payloads": fields.get("payloads", [])}


# How a conversation that failed is answered, the most particular first.
FAILURE_ANSWERS = [
    (sendrel_send.CannotConnect, 503, "unreachable"),
    (sendrel_send.CloseNotice, 503, "stopping"),
    (sendrel_send.NotAdmitted, 502, "not-admitted"),
    (sendrel_send.WrongPassword, 502, "wrong-password"),
    (sendrel_send.SendrelError, 502, "failed"),
]


def refusal_for(error):
    for kind, status, reason in FAILURE_ANSWERS:
        if isinstance(error, kind):
            return Refused("not sent: %s" % error, status, reason)
    raise error


# ---- who may send ------------------------------------------------------------------------------

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


# ---- conversations with the plug-in ---------------------------------------------------------

class Dispatcher:
    """Sends events in conversations on worker threads, so that a slow server never stalls the
    event loop. A worker takes the requests that wait when it is free into one conversation;
    each of them succeeds or fails with it."""

    def __init__(self, conversation, workers, clock=time.monotonic):
        self._conversation = conversation
        self._jobs = queue.Queue()
        self.clock = clock
        self.last = (clock(), None)  # when the last conversation ended, and its SendrelError
        self._threads = [threading.Thread(target=self._work, daemon=True)
                         for _ in range(workers)]
        for thread in self._threads:
            thread.start()

    def send(self, events):
        """A concurrent future of the conversation that sends the events; an empty list only
        logs in."""
        if self._jobs.qsize() >= WAITING_REQUESTS_MAX:
            raise Refused("not sent: too many requests wait for the server", 503, "busy")
        future = concurrent.futures.Future()
        self._jobs.put((events, future))
        return future

    def _work(self):
        while True:
            job = self._jobs.get()
            if job is None:
                return
            jobs, events = [job], list(job[0])
            while len(events) < EVENTS_PER_CONVERSATION_MAX:
                try:
                    job = self._jobs.get_nowait()
                except queue.Empty:
                    break
                if job is None:
                    self._jobs.put(None)
                    break
                jobs.append(job)
                events.extend(job[0])
            error = None
            try:
                self._conversation(events)
            except sendrel_send.SendrelError as failure:
                error = failure
            except Exception as failure:  # a fault of ours: the request must not hang
                log.exception("a conversation failed unexpectedly")
                error = sendrel_send.SendrelError("unexpected failure (%s)" % failure)
            self.last = (self.clock(), error)
            for _, future in jobs:
                if error:
                    future.set_exception(error)
                else:
                    future.set_result(len(events))

    def close(self):
        for _ in self._threads:
            self._jobs.put(None)
        for thread in self._threads:
            thread.join(30)


def server_conversation(server):
    """The conversation with the Sendrel server the settings name: log in, the events, the
    closing line and the server's close."""
    def converse(events):
        sendrel_send.send_events(events, server["host"], server["port"], server["password"],
                                 timeout=server["timeout"], encoding=server["encoding"],
                                 source=server["source"] or None)
    return converse


# ---- the HTTP side ---------------------------------------------------------------------------

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
        self.secrets = Secrets(self.web["secrets"])
        self.limit = FailureLimit(clock)
        self.sessions = Sessions(self.web["session_minutes"] * 60, clock)
        self.https = bool(self.web["cert"])

    def _address(self, request):
        """The client's address: behind the reverse proxy named in the settings, the one the
        proxy says it forwards for (the last of X-Forwarded-For, which it added itself), so
        that one guesser does not get everyone behind the proxy refused."""
        forwarded = request.headers.get("X-Forwarded-For")
        if self._from_proxy(request) and forwarded:
            return forwarded.split(",")[-1].strip()
        return request.remote

    def _from_proxy(self, request):
        return bool(self.web["proxy"]) and request.remote == self.web["proxy"]

    def _secure(self, request):
        return self.https or (self._from_proxy(request)
                              and request.headers.get("X-Forwarded-Proto") == "https")

    def application(self):
        app = web.Application(client_max_size=BODY_BYTES_MAX, middlewares=[self._guard])
        app.router.add_get("/", self.page)
        app.router.add_get("/app.js", self.asset)
        app.router.add_get("/app.css", self.asset)
        app.router.add_get("/favicon.ico", self.no_icon)
        app.router.add_post("/login", self.log_in)
        app.router.add_post("/logout", self.log_out)
        app.router.add_get("/api/status", self.status)
        app.router.add_post("/api/events", self.post_events)
        app.router.add_post("/api/buttons/{number:[0-9]+}", self.press)
        return app

    async def _guard(self, request, handler):
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

    _guard.__middleware_version__ = 1  # what aiohttp's middleware decorator marks

    # -- who asks --

    def _blocked(self, address):
        wait = self.limit.blocked_for(address)
        if wait:
            raise Refused("too many failed logins from this address; try again in %d minutes"
                          % -(-wait // 60), 429, "blocked", {"Retry-After": "%d" % -(-wait // 1)})

    def _caller(self, request, csrf=True):
        """"token" or "page" for an authorised request; raises Refused."""
        address = self._address(request)
        self._blocked(address)
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
        if self._caller(request) == "page" and not self.web["allow_any_event"]:
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
        self._caller(request)
        number = int(request.match_info["number"])
        if number >= len(self.buttons):
            raise Refused("no such button", 404, "no-button")
        button = self.buttons[number]
        return await self._send([(button.event, button.payloads)])

    async def status(self, request):
        """Whether the server took the last conversation; one that failed is tried again,
        at most every RECHECK_SECONDS, so the page sees the server come back."""
        self._caller(request, csrf=False)
        when, error = self.dispatcher.last
        if error and self.dispatcher.clock() - when > RECHECK_SECONDS:
            try:
                await self._send([])
            except Refused:
                pass
            when, error = self.dispatcher.last
        if error is None:
            return web.json_response({"server": "up"})
        refusal = refusal_for(error)
        return web.json_response({"server": "down", "reason": refusal.reason,
                                  "error": str(error)})

    # -- the page --

    def _html(self, text, status=200):
        return web.Response(text=text, status=status, content_type="text/html",
                            charset="utf-8")

    def _login_page(self, message="", status=200):
        if not self.secrets.refresh().page_password:
            message = ("No page password is set yet: run sendrel-web --config FILE "
                       "--set-page-password, then log in here.")
        return self._html(render(LOGIN_PAGE, title=self.web["title"], message=message),
                          status)

    async def page(self, request):
        csrf = self.sessions.csrf(request.cookies.get(COOKIE))
        if csrf is None:
            return self._login_page()
        groups = collections.OrderedDict()
        for number, button in enumerate(self.buttons):
            groups.setdefault(button.group, []).append(render(
                BUTTON, number=number, label=button.label))
        sections = "".join(render(GROUP, heading=render(HEADING, group=group) if group else "",
                                  buttons="".join(buttons), raw=("heading", "buttons"))
                           for group, buttons in groups.items())
        return self._html(render(
            REMOTE_PAGE, title=self.web["title"], csrf=csrf,
            sections=sections or render(NO_BUTTONS),
            free_text=render(FREE_TEXT) if self.web["allow_any_event"] else "",
            raw=("sections", "free_text")))

    async def asset(self, request):
        name = request.path.lstrip("/")
        kind = "application/javascript" if name.endswith(".js") else "text/css"
        return web.Response(text=ASSETS[name], content_type=kind, charset="utf-8",
                            headers={"Cache-Control": "no-cache"})

    async def no_icon(self, request):
        """Browsers ask for an icon; there is none, and that is no error."""
        return web.Response(status=204)

    async def log_in(self, request):
        address = self._address(request)
        try:
            self._blocked(address)
        except Refused as refusal:
            return self._login_page(refusal.text, 429)
        form = urllib.parse.parse_qs((await self._body(request)).decode("utf-8", "replace"))
        password = form.get("password", [""])[0]
        record = self.secrets.refresh().page_password
        self.limit.failed(address)
        loop = asyncio.get_running_loop()
        if not await loop.run_in_executor(None, password_matches, password, record):
            log.warning("a wrong page password from %s", address)
            return self._login_page("Wrong password.", 401)
        self.limit.forgive(address)
        session, _ = self.sessions.open()
        response = see_page()
        response.set_cookie(COOKIE, session, httponly=True, samesite="Strict", path="/",
                            secure=self._secure(request) or None)
        return response

    async def log_out(self, request):
        form = urllib.parse.parse_qs((await self._body(request)).decode("utf-8", "replace"))
        session = request.cookies.get(COOKIE)
        expected = self.sessions.csrf(session)
        if expected and hmac.compare_digest(form.get("csrf", [""])[0], expected):
            self.sessions.end(session)
        response = see_page()
        response.del_cookie(COOKIE, path="/")
        return response


def see_page():
    return web.Response(status=303, headers={"Location": "/"})


def render(template, raw=(), **values):
    """The template with its {names} filled in, HTML-escaped but for those in raw."""
    return template.format_map({k: v if k in raw else html.escape(str(v))
                                for k, v in values.items()})


# ---- running ----------------------------------------------------------------------------------

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
    if not service.secrets.refresh().page_password:
        log.warning("no page password is set: the page cannot be used until one is "
                    "(--set-page-password)")
    await stopping.wait()
    await runner.cleanup()
    log.info("stopped")
    return EXIT_OK


def run_service(settings):
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)  # before Python 3.10 the event takes the current loop
    stopping = asyncio.Event()
    for name in ("SIGTERM", "SIGINT", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name),
                          lambda number, frame: loop.call_soon_threadsafe(stopping.set))
    try:
        return loop.run_until_complete(serve(settings, stopping))
    finally:
        loop.close()


def main(arguments=None):
    try:
        settings = parse_settings(sys.argv[1:] if arguments is None else arguments)
        command, name = settings["command"]
        store = Secrets(settings["web"]["secrets"])
        if command == "new-token":
            token = store.add_token(name)
            sys.stdout.write("API token %s stored in %s as a hash; this is the only time it is "
                             "shown:\n%s\n" % (name, store.path, token))
            return EXIT_OK
        if command == "page-password":
            store.set_page_password(read_new_password(sys.stdin))
            sys.stdout.write("page password stored in %s as a salted hash\n" % store.path)
            return EXIT_OK
        sendrel_mqtt.set_up_log(settings["log"]["file"], log)
        if web is None:
            raise Usage("aiohttp is missing for %s: install Debian's python3-aiohttp, or run "
                        "%s -m pip install aiohttp" % (sys.executable, sys.executable))
    except (Usage, OSError) as error:
        if sys.stderr:
            sys.stderr.write("sendrel-web: %s\n" % error)
        return EXIT_USAGE
    try:
        return run_service(settings)
    except Exception:  # a fault of the service: what it was goes to the log
        log.exception("stopped by an unexpected failure")
        return EXIT_FAILED


# ---- the page: served by the service itself, nothing from elsewhere -------------------------

HEAD = """<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title><link rel="stylesheet" href="/app.css">"""

LOGIN_PAGE = HEAD + """</head>
<body><main class="login"><h1>{title}</h1>
<form method="post" action="/login">
<input name="username" autocomplete="username" value="{title}" hidden>
<label for="password">Password</label>
<input id="password" name="password" type="password" autocomplete="current-password" required>
<button type="submit">Log in</button>
<p id="message" role="alert">{message}</p>
</form></main></body></html>
"""

REMOTE_PAGE = HEAD + """<meta name="csrf-token" content="{csrf}">
<script src="/app.js" defer></script></head>
<body><header><h1>{title}</h1>
<form method="post" action="/logout"><input type="hidden" name="csrf" value="{csrf}">
<button type="submit" class="quiet">Log out</button></form></header>
<p id="banner" role="alert" hidden></p>
<main>{sections}{free_text}</main>
<p id="said" class="visually-hidden" role="status" aria-live="polite"></p>
</body></html>
"""

GROUP = """<section>{heading}<div class="grid">{buttons}</div></section>"""
HEADING = """<h2>{group}</h2>"""
BUTTON = """<button type="button" class="event" data-button="{number}" \
aria-describedby="result{number}"><span class="label">{label}</span>\
<span class="result" id="result{number}"></span></button>"""
NO_BUTTONS = """<p>No buttons yet: add [[button]] tables to the settings file.</p>"""
FREE_TEXT = """<form id="free" class="free"><h2>Any event</h2>
<label for="free-event">Event</label><input id="free-event" name="event" required>
<label for="free-payloads">Payloads, one a line</label>
<textarea id="free-payloads" name="payloads" rows="3"></textarea>
<button type="submit">Send</button><p class="result" id="free-result" role="status"></p>
</form>"""

SCRIPT = r"""'use strict';
// Each tap is one request; what it answered is shown on the button and said to screen
// readers. A failure of the server shows in the banner until a tap succeeds.
const csrf = document.querySelector('meta[name="csrf-token"]').content;
const banner = document.getElementById('banner');
const said = document.getElementById('said');

async function post(url, body) {
  try {
    const answer = await fetch(url, {method: 'POST', credentials: 'same-origin',
      headers: {'Content-Type': 'application/json', 'X-CSRF-Token': csrf},
      body: JSON.stringify(body)});
    const json = await answer.json().catch(() => ({}));
    return {ok: answer.ok, status: answer.status, reason: json.reason,
            text: answer.ok ? 'sent' : (json.error || 'failed (HTTP ' + answer.status + ')')};
  } catch (error) {
    return {ok: false, reason: 'offline', text: 'not sent: the service cannot be reached'};
  }
}

function show(answer, label, result, element) {
  result.textContent = answer.text;
  element.classList.toggle('ok', answer.ok);
  element.classList.toggle('failed', !answer.ok);
  said.textContent = label + ': ' + answer.text;
  if (answer.status === 401) {
    setTimeout(() => location.reload(), 1500);
  }
  const serverDown = ['unreachable', 'stopping', 'not-admitted', 'wrong-password', 'failed',
                      'offline'].includes(answer.reason);
  if (answer.ok || serverDown) {
    banner.hidden = answer.ok;
    banner.textContent = answer.ok ? '' :
      'Events cannot be sent now: ' + answer.text.replace(/^not sent: /, '');
  }
}

for (const button of document.querySelectorAll('button[data-button]')) {
  button.addEventListener('click', async () => {
    const result = document.getElementById(button.getAttribute('aria-describedby'));
    const label = button.querySelector('.label').textContent;
    button.disabled = true;
    result.textContent = 'sending…';
    show(await post('/api/buttons/' + button.dataset.button, {}), label, result, button);
    button.disabled = false;
  });
}

const free = document.getElementById('free');
if (free) {
  free.addEventListener('submit', async (submitted) => {
    submitted.preventDefault();
    const event = free.elements.event.value;
    const lines = free.elements.payloads.value.split('\n').filter((line) => line !== '');
    show(await post('/api/events', {event: event, payloads: lines}), event,
         document.getElementById('free-result'), free);
  });
}

(async () => {
  const answer = await fetch('/api/status', {credentials: 'same-origin'}).catch(() => null);
  const json = answer && answer.ok ? await answer.json() : null;
  if (json && json.server === 'down') {
    banner.hidden = false;
    banner.textContent = 'Events cannot be sent now: ' + json.error;
  }
})();
"""

STYLE = """:root { color-scheme: light dark; --bg: #f4f5f7; --fg: #15171a; --card: #fff;
  --accent: #1b5fc1; --ok: #17753a; --bad: #b3261e; --line: #c9ced6; }
@media (prefers-color-scheme: dark) {
  :root { --bg: #111316; --fg: #eceef1; --card: #1e2227; --accent: #7fb0ff; --ok: #6fd38f;
    --bad: #ff8a80; --line: #3a4048; }
}
* { box-sizing: border-box; }
body { margin: 0; padding: 0.75rem; background: var(--bg); color: var(--fg);
  font: 1rem/1.4 system-ui, sans-serif; }
header { display: flex; align-items: center; justify-content: space-between; gap: 0.5rem; }
h1 { font-size: 1.3rem; margin: 0.25rem 0 0.75rem; }
h2 { font-size: 1rem; margin: 1rem 0 0.5rem; }
section { margin-bottom: 0.6rem; }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(9.5rem, 1fr));
  gap: 0.6rem; }
button { font: inherit; color: inherit; border-radius: 0.75rem; cursor: pointer;
  border: 2px solid var(--line); background: var(--card); padding: 0.6rem; }
button { -webkit-tap-highlight-color: transparent; }
button:active { transform: scale(0.98); }
button:focus-visible { outline: 3px solid var(--accent); outline-offset: 2px; }
button.event { min-height: 5.5rem; display: flex; flex-direction: column;
  justify-content: center; gap: 0.3rem; font-size: 1.15rem; font-weight: 600; }
.result { font-size: 0.85rem; font-weight: 400; min-height: 1.1em; }
.ok { border-color: var(--ok); } .ok .result, .ok > .result { color: var(--ok); }
.failed { border-color: var(--bad); } .failed .result, .failed > .result { color: var(--bad); }
button.quiet { padding: 0.4rem 0.8rem; font-size: 0.9rem; }
#banner { background: var(--bad); color: var(--bg); padding: 0.6rem 0.8rem;
  border-radius: 0.5rem; font-weight: 600; }
.login, .free { display: flex; flex-direction: column; gap: 0.5rem; max-width: 24rem; }
input, textarea { font: inherit; padding: 0.6rem; border-radius: 0.5rem;
  border: 2px solid var(--line); background: var(--card); color: var(--fg); }
#message { color: var(--bad); min-height: 1.4em; }
.visually-hidden { position: absolute; width: 1px; height: 1px; overflow: hidden;
  clip: rect(0 0 0 0); white-space: nowrap; }
"""

ASSETS = {"app.js": SCRIPT, "app.css": STYLE}

if __name__ == "__main__":
    sys.exit(main())
