#!/usr/bin/env python3
"""Figures for the web service under attack (not a test), with the service started as a user
starts it in front of the reference host serving the native plug-in, all on this machine, a
fresh service for each attack. For each: what the owner got meanwhile (its token requests on
new connections answered within 2 s, its keep-alive connection kept, its page login's wait)
and the service's peak and final memory (3 s after the attack ended).

- bodies in pieces: a form of nine payloads of 100 characters sent at 300 bytes a second, and
  the page password split over two segments;
- connections held: 2 048 page logins whose 4 000-byte body never comes, from 32 addresses,
  and 2 048 half headers from the owner's own address (the only IPv6 /64 loopback has);
- memory: pipelined requests whose answers are never read, and connections sending 120
  header lines of 8 KB each;
- encoded bodies: 2 000 requests with a body that claims deflate and is not;
- the owner's page login: after a crowd's wrong tokens, beside a /64 neighbour's wrong tokens,
  and while a full pool of password checks refuses it;
- the status: the plug-in's logins while a page asks at its own pace, and how late the status
  the page sees follows ten stops and starts of the plug-in.
- guesses: of 60 wrong page passwords sent together from one address, how many are compared.

    bash scripts/build.sh native reference_host sendrel
    /usr/bin/python3 bench/web_attack_figures.py [--quick] [--only NAME,...] [SERVICE]

SERVICE is the service to run (default clients/sendrel_web); give an older copy to compare
(its folder also holds the page's app.js, whose interval the page's questions keep). --quick
scales the floods and the status run down. Throughput and latency: bench/web_figures.py."""

import asyncio
import contextlib
import http.client
import json
import os
import re
import resource
import socket
import sys
import threading
import time

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(root, "tests", "support"))
sys.path.insert(0, os.path.join(root, "clients"))
os.environ.setdefault("SENDREL_HOST", os.path.join(root, "out/native/tools/reference_host"))
os.environ.setdefault("SENDREL_PLUGIN", os.path.join(root, "out/native/libsendrel.so"))
import web_service  # noqa: E402

PASSWORD = "figures password"
PROXY = "127.0.0.9"  # the forwarded addresses of the login attacks come through it
SETTINGS = """\
[sendrel]
port = %%d
[web]
listen = "%s:0"
proxy = "%s"
"""
OWNER, KEEP_ALIVE = "127.0.0.2", "127.0.0.3"
QUICK = "--quick" in sys.argv


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) / 1024 for line in status if line.startswith("VmRSS:"))


def request(method, path, headers=(), body=b"", host="127.0.0.1"):
    return ("%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (method, path, host, "".join(
        "%s: %s\r\n" % header for header in headers))).encode() + body


class Service:
    """One fresh service and what the attack needs of it."""

    def __init__(self, path, token, url, process, work, rig):
        self.path, self.token, self.process, self.work, self.rig = path, token, process, work, rig
        self.host = url.split("//")[1].rsplit(":", 1)[0].strip("[]")
        self.port = int(url.rstrip("/").rsplit(":", 1)[1])
        self.family = socket.AF_INET6 if ":" in self.host else socket.AF_INET

    def connect(self, source, timeout=2):
        connection = socket.socket(self.family)
        connection.settimeout(timeout)
        connection.bind((source, 0))
        connection.connect((self.host, self.port))
        return connection

    def ask(self, method="GET", path="/api/status", body=None, headers=None, source=OWNER,
            timeout=2):
        """(status, JSON or text) of one request on a new connection; (None, error) when it
        was not answered within timeout."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=timeout,
                                                source_address=(source, 0))
        try:
            connection.request(method, path, body, dict(
                {"Authorization": "Bearer " + self.token}, **(headers or {})))
            answer = connection.getresponse()
            text = answer.read()
            try:
                return answer.status, json.loads(text)
            except ValueError:
                return answer.status, text
        except OSError as error:
            return None, error
        finally:
            connection.close()

    def log_in(self, password, forwarded, timeout=120):
        """(status, seconds) of a page login through the proxy for the forwarded address."""
        started = time.monotonic()
        status, _ = self.ask("POST", "/login", "password=" + password.replace(" ", "+"), {
            "Content-Type": "application/x-www-form-urlencoded", "Authorization": "",
            "X-Forwarded-For": forwarded}, PROXY, timeout)
        return status, time.monotonic() - started

    def log_size(self):
        return os.path.getsize(os.path.join(self.work, "web.log"))


@contextlib.contextmanager
def fresh(path, listen="127.0.0.1"):
    with web_service.serving_the_plugin(path, SETTINGS % ("[%s]" % listen if ":" in listen
                                                          else listen, PROXY), PASSWORD,
                                        "sendrel-web-attack-") as (process, url, token, work,
                                                                   rig):
        yield Service(path, token, url, process, work, rig)


class Watch:
    """While the attack runs: the service's memory every 50 ms, the owner's token request on
    a new connection every 0.2 s (answered within 2 s or not), and its keep-alive connection
    asked every second (kept or lost, opened again when lost)."""

    def __init__(self, service, source=OWNER, keep_alive=KEEP_ALIVE):
        self.service, self.source, self.keep_alive_source = service, source, keep_alive
        self.peak, self.served, self.asked = 0.0, 0, 0
        self.kept, self.late, self.lost = 0, 0, 0
        self._stop = threading.Event()
        self._threads = [threading.Thread(target=target, daemon=True)
                         for target in (self._memory, self._owner, self._keep_alive)]

    def __enter__(self):
        self.before = rss_mb(self.service.process.pid)
        for thread in self._threads:
            thread.start()
        return self

    def __exit__(self, *_):
        self._stop.set()
        for thread in self._threads:
            thread.join()

    def _memory(self):
        while not self._stop.wait(0.05):
            self.peak = max(self.peak, rss_mb(self.service.process.pid))

    def _owner(self):
        while not self._stop.wait(0.2):
            self.asked += 1
            self.served += self.service.ask(source=self.source)[0] == 200

    def _keep_alive(self):
        connection = None
        while not self._stop.wait(1):
            try:
                if connection is None:
                    connection = self.service.connect(self.keep_alive_source)
                    reader = connection.makefile("rb")
                connection.sendall(request("GET", "/api/status", [
                    ("Authorization", "Bearer " + self.service.token)], host=self.service.host))
                line = reader.readline()
                if not line:
                    raise OSError("closed")
                length = 0
                for header in iter(reader.readline, b"\r\n"):
                    if header.lower().startswith(b"content-length:"):
                        length = int(header.split(b":")[1])
                reader.read(length)
                self.kept += 1
            except socket.timeout:  # not answered within 2 s: asked again on another
                self.late += 1
                connection = None
            except OSError:
                self.lost += connection is not None
                connection = None

    def said(self, what):
        time.sleep(3)
        final = rss_mb(self.service.process.pid)
        print("%s: the owner's requests served within 2 s %d of %d; its keep-alive, asked %d "
              "times, closed %d times, late %d; memory %.0f -> peak %.0f, %.0f MB 3 s after"
              % (what, self.served, self.asked, self.kept + self.late + self.lost, self.lost,
                 self.late, self.before, max(self.peak, final), final))


def hold(service, count, sources, data, seconds):
    """count connections from the sources, each having sent data, opened again when closed,
    for seconds."""
    held = [None] * count
    deadline = time.monotonic() + seconds
    opened = 0
    while time.monotonic() < deadline:
        for number in range(count):
            connection = held[number]
            if connection is not None:
                try:
                    if connection.recv(1, socket.MSG_DONTWAIT) != b"":
                        continue
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                connection.close()
            try:
                held[number] = service.connect(sources[number % len(sources)], 1)
                held[number].sendall(data)
                opened += 1
            except OSError:
                held[number] = None
        time.sleep(0.2)
    for connection in held:
        if connection:
            connection.close()
    return opened


# ---- the attacks --------------------------------------------------------------------------

def bodies_in_pieces(path):
    with fresh(path) as service:
        body = "&".join(["event=Pieces"] + ["payloads=" + "%d" % n * 100 for n in range(1, 10)
                                            ]).encode()
        connection = service.connect(OWNER, 30)
        connection.sendall(request("POST", "/api/events", [
            ("Authorization", "Bearer " + service.token),
            ("Content-Type", "application/x-www-form-urlencoded"),
            ("Content-Length", len(body))]))
        for start in range(0, len(body), 100):  # 300 bytes a second
            connection.sendall(body[start:start + 100])
            time.sleep(1 / 3)
        answer = connection.recv(4096).decode("latin-1")
        connection.close()
        time.sleep(0.5)
        events = [line for line in service.rig.events() if '"Pieces"' in line]
        payloads = re.findall(r'"(\d+)"', events[0]) if events else []
        print("a form of 9 payloads of 100 characters at 300 bytes a second: answered %s; "
              "the host got %s" % (answer.split("\r\n")[0][9:] + " " + answer.split("\r\n\r\n")[-1],
                                   "payloads of %s characters" % [len(p) for p in payloads]
                                   if events else "nothing"))
        statuses = []
        password = ("password=" + PASSWORD.replace(" ", "+")).encode()
        for _ in range(6):
            connection = service.connect(OWNER, 30)
            connection.sendall(request("POST", "/login", [
                ("Content-Type", "application/x-www-form-urlencoded"),
                ("Content-Length", len(password))]) + password[:10])
            time.sleep(0.05)
            connection.sendall(password[10:])
            statuses.append(int(connection.recv(4096).split()[1]))
            connection.close()
        print("the right page password over two segments, 6 times: %s" % statuses)


def held_bodies(path):
    with fresh(path) as service:
        with Watch(service) as watch:
            time.sleep(1)
            opened = hold(service, 2048, ["127.0.1.%d" % n for n in range(1, 33)], request(
                "POST", "/login", [("Content-Type", "application/x-www-form-urlencoded"),
                                   ("Content-Length", 4000)]), 15 if QUICK else 30)
        watch.said("2 048 page logins whose body never comes, from 32 addresses, held (%d opened)"
                   % opened)


def held_headers_one_network(path):
    with fresh(path, "::1") as service:
        with Watch(service, "::1", "::1") as watch:
            time.sleep(1)
            opened = hold(service, 2048, ["::1"], b"GET / HTTP/1.1\r\nHost: [::1]\r\nX-Half: ",
                          15 if QUICK else 30)
        watch.said("2 048 half headers from the owner's own /64 (::1), held (%d opened)" % opened)


def pipelined(path):
    count = 200000 if QUICK else 600000
    with fresh(path) as service:
        with Watch(service) as watch:
            connection = service.connect("127.0.1.1", 10)
            data = request("GET", "/favicon.ico") * count
            sent = 0
            try:
                while sent < len(data):
                    sent += connection.send(data[sent:sent + 65536])
            except socket.timeout:
                pass
            time.sleep(10)
            connection.close()
        watch.said("%d pipelined requests on one connection, answers never read (%d of %d bytes "
                   "taken)" % (count, sent, len(data)))


def big_headers(path):
    count = 300 if QUICK else 1000
    line = "X-Big: %s\r\n" % ("x" * 8000)
    with fresh(path) as service:
        with Watch(service) as watch:
            held, refused = [], 0
            for number in range(count):
                try:
                    connection = service.connect("127.0.1.%d" % (1 + number % 32), 1)
                    connection.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                       + line.encode() * 120)
                    held.append(connection)
                except OSError:
                    refused += 1
            time.sleep(2)
            for connection in held:
                connection.close()
        watch.said("%d connections sending 120 header lines of 8 KB (%d cut while sending)"
                   % (count, refused))


def encoded_bodies(path):
    with fresh(path) as service:
        with Watch(service) as watch:
            before, statuses = service.log_size(), {}
            started = time.monotonic()

            def send(number):
                connection = http.client.HTTPConnection(service.host, service.port, timeout=10)
                for _ in range(number):
                    try:
                        connection.request("POST", "/api/events", b"x" * 100, {
                            "Authorization": "Bearer " + service.token,
                            "Content-Encoding": "deflate", "Content-Type": "application/json"})
                        answer = connection.getresponse()
                        answer.read()
                        status = answer.status
                    except OSError:  # closed: the next request opens another connection
                        status = "cut"
                    statuses[status] = statuses.get(status, 0) + 1
                    connection.close()
            threads = [threading.Thread(target=send, args=(250,)) for _ in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            seconds = time.monotonic() - started
        watch.said("2 000 bodies claiming deflate in %.1f s: answered %s, the log grew %d bytes"
                   % (seconds, statuses, service.log_size() - before))


def owner_login(path):
    with fresh(path) as service:
        for number in range(90):  # 1.5 a second for a minute, from 45 addresses
            service.ask(headers={"Authorization": "Bearer srw_wrong",
                                 "X-Forwarded-For": "10.0.0.%d" % (number % 45)}, source=PROXY)
        print("after 90 wrong tokens from 45 addresses, the owner's right password: %s after "
              "%.1f s" % service.log_in(PASSWORD, "192.0.2.1"))
    with fresh(path) as service:
        for _ in range(5):
            service.ask(headers={"Authorization": "Bearer srw_wrong",
                                 "X-Forwarded-For": "2001:db8::2"}, source=PROXY)
        print("after 5 wrong tokens from a neighbour in its /64, the owner's right password: "
              "%s after %.1f s" % service.log_in(PASSWORD, "2001:db8::1"))
    with fresh(path) as service:
        crowd = [threading.Thread(target=service.log_in, args=("wrong", "10.1.0.%d" % n))
                 for n in range(10)]
        for thread in crowd:
            thread.start()
        time.sleep(0.2)
        statuses = [service.log_in(PASSWORD, "192.0.2.1")[0] for _ in range(5)]
        for thread in crowd:
            thread.join()
        print("10 wrong page logins from fresh addresses together, the owner's right password "
              "meanwhile: %s, then %s" % (statuses, service.log_in(PASSWORD, "192.0.2.1")[0]))


def guesses(path):
    with fresh(path) as service:
        async def attack():
            loop = asyncio.get_running_loop()
            wrong = [loop.run_in_executor(None, service.log_in, "wrong %d" % n, "10.2.0.1")
                     for n in range(60)]
            await asyncio.sleep(0.5)
            owner = await loop.run_in_executor(None, service.log_in, PASSWORD, "10.2.0.2")
            return [status for status, _ in await asyncio.gather(*wrong)], owner
        statuses, owner = asyncio.run(attack())
        print("60 wrong page logins sent together from one address: %d compared (401); the "
              "owner's right password from another: %s after %.1f s"
              % (statuses.count(401), owner[0], owner[1]))


def status(path):
    with open(os.path.join(path, "static", "app.js")) as script:
        interval = float(re.search(r"STATUS_SECONDS = ([\d.]+)", script.read()).group(1))
    seconds = 60 if QUICK else 300
    with fresh(path) as service:
        def logins():
            return sum(line.startswith('event "Accepted connection"')
                       for _, line in service.rig.lines)
        at_start = logins()
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            service.ask()
            time.sleep(interval)
        count = logins() - at_start
        print("a page asking every %g s for %d s: %d logins at the plug-in (%.0f an hour)"
              % (interval, seconds, count, count * 3600 / seconds))
        delays = {"down": [], "up": []}
        for _ in range(10):
            for change, server in (("down", service.rig.stop_server),
                                   ("up", service.rig.start_server)):
                server()
                changed = time.monotonic()
                while not isinstance(service.ask()[1], dict) or \
                        service.ask()[1].get("server") != change:
                    time.sleep(interval)
                delays[change].append(time.monotonic() - changed)
                time.sleep(1)
        for change, said in (("down", "stopped"), ("up", "listening again")):
            print("the status the page sees after the plug-in %s, ten times: %.1f to %.1f s"
                  % (said, min(delays[change]), max(delays[change])))


ATTACKS = [bodies_in_pieces, held_bodies, held_headers_one_network, pipelined, big_headers,
           encoded_bodies, owner_login, guesses, status]


def main():
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    only = next((a.split("=", 1)[1].split(",") for a in sys.argv[1:]
                 if a.startswith("--only=")), None)
    path = os.path.abspath(arguments[0]) if arguments else \
        os.path.join(root, "clients", "sendrel_web")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    print("service: %s%s" % (path, " (scaled down: --quick)" if QUICK else ""))
    for attack in ATTACKS:
        if only is None or attack.__name__ in only:
            attack(path)


if __name__ == "__main__":
    main()
