"""The two command-line clients against small fake servers that misbehave on purpose, and the
Python module's own API.

Environment: SENDREL_SEND_SCRIPT (tools/sendrel_send.py), EVENT_CLIENT (the C++ client) and
CLIENT_EMULATOR (what runs it, if anything), SENDREL_CLIENTS (which of 'python' and
'event_client' to run, separated by ';', default both), SENDREL_CASE_LIMIT (seconds a case may
take, default 5).
"""

import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPT = os.environ.get("SENDREL_SEND_SCRIPT",
                        os.path.join(os.path.dirname(__file__), "../../tools/sendrel_send.py"))
sys.path.insert(0, os.path.dirname(os.path.abspath(SCRIPT)))
import sendrel_send  # noqa: E402

LIMIT = float(os.environ.get("SENDREL_CASE_LIMIT", "5"))
CLIENTS = {"python": [sys.executable, SCRIPT]}
if os.environ.get("EVENT_CLIENT"):
    emulator = os.environ.get("CLIENT_EMULATOR")
    CLIENTS["event_client"] = ([emulator] if emulator else []) + [os.environ["EVENT_CLIENT"]]
CLIENTS = {name: command for name, command in CLIENTS.items()
           if name in os.environ.get("SENDREL_CLIENTS", "python;event_client").split(";")}

COOKIE = b"00ab"
GREETING = b"vellumorchid\n"
NOTICE = b"close\n\0"


def answer(password):
    return hashlib.md5(COOKIE + b":" + password).hexdigest().encode() + b"\n"


class FakeServer:
    """Listens on 127.0.0.1 and plays one script per connection: bytes are sent, "line" waits
    for the client's next line, "drain" for its end line (or its close), "close" ends the
    connection in order, "reset" resets it; the end of a script closes too. Keeps what each
    client sent and its address."""

    def __init__(self, *scripts):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received = []
        self.peers = []
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, args=(scripts,), daemon=True)
        self.thread.start()

    def _serve(self, scripts):
        self.listener.settimeout(LIMIT)
        try:
            for script in scripts:
                connection, peer = self.listener.accept()
                self.peers.append(peer[0])
                self.received.append(b"")
                with connection:
                    self._play(connection, script)
        except OSError:
            pass
        finally:
            self.listener.close()
            self.done.set()

    def _play(self, connection, script):
        connection.settimeout(LIMIT)
        lines_read = 0
        for step in script:
            if isinstance(step, bytes):
                connection.sendall(step)
            elif step == "reset":
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                return
            elif step == "close":
                return
            else:  # "line" or "drain"
                lines_read += 1
                while (not self.received[-1].endswith(b"close\n") if step == "drain"
                       else self.received[-1].count(b"\n") < lines_read):
                    chunk = connection.recv(1024)
                    if not chunk:
                        return
                    self.received[-1] += chunk

    def wire(self):
        """What the only client sent, once its conversation is over."""
        self.done.wait(LIMIT)
        return self.received[0] if self.received else b""


def login(password=b"ChgThisPw", then=b"accept\n"):
    return ["line", COOKIE + b"\n", "line", then]


def unused_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def default_encoding(command):
    """The client's default encoding, as its --help tells it."""
    help_text = subprocess.run(command + ["--help"], capture_output=True, timeout=LIMIT).stdout
    found = re.search(rb"become bytes \(default (?:the ANSI code page, here )?([\w-]+)\)", help_text)
    return found[1].decode()


KEEP_OPEN = object()  # standard input stays open until the client has ended
CLOSED = object()  # standard output is a pipe whose reader has gone

# name, arguments, the server's script (None: nothing listens), exit code, a pattern the
# output must hold, then optional: what the server must have received (a function of the client's
# default encoding), the client's address as the server saw it, standard input, output.
CASES = [
    ("sent", ["-w", "pw", "-p", "kitchen", "-p", "21,5 °C", "Temperature"],
     login() + ["drain"], 0, 'sent event "Temperature" with 2 payloads',
     lambda encoding: GREETING + answer(b"pw") + b"payload kitchen\npayload "
     + "21,5 °C".encode(encoding) + b"\nTemperature\nclose\n"),
    ("encoding named", ["-e", "cp1252", "-w", "pä", "-p", "ü", "Ä"], login() + ["drain"], 0, "",
     lambda _: GREETING + answer("pä".encode("cp1252")) + "payload ü\nÄ\nclose\n".encode("cp1252")),
    ("source address", ["-S", "127.0.0.5", "Ev"], login() + ["drain"], 0, "", None, "127.0.0.5"),
    ("close notice behind accept", ["--stay", "Held"], login(then=b"accept\n" + NOTICE) + ["line"],
     5, "close notice"),
    ("closed without notice", ["--stay", "Held"], login() + ["line", "close"], 6,
     "closed the connection"),
    ("not admitted", ["Ev"], ["close"], 3, "not admitted"),
    ("wrong password", ["Ev"], login(then=b"") + ["close"], 4, "wrong password"),
    ("not a challenge", ["Ev"], ["line", b"zzzz\n", "close"], 6, "unexpected login challenge"),
    ("refused", ["Ev"], None, 2, "connection refused"),
    ("source not local", ["-S", "192.0.2.1", "Ev"], None, 2, "cannot connect from 192.0.2.1"),
    ("unknown option", ["--bind", "127.0.0.5", "Ev"], None, 1, "unknown option --bind"),
    ("unknown encoding", ["-e", "no-such-code", "Ev"], None, 1, "unknown encoding no-such-code"),
    ("not writable", ["-e", "ascii", "Ä"], None, 1, "ascii cannot write it"),
    # Windows has no code page that writes a zero byte for a character.
    ("zero byte", ["-e", "utf-16le", "Ev"], None, 1, "zero byte|unknown encoding utf-16le"),
    ("payload without event", ["Ev", "-p", "x"], None, 1, "--payload must come before"),
    ("interactive", ["-i"], login() + ["drain"], 0, "input line 2 not sent: it holds a zero byte",
     lambda _: GREETING + answer(b"ChgThisPw") + b"payload a\nEv\nclose\n", None,
     b"payload a\nx\0y\r\nEv\r\nclose\nafter the end\n"),
    ("notice while typing", ["-i"], login() + [NOTICE, "close"], 5, "close notice", None, None,
     KEEP_OPEN),
    ("output closed", ["Ev"], login() + ["drain"], 0, "",
     lambda _: GREETING + answer(b"ChgThisPw") + b"Ev\nclose\n", None, b"", CLOSED),
]


class CommandLineTest(unittest.TestCase):
    def run_client(self, command, arguments, port, stdin, stdout):
        read_end, write_end = os.pipe()
        os.close(read_end)  # the reader of a CLOSED output has gone before the client starts
        with subprocess.Popen(
                command + ["--port", str(port)] + arguments, stdin=subprocess.PIPE,
                stdout=write_end if stdout is CLOSED else subprocess.PIPE,
                stderr=subprocess.PIPE) as client:
            os.close(write_end)
            if stdin is not KEEP_OPEN:
                client.stdin.write(stdin or b"")
                client.stdin.flush()
            try:
                client.wait(LIMIT)  # with its input still open, too: it must end on its own
            except subprocess.TimeoutExpired:
                client.kill()
                client.wait()
                self.fail("the client did not end within %s s" % LIMIT)
            finally:
                client.stdin.close()
            output = client.stdout.read() if client.stdout else b""
            return client.returncode, output + client.stderr.read()

    def test_cases(self):
        for client, command in CLIENTS.items():
            encoding = default_encoding(command)
            for name, arguments, script, code, said, *more in CASES:
                wire, peer, stdin, stdout = more + [None] * (4 - len(more))
                with self.subTest(client=client, case=name):
                    server = FakeServer(script) if script is not None else None
                    port = server.port if server else unused_port()
                    result, output = self.run_client(command, arguments, port, stdin, stdout)
                    self.assertEqual(result, code, output)
                    self.assertTrue(re.search(said.encode(), output.replace(b"\r", b"")), output)
                    if wire:
                        self.assertEqual(server.wire(), wire(encoding))
                    if peer:
                        self.assertEqual(server.peers, [peer])


class ModuleTest(unittest.TestCase):
    def test_a_sender_used_again_starts_clean(self):
        # Half a cookie, then the close of a refused connection; then a whole login.
        server = FakeServer(["line", b"00", "close"], login() + ["drain"])
        sender = sendrel_send.Sender(port=server.port, timeout=LIMIT)
        with self.assertRaises(sendrel_send.NotAdmitted):
            sender.connect()
        sender.connect()
        sender.send("Ev")
        sender.close()

    def test_close_reports_the_notice_when_the_end_line_cannot_go(self):
        # The notice, then a reset once the event has come: the end line's send fails.
        server = FakeServer(login() + [NOTICE, "line", "reset"])
        sender = sendrel_send.Sender(port=server.port, timeout=LIMIT)
        sender.connect()
        sender.send("Ev")
        server.done.wait(LIMIT)
        with self.assertRaises(sendrel_send.CloseNotice):
            sender.close()

    def test_wake_ends_a_wait_at_once(self):
        server = FakeServer(login() + ["drain"])
        sender = sendrel_send.Sender(port=server.port, timeout=LIMIT)
        sender.connect()
        ended = []
        waiter = threading.Thread(target=lambda: ended.append(sendrel_send.ending(sender.wait)))
        waiter.start()
        sender.wake()
        waiter.join(LIMIT)
        self.assertIsInstance(ended[0], sendrel_send.SendrelError)
        sender.abandon()

    def test_what_the_server_cannot_take_is_refused_before_sending(self):
        sender = sendrel_send.Sender()  # never connected: nothing may reach a socket
        for event, payloads in [("a\0b", []), ("Ev", ["a\0b"]), ("Temperature", "kitchen"),
                                ("Ev", b"kitchen"), ("a\nb", []), ("payload x", []),
                                ("Ev", [b"\n"])]:
            with self.subTest(event=event, payloads=payloads):
                with self.assertRaises(ValueError):
                    sender.send(event, payloads)
        with self.assertRaises(ValueError):
            sender.send_line(b"a\0b")


class InstallTest(unittest.TestCase):
    """pip installs the module and the sendrel-send command into a virtual environment, from
    the source tree and without the package index (the build tools are the system's)."""

    def test_pip_install(self):
        root = os.path.abspath(os.path.join(os.path.dirname(SCRIPT), ".."))
        with tempfile.TemporaryDirectory() as work:
            # A copy, so that the build leaves nothing in the source tree.
            source = os.path.join(work, "source")
            shutil.copytree(os.path.join(root, "tools"), os.path.join(source, "tools"),
                            ignore=shutil.ignore_patterns("*.cpp", "*.h", "*.txt"))
            shutil.copy(os.path.join(root, "pyproject.toml"), source)
            venv = os.path.join(work, "venv")
            environment = dict(os.environ, PIP_CONFIG_FILE=os.devnull)
            for command in (["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
                            [os.path.join(venv, "bin", "pip"), "install", "--no-index",
                             "--no-build-isolation", "--quiet", source]):
                subprocess.run(command, check=True, env=environment, timeout=120)
            command = subprocess.run([os.path.join(venv, "bin", "sendrel-send"), "--help"],
                                     capture_output=True, timeout=LIMIT)
            self.assertEqual(command.returncode, 0)
            self.assertIn(b"--source ADDR", command.stdout)
            where = subprocess.run([os.path.join(venv, "bin", "python"), "-c",
                                    "import sendrel_send; print(sendrel_send.__file__)"],
                                   capture_output=True, timeout=LIMIT, cwd=work)
            self.assertTrue(where.stdout.decode().startswith(venv), where)


if __name__ == "__main__":
    unittest.main()
