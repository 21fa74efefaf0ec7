"""The web service as a user starts it, in front of the reference host with the plug-in, all on
loopback, under the attacks a stranger can make: guesses sent together, connections that hold
half a header, a secrets file left unreadable, and a wrong plug-in password across many
requests.

Environment: SENDREL_HOST, SENDREL_PLUGIN (the reference host and the plug-in) and
SENDREL_WEB (the service)."""

import asyncio
import http.client
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import sendrel_send  # noqa: E402
import web_service  # noqa: E402
from mqtt_rig import DEADLINE, Rig, wait_until  # noqa: E402
from sendrel_web import connections, credentials  # noqa: E402

PASSWORD = "the page password"
SETTINGS = """\
[sendrel]
port = %d
password = "%s"
[web]
listen = "127.0.0.1:0"
"""


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

    def start(self, plug_in_password="ChgThisPw"):
        with open(self.config, "w") as out:
            out.write(SETTINGS % (self.rig.server_port, plug_in_password))
        os.chmod(self.config, 0o600)
        service, url = web_service.start(os.environ["SENDREL_WEB"], self.config, self.log,
                                         self.work)
        self.addCleanup(service.wait, DEADLINE)
        self.addCleanup(service.terminate)
        self.port = int(url.rstrip("/").rsplit(":", 1)[1])
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

    def test_held_connections_keep_no_valid_request_out(self):
        self.rig.start_server()
        self.start()
        per_address = connections.CONNECTIONS_PER_ADDRESS_MAX

        def half_headers(count, source):
            held = []
            for _ in range(count):
                connection = socket.create_connection(("127.0.0.1", self.port), DEADLINE,
                                                      (source, 0))
                try:
                    connection.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ")
                except OSError:  # closed already
                    pass
                self.addCleanup(connection.close)
                held.append(connection)
            return held

        def closed(connection):
            if not select.select([connection], [], [], 0)[0]:
                return False
            try:
                return connection.recv(1) == b""
            except OSError:
                return True
        for number in range(4):
            half_headers(per_address - 4, "127.0.1.%d" % (number + 1))
        crowd = half_headers(per_address + 16, "127.0.2.1")
        wait_until(lambda: sum(map(closed, crowd)) >= 16, "the excess closed")
        self.assertEqual([closed(c) for c in crowd[:per_address]], [False] * per_address)
        self.assertEqual(self.request("/api/events", '{"event": "A"}'), 200)
        # Half a header is closed after the idle time.
        wait_until(lambda: all(map(closed, crowd)), "the deadline",
                   connections.IDLE_SECONDS + DEADLINE)

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
