#!/usr/bin/env python3
"""Figures for the MQTT bridge (not a test): messages per second from a broker through the
bridge into the host's events, and the delay from publish to event, with mosquitto, the
bridge and the reference host serving the native plug-in all on this machine.

    bash scripts/build.sh native
    python3 bench/mqtt_figures.py [MESSAGES]

The delay is measured from just before the publish call to the moment the host's line for
the event is read; a message alone waits the batch time (--batch-time, default 0.02 s) for
others to join it, so the lone-message figures are shown with the default and with 0."""

import os
import re
import statistics
import sys
import time

root = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(root, "tests", "support"))
os.environ.setdefault("SENDREL_HOST", os.path.join(root, "out/native/tools/reference_host"))
os.environ.setdefault("SENDREL_PLUGIN", os.path.join(root, "out/native/libsendrel.so"))
os.environ.setdefault("SENDREL_MQTT", os.path.join(root, "clients/sendrel_mqtt.py"))
if os.path.exists("/usr/sbin/mosquitto"):
    os.environ.setdefault("MOSQUITTO", "/usr/sbin/mosquitto")
from mqtt_rig import Rig, wait_until  # noqa: E402

NUMBER = re.compile(r'^event "n" payloads \["[^"]*", "(\d+)"\]')


def arrivals(rig):
    """The first arrival time of each numbered event."""
    seen = {}
    for at, line in list(rig.lines):
        match = NUMBER.match(line)
        if match:
            seen.setdefault(int(match.group(1)), at)
    return seen


def delays_ms(published, seen):
    return sorted((seen[i] - at) * 1000 for i, at in enumerate(published))


def summary(delays):
    return "median %.1f ms, 95th percentile %.1f ms, most %.1f ms" % (
        statistics.median(delays), delays[int(len(delays) * 0.95) - 1], delays[-1])


def with_rig(options, measure):
    rig = Rig()
    try:
        rig.start_broker()
        rig.start_server()
        rig.start_bridge(*options)
        wait_until(lambda: rig.bridge_said("subscribed"), "the bridge")
        return measure(rig)
    finally:
        rig.close()


def stream(count):
    def measure(rig):
        published = rig.publish([("test/n", b"%d" % i) for i in range(count)])
        wait_until(lambda: len(arrivals(rig)) >= count, "the events", 600)
        seen = arrivals(rig)
        took = max(seen.values()) - published[0]
        print("%d messages published at once: %.0f messages/s into the host's events "
              "(%.2f s in all); delay %s" % (count, count / took, took,
                                             summary(delays_ms(published, seen))))
    return measure


def one_by_one(count, label):
    def measure(rig):
        published = []
        for i in range(count):
            published += rig.publish([("test/n", b"%d" % i)])
            wait_until(lambda: i in arrivals(rig), "the event")
        print("%d messages one at a time, %s: delay %s"
              % (count, label, summary(delays_ms(published, arrivals(rig)))))
    return measure


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    with_rig([], stream(count))
    with_rig(["--batch-size", "1"], stream(count // 5))
    with_rig([], one_by_one(200, "batch time 0.02 s"))
    with_rig(["--batch-time", "0"], one_by_one(200, "batch time 0"))


if __name__ == "__main__":
    main()
