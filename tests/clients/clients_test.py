"""Both command-line clients against small fake servers that misbehave, and the Python module.
Environment: SENDREL_SEND_SCRIPT, EVENT_CLIENT and CLIENT_EMULATOR (what runs it, if anything),
SENDREL_CLIENTS ('python;event_client' by default), SENDREL_CASE_LIMIT (seconds, default 5)."""

import hashlib
import io
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

SCRIPT = os.path.abspath(os.environ.get("SENDREL_SEND_SCRIPT", os.path.join(
    os.path.dirname(__file__), "..", "..", "clients", "sendrel_send.py")))
sys.path.insert(0, os.path.dirname(SCRIPT))
import sendrel_send  # noqa: E402

LIMIT = float(os.environ.get("SENDREL_CASE_LIMIT", "5"))
WANTED = os.environ.get("SENDREL_CLIENTS", "python;event_client").split(";")
CLIENTS = {"python": [sys.executable, SCRIPT]}
if os.environ.get("EVENT_CLIENT"):
    CLIENTS["event_client"] = [os.environ.get("CLIENT_EMULATOR"), os.environ["EVENT_CLIENT"]]
CLIENTS = {name: [part for part in command if part] for name, command in CLIENTS.items()
           if name in WANTED}
NOTICE = b"close\n\0"
KEEP_OPEN, CLOSED = object(), object()  # input left open; output to a pipe nobody reads


def wire(lines, password=b"ChgThisPw"):
    """What a client sends for the lines after logging in with the cookie 00ab."""
    return (b"vellumorchid\n" + hashlib.md5(b"00ab:" + password).hexdigest().encode() + b"\n"
            + lines)


class FakeServer:
    """Plays one script per connection on 127.0.0.1: bytes are sent, "line" waits for the
    client's next line, "drain" for its end line, "reset" resets; the script's end closes."""

    def __init__(self, *scripts):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received, self.peers, self.done = [], [], threading.Event()
        threading.Thread(target=self._serve, args=(scripts,), daemon=True).start()

    def _serve(self, scripts):
        self.listener.settimeout(LIMIT)
        try:
            for script in scripts:
                connection, peer = self.listener.accept()
                self.peers.append(peer[0])
                self.received.append(b"")
                with connection:
                    connection.settimeout(LIMIT)
                    self._play(connection, script)
        except OSError:
            pass
        self.listener.close()
        self.done.set()

    def _play(self, connection, script):
        lines = 0
        for step in script:
            lines += step == "line"
            if isinstance(step, bytes):
                connection.sendall(step)
            elif step == "reset":
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, bytes([1] + [0] * 7))
                return
            while (step == "drain" and not self.received[-1].endswith(b"close\n")) or (
                    step == "line" and self.received[-1].count(b"\n") < lines):
                chunk = connection.recv(1024)
                if not chunk:
                    return
                self.received[-1] += chunk


def login(then=b"accept\n"):
    return ["line", b"00ab\n", "line", then]


# name, arguments, the server's script (None: nothing listens), exit code, a pattern of the
# output; optional: what the server receives (a function of the client's default encoding),
# the client's address as the server sees it, standard input, standard output.
CASES = [
    ("sent", ["-w", "pw", "-p", "kitchen", "-p", "21,5 °C", "Temperature"], login() + ["drain"],
     0, 'sent event "Temperature" with 2 payloads', lambda encoding: wire(
         b"payload kitchen\npayload " + "21,5 °C\n".encode(encoding) + b"Temperature\nclose\n",
         b"pw")),
    ("encoding named", ["-e", "cp1252", "-w", "pä", "-p", "ü", "Ä"], login() + ["drain"], 0,
     "logged in", lambda _: wire("payload ü\nÄ\nclose\n".encode("cp1252"), "pä".encode("cp1252"))),
    ("source address", ["-S", "127.0.0.5", "Ev"], login() + ["drain"], 0, "logged in", None,
     "127.0.0.5"),
    ("notice behind accept", ["--stay", "Held"], login(b"accept\n" + NOTICE) + ["line"], 5,
     "close notice"),
    ("not admitted", ["Ev"], [], 3, "not admitted"),
    ("wrong password", ["Ev"], login(b""), 4, "wrong password"),
    ("not a challenge", ["Ev"], ["line", b"zzzz\n"], 6, "unexpected login challenge"),
    ("refused", ["Ev"], None, 2, "connection refused"),
    ("source not local", ["-S", "192.0.2.1", "Ev"], None, 2,
     r"cannot connect from 192\.0\.2\.1 \(.*[Aa]ddress"),
    ("unknown encoding", ["-e", "no-such-code", "Ev"], None, 1, "unknown encoding no-such-code"),
    ("not writable", ["-e", "ascii", "Ä"], None, 1, "ascii cannot write it"),
    # Windows has no code page that writes a zero byte for a character.
    ("zero byte", ["-e", "utf-16le", "Ev"], None, 1, "zero byte|unknown encoding utf-16le"),
    ("interactive", ["-i"], login() + ["drain"], 0, "input line 2 not sent: it holds a zero byte",
     lambda _: wire(b"payload a\nEv\nclose\n"), None,
     b"payload a\nx\0y\r\nEv\r\nclose\nafter the end\n"),
    ("notice while typing", ["-i"], login() + [NOTICE], 5, "close notice", None, None, KEEP_OPEN),
    ("output closed", ["Ev"], login() + ["drain"], 0, "^$", lambda _: wire(b"Ev\nclose\n"), None,
     b"", CLOSED),
]


def run_client(command, port, stdin, stdout):
    """The client's exit code and output (None for the code when it did not end in time)."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    with subprocess.Popen(command + ["--port", str(port)], stdin=subprocess.PIPE,
                          stdout=write_end if stdout is CLOSED else subprocess.PIPE,
                          stderr=subprocess.PIPE) as client:
        os.close(write_end)
        if stdin is not KEEP_OPEN:
            client.stdin.write(stdin or b"")
            client.stdin.flush()
        try:
            client.wait(LIMIT)
        except subprocess.TimeoutExpired:
            client.kill()
            client.wait()
            client.returncode = None
        client.stdin.close()
        return client.returncode, (client.stdout.read() if client.stdout else b"") + \
            client.stderr.read()


class CommandLineTest(unittest.TestCase):
    def test_cases(self):
        for client, command in CLIENTS.items():
            help_text = subprocess.run(command + ["--help"], capture_output=True,
                                       timeout=LIMIT).stdout
            encoding = re.search(rb"bytes \(default ([\w-]+)\)", help_text)[1]
            for name, arguments, script, code, said, *more in CASES:
                sent, peer, stdin, stdout = more + [None] * (4 - len(more))
                with self.subTest(client=client, case=name):
                    server = FakeServer(script) if script is not None else None
                    if not server:
                        with socket.socket() as probe:  # a port nobody listens on
                            probe.bind(("127.0.0.1", 0))
                            port = probe.getsockname()[1]
                    result, output = run_client(command + arguments,
                                                server.port if server else port, stdin, stdout)
                    self.assertEqual(result, code, output)
                    self.assertRegex(output.replace(b"\r", b"").decode("latin-1"), said)
                    if sent:
                        server.done.wait(LIMIT)
                        self.assertEqual(server.received, [sent(encoding.decode())])
                    if peer:
                        self.assertEqual(server.peers, [peer])


class ModuleTest(unittest.TestCase):
    def test_a_sender_used_again_starts_clean(self):
        server = FakeServer(["line", b"00"], login() + ["drain"])  # half a cookie, then a login
        sender = sendrel_send.Sender(port=server.port, timeout=LIMIT)
        self.assertRaises(sendrel_send.NotAdmitted, sender.connect)
        sender.connect()
        sender.close()

    def test_close_reports_the_notice_when_the_end_line_cannot_go(self):
        server = FakeServer(login() + [NOTICE, "line", "reset"])  # reset once the event came
        sender = sendrel_send.Sender(port=server.port, timeout=LIMIT)
        sender.connect()
        sender.send("Ev")
        server.done.wait(LIMIT)
        self.assertRaises(sendrel_send.CloseNotice, sender.close)

    def test_output_that_cannot_write_a_text_gets_replacement_characters(self):
        stream = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
        sendrel_send.write_out(stream, 'sent event "Küche"\n')
        self.assertEqual(stream.buffer.getvalue(), b'sent event "K?che"\n')

    def test_what_the_server_cannot_take_is_refused_before_sending(self):
        sender = sendrel_send.Sender()  # never connected: a send would fail otherwise
        for event, payloads in [("a\0b", []), ("Ev", ["a\0b"]), ("Temperature", "kitchen"),
                                ("Ev", b"kitchen"), ("a\nb", []), ("payload x", [])]:
            with self.subTest(event=event, payloads=payloads):
                self.assertRaises(ValueError, sender.send, event, payloads)
        self.assertRaises(ValueError, sender.send_line, b"a\0b")


class InstallTest(unittest.TestCase):
    def test_pip_install_without_the_package_index(self):
        root = os.path.dirname(os.path.dirname(SCRIPT))
        with tempfile.TemporaryDirectory() as work:  # a copy: the build leaves files behind
            source, venv = os.path.join(work, "source"), os.path.join(work, "venv")
            shutil.copytree(os.path.join(root, "clients"), os.path.join(source, "clients"))
            shutil.copy(os.path.join(root, "pyproject.toml"), source)
            environment = dict(os.environ, PIP_CONFIG_FILE=os.devnull)
            for command in (["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
                            [venv + "/bin/pip", "install", "--no-index", "--no-build-isolation",
                             "--quiet", source],
                            [venv + "/bin/sendrel-send", "--help"],
                            [venv + "/bin/sendrel-web", "--help"],
                            # the page's templates and files went in with the package
                            [venv + "/bin/python", "-c", "import sendrel_web.page as p; "
                             "p.Page().login('title', 'message')"],
                            [venv + "/bin/python", "-c", "import sendrel_send, sys; "
                             "sys.exit(not sendrel_send.__file__.startswith(sys.prefix))"]):
                subprocess.run(command, check=True, env=environment, cwd=work, timeout=120,
                               stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main()
