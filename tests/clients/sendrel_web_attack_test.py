"""The web service as a user starts it, in front of the reference host with the plug-in, all on
loopback, under the attacks a stranger can make and what ordinary networks do: a table of
hostile requests sent at the socket level, a secrets file left unreadable, a wrong plug-in
password across many requests; and what the page's status costs the plug-in.

Environment: SENDREL_HOST, SENDREL_PLUGIN (the reference host and the plug-in) and
SENDREL_WEB (the service)."""

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
from sendrel_web import credentials  # noqa: E402

PASSWORD = "the page password"
SETTINGS = """\
[sendrel]
port = %d
password = "%s"
[web]
listen = "127.0.0.1:0"
"""


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

    def send(self, data):
        self.connection.sendall(data)

    def answer(self):
        """(status, body) of the next answer; (None, None) when the service closed the
        connection instead."""
        answer = http.client.HTTPResponse(self.connection)
        try:
            answer.begin()
            return answer.status, answer.read()
        except (OSError, http.client.HTTPException):
            return None, None

    def status(self):
        return self.answer()[0]

    def close(self):
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

    def request(self, path="/api/status", body=None, token=None, source="127.0.0.1"):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=DEADLINE,
                                                source_address=(source, 0))
        headers = {"Authorization": "Bearer " + (token or self.token)}
        if body is not None:
            headers["Content-Type"] = "application/json"
        try:
            connection.request("POST" if body is not None else "GET", path, body, headers)
            return connection.getresponse().status
        finally:
            connection.close()

    def tearDown(self):
        self.assertNotIn("Traceback", self.said())

    # -- a table of hostile requests, each against a fresh service --

    def open_peer(self, source):
        peer = Peer(self.port, source)
        self.case.callback(peer.close)
        return peer

    def hold(self, data):
        """180 connections from three addresses, each having sent data, kept open: beyond the
        cap of a service that can open 400 files."""
        for number in range(180):
            self.open_peer("127.0.1.%d" % (1 + number % 3)).send(data)

    def body_in_pieces(self):
        form = b"event=Split&payloads=kitch"
        self.owner.send(request("POST", "/api/events", self.token_header + [
            ("Content-Type", "application/x-www-form-urlencoded"),
            ("Content-Length", len(form + b"en&payloads=on"))], form))
        time.sleep(0.05)  # the rest of the body in a later segment, as a slow link sends it
        self.owner.send(b"en&payloads=on")
        self.assertEqual(self.owner.answer(), (200, b'{"sent": 1}'))
        wait_until(lambda: 'event "Split" payloads ["127.0.0.1", "kitchen", "on"]'
                   in self.rig.events(), "the whole event")

    def held_bodies(self):
        self.hold(request("POST", "/login", [
            ("Content-Type", "application/x-www-form-urlencoded"), ("Content-Length", 4000)]))

    def held_headers(self):
        self.hold(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ")

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
        # Meanwhile a service that read on would parse what it took.
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

    def test_hostile_requests_leave_the_owner_served(self):
        self.rig.start_server()
        # name, what is sent; after each, the owner's connection kept alive from before is
        # still answered, and so are its token requests on new connections
        for name, attack in [
                ("a form body in pieces", self.body_in_pieces),
                ("bodies held under way beyond the cap", self.held_bodies),
                ("headers held beyond the cap", self.held_headers),
                ("pipelined requests whose answers are never read", self.pipelined),
                ("120 header lines of 8 000 bytes", self.big_header),
                ("an encoded body", self.encoded_body)]:
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

    def test_what_stops_it_at_start_is_said_once(self):
        self.rig.start_server()
        # the case, what the secrets file gets (for good), the plug-in password, the exit code,
        # the words
        for case, spoilt, plug_in_password, exit_code, words in [
                ("wrong plug-in password", "", "not the password", 4,
                 "password of the [sendrel] table of " + self.config),
                ("unusable secrets file", "{", "ChgThisPw", 1, "secrets file")]:
            with self.subTest(case):
                with open(self.store.path, "a") as out:
                    out.write(spoilt)
                with open(self.config, "w") as out:
                    out.write(SETTINGS % (self.rig.server_port, plug_in_password))
                os.chmod(self.config, 0o600)
                with open(self.log, "w") as log:
                    code = subprocess.run([sys.executable, os.environ["SENDREL_WEB"], "--config",
                                           self.config], stderr=log, timeout=DEADLINE).returncode
                self.assertEqual(code, exit_code)
                # One line, and nothing of waiting: the service stops.
                lines = self.said().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(words, lines[0])

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
