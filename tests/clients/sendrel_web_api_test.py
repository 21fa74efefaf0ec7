"""The web service's HTTP API in process, against a conversation that records the events or
fails as the case says, and a clock the test moves: one table of requests and their answers,
the refusal of addresses that guess, the page's session and its cookie, and the parts below
the handlers (dispatcher, sessions, secrets file, settings, connections)."""

import asyncio
import contextlib
import io
import json
import logging
import os
import subprocess
import sys
import tempfile
import threading
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import sendrel_send  # noqa: E402
import sendrel_settings  # noqa: E402
from sendrel_web import command, connections, credentials, dispatcher, guard, server  # noqa: E402
from sendrel_web import sessions, watcher  # noqa: E402
from sendrel_web import events as sendrel_web_events  # noqa: E402
from sendrel_web import settings as web_settings  # noqa: E402
from aiohttp.test_utils import TestClient, TestServer  # noqa: E402

logging.getLogger("sendrel-web").addHandler(logging.NullHandler())  # the cases' own noise

SETTINGS = """\
[sendrel]
encoding = "latin-1"
[web]
proxy = "%s"
title = "<i>Home & 'away'</i>"
[[button]]
label = "Lights <on>"
event = "Lights"
payloads = ["kitchen", "on"]
"""
PASSWORD = "the page password"
PROXY = "127.0.0.1"  # where the test client connects from
JSON = {"Content-Type": "application/json"}
FORM = {"Content-Type": "application/x-www-form-urlencoded"}

A = '{"event": "A"}'

# name, path, headers, body, the events sent
SENT = [
    ("one event", "/api/events", JSON, '{"event": "A", "payloads": ["1", "2"]}',
     [(b"A", [b"1", b"2"])]),
    ("batch in order", "/api/events", JSON,
     '[{"event": "B"}, {"event": "A", "payloads": []}, {"event": "C", "payloads": ["x"]}]',
     [(b"B", []), (b"A", []), (b"C", [b"x"])]),
    ("form", "/api/events", FORM, "event=A&payloads=x&payloads=&payloads=y+z",
     [(b"A", [b"x", b"", b"y z"])]),
    ("server's encoding", "/api/events", JSON, '{"event": "caf\u00e9"}', [(b"caf\xe9", [])]),
    ("JSON numbers as written", "/api/events", JSON,
     '{"event": 7, "payloads": [21.50, 1e3, -0.0, 10, 12345678901234567890123]}',
     [(b"7", [b"21.50", b"1e3", b"-0.0", b"10", b"12345678901234567890123"])]),
    ("button", "/api/buttons/0", {}, "", [(b"Lights", [b"kitchen", b"on"])]),
]
# name, path, headers, body, status, reason; nothing sent
REFUSED = [
    ("line feed", "/api/events", JSON, '{"event": "A\\nB"}', 400, "refused"),
    ("zero byte", "/api/events", JSON, '{"event": "A", "payloads": ["\\u0000"]}', 400, "refused"),
    ("ten payloads", "/api/events", JSON, '{"event": "A", "payloads": %s}'
     % json.dumps([str(n) for n in range(10)]), 400, "refused"),
    ("payloads too long together", "/api/events", JSON,
     '{"event": "A", "payloads": ["%s"]}' % ("x" * 1006), 400, "refused"),
    ("close", "/api/events", JSON, '{"event": "close"}', 400, "refused"),
    ("payload line", "/api/events", JSON, '{"event": "payload x"}', 400, "refused"),
    ("empty event", "/api/events", JSON, '{"event": ""}', 400, "refused"),
    ("not in the encoding", "/api/events", JSON, '{"event": "\u0142"}', 400, "refused"),
    ("unknown field", "/api/events", JSON, '{"event": "A", "payload": ["x"]}', 400, "refused"),
    ("too many events", "/api/events", JSON, "[%s]" % ",".join([A] * 101), 400, "refused"),
    ("not JSON", "/api/events", JSON, "{", 400, "refused"),
    ("JSON sent as a form", "/api/events", FORM, '{"event": "A"}', 415, "media-type"),
    ("NaN is no JSON number", "/api/events", JSON, '{"event": "A", "payloads": [NaN]}', 400,
     "refused"),
    ("true is no text", "/api/events", JSON, '{"event": "A", "payloads": [true]}', 400,
     "refused"),
    ("other media type", "/api/events", {"Content-Type": "text/plain"}, "A", 415, "media-type"),
    ("body too large", "/api/events", JSON, '{"event": "A", "payloads": ["%s"]}' % ("x" * 70000),
     413, "too-large"),
    ("no token", "/api/events", dict(JSON, Authorization=None), A, 401, "unauthorised"),
    ("wrong token", "/api/events", dict(JSON, Authorization="Bearer srw_x"), A, 401,
     "wrong-token"),
    ("no such button", "/api/buttons/1", {}, "", 404, "no-button"),
    ("a 5 000-digit button", "/api/buttons/" + "9" * 5000, {}, "", 404, "not-found"),
    ("form not UTF-8, encoded", "/api/events", FORM, "event=caf%E9", 400, "invalid-text"),
    ("form not UTF-8, raw", "/api/events", FORM, b"event=caf\xe9", 400, "invalid-text"),
    ("lone surrogate", "/api/events", JSON, '{"event": "\\ud800"}', 400, "invalid-text"),
    ("nested 60 000 deep", "/api/events", JSON, "[" * 60000, 400, "refused"),
    ("no such path", "/api/nothing", {}, "", 404, "not-found"),
    ("Basic is no token", "/api/events", dict(JSON, Authorization="Basic dXNlcjpwdw=="), A, 401,
     "unauthorised"),
]
# the conversation's failure, status, reason
FAILED = [
    (sendrel_send.CannotConnect("refused"), 503, "unreachable"),
    (sendrel_send.CloseNotice("stopping"), 503, "stopping"),
    (sendrel_send.NotAdmitted("closed"), 502, "not-admitted"),
    (sendrel_send.WrongPassword("closed"), 502, "wrong-password"),
    (sendrel_send.SendrelError("lost"), 502, "failed"),
]
CASES = [(name, None, path, headers, body, 200, sent) for name, path, headers, body, sent in SENT] \
    + [(name, None, *case) for name, *case in REFUSED] \
    + [(type(failure).__name__, failure, "/api/events", JSON, A, status, reason)
       for failure, status, reason in FAILED]


class Rig:
    """The service with a recording conversation and a clock that moves when told."""

    def __init__(self, failure=None, proxy=PROXY):
        self.work = tempfile.TemporaryDirectory()
        self.config = os.path.join(self.work.name, "web.toml")
        with open(self.config, "w", encoding="utf-8") as out:
            out.write(SETTINGS % proxy)
        settings = web_settings.parse_settings(["--config", self.config])
        self.secrets = credentials.Secrets(settings["web"]["secrets"])
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            command.main(["--config", self.config, "--new-token", "test"])
        self.token = printed.getvalue().splitlines()[-1]
        self.secrets.set_page_password(PASSWORD, iterations=1000)
        self.now, self.sent, self.failure, self.conversations = 1000.0, [], failure, 0
        self.started, self.gate = threading.Event(), threading.Event()
        self.gate.set()
        self.dispatcher = dispatcher.Dispatcher(self.converse, 1)
        self.plug_in = watcher.UP  # what the watcher knows of the plug-in
        self.service = server.Service(settings, self.dispatcher, self, clock=lambda: self.now)
        self.client = TestClient(TestServer(self.service.application()))

    def converse(self, events):
        self.conversations += 1
        self.started.set()
        self.gate.wait(60)  # opened at once, unless a case holds the server back
        if self.failure:
            raise self.failure
        self.sent.extend(events)

    async def known(self, timeout):
        return self.plug_in

    async def post(self, path, headers=None, body="", token=None):
        headers = dict({"Authorization": "Bearer " + (token or self.token)}, **(headers or {}))
        answer = await self.client.post(path, data=body if isinstance(body, bytes) else
                                        body.encode("utf-8"), headers={
                                            k: v for k, v in headers.items() if v is not None})
        return answer.status, (await answer.json()).get("reason")

    async def log_in(self, password=PASSWORD, headers=None):
        """The login's status and its Set-Cookie header; the client keeps the cookie."""
        answer = await self.client.post("/login", data={"password": password},
                                        headers=headers or {}, allow_redirects=False)
        return answer.status, answer.headers.get("Set-Cookie", "")

    async def close(self):
        await self.client.close()
        self.dispatcher.close()
        self.service.guard.close()
        self.work.cleanup()


class ApiTest(unittest.IsolatedAsyncioTestCase):
    async def rig(self, failure=None, proxy=PROXY):
        rig = Rig(failure, proxy)
        await rig.client.start_server()
        self.addAsyncCleanup(rig.close)
        return rig

    async def test_requests(self):
        for name, failure, path, headers, body, status, outcome in CASES:
            with self.subTest(name):
                rig = await self.rig(failure)
                answer = await rig.post(path, headers, body)
                if isinstance(outcome, list):
                    self.assertEqual(answer, (status, None))
                    self.assertEqual(rig.sent, outcome)
                else:
                    self.assertEqual(answer, (status, outcome))
                    self.assertEqual(rig.sent, [])

    async def test_every_answer_carries_the_security_headers(self):
        rig = await self.rig()
        for method, path in [("GET", "/"), ("GET", "/nothing"), ("GET", "/api/events"),
                             ("POST", "/api/status"), ("POST", "/api/events")]:
            with self.subTest(method=method, path=path):
                answer = await rig.client.request(method, path)
                self.assertEqual(answer.headers.get("X-Content-Type-Options"), "nosniff")
                self.assertIn("frame-ancestors 'none'", answer.headers["Content-Security-Policy"])

    async def test_a_failure_of_the_service_is_logged_and_answered_500(self):
        rig = await self.rig()
        rig.dispatcher.send = lambda events: 1 / 0
        with self.assertLogs("sendrel-web", "ERROR") as said:
            answer = await rig.client.post("/api/events", data=A, headers=dict(
                JSON, Authorization="Bearer " + rig.token))
        self.assertEqual((answer.status, (await answer.json())["reason"]), (500, "failed"))
        self.assertEqual(answer.headers["X-Content-Type-Options"], "nosniff")
        self.assertIn("ZeroDivisionError", said.output[0])

    async def test_guessing_address_is_refused_but_valid_credentials_are_not(self):
        rig = await self.rig()
        event = '{"event": "A"}'
        # minutes passed before the request, what it carries, the status; from the proxy's
        # address, or one that the proxy forwards for
        steps = [(0, "wrong", 401)] * 4 + [
            (10.5, "wrong", 401),  # the first four are older than 10 minutes now
            (0, "password", 303),  # a right password lifts the address's failures
        ] + [(0, "wrong", 401)] * 4 + [
            (0, "password", 303)] + [(0, "wrong", 401)] * 5 + [
            (0, "wrong", 429),
            (0, "password", 429),  # the page's password is what the limit guards
            (0, "right", 200),  # a valid token is never refused by it
            (0, "session", 200),  # nor a valid session
            (0, "password via 192.0.2.7", 303),
            (9.9, "password", 429),
            (0.2, "password", 303)] + [(0, "wrong via 192.0.2.7", 401)] * 5 + [
            (0, "wrong via 192.0.2.7", 429),
            (0, "wrong", 401),
            # a client's own X-Forwarded-For line comes first; the proxy's entry is the last
            (0, "wrong via 198.51.100.1, 192.0.2.7", 429),
            (0, "wrong via 192.0.2.7, 198.51.100.1", 401),
            # An IPv6 address counts alone, and its /64 with its neighbours up to a higher
            # ceiling: a neighbour's guesses do not get the owner refused.
            ] + [(0, "wrong via 2001:db8::1", 401)] * 5 + [
            (0, "wrong via 2001:db8::1", 429),
            (0, "password via 2001:db8::2", 303)] + [
            (0, "wrong via 2001:db8::%x" % n, 401) for n in range(16, 31)] + [
            (0, "password via 2001:db8::2", 429),
            (0, "wrong via 2001:db8:0:1::1", 401)]
        with self.assertLogs("sendrel-web", "WARNING") as said:
            for number, (minutes, what, status) in enumerate(steps):
                with self.subTest(step=number, what=what):
                    rig.now += minutes * 60
                    forwarded = {"X-Forwarded-For": what.split("via ")[1]} \
                        if "via" in what else {}
                    if what.startswith("password"):
                        answer = (await rig.log_in(headers=forwarded))[0]
                    elif what == "session":
                        answer = (await rig.client.get("/api/status")).status
                    else:
                        answer = (await rig.post(
                            "/api/events", dict(JSON, **forwarded), event,
                            rig.token if what == "right" else "srw_wrong"))[0]
                    self.assertEqual(answer, status)
        # Each refusal of an address is logged once, however many requests it refuses.
        self.assertEqual([line.split("sendrel-web:")[1].split(" refused for")[0]
                          for line in said.output if "refused for 10 minutes" in line],
                         ["127.0.0.1", "192.0.2.7", "2001:db8::1", "2001:db8::/64"])

    async def test_forwarded_headers_count_from_the_proxy_only(self):
        rig = await self.rig(proxy="192.0.2.1")
        for number in range(guard.FAILURES_MAX):
            await rig.post("/api/events", dict(JSON, **{"X-Forwarded-For": "10.0.0.%d" % number}),
                           A, "srw_wrong")
        self.assertEqual((await rig.log_in())[0], 429)
        self.assertEqual((await rig.log_in(headers={"X-Forwarded-For": "10.9.9.9"}))[0], 429)

    async def test_session_cookie_and_csrf(self):
        for name, proxy, headers, secure in [
                ("plain HTTP", PROXY, {}, False),
                ("HTTPS at the proxy", PROXY, {"X-Forwarded-Proto": "https"}, True),
                ("the proxy's last entry", PROXY,
                 {"X-Forwarded-Proto": ["https", "http"]}, False),
                ("a client's own claim", "192.0.2.1", {"X-Forwarded-Proto": "https"}, False)]:
            with self.subTest(name):
                rig = await self.rig(proxy=proxy)
                header_list = [(k, v) for k, values in headers.items()
                               for v in (values if isinstance(values, list) else [values])]
                answer = await rig.client.post("/login", data={"password": PASSWORD},
                                               headers=header_list, allow_redirects=False)
                self.assertEqual(answer.status, 303)
                flags = {part.strip().split("=")[0].lower(): part.strip()
                         for part in answer.headers["Set-Cookie"].split(";")[1:]}
                self.assertEqual(("httponly" in flags, flags.get("samesite"), "secure" in flags),
                                 (True, "SameSite=Strict", secure))
        page = await (await rig.client.get("/")).text()  # it holds the session's CSRF token
        token = page.split('name="csrf-token" content="')[1].split('"')[0]
        wrong = ("y" if token[0] == "x" else "x") + token[1:]  # one character off
        for given, status in [(None, 403), (wrong, 403), ("\u00e9", 403), (token, 200)]:
            with self.subTest(csrf=given):
                headers = {"Authorization": None, "X-CSRF-Token": given}
                self.assertEqual((await rig.post("/api/buttons/0", headers))[0], status)
        # allow_any_event is off
        self.assertEqual(await rig.post("/api/events", dict(
            JSON, Authorization=None, **{"X-CSRF-Token": token}), A), (403, "buttons-only"))
        # Log-out ends the session only with its CSRF token.
        cookie = {"Cookie": "%s=%s" % (guard.COOKIE, rig.client.session.cookie_jar.filter_cookies(
            rig.client.make_url("/"))[guard.COOKIE].value)}
        for form, ended in [({}, False), ({"csrf": wrong}, False), ({"csrf": token}, True)]:
            with self.subTest(log_out=form):
                await rig.client.post("/logout", data=form, headers=cookie, allow_redirects=False)
                status = (await rig.client.get("/api/status", headers=cookie)).status
                self.assertEqual(status, 401 if ended else 200)

    async def test_page_values_are_escaped(self):
        rig = await self.rig()
        login_page = await (await rig.client.get("/")).text()
        await rig.log_in()
        page = await (await rig.client.get("/")).text()
        for text in (login_page, page):
            self.assertIn("&lt;i&gt;Home &amp; &#x27;away&#x27;&lt;/i&gt;", text)
            self.assertNotIn("<i>", text)
        self.assertIn("Lights &lt;on&gt;", page)

    async def test_requests_from_other_sites_and_names_are_refused_before_they_count(self):
        rig = await self.rig()
        host = "127.0.0.1:%d" % rig.client.port
        for headers in [{"Sec-Fetch-Site": "cross-site"}, {"Sec-Fetch-Site": "same-site"},
                        {"Origin": "http://evil.example"}, {"Origin": "null"},
                        {"Origin": "https://" + host}]:
            for _ in range(guard.FAILURES_MAX + 1):
                self.assertEqual((await rig.log_in("wrong", headers))[0], 403, headers)
        self.assertEqual((await rig.post("/api/events", JSON, A))[0], 200)
        self.assertEqual((await rig.log_in(headers={"Origin": "http://" + host,
                                                    "Sec-Fetch-Site": "same-origin"}))[0], 303)
        for name, status in [("evil.example", 421), ("localhost", 200), ("[::1]:80", 200),
                             ("192.0.2.9:8080", 200)]:
            with self.subTest(host=name):
                answer = await rig.client.get("/", headers={"Host": name})
                self.assertEqual(answer.status, status)

    async def test_guesses_are_counted_before_they_are_compared(self):
        rig = await self.rig()
        entered, release, compared = threading.Semaphore(0), threading.Event(), []

        def held_check(password, record):
            compared.append(password)
            entered.release()
            release.wait(60)
            return False
        rig.service.guard.password_check = held_check
        loop = asyncio.get_running_loop()
        # Sent together: one is compared, the others refused before the hash.
        together = [asyncio.ensure_future(rig.log_in("guess %d" % n)) for n in range(60)]
        await loop.run_in_executor(None, entered.acquire, True, 60)
        release.set()
        statuses = [status for status, _ in await asyncio.gather(*together)]
        self.assertEqual((len(compared), statuses.count(401), statuses.count(429)), (1, 1, 59))
        # The fifth guess has the address refused while it is still being compared.
        for number in range(guard.FAILURES_MAX - 2):
            self.assertEqual((await rig.log_in("guess %d" % number))[0], 401)
            self.assertTrue(entered.acquire(timeout=0))
        release.clear()
        fifth = asyncio.ensure_future(rig.log_in("the fifth guess"))
        await loop.run_in_executor(None, entered.acquire, True, 60)
        self.assertEqual((await rig.post("/api/events", JSON, A, "srw_wrong"))[0], 429)
        release.set()
        self.assertEqual((await fifth)[0], 401)

    async def test_strangers_do_not_hold_the_owners_login(self):
        rig = await self.rig()
        owner = {"X-Forwarded-For": "192.0.2.1"}

        def stranger(number):
            return {"X-Forwarded-For": "10.0.%d.%d" % divmod(number, 256)}
        # Wrong tokens from a crowd do not make page logins wait.
        for number in range(guard.FAILURES_PER_MINUTE_MAX):
            await rig.post("/api/events", dict(JSON, **stranger(number)), A, "srw_wrong")
        self.assertEqual((await rig.log_in(headers=owner))[0], 303)
        # A full pool of checks, or a minute's budget of wrong passwords spent by strangers:
        # the owner is told to try again, uncounted, more often than the limit would allow.
        entered, release = threading.Semaphore(0), threading.Event()
        checked = rig.service.guard.password_check

        def held_check(password, record):
            entered.release()
            release.wait(60)
            return checked(password, record)
        rig.service.guard.password_check = held_check
        holding = [asyncio.ensure_future(rig.log_in("wrong", stranger(1000 + number)))
                   for number in range(guard.HASH_JOBS_MAX)]
        while rig.service.guard.hash_pool.jobs < guard.HASH_JOBS_MAX:
            await asyncio.sleep(0.01)
        refused = [(await rig.log_in(headers=owner))[0] for _ in range(guard.FAILURES_MAX + 1)]
        release.set()
        self.assertEqual([status for status, _ in await asyncio.gather(*holding)],
                         [401] * guard.HASH_JOBS_MAX)
        rig.service.guard.password_check = checked
        for number in range(guard.FAILURES_PER_MINUTE_MAX - guard.HASH_JOBS_MAX):
            self.assertEqual((await rig.log_in("wrong", stranger(2000 + number)))[0], 401)
        refused += [(await rig.log_in(headers=owner))[0] for _ in range(guard.FAILURES_MAX + 1)]
        self.assertEqual(refused, [503] * 2 * (guard.FAILURES_MAX + 1))
        rig.now += 61
        self.assertEqual((await rig.log_in(headers=owner))[0], 303)

    async def test_sessions_end(self):
        rig = await self.rig()
        # minutes passed, what happens, the status of the session's next request
        for minutes, change, status in [
                (0, "login", 200), (29, None, 200), (29, None, 200), (30.1, None, 401),
                (0, "login", 200), (0, "Basic authorization", 200),
                (0, "new page password", 401),
                (0, "login with the new", 200)] + [(29, None, 200)] * 24 + [
                (29, None, 401)]:  # 12 hours after the login, however busy
            rig.now += minutes * 60
            if change == "new page password":
                rig.secrets.set_page_password("the new password", iterations=1000)
            elif change:
                await rig.log_in("the new password" if "new" in change else PASSWORD)
            headers = {"Authorization": "Basic dXNlcjpwdw=="} if change == "Basic " \
                "authorization" else {}
            self.assertEqual((await rig.client.get("/api/status", headers=headers)).status,
                             status, (minutes, change))

    async def test_secrets_file_that_cannot_be_used_refuses_until_mended(self):
        rig = await self.rig()
        with open(rig.secrets.path, "rb") as kept:
            good = kept.read()
        with open(rig.secrets.path, "wb") as out:
            out.write(good[:-10])  # a hand edit that left the file unparsable
        with self.assertLogs("sendrel-web", "ERROR"):
            self.assertEqual(await rig.post("/api/events", JSON, A), (503, "secrets"))
        self.assertEqual((await rig.log_in())[0], 503)
        with open(rig.secrets.path, "wb") as out:
            out.write(good)
        self.assertEqual((await rig.post("/api/events", JSON, A))[0], 200)

    async def test_slow_server_leaves_the_service_answering(self):
        rig = await self.rig()
        rig.gate.clear()
        sending = asyncio.ensure_future(rig.post("/api/events", JSON, '{"event": "A"}'))
        await asyncio.get_running_loop().run_in_executor(None, rig.started.wait, 60)
        self.assertEqual((await rig.client.get("/")).status, 200)
        self.assertEqual(rig.sent, [])  # the page was answered while the server was away
        rig.gate.set()
        self.assertEqual(await sending, (200, None))
        self.assertEqual(rig.sent, [(b"A", [])])


class DispatcherTest(unittest.TestCase):
    def held(self, conversation, **options):
        sender = dispatcher.Dispatcher(conversation, 1, **options)
        self.addCleanup(sender.close)
        return sender

    def test_requests_that_wait_together_share_a_conversation_in_order(self):
        conversations, started, gate = [], threading.Event(), threading.Event()

        def converse(events):
            started.set()
            gate.wait(60)
            conversations.append(events)
        sender = self.held(converse, waiting_max=3)
        first = sender.send([b"A"])
        started.wait(60)
        waiting = [sender.send([b"B1", b"B2"]), sender.send([b"C1", b"C2"])]
        cancelled = sender.send([b"D"])
        cancelled.cancel()  # its client went away while it waited
        with self.assertRaises(sendrel_web_events.Refused) as refused:
            sender.send([b"E"])  # three wait already
        self.assertEqual(refused.exception.status, 503)
        gate.set()
        self.assertEqual([f.result(60) for f in [first] + waiting], [1, 4, 4])
        self.assertEqual(conversations, [[b"A"], [b"B1", b"B2", b"C1", b"C2"]])

    def test_worker_outlives_a_request_cancelled_while_it_is_sent(self):
        started, gate = threading.Event(), threading.Event()

        def converse(events):
            started.set()
            gate.wait(60)
        sender = self.held(converse)
        first = sender.send([b"A"])
        started.wait(60)
        first.cancel()
        gate.set()
        self.assertEqual(sender.send([b"B"]).result(60), 1)

    def test_failed_logins_are_not_repeated_until_the_plug_in_would_forgive_them(self):
        for failure, settings_lift in [(sendrel_send.WrongPassword("wrong"), True),
                                       (sendrel_send.NotAdmitted("blocked"), False),
                                       (sendrel_send.SendrelError("no answer"), False)]:
            with self.subTest(type(failure).__name__):
                logins, now, changed = [], [0.0], [False]

                def converse(events):
                    logins.append(events)
                    failure.at_login = True
                    raise failure
                sender = self.held(converse, clock=lambda: now[0],
                                   settings_changed=lambda: changed[0])
                with self.assertLogs("sendrel-web", "ERROR") as said:
                    for _ in range(60):
                        self.assertRaises(type(failure), sender.send([b"A"]).result, 60)
                        now[0] += 1
                self.assertEqual((len(logins), len(said.output)), (1, 1))
                changed[0] = True
                self.assertRaises(type(failure), sender.send([b"A"]).result, 60)
                self.assertEqual(len(logins), 2 if settings_lift else 1)
                now[0] += dispatcher.LOGIN_BACK_OFF
                self.assertRaises(type(failure), sender.send([b"A"]).result, 60)
                self.assertEqual(len(logins), 3 if settings_lift else 2)

    def test_server_away_is_tried_each_time(self):
        logins = []

        def converse(events):
            logins.append(events)
            raise sendrel_send.CannotConnect("refused")
        sender = self.held(converse)
        for _ in range(3):
            self.assertRaises(sendrel_send.CannotConnect, sender.send([b"A"]).result, 60)
        self.assertEqual(len(logins), 3)


class LoopFailuresTest(unittest.TestCase):
    def test_each_kind_is_logged_a_few_times_a_minute_without_its_traceback(self):
        loop = asyncio.new_event_loop()
        self.addCleanup(loop.close)
        budget = server.quiet_logs(loop)
        for name in server.BUDGETED_LOGGERS:
            self.addCleanup(logging.getLogger(name).removeFilter, budget)
        with self.assertLogs("sendrel-web", "WARNING") as said:
            for number in range(100):
                logging.getLogger("sendrel-web").warning("a wrong API token from 10.0.0.%d",
                                                         number)
            for number in range(100):
                try:
                    raise OSError(24, "Too many open files")
                except OSError as error:
                    loop.call_exception_handler({"message": "socket.accept() out of system "
                                                 "resource", "exception": error})
            loop.call_exception_handler({"message": "another kind"})
        self.assertEqual(len(said.output), 2 * server.SAME_KIND_PER_MINUTE + 1)
        self.assertNotIn("Traceback", "".join(said.output))


class SessionsTest(unittest.TestCase):
    def test_a_full_table_ends_the_session_used_longest_ago(self):
        now = [0.0]
        table = sessions.Sessions(3600, clock=lambda: now[0])
        opened = [table.open() for _ in range(sessions.SESSIONS_MAX)]
        now[0] += 1
        self.assertIsNotNone(table.csrf(opened[0][0]))  # used: the second is now the oldest
        newest = table.open()
        self.assertEqual([table.csrf(s) is not None for s, _ in [opened[1], opened[0], newest,
                                                                  opened[-1]]],
                         [False, True, True, True])


class FailureLimitTest(unittest.TestCase):
    def test_refused_address_outlives_a_crowd_of_fresh_ones(self):
        limit = guard.FailureLimit(clock=lambda: 1000.0)
        for _ in range(guard.FAILURES_MAX):
            limit.failed(guard.failure_keys("192.0.2.1"))
        for number in range(guard.ADDRESSES_MAX):
            limit.failed(guard.failure_keys("10.0.%d.%d" % divmod(number, 256)))
        self.assertGreater(limit.blocked_for(guard.failure_keys("192.0.2.1")), 0)


def transport_from(peer):
    return mock.Mock(get_extra_info=lambda name: (peer, 50000))


class ConnectionsTest(unittest.IsolatedAsyncioTestCase):
    def table(self):
        self.now = 0.0
        table = connections.Connections(None, exempt=lambda peer: peer == "192.0.2.99",
                                        total_max=4, per_address_max=2, idle_seconds=10,
                                        clock=lambda: self.now)
        self.addCleanup(table.stop)
        return table

    def connect(self, table, peer, state="header"):
        transport = transport_from(peer)
        self.assertIsNotNone(table.admit(transport, mock.Mock()), peer)
        if state != "header":
            table.request_started(transport, state == "body")
        if state == "idle":
            table.request_ended(transport)
        self.now += 1
        return transport

    async def test_who_gives_way_to_a_newcomer(self):
        a, b, c, d, e = ("192.0.2.%d" % n for n in range(1, 6))
        # name, the connections there (address, state), the newcomer's address, which of
        # them is cut for it (None: none; "newcomer": the newcomer is refused)
        for name, there, newcomer, cut in [
                ("the longest waiting for a header, before one idle longer",
                 [(a, "idle"), (b, "header"), (c, "header"), (d, "working")], e, 1),
                ("one waiting for its body, before one idle longer",
                 [(a, "idle"), (b, "working"), (c, "body"), (d, "idle")], e, 2),
                ("the longest idle when none waits",
                 [(a, "working"), (b, "idle"), (c, "idle"), (d, "working")], e, 1),
                ("no request under way is cut",
                 [(a, "working"), (b, "working"), (c, "working"), (d, "working")], e, "newcomer"),
                ("an address at its cap: its own longest waiting", [(a, "idle"), (a, "header")],
                 a, 1),
                ("an address at its cap, none of its own waiting",
                 [(a, "idle"), (a, "working"), (b, "header")], a, "newcomer"),
                ("an IPv6 /64 is one address", [("2001:db8::1", "idle"), ("2001:db8::2", "body")],
                 "2001:db8::3", 1),
                ("another /64 is another address",
                 [("2001:db8::1", "idle"), ("2001:db8::2", "body")], "2001:db8:0:1::1", None),
                ("the proxy has no cap of its own", [("192.0.2.99", "idle")] * 2, "192.0.2.99",
                 None)]:
            with self.subTest(name):
                table = self.table()
                transports = [self.connect(table, *connection) for connection in there]
                admitted = table.admit(transport_from(newcomer), mock.Mock()) is not None
                self.assertEqual(([n for n, t in enumerate(transports) if t.abort.called],
                                  admitted),
                                 ([] if cut in (None, "newcomer") else [cut], cut != "newcomer"))

    async def test_the_sweep_cuts_what_waits_for_a_header_or_idles_only(self):
        # the state, the seconds it lasts, whether the sweep cuts the connection
        for state, seconds, cut in [("header", 11, True), ("idle", 11, True), ("idle", 9, False),
                                    ("body", 60, False), ("working", 600, False)]:
            with self.subTest(state=state, seconds=seconds):
                table = self.table()
                transport = self.connect(table, "192.0.2.1", state)
                self.now += seconds
                table._sweep()
                self.assertEqual((transport.abort.called, len(table)), (cut, 0 if cut else 1))


class SecretsFileTest(unittest.TestCase):
    def test_tokens_listed_and_revoked_and_written_afresh(self):
        with tempfile.TemporaryDirectory() as work:
            config = os.path.join(work, "web.toml")
            open(config, "w").close()
            store = credentials.Secrets(os.path.join(work, "web.secrets.json"))
            # Where the file was once written through: a link there is left alone.
            os.symlink(os.path.join(work, "elsewhere"), store.path + ".new")

            def run(*options):
                printed = io.StringIO()
                with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(printed):
                    code = command.main(["--config", config] + list(options))
                return code, printed.getvalue()
            kept = run("--new-token", "kept")[1].splitlines()[-1]
            run("--new-token", "revoked")
            self.assertEqual(run("--list-tokens"), (0, "kept\nrevoked\n"))
            self.assertEqual(run("--revoke-token", "revoked")[0], 0)
            self.assertEqual(run("--revoke-token", "unknown")[0], 1)
            self.assertEqual(run("--list-tokens"), (0, "kept\n"))
            self.assertEqual(list(store.refresh().checked_tokens().values()), ["kept"])
            self.assertIn(credentials.token_hash(kept), store.tokens)
            self.assertEqual(os.stat(store.path).st_mode & 0o777, 0o600)
            self.assertFalse(os.path.exists(os.path.join(work, "elsewhere")))
            self.assertEqual(sorted(os.listdir(work)),
                             ["web.secrets.json", "web.secrets.json.new", "web.toml"])
            with open(store.path, "a") as out:
                out.write("}")
            self.assertRaises(sendrel_settings.Usage, credentials.Secrets(store.path)
                              .check_at_start)
            self.assertEqual(run("--new-token", "another")[0], 1)  # not written over


class SettingsTest(unittest.TestCase):
    def test_settings(self):
        # name, settings file (None: none), options, whether they are refused
        for name, text, options, refused in [
                ("plain HTTP on loopback", "", [], False),
                ("plain HTTP beyond loopback", "", ["--listen", "0.0.0.0:8080"], True),
                ("plain HTTP beyond loopback when asked", "",
                 ["--listen", "0.0.0.0:8080", "--insecure-http-on-lan"], False),
                ("key without certificate", "", ["--key", "web.key"], True),
                ("a button the server cannot take", '[[button]]\nevent = "close"\n', [], True),
                ("a token without a settings file", None, ["--new-token", "phone"], True),
                ("a proxy by name", '[web]\nproxy = "proxy.example"\n', [], True)]:
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                if text is not None:
                    with open(os.path.join(work, "web.toml"), "w") as out:
                        out.write(text)
                    options = ["--config", os.path.join(work, "web.toml")] + options
                try:
                    web_settings.parse_settings(options)
                except sendrel_settings.Usage:
                    self.assertTrue(refused)
                else:
                    self.assertFalse(refused)


    def test_host_names_the_service_answers_to(self):
        with tempfile.TemporaryDirectory() as work:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "2", "-subj", "/CN=cn.home", "-addext",
                            "subjectAltName=DNS:sendrel.home,IP:192.0.2.1", "-keyout",
                            "key.pem", "-out", "cert.pem"], cwd=work, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            names = server.allowed_host_names({
                "hosts": ["Proxy.Example."], "listen": "box.lan:8443",
                "cert": os.path.join(work, "cert.pem")})
        # the Host header, whether it is answered
        for header, answered in [("sendrel.home:8443", True), ("SENDREL.HOME", True),
                                 ("cn.home", True), ("proxy.example", True), ("box.lan", True),
                                 ("localhost:8443", True), ("192.0.2.77:8443", True),
                                 ("[2001:db8::1]:8443", True), ("evil.example", False),
                                 ("sendrel.home.evil.example", False)]:
            with self.subTest(header):
                name = server.host_name(header)
                self.assertEqual(name is None or name in names, answered)

    def test_proxy_setting_is_compared_as_addresses(self):
        # the setting, addresses that are the proxy, addresses that are not
        for text, proxies, others in [
                ("localhost", ["127.0.0.1", "127.0.0.9", "::1", "::ffff:127.0.0.1"], ["10.0.0.1"]),
                ("::1", ["::1", "0:0:0:0:0:0:0:1"], ["127.0.0.1"]),
                ("10.0.0.0/8", ["10.1.2.3"], ["11.0.0.1", "::1"]),
                ("", [], ["127.0.0.1"])]:
            with self.subTest(text):
                web = {"proxy_networks": web_settings.proxy_networks(text), "session_minutes": 1,
                       "cert": ""}
                checks = guard.Guard(web, credentials.Secrets(""))
                self.addCleanup(checks.close)
                self.assertEqual([checks.is_proxy(a) for a in proxies + others],
                                 [True] * len(proxies) + [False] * len(others))

    def test_settings_file_with_the_password_readable_by_all_is_warned_about(self):
        for text, mode, warned in [('[sendrel]\npassword = "x"\n', 0o644, True),
                                   ('[sendrel]\npassword = "x"\n', 0o640, False),
                                   ('[sendrel]\nport = 1024\n', 0o644, False)]:
            with self.subTest(text=text, mode=oct(mode)), tempfile.TemporaryDirectory() as work:
                config = os.path.join(work, "web.toml")
                with open(config, "w") as out:
                    out.write(text)
                os.chmod(config, mode)
                settings = web_settings.parse_settings(["--config", config])
                with self.assertLogs("sendrel-web", "WARNING") as said:
                    sendrel_settings.warn_if_readable(settings["settings_file"],
                                                      logging.getLogger("sendrel-web"))
                    logging.getLogger("sendrel-web").warning("end")
                self.assertEqual(len(said.output), 2 if warned else 1)


if __name__ == "__main__":
    unittest.main()
