"""The web service as a user starts it, in front of the reference host with the plug-in, all on
loopback, under the attacks a stranger can make and what ordinary networks do: guesses sent
together, a table of hostile requests sent at the socket level, a secrets file left
unreadable, a wrong plug-in password across many requests; and what the page's status costs
the plug-in.

Environment: SENDREL_HOST, SENDREL_PLUGIN (the reference host and the plug-in) and
SENDREL_WEB (the service)."""

import asyncio
import contextlib
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import sendrel_send  # noqa: E402
import web_service  # noqa: E402
from mqtt_rig import DEADLINE, Rig, wait_until  # noqa: E402
from sendrel_web import connections, credentials, guard  # noqa: E402

PASSWORD = "the page password"
PROXY = "127.0.0.9"
SETTINGS = """\
[sendrel]
port = %%d
password = "%%s"
[web]
listen = "127.0.0.1:0"
proxy = "%s"
""" % PROXY
# Where the strangers' connections come from.
SOURCES = ["127.0.1.%d" % number for number in range(1, 4)]


def request(method, path, headers=(), body=b""):
    return ("%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (method, path, "".join(
        "%s: %s\r\n" % header for header in headers))).encode() + body


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) / 1024 for line in status if line.startswith("VmRSS:"))


class Peer:
    """One connection at the socket level, kept alive across requests."""

    def __init__(self, port, source):
        self.connection = socket.create_connection(("127.0.0.1", port), DEADLINE, (source, 0))
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.reader = self.connection.makefile("rb")

    def send(self, data):
        self.connection.sendall(data)

    def status(self):
        return (self.answer() or [None])[0]

    def answer(self):
        """(status, headers, body) of the next answer; None when the service closed the
        connection instead."""
        try:
            line = self.reader.readline()
            if not line:
                return None
            headers = {}
            for header in iter(self.reader.readline, b"\r\n"):
                name, _, value = header.decode("latin-1").partition(":")
                headers[name.lower()] = value.strip()
            return (int(line.split()[1]), headers,
                    self.reader.read(int(headers.get("content-length", 0))))
        except ConnectionResetError:
            return None

    def close(self):
        self.reader.close()
        self.connection.close()


class AttackTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sendrel-web-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.rig = Rig()
        self.addCleanup(self.rig.close)
        self.config = os.path.join(self.work, "web.toml")
        self.store = credentials.Secrets(os.path.join(self.work, "web.secrets.json"))
        self.token = self.store.add_token("owner")
        self.store.set_page_password(PASSWORD, iterations=100000)
        self.log = os.path.join(self.work, "web.log")

    def start(self, plug_in_password="ChgThisPw", open_files=None, stack=None):
        """The service, stopped at the test's end or the stack's."""
        with open(self.config, "w") as out:
            out.write(SETTINGS % (self.rig.server_port, plug_in_password))
        os.chmod(self.config, 0o600)
        service, url = web_service.start(os.environ["SENDREL_WEB"], self.config, self.log,
                                         self.work, open_files=open_files)
        for cleanup in (lambda: service.wait(DEADLINE), service.terminate):
            (stack.callback if stack else self.addCleanup)(cleanup)
        self.port = int(url.rstrip("/").rsplit(":", 1)[1])
        self.service = service
        return service

    def said(self):
        with open(self.log) as log:
            return log.read()

    def request(self, path="/api/status", body=None, token=None, source="127.0.0.1",
                forwarded=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=DEADLINE,
                                                source_address=(source, 0))
        headers = {"Authorization": "Bearer " + (token or self.token)}
        if forwarded:
            headers["X-Forwarded-For"] = forwarded
        if body is not None:
            headers["Content-Type"] = "application/json"
        try:
            connection.request("POST" if body is not None else "GET", path, body, headers)
            return connection.getresponse().status
        finally:
            connection.close()

    def tearDown(self):
        self.assertNotIn("Traceback", self.said())

    def test_guesses_sent_together_are_compared_five_times_at_most(self):
        self.rig.start_server()
        self.start()

        async def log_in(password, source):
            reader, writer = await asyncio.open_connection("127.0.0.1", self.port,
                                                           local_addr=(source, 0))
            body = ("password=" + password.replace(" ", "+")).encode()
            writer.write(b"POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                         b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n"
                         b"Connection: close\r\n\r\n%s" % (len(body), body))
            status = int((await asyncio.wait_for(reader.readline(), DEADLINE)).split()[1])
            writer.close()
            return status

        async def attack():
            guesses = [log_in("guess %d" % n, "127.0.0.1") for n in range(60)]
            statuses = await asyncio.gather(*guesses, log_in(PASSWORD, "127.0.0.2"))
            return statuses[:-1], statuses[-1]
        statuses, owner = asyncio.run(attack())
        self.assertLessEqual(statuses.count(401), 5)  # 401: compared and wrong
        self.assertEqual(statuses.count(401) + statuses.count(429), 60)
        self.assertEqual(owner, 303)

    # -- a table of hostile requests, each against a fresh service --

    def open_peer(self, source):
        peer = Peer(self.port, source)
        self.case.callback(peer.close)
        return peer

    def hold(self, count, sources, data):
        """count connections spread over the sources, each having sent data, kept open."""
        held = []
        for number in range(count):
            peer = self.open_peer(sources[number % len(sources)])
            peer.send(data)
            held.append(peer)
        return held

    def body_in_pieces(self):
        form = b"event=Split&payloads=kitch"
        self.owner.send(request("POST", "/api/events", self.token_header + [
            ("Content-Type", "application/x-www-form-urlencoded"),
            ("Content-Length", len(form + b"en&payloads=on"))], form))
        time.sleep(0.05)  # the rest of the body in a later segment, as a slow link sends it
        self.owner.send(b"en&payloads=on")
        self.assertEqual(self.owner.answer()[::2], (200, b'{"sent": 1}'))
        wait_until(lambda: 'event "Split" payloads ["127.0.0.1", "kitchen", "on"]'
                   in self.rig.events(), "the whole event")

    def password_in_pieces(self):
        body = ("password=" + PASSWORD.replace(" ", "+")).encode()
        peer = self.open_peer("127.0.0.4")
        peer.send(request("POST", "/login", [
            ("Content-Type", "application/x-www-form-urlencoded"),
            ("Content-Length", len(body))], body[:12]))
        time.sleep(0.05)
        peer.send(body[12:])
        self.assertEqual(peer.status(), 303)

    def held_bodies(self):
        return self.hold(180, SOURCES, request("POST", "/login", [
            ("Content-Type", "application/x-www-form-urlencoded"), ("Content-Length", 4000)]))

    def held_headers(self):
        return self.hold(180, SOURCES, b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ")

    def pipelined(self):
        """Requests sent one behind the other for as long as the service reads them, their
        answers never read: its memory grows by less than 50 MB."""
        before = rss_mb(self.service.pid)
        peer = self.open_peer("127.0.1.1")
        peer.connection.settimeout(2)
        try:
            peer.send(request("GET", "/favicon.ico") * 100000)
        except socket.timeout:  # the service stopped reading
            pass
        self.assertEqual([self.request() for _ in range(20)], [200] * 20)
        self.assertLess(rss_mb(self.service.pid) - before, 50)

    def big_header(self):
        peer = self.open_peer("127.0.1.1")
        try:
            peer.send(request("GET", "/", [("X-Big-%d" % n, "x" * 8000) for n in range(120)]))
        except OSError:  # closed while it was sent
            pass
        self.assertIsNone(peer.status())

    def encoded_body(self):
        self.owner.send(request("POST", "/api/events", self.token_header + [
            ("Content-Type", "application/json"), ("Content-Encoding", "deflate"),
            ("Content-Length", 9)], b"not zlib!"))
        self.assertEqual(self.owner.status(), 415)

    def proxy_uncapped(self):
        """The proxy's connections have no cap of their own; another address's have."""
        per_address = connections.CONNECTIONS_PER_ADDRESS_MAX
        for source, answered in [(PROXY, [204] * (per_address + 6)),
                                 ("127.0.1.1", [204] * per_address + [None])]:
            statuses = []
            for _ in answered:  # each answered, and so idle, before the next is opened
                peer = self.open_peer(source)
                peer.send(request("GET", "/favicon.ico"))
                statuses.append(peer.status())
            self.assertEqual(statuses, answered)

    def ipv6_neighbour(self):
        """Through the proxy: a neighbour's wrong tokens, then the owner's password, from
        another address of the same /64."""
        self.assertEqual([self.request(token="srw_wrong", source=PROXY, forwarded="2001:db8::2")
                          for _ in range(guard.FAILURES_MAX + 1)],
                         [401] * guard.FAILURES_MAX + [429])
        peer = self.open_peer(PROXY)
        body = ("password=" + PASSWORD.replace(" ", "+")).encode()
        peer.send(request("POST", "/login", [
            ("Content-Type", "application/x-www-form-urlencoded"), ("Content-Length", len(body)),
            ("X-Forwarded-For", "2001:db8::1")], body))
        self.assertEqual(peer.status(), 303)

    def test_hostile_requests_leave_the_owner_served(self):
        self.rig.start_server()
        # name, what is sent; after each, the owner's connection kept alive from before is
        # still answered, and so are its token requests on new connections
        for name, attack in [
                ("a form body in pieces", self.body_in_pieces),
                ("the page password in pieces", self.password_in_pieces),
                ("bodies held under way beyond the cap", self.held_bodies),
                ("headers held beyond the cap", self.held_headers),
                ("pipelined requests whose answers are never read", self.pipelined),
                ("120 header lines of 8 000 bytes", self.big_header),
                ("an encoded body", self.encoded_body),
                ("the proxy's connections, and another address's", self.proxy_uncapped),
                ("an IPv6 neighbour's wrong tokens", self.ipv6_neighbour)]:
            with self.subTest(name), contextlib.ExitStack() as self.case:
                # Few files: the total cap is met with a few hundred connections.
                self.start(open_files=400, stack=self.case)
                self.token_header = [("Authorization", "Bearer " + self.token)]
                self.owner = self.open_peer("127.0.0.3")
                self.owner.send(request("GET", "/api/status", self.token_header))
                self.assertEqual(self.owner.status(), 200)
                attack()
                self.assertEqual([self.request() for _ in range(5)], [200] * 5)
                self.owner.send(request("GET", "/api/status", self.token_header))
                self.assertEqual(self.owner.status(), 200)
                self.assertNotIn("Traceback", self.said())

    def test_the_status_costs_a_login_per_start_of_the_plug_in(self):
        self.rig.start_server()
        self.start()

        def logins():
            return [line for _, line in self.rig.lines
                    if line.startswith('event "Accepted connection"')]

        def server():
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=DEADLINE)
            try:
                connection.request("GET", "/api/status",
                                   headers={"Authorization": "Bearer " + self.token})
                answer = json.load(connection.getresponse())
                return answer["server"], answer.get("reason")
            finally:
                connection.close()
        # A page asks every second or so; one login at the start, one for the page.
        wait_until(lambda: server() == ("up", None) and len(logins()) == 2, "the first login")
        for _ in range(30):
            self.assertEqual(server(), ("up", None))
            time.sleep(0.2)  # as a page asks, for longer than the old interval of logins
        self.assertEqual(len(logins()), 2)
        self.rig.stop_server()
        wait_until(lambda: server() in [("down", "stopping"), ("down", "unreachable")],
                   "the stop")
        self.rig.start_server()
        wait_until(lambda: server() == ("up", None), "the start")
        self.assertEqual(len(logins()), 3)
        # An event still has its own conversation.
        self.assertEqual(self.request("/api/events", '{"event": "A"}'), 200)
        self.assertEqual(len(logins()), 4)

    def test_unusable_secrets_file_refuses_at_start(self):
        self.rig.start_server()
        with open(self.store.path, "a") as out:
            out.write("{")
        with open(self.config, "w") as out:
            out.write(SETTINGS % (self.rig.server_port, "ChgThisPw"))
        with open(self.log, "w") as log:
            code = subprocess.run([sys.executable, os.environ["SENDREL_WEB"], "--config",
                                   self.config], stderr=log, timeout=DEADLINE).returncode
        self.assertEqual(code, 1)
        self.assertIn("secrets file", self.said())
        self.assertNotIn("serving", self.said())

    def test_wrong_plug_in_password_never_gets_the_service_blocked(self):
        self.start("not the password")  # the plug-in is away: the service waits for it
        self.rig.start_server()
        statuses = [self.request("/api/events", '{"event": "A"}') for _ in range(60)]
        self.assertEqual(statuses, [502] * 60)
        wrong = [line for _, line in self.rig.lines if "Incorrect Password" in line]
        self.assertEqual(len(wrong), 1)
        # Another client from the service's address is admitted, once the plug-in's short
        # refusal after one failed login has passed (not blocked for ten minutes).

        def other_client_sends():
            try:
                sendrel_send.send_events(["Other"], "127.0.0.1", self.rig.server_port,
                                         timeout=DEADLINE)
            except sendrel_send.NotAdmitted:
                return False
            return True
        wait_until(other_client_sends, "the other client admitted")
        wait_until(lambda: 'event "Other" payloads ["127.0.0.1"]' in self.rig.events(),
                   "the other client's event")
        # Mended settings are taken at once.
        with open(self.config, "w") as out:
            out.write(SETTINGS % (self.rig.server_port, "ChgThisPw"))
        self.assertEqual(self.request("/api/events", '{"event": "A"}'), 200)
        self.assertEqual(self.said().count("no login to the Sendrel server"), 1)


if __name__ == "__main__":
    unittest.main()
