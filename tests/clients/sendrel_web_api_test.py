"""The web service's HTTP API in process, against a conversation that records the events or
fails as the case says, and a clock the test moves: one table of requests and their answers,
and the refusal of addresses that guess."""

import asyncio
import contextlib
import io
import json
import os
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import sendrel_send  # noqa: E402
import sendrel_settings  # noqa: E402
from sendrel_web import command, credentials, dispatcher, guard, server  # noqa: E402
from sendrel_web import settings as web_settings  # noqa: E402
from aiohttp.test_utils import TestClient, TestServer  # noqa: E402

SETTINGS = """\
[sendrel]
encoding = "latin-1"
[web]
proxy = "127.0.0.1"
[[button]]
label = "Lights on"
event = "Lights"
payloads = ["kitchen", "on"]
"""
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
    ("other media type", "/api/events", {"Content-Type": "text/plain"}, "A", 415, "media-type"),
    ("body too large", "/api/events", JSON, '{"event": "A", "payloads": ["%s"]}' % ("x" * 70000),
     413, "too-large"),
    ("no token", "/api/events", dict(JSON, Authorization=None), A, 401, "unauthorised"),
    ("wrong token", "/api/events", dict(JSON, Authorization="Bearer srw_x"), A, 401,
     "wrong-token"),
    ("no such button", "/api/buttons/1", {}, "", 404, "no-button"),
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

    def __init__(self, failure=None):
        self.work = tempfile.TemporaryDirectory()
        config = os.path.join(self.work.name, "web.toml")
        with open(config, "w", encoding="utf-8") as out:
            out.write(SETTINGS)
        settings = web_settings.parse_settings(["--config", config])
        self.secrets = credentials.Secrets(settings["web"]["secrets"])
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            command.main(["--config", config, "--new-token", "test"])
        self.token = printed.getvalue().splitlines()[-1]
        self.now, self.sent, self.failure = 1000.0, [], failure
        self.started, self.gate = threading.Event(), threading.Event()
        self.gate.set()
        self.dispatcher = dispatcher.Dispatcher(self.converse, 1)
        service = server.Service(settings, self.dispatcher, clock=lambda: self.now)
        self.client = TestClient(TestServer(service.application()))

    def converse(self, events):
        self.started.set()
        self.gate.wait(60)  # opened at once, unless a case holds the server back
        if self.failure:
            raise self.failure
        self.sent.extend(events)

    async def post(self, path, headers=None, body="", token=None):
        headers = dict({"Authorization": "Bearer " + (token or self.token)}, **(headers or {}))
        answer = await self.client.post(path, data=body.encode("utf-8"), headers={
            k: v for k, v in headers.items() if v is not None})
        return answer.status, (await answer.json()).get("reason")

    async def close(self):
        await self.client.close()
        self.dispatcher.close()
        self.work.cleanup()


class ApiTest(unittest.IsolatedAsyncioTestCase):
    async def rig(self, failure=None):
        rig = Rig(failure)
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

    async def test_guessing_address_is_refused_for_ten_minutes(self):
        rig = await self.rig()
        event = '{"event": "A"}'
        # minutes passed before the request, its token, the status; from the proxy's address
        # or one that the proxy forwards for
        steps = [(0, "wrong", 401)] * 4 + [
            (10.5, "wrong", 401),  # the first four are older than 10 minutes now
            (0, "right", 200)] + [(0, "wrong", 401)] * 4 + [
            (0, "right", 429),
            (0, "right via 192.0.2.7", 200),
            (9.9, "right", 429),
            (0.2, "right", 200)] + [(0, "wrong via 192.0.2.7", 401)] * 5 + [
            (0, "right", 200),
            (0, "right via 192.0.2.7", 429)]
        for number, (minutes, token, status) in enumerate(steps):
            with self.subTest(step=number):
                rig.now += minutes * 60
                # What a client claims comes first; the proxy adds the address it saw.
                forwarded = {"X-Forwarded-For": "10.0.0.%d, %s" % (number, token.split()[-1])} \
                    if "via" in token else {}
                answer = await rig.post("/api/events", dict(JSON, **forwarded), event,
                                        rig.token if token.startswith("right") else "srw_wrong")
                self.assertEqual(answer[0], status)

    async def test_page_password_counts_with_tokens(self):
        rig = await self.rig()
        for _ in range(4):
            await rig.post("/api/events", JSON, '{"event": "A"}', "srw_wrong")
        answer = await rig.client.post("/login", data={"password": "not the password"})
        self.assertEqual(answer.status, 401)
        self.assertEqual((await rig.post("/api/events", JSON, '{"event": "A"}'))[0], 429)

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

    async def test_page_session_ends_after_its_idle_time(self):
        rig = await self.rig()
        rig.secrets.set_page_password("the page password")
        await rig.client.post("/login", data={"password": "the page password"})
        for minutes, status in [(0, 200), (29, 200), (29, 200), (30.1, 401)]:
            rig.now += minutes * 60
            self.assertEqual((await rig.client.get("/api/status")).status, status)


class DispatcherTest(unittest.TestCase):
    def test_requests_that_wait_together_share_a_conversation_in_order(self):
        conversations, started, gate = [], threading.Event(), threading.Event()

        def converse(events):
            started.set()
            gate.wait(60)
            conversations.append(events)
        sender = dispatcher.Dispatcher(converse, 1)
        self.addCleanup(sender.close)
        first = sender.send([b"A"])
        started.wait(60)
        waiting = [sender.send([b"B1", b"B2"]), sender.send([b"C1", b"C2"])]
        gate.set()
        self.assertEqual([f.result(60) for f in [first] + waiting], [1, 4, 4])
        self.assertEqual(conversations, [[b"A"], [b"B1", b"B2", b"C1", b"C2"]])


class FailureLimitTest(unittest.TestCase):
    def test_refused_address_outlives_a_crowd_of_fresh_ones(self):
        limit = guard.FailureLimit(clock=lambda: 1000.0)
        for _ in range(guard.FAILURES_MAX):
            limit.failed("192.0.2.1")
        for number in range(guard.ADDRESSES_MAX):
            limit.failed("10.0.%d.%d" % divmod(number, 256))
        self.assertGreater(limit.blocked_for("192.0.2.1"), 0)


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
                ("a token without a settings file", None, ["--new-token", "phone"], True)]:
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


if __name__ == "__main__":
    unittest.main()
