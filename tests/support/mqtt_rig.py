"""A broker, a Sendrel server and the MQTT bridge on loopback, for the bridge's end-to-end test
and its figures script: mosquitto and the reference host with the plug-in, each on a port
that was free a moment ago, started and stopped as the caller says.

The programs come from the environment: SENDREL_HOST (the reference host), SENDREL_PLUGIN,
MOSQUITTO (default mosquitto) and SENDREL_MQTT (the bridge script)."""

import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

CONNECTION_EVENTS = tuple('event "%s"' % name for name in (
    "Incoming connection", "Accepted connection", "Disconnect", "Incorrect Password"))
DEADLINE = 60.0  # seconds: only guards against a hang


def free_port():
    # Below the system's range for the local ports of outgoing connections (from 32768): a
    # port picked there is not soon taken by another test's client, as one the system hands
    # out can be.
    for _ in range(200):
        port = random.randrange(20000, 32000)
        with socket.socket() as probe:
            try:
                probe.bind(("", port))
            except OSError:
                continue
            return port
    raise AssertionError("no free port")


def wait_until(condition, what, timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class Rig:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="sendrel-mqtt-")
        self.broker_port = free_port()
        self.server_port = free_port()
        self.lines = []  # (arrival time, line) of the host's output
        self.broker = self.server = self.bridge = None

    def start_broker(self):
        config = os.path.join(self.work, "mosquitto.conf")
        # Anonymous clients are let in; a client giving a user name is refused, as no user is
        # in the empty password file.
        users = os.path.join(self.work, "users")
        open(users, "w").close()
        # Started by root, mosquitto reads the file as the user mosquitto.
        os.chmod(self.work, 0o755)
        with open(config, "w") as out:
            out.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n"
                      "max_queued_messages 100000\npassword_file %s\n" % (self.broker_port, users))
        self.broker = subprocess.Popen([os.environ.get("MOSQUITTO", "mosquitto"), "-c", config],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def listening():
            with socket.socket() as probe:
                return probe.connect_ex(("127.0.0.1", self.broker_port)) == 0
        wait_until(listening, "the broker")

    def start_server(self):
        first = len(self.lines)  # a server started again after a stop says it again
        self.server = subprocess.Popen(
            [os.environ["SENDREL_HOST"], "run", "--no-display", "--port", str(self.server_port),
             os.environ["SENDREL_PLUGIN"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)

        def read(output):
            for line in output:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
        reader = threading.Thread(target=read, args=(self.server.stdout,), daemon=True)
        reader.start()

        def listening():
            return any(line.startswith("listening") for _, line in self.lines[first:])
        wait_until(lambda: listening() or self.server.poll() is not None, "the Sendrel server")
        if not listening():
            reader.join(DEADLINE)
            raise AssertionError("the Sendrel server did not start: %s"
                                 % [line for _, line in self.lines])

    def stop_server(self):
        self.server.stdin.write("stop\n")
        self.server.stdin.close()
        self.server.wait(DEADLINE)
        self.server.stdout.close()

    def start_bridge(self, *options):
        self.end(self.bridge)
        self.bridge_log = os.path.join(self.work, "bridge%d.log" % time.monotonic_ns())
        with open(self.bridge_log, "w") as log:
            self.bridge = subprocess.Popen(
                [sys.executable, os.environ["SENDREL_MQTT"], "--broker",
                 "127.0.0.1:%d" % self.broker_port, "--port", str(self.server_port),
                 "--topic", "test/#", "--strip", "test/", "--retry-max", "0.5",
                 "--client-id", "bridge-%d" % self.broker_port] + list(options),
                stdout=log, stderr=subprocess.STDOUT)

    def bridge_said(self, text, times=1):
        with open(self.bridge_log) as log:
            return log.read().count(text) >= times

    def publish(self, messages, retain=False):
        """Publishes (topic, payload) pairs with QoS 1; returns once the broker has them."""
        import paho.mqtt.client as mqtt  # here: the web service's test uses the rig without it

        version = getattr(mqtt, "CallbackAPIVersion", None)
        client = mqtt.Client(*([version.VERSION2] if version else []),
                             client_id="publisher-%d" % self.broker_port)
        client.connect("127.0.0.1", self.broker_port)
        client.loop_start()
        sent = [(time.monotonic(), client.publish(topic, payload, qos=1, retain=retain))
                for topic, payload in messages]
        for _, info in sent:
            info.wait_for_publish()
        client.disconnect()
        client.loop_stop()
        return [at for at, _ in sent]

    def events(self):
        """The host's event lines, but for the server's own connection events."""
        return [line for _, line in self.lines
                if line.startswith('event "') and not line.startswith(CONNECTION_EVENTS)]

    @staticmethod
    def end(process):
        if process:
            process.kill()
            process.wait()

    def close(self):
        self.end(self.bridge)
        self.end(self.broker)
        if self.server and self.server.poll() is None:
            self.stop_server()
        shutil.rmtree(self.work, ignore_errors=True)
