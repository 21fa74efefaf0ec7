#!/usr/bin/env python3
"""Figures for the web service (not a test): events per second through POST /api/events from 8
concurrent keep-alive clients (wrk), with one event and with ten events a request, the
requests' latency, and the page's size and first load time in headless Chromium, with the
service and the reference host serving the native plug-in all on this machine.

    bash scripts/build.sh native
    /usr/bin/python3 bench/web_figures.py [SECONDS]   (SENDREL_WEB=PATH: another copy)

Needs Debian's python3-aiohttp and wrk; the load time also python3-selenium, chromium and
chromium-driver (left out without them)."""

import json
import os
import re
import subprocess
import sys
import urllib.request

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(root, "tests", "support"))
sys.path.insert(0, os.path.join(root, "clients"))
os.environ.setdefault("SENDREL_HOST", os.path.join(root, "out/native/tools/reference_host"))
os.environ.setdefault("SENDREL_PLUGIN", os.path.join(root, "out/native/libsendrel.so"))
import web_service  # noqa: E402
from mqtt_rig import wait_until  # noqa: E402

# SENDREL_WEB names another copy of the service to compare.
SCRIPT = os.environ.get("SENDREL_WEB", os.path.join(root, "clients", "sendrel_web"))
PASSWORD = "figures password"
CLIENTS = 8
SETTINGS = """\
[sendrel]
port = %d
[web]
listen = "127.0.0.1:0"
[[button]]
label = "Kitchen lights on"
event = "Lights"
payloads = ["kitchen", "on"]
[[button]]
label = "Good night"
event = "Scene"
payloads = ["night"]
"""
WRK_SCRIPT = """wrk.method = "POST"
wrk.body = '%s'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer %s"
"""


def milliseconds(text):
    value, unit = re.match(r"([\d.]+)(us|ms|s)", text).groups()
    return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]


def load(url, token, work, events, seconds):
    body = json.dumps([{"event": "bench", "payloads": ["kitchen", "21.5"]}] * events)
    script = os.path.join(work, "post%d.lua" % events)
    with open(script, "w") as out:
        out.write(WRK_SCRIPT % (body if events > 1 else body[1:-1], token))
    output = subprocess.run(["wrk", "-t2", "-c%d" % CLIENTS, "-d%ds" % seconds, "--latency",
                             "-s", script, url + "api/events"], capture_output=True,
                            text=True, check=True).stdout
    requests = float(re.search(r"Requests/sec:\s+([\d.]+)", output).group(1))
    failed = re.search(r"Non-2xx or 3xx responses: (\d+)", output)
    latency = {p: milliseconds(re.search(r"\s%s%%\s+(\S+)" % p, output).group(1))
               for p in ("50", "99")}
    print("%2d event%s a request: %7.0f events/s (%.0f requests/s), latency p50 %.2f ms, "
          "p99 %.2f ms%s" % (events, " " if events == 1 else "s", requests * events, requests,
                             latency["50"], latency["99"],
                             ", %s refused" % failed.group(1) if failed else ""))


def page(url, work):
    """The page's bytes after the login, and its first load in Chromium."""
    opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor())
    opener.open(url + "login", data=("password=" + PASSWORD.replace(" ", "+")).encode())
    sizes = {name: len(opener.open(url + name).read()) for name in ("", "app.js", "app.css")}
    print("page after the login: %d bytes (HTML %d, script %d, style %d)"
          % (sum(sizes.values()), sizes[""], sizes["app.js"], sizes["app.css"]))
    try:
        browser = web_service.chromium(os.path.join(work, "chromium"))
    except ImportError:
        print("load time: left out (no python3-selenium)")
        return
    try:
        browser.get(url)
        browser.find_element("id", "password").send_keys(PASSWORD + "\n")
        wait_until(lambda: browser.find_elements("css selector", "button[data-button]"),
                   "the page")
        times = []
        for _ in range(10):
            browser.get(url + "?again")  # a fresh navigation, the assets revalidated
            times.append(browser.execute_script(
                "const t = performance.getEntriesByType('navigation')[0];"
                "return t.loadEventEnd - t.startTime;"))
        times.sort()
        print("first load in Chromium (to the load event, 10 loads): median %.1f ms, "
              "slowest %.1f ms" % (times[len(times) // 2], times[-1]))
    finally:
        browser.quit()


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    with web_service.serving_the_plugin(SCRIPT, SETTINGS, PASSWORD,
                                        "sendrel-web-figures-") as (_, url, token, work, _):
        print("%d keep-alive clients for %d s each, all on this machine" % (CLIENTS, seconds))
        load(url, token, work, 1, seconds)
        load(url, token, work, 10, seconds)
        page(url, work)


if __name__ == "__main__":
    main()
