#!/usr/bin/env python3
"""Figures for the web service under attack (not a test), with the service started as a user
starts it in front of the reference host serving the native plug-in, all on this machine:

- page logins compared (answered 401, not refused 429 before the hash) out of 60 wrong
  passwords sent together from one address, and how long the owner's right password from
  another address waited meanwhile;
- connections holding half a request header (from 40 loopback addresses) before a valid API
  request is not answered within 2 s, and the service's memory with 2 000 of them;
- the service's memory while 2 000 page logins hold 60 KiB of a 64 KiB body each.

    bash scripts/build.sh native reference_host sendrel
    /usr/bin/python3 bench/web_attack_figures.py [SERVICE]

SERVICE is the service to run (default clients/sendrel_web); give an older copy to compare.
It is started with the open-file limit at 1 024, as a login shell on Debian starts it.
Throughput and latency: bench/web_figures.py."""

import asyncio
import http.client
import os
import resource
import socket
import sys
import time

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(root, "tests", "support"))
sys.path.insert(0, os.path.join(root, "clients"))
os.environ.setdefault("SENDREL_HOST", os.path.join(root, "out/native/tools/reference_host"))
os.environ.setdefault("SENDREL_PLUGIN", os.path.join(root, "out/native/libsendrel.so"))
import web_service  # noqa: E402

PASSWORD = "figures password"
SETTINGS = """\
[sendrel]
port = %d
[web]
listen = "127.0.0.1:0"
"""
GUESSES = 60
HELD_MAX, HELD_STEP, ADDRESSES = 3000, 250, 40


async def login(port, password, source="127.0.0.1"):
    """The status of a page login, and the seconds it took."""
    started = time.monotonic()
    reader, writer = await asyncio.open_connection("127.0.0.1", port, local_addr=(source, 0))
    body = ("password=" + password.replace(" ", "+")).encode()
    writer.write(b"POST /login HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: "
                 b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n"
                 b"Connection: close\r\n\r\n%s" % (port, len(body), body))
    status = int((await reader.readline()).split()[1])
    writer.close()
    return status, time.monotonic() - started


async def guesses(port):
    attack = [asyncio.ensure_future(login(port, "wrong %d" % n)) for n in range(GUESSES)]
    await asyncio.sleep(0.5)  # the guesses are in before the owner comes
    owner = await login(port, PASSWORD, "127.0.0.2")
    statuses = [status for status, _ in await asyncio.gather(*attack)]
    print("%d wrong page logins sent together from one address: %d compared (401), %d refused "
          "before (429/503); the owner's right password from another address: %d after %.1f s"
          % (GUESSES, statuses.count(401), GUESSES - statuses.count(401), owner[0], owner[1]))


def valid_request(port, token):
    # From an address of its own: the guesses' one may be refused by the failure limit.
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2,
                                            source_address=("127.0.0.3", 0))
    try:
        connection.request("POST", "/api/events", body='{"event": "figures"}', headers={
            "Authorization": "Bearer " + token, "Content-Type": "application/json"})
        return connection.getresponse().status == 200
    except OSError:
        return False
    finally:
        connection.close()


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024


def open_files(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def held_connections(port, token, pid):
    """Connections with half a header, HELD_STEP at a time, each step followed by a valid
    request; stops at the first that is not answered in 2 s, or when connections are no longer
    taken in."""
    held, failed_at, memory, refused = [], None, None, 0
    while len(held) < HELD_MAX and not failed_at and refused < 5:
        for _ in range(HELD_STEP):
            connection = socket.socket()
            connection.settimeout(1)
            connection.bind(("127.0.1.%d" % (1 + len(held) % ADDRESSES), 0))
            held.append(connection)
            try:
                connection.connect(("127.0.0.1", port))
                connection.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Half: ")
            except OSError:  # not taken in (or closed at once)
                refused += 1
        if len(held) == 2000:
            time.sleep(0.5)
            memory = rss_mb(pid), open_files(pid)
        if not valid_request(port, token):
            failed_at = len(held)
    print("connections holding half a header before a valid request fails: %s"
          % (failed_at or "none up to %d" % HELD_MAX))
    if memory:
        print("the service's memory with 2 000 such connections: %.0f MB (%d files open)"
              % memory)
    for connection in held:
        connection.close()


def login_bodies(port, pid):
    """2 000 unauthenticated page logins, each sending 60 KiB of a 64 KiB body and holding."""
    held, before = [], rss_mb(pid)
    body = b"password=" + b"x" * (60 * 1024)
    for number in range(2000):
        connection = socket.socket()
        connection.settimeout(1)
        connection.bind(("127.0.2.%d" % (1 + number % ADDRESSES), 0))
        held.append(connection)
        try:
            connection.connect(("127.0.0.1", port))
            connection.sendall(b"POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                               b"application/x-www-form-urlencoded\r\nContent-Length: 65536"
                               b"\r\n\r\n" + body)
        except OSError:  # not taken in, or refused at once
            pass
    time.sleep(1)
    print("the service's memory with 2 000 page logins holding 60 KiB of their bodies: %.0f MB "
          "(%.0f MB before them)" % (rss_mb(pid), before))
    for connection in held:
        connection.close()


def main():
    service_path = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else \
        os.path.join(root, "clients", "sendrel_web")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    # The service's process starts with the limit a login shell gives; this one holds the
    # attack's connections.
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))
    with web_service.serving_the_plugin(service_path, SETTINGS, PASSWORD,
                                        "sendrel-web-attack-") as (service, url, token, work):
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, HELD_MAX + 500), hard))
        port = int(url.rstrip("/").rsplit(":", 1)[1])
        print("service: %s" % service_path)
        asyncio.run(guesses(port))
        held_connections(port, token, service.pid)
        time.sleep(2)  # the held connections closed
        login_bodies(port, service.pid)
        print("the service's standard error: %d bytes" % os.path.getsize(
            os.path.join(work, "web.log")))


if __name__ == "__main__":
    main()
