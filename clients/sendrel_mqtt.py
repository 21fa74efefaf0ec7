#!/usr/bin/env python3
"""Forwards the messages of an MQTT broker to a Sendrel server as events.

sendrel-mqtt subscribes to topic filters on a broker and sends each message to a Sendrel
server as one event: the event string is made from the topic, the payloads from the message
(see event_for_topic and payloads_for_message). Delivery is at least once: with QoS 1 and a
persistent session, a message is acknowledged to the broker only after the Sendrel server has
taken it, so neither a stopped server nor a killed bridge loses a message, but either may
make the server see a message twice.

Messages go in short batches, each batch one conversation: log in, the events, the closing
line, and the server's close of the connection, which says that it has taken every line (the
protocol has no answer per event). A batch is acknowledged only after such an end; a close
notice or a lost connection sends it again, in order, after a back-off.

Needs the Paho MQTT client, 1.6 (Debian 12's python3-paho-mqtt) or 2.x, and sendrel_send.py and
sendrel_settings.py beside it. Settings come from a TOML file (--config) and the command line,
which wins; see --help.
"""

import argparse
import collections
import json
import logging
import signal
import sys
import threading
import time

import sendrel_send
import sendrel_settings
from sendrel_settings import (ArgumentParser, Usage, holds_password, host_and_port,
                              merged_settings, read_toml, set_up_log, warn_if_readable)

EXIT_OK = 0
EXIT_USAGE = 1
EXIT_BROKER = 2
EXIT_WRONG_PASSWORD = sendrel_send.EXIT_WRONG_PASSWORD
EXIT_FAILED = sendrel_send.EXIT_FAILED

log = logging.getLogger("sendrel-mqtt")

# Every setting with its default, by the TOML table and key that hold it. The command-line
# option of broker.user is --broker-user, of sendrel.port --port, and so on (see OPTIONS).
DEFAULTS = {
    "broker": {"host": "localhost", "port": 0, "user": "", "password": "", "tls": False,
               "ca_file": "", "client_id": "sendrel-mqtt", "topics": [], "keepalive": 60},
    "sendrel": sendrel_settings.SERVER_DEFAULTS,
    "events": {"strip": "", "separator": ".", "unsafe": "replace", "retained": False},
    "batch": {"size": 50, "time": 0.02, "retry_min": 0.5, "retry_max": 15.0},
    "log": {"file": ""},
}
UNSAFE_CHOICES = ("replace", "refuse")

EXAMPLE = """\
example:
  sendrel-mqtt --broker mqtt.local --topic 'home/#' --strip home/ --password my-password
    makes a message "21.5" on home/kitchen/temperature the event "kitchen.temperature"
    with the payload "21.5", and {"state": "open", "battery": 87} on home/door the event
    "door" with the payloads "open" and "87".

settings file (TOML; the command line wins over it):
  [broker]
  host = "mqtt.local"        # port 1883, or 8883 with tls = true
  topics = ["home/#", "garden/+/moisture"]
  user = "bridge"
  password = "secret"
  # tls = true, ca_file = "/etc/ssl/certs/my-ca.pem", client_id = "sendrel-mqtt"
  [sendrel]
  host = "127.0.0.1"
  port = 1024
  password = "my-password"
  # encoding = "utf-8"       # how texts become bytes: the host compares bytes
  # source = "192.168.1.5"   # connect from this address of the bridge's machine
  [events]
  strip = "home/"            # taken off the front of the topic
  separator = "."            # stands for each '/' of the rest
  unsafe = "replace"         # or "refuse": line ends and zero bytes in texts
  retained = false           # true: forward what the broker keeps for new subscribers too
  [batch]
  size = 50                  # messages per conversation at most
  time = 0.02                # seconds a batch waits for more messages
  retry_max = 15             # longest pause between tries while the server is away

exit codes: 0 stopped (SIGTERM, Ctrl+C); 1 wrong usage or settings, or no Paho client;
2 the broker cannot be reached at start, or refused the connection; 4 wrong Sendrel
password; 6 any other failure.
"""

# ---- topic and message to event --------------------------------------------------------------

UNSAFE_BYTES = (b"\r", b"\n", b"\0")


class Number(str):
    """A JSON number in the spelling of the message (21.50, 1e3, -0.0, 25 digits): the host
    gets what the sender wrote, not what a float makes of it."""


class JsonObject(list):
    """A JSON object's (key, value) pairs in the order written, a repeated key included."""


def parsed_json(text):
    """The JSON value of text, numbers kept as written; raises ValueError."""
    return json.loads(text, parse_int=Number, parse_float=Number, parse_constant=Number,
                      object_pairs_hook=JsonObject)


def compact_json(value):
    """A parsed value as compact JSON, numbers in their spelling."""
    if isinstance(value, Number):
        return str(value)
    if isinstance(value, JsonObject):
        return "{%s}" % ",".join("%s:%s" % (compact_json(k), compact_json(v)) for k, v in value)
    if isinstance(value, list):
        return "[%s]" % ",".join(compact_json(v) for v in value)
    return json.dumps(value, ensure_ascii=False)


def as_text(value):
    """A JSON value as payload text: strings as they are, numbers as written, true, false
    and an empty text for null; arrays and objects as compact JSON."""
    if isinstance(value, str) and not isinstance(value, Number):
        return value
    if value is None:
        return ""
    return compact_json(value)


def event_for_topic(topic, strip="", separator="."):
    """The event string for a topic: without the prefix strip (when it starts with it), each
    '/' written as separator."""
    if strip and topic.startswith(strip):
        topic = topic[len(strip):]
    return topic.replace("/", separator)


def payloads_for_message(message):
    """The payloads of a message (bytes): the values of a JSON object or array, in order;
    otherwise the message as one payload, without a final line end, as text when it is
    UTF-8 and as the bytes it is when not; none for an empty message."""
    try:
        text = message.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    try:
        value = parsed_json(text) if text is not None else None
        if isinstance(value, JsonObject):
            return [as_text(v) for _, v in value]
        if isinstance(value, list):
            return [as_text(v) for v in value]
    except (ValueError, RecursionError):
        # Not JSON, or nested deeper than Python's stack: one text, as any other message. A
        # failure here would stop the bridge at every start, the broker sending the message
        # again each time.
        pass
    whole = message if text is None else text
    for end in ("\r\n", "\n"):
        if whole.endswith(end if text is not None else end.encode()):
            whole = whole[:-len(end)]
            break
    return [whole] if whole else []


class Refused(Exception):
    """A message that cannot become an event; the text says why."""


def line_bytes(text, what, rules, encoding, notes):
    """A text in the server's encoding (bytes as they are), without line ends and zero bytes,
    which would end or cut its line: each replaced, or the message refused. The server
    compares bytes, so an event matches what the host learned only in the same encoding."""
    if isinstance(text, str):
        try:
            text = text.encode(encoding)
        except UnicodeEncodeError:
            if rules["unsafe"] == "refuse":
                raise Refused("%s cannot write the %s" % (encoding, what)) from None
            notes.append("characters that %s cannot write in the %s replaced" % (encoding, what))
            text = text.encode(encoding, "replace")
    if not any(b in text for b in UNSAFE_BYTES):
        return text
    if rules["unsafe"] == "refuse":
        raise Refused("the %s holds a line end or a zero byte" % what)
    notes.append("line ends and zero bytes in the %s replaced by spaces" % what)
    for b in UNSAFE_BYTES:
        text = text.replace(b, b" ")
    return text


def event_for_message(topic, message, rules, encoding="utf-8"):
    """(event, payloads, notes) as bytes for the server, notes being what was changed; raises
    Refused. rules is the [events] settings table."""
    notes = []
    name = event_for_topic(topic, rules["strip"], rules["separator"])
    event = line_bytes(name, "event", rules, encoding, notes)
    if not event:
        raise Refused("the topic leaves an empty event")
    problem = sendrel_send.text_problem(event, True)
    if problem:
        # The log line names the topic; this names what the topic became.
        raise Refused('the event "%s" cannot be sent: %s' % (name, problem))
    payloads = [line_bytes(p, "payload", rules, encoding, notes)
                for p in payloads_for_message(message)]
    if len(payloads) > sendrel_send.PAYLOADS_PER_EVENT:
        notes.append("kept the first %d of %d payloads (the server keeps no more)"
                     % (sendrel_send.PAYLOADS_PER_EVENT, len(payloads)))
        payloads = payloads[:sendrel_send.PAYLOADS_PER_EVENT]
    if sum(len(p) + 1 for p in payloads) > sendrel_send.PAYLOAD_BYTES_MAX:
        # The server would drop the event without a word.
        raise Refused("the payloads are longer than the server takes (%d bytes together)"
                      % sendrel_send.PAYLOAD_BYTES_MAX)
    return event, payloads, notes


# ---- settings ----------------------------------------------------------------------------------

# (option, table, key, argparse keywords); table None: handled by hand.
OPTIONS = [
    ("--config", None, None, {"metavar": "FILE", "help": "read the settings from this TOML file"}),
    ("--broker", None, None, {"metavar": "HOST[:PORT]",
                              "help": "the MQTT broker (default localhost:1883, 8883 with --tls)"}),
    ("--topic", "broker", "topics", {"metavar": "FILTER", "action": "append",
                                     "help": "a topic filter to subscribe to, + and # allowed "
                                             "(repeatable)"}),
    ("--broker-user", "broker", "user", {"metavar": "NAME"}),
    ("--broker-password", "broker", "password", {"metavar": "TEXT"}),
    ("--tls", "broker", "tls", {"action": "store_const", "const": True,
                                "help": "connect to the broker with TLS"}),
    ("--ca-file", "broker", "ca_file", {"metavar": "FILE",
                                        "help": "CA certificates for TLS (implies --tls)"}),
    ("--client-id", "broker", "client_id", {"metavar": "ID",
                                            "help": "the broker session's name (default "
                                                    "sendrel-mqtt); keep it for the session"}),
] + sendrel_settings.SERVER_OPTIONS + [
    ("--strip", "events", "strip", {"metavar": "PREFIX",
                                    "help": "taken off the front of each topic"}),
    ("--separator", "events", "separator", {"metavar": "TEXT",
                                            "help": "written for each '/' of the topic "
                                                    "(default '.')"}),
    ("--unsafe", "events", "unsafe", {"choices": UNSAFE_CHOICES,
                                      "help": "texts with line ends or zero bytes: replace "
                                              "them by spaces (default) or refuse the message"}),
    ("--retained", "events", "retained", {"action": "store_const", "const": True,
                                          "help": "forward retained messages too (the broker "
                                                  "sends them again at every subscription)"}),
    ("--batch-size", "batch", "size", {"metavar": "N", "type": int}),
    ("--batch-time", "batch", "time", {"metavar": "SECONDS", "type": float}),
    ("--retry-max", "batch", "retry_max", {"metavar": "SECONDS", "type": float}),
    ("--log-file", "log", "file", {"metavar": "FILE",
                                   "help": "append the log here (for pythonw, which has no "
                                           "console)"}),
]


def parse_settings(arguments):
    """The settings from the command line and the file it names; raises Usage."""
    parser = ArgumentParser(
        prog="sendrel-mqtt", epilog=EXAMPLE, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Forwards the messages of MQTT topics to a Sendrel server as events, each "
                    "acknowledged to the broker only once the server has taken it.")
    for option, _, key, keywords in OPTIONS:
        parser.add_argument(option, dest=key or option[2:], **keywords)
    given = parser.parse_args(arguments)
    file_settings = read_toml(given.config) if given.config else {}
    settings = merged_settings(file_settings, DEFAULTS)
    # The settings file to warn about when others can read the Sendrel password in it.
    settings["settings_file"] = given.config if holds_password(file_settings) else None
    for option, table, key, _ in OPTIONS:
        value = getattr(given, key or option[2:])
        if table and value is not None:
            settings[table][key] = value
    broker = settings["broker"]
    if given.broker:
        broker["host"], port = host_and_port(given.broker)
        broker["port"] = port or broker["port"]
    broker["tls"] = broker["tls"] or bool(broker["ca_file"])
    broker["port"] = broker["port"] or (8883 if broker["tls"] else 1883)
    if not broker["topics"]:
        raise Usage("no topic to subscribe to: give --topic FILTER (see --help)")
    sendrel_settings.check_encoding(settings)
    if settings["events"]["unsafe"] not in UNSAFE_CHOICES:
        raise Usage("unsafe in [events] must be replace or refuse")
    batch = settings["batch"]
    if batch["size"] < 1 or batch["time"] < 0 or batch["retry_min"] <= 0 \
            or batch["retry_max"] < batch["retry_min"]:
        raise Usage("batch size must be 1 or more, times 0 or more, and retry_max at least "
                    "retry_min")
    return settings


# ---- the MQTT side -----------------------------------------------------------------------------

def load_paho():
    try:
        import paho.mqtt.client as mqtt
    except ImportError:
        raise sendrel_settings.missing_library("the Paho MQTT client", "bridge",
                                               "python3-paho-mqtt", "paho-mqtt") from None
    return mqtt


def reason_value(code):
    """A Paho 1 result number or a Paho 2 reason code, as a number."""
    return int(getattr(code, "value", code))


def deferred_ack_client(mqtt, client_id):
    """A client that acknowledges QoS 1 messages only when told, and its ack(mid) function.

    Paho 2 does that on request (manual_ack). Paho 1 acknowledges a message as soon as the
    message callback returns, by queueing the PUBACK in _send_puback; the subclass leaves that
    step for later, when ack() queues the same packet, so the network loop goes on receiving
    while the Sendrel server is away. The packet queue takes packets from any thread.
    """
    if hasattr(mqtt, "CallbackAPIVersion"):
        client = mqtt.Client(mqtt.CallbackAPIVersion.VERSION2, client_id=client_id,
                             clean_session=False, protocol=mqtt.MQTTv311, manual_ack=True)
        return client, lambda mid: client.ack(mid, 1)
    if not hasattr(mqtt.Client, "_send_puback"):
        raise Usage("this Paho MQTT client (%s) can neither defer nor hand over the "
                    "acknowledgements; use 1.6 or 2.x" % getattr(mqtt, "VERSION", "?"))

    class Client(mqtt.Client):
        def _send_puback(self, mid):
            return mqtt.MQTT_ERR_SUCCESS

        def ack_now(self, mid):
            return mqtt.Client._send_puback(self, mid)

    client = Client(client_id=client_id, clean_session=False, protocol=mqtt.MQTTv311)
    return client, client.ack_now


# Seconds between tries while the Sendrel server's port refuses the connection.
REFUSED_RETRY = 0.5

Message = collections.namedtuple("Message", "topic payload qos retain mid session received")


# ---- the bridge --------------------------------------------------------------------------------

class Bridge:
    """The broker connection on Paho's network thread, the forwarding on the caller's."""

    def __init__(self, settings):
        self.settings = settings
        self.exit_code = None  # set once the bridge is to stop
        self._changed = threading.Condition()
        self._inbox = collections.deque()
        # Counts the broker connections: a message is acknowledged on the connection it came
        # on or not at all (the broker sends it again on the next one).
        self._session = 0
        self._client = None
        self._ack = None

    # -- on Paho's network thread --

    def _on_connect(self, client, userdata, flags, code, properties=None):
        code = reason_value(code)
        if code != 0:
            # 3: the broker is unavailable for now; every other refusal stays.
            text = "the broker refused the connection (code %d%s)" % (
                code, ": wrong user name or password" if code in (4, 5, 134, 135) else "")
            if code in (3, 136):
                log.warning("%s; trying again", text)
                return
            log.error(text)
            self.stop(EXIT_BROKER)
            return
        with self._changed:
            self._session += 1
            again = self._session > 1
        broker = self.settings["broker"]
        log.info("connected to the broker at %s:%d", broker["host"], broker["port"])
        kept = flags.get("session present") if isinstance(flags, dict) else \
            getattr(flags, "session_present", True)
        if again and not kept:
            log.warning("the broker kept no session for this bridge: what was published "
                        "while the connection was down is lost (is its persistence off?)")
        client.subscribe([(topic, 1) for topic in broker["topics"]])

    def _on_disconnect(self, client, userdata, *rest):
        code = reason_value(rest[-2] if len(rest) >= 2 else rest[0])
        with self._changed:
            self._session += 1
            # What came on the lost connection comes again on the next one.
            self._inbox = collections.deque(m for m in self._inbox if m.qos == 0)
        if self.exit_code is None:
            log.warning("lost the broker connection (code %d); reconnecting", code)

    def _on_subscribe(self, client, userdata, mid, granted, properties=None):
        for topic, code in zip(self.settings["broker"]["topics"], granted):
            if reason_value(code) >= 0x80:
                log.error('the broker refused the subscription to "%s"', topic)
            else:
                log.info('subscribed to "%s"', topic)

    def _on_message(self, client, userdata, message):
        with self._changed:
            self._inbox.append(Message(message.topic, bytes(message.payload), message.qos,
                                       message.retain, message.mid, self._session,
                                       time.monotonic()))
            self._changed.notify_all()

    # -- on the forwarding thread --

    def stop(self, code=EXIT_OK):
        with self._changed:
            if self.exit_code is None:
                self.exit_code = code
            self._changed.notify_all()

    def _pause(self, seconds):
        """Waits, unless the bridge is to stop first."""
        deadline = time.monotonic() + seconds
        with self._changed:
            while self.exit_code is None and time.monotonic() < deadline:
                self._changed.wait(deadline - time.monotonic())

    def _next_batch(self):
        """Up to batch size messages: the first that comes, and what follows it within the
        batch time. Empty when the bridge is to stop."""
        batch_settings = self.settings["batch"]
        with self._changed:
            while self.exit_code is None and not self._inbox:
                self._changed.wait(1.0)  # Ctrl+C cannot end a wait without a time-out on Windows
            if self.exit_code is not None:
                return []
            deadline = self._inbox[0].received + batch_settings["time"]
            while (self.exit_code is None and len(self._inbox) < batch_settings["size"]
                   and time.monotonic() < deadline):
                self._changed.wait(deadline - time.monotonic())
            count = min(len(self._inbox), batch_settings["size"])
            return [self._inbox.popleft() for _ in range(count)]

    def _current(self, batch):
        """The (message, event) pairs of batch still worth sending: QoS 1 messages of an
        earlier broker connection come again."""
        with self._changed:
            return [m for m in batch if m[0].qos == 0 or m[0].session == self._session]

    def _acknowledge(self, batch):
        with self._changed:
            for message, _ in batch:
                if message.qos > 0 and message.session == self._session:
                    self._ack(message.mid)

    def _conversation(self, events):
        """Sends the events as one conversation; returns once the server has taken them all
        or raises SendrelError."""
        server = self.settings["sendrel"]
        sender = sendrel_send.Sender(server["host"], server["port"], server["password"],
                                     timeout=server["timeout"], encoding=server["encoding"],
                                     source=server["source"] or None)
        sender.connect()
        try:
            for event, payloads in events:
                sender.send(event, payloads)
        except sendrel_send.SendrelError:
            sender.abandon()
            raise
        sender.close()
        if sender.unexpected:
            log.warning("%d unexpected bytes from the Sendrel server at %s",
                        len(sender.unexpected), sender.where)

    def _prepared(self, messages):
        """Each message with its (event, payloads), or None when it is refused."""
        batch = []
        for message in messages:
            if message.retain and not self.settings["events"]["retained"]:
                # A retained message comes with every subscription, so at every start and
                # reconnect: it tells a state the host has already had as an event.
                log.info('skipped the retained message on "%s"', message.topic)
                batch.append((message, None))
                continue
            try:
                event, payloads, notes = event_for_message(
                    message.topic, message.payload, self.settings["events"],
                    self.settings["sendrel"]["encoding"])
            except Refused as refusal:
                log.warning('refused the message on "%s": %s', message.topic, refusal)
                batch.append((message, None))
                continue
            for note in notes:
                log.warning('message on "%s": %s', message.topic, note)
            batch.append((message, (event, payloads)))
        return batch

    def check_login(self):
        """One empty conversation, so that a wrong password shows at once; False when the
        server cannot be reached now (the messages then wait at the broker)."""
        try:
            self._conversation([])
        except sendrel_send.WrongPassword:
            raise
        except sendrel_send.SendrelError as error:
            log.warning("%s; messages wait at the broker until it can be reached", error)
            return False
        return True

    def _waiting(self, batch):
        """How many received messages wait for the server, as words."""
        with self._changed:
            count = len(batch) + len(self._inbox)
        return "1 received message waits" if count == 1 else "%d received messages wait" % count

    def forward(self):
        """Forwards batches until the bridge is to stop. A batch that the server did not take
        is sent again before anything newer, so events keep the order of the messages.

        The pause between tries doubles up to retry_max, except while the server's port
        refuses the connection: such a try reaches no server and costs the host nothing, so
        it comes every REFUSED_RETRY seconds and the messages go on soon after the host is
        back. The log tells the failures at the doubling pace all the same."""
        batch_settings = self.settings["batch"]
        retry = batch_settings["retry_min"]
        batch = []
        reported = None  # (the failure's text, when to tell it again) while the server fails
        while self.exit_code is None:
            batch = self._current(batch or self._prepared(self._next_batch()))
            events = [event for _, event in batch if event]
            try:
                if events:
                    self._conversation(events)
            except sendrel_send.WrongPassword as error:
                log.error("%s", error)
                self.stop(EXIT_WRONG_PASSWORD)
                return
            except sendrel_send.SendrelError as error:
                quick = isinstance(error, sendrel_send.NothingListens)
                pause = min(retry, REFUSED_RETRY) if quick else retry
                now = time.monotonic()
                if reported is None or reported[0] != str(error) or now >= reported[1]:
                    log.warning("%s; %s, trying again %s", error, self._waiting(batch),
                                "every %.1f s" % pause if quick else "in %.1f s" % pause)
                    reported = (str(error), now + retry)
                self._pause(pause)
                retry = min(retry * 2, batch_settings["retry_max"])
                continue
            if reported:
                log.info("the Sendrel server took the waiting messages")
            retry = batch_settings["retry_min"]
            reported = None
            self._acknowledge(batch)
            batch = []

    def run(self, mqtt):
        """Connects, subscribes and forwards until stopped; returns the exit code."""
        broker = self.settings["broker"]
        self.check_login()
        self._client, self._ack = deferred_ack_client(mqtt, broker["client_id"])
        client = self._client
        if broker["user"]:
            client.username_pw_set(broker["user"], broker["password"] or None)
        if broker["tls"]:
            client.tls_set(ca_certs=broker["ca_file"] or None)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_subscribe = self._on_subscribe
        client.on_message = self._on_message
        client.reconnect_delay_set(1, 30)
        try:
            client.connect(broker["host"], broker["port"], broker["keepalive"])
        except (OSError, ValueError) as error:
            log.error("cannot reach the broker at %s:%d (%s)", broker["host"], broker["port"],
                      error)
            return EXIT_BROKER
        client.loop_start()
        try:
            self.forward()
        finally:
            client.disconnect()
            client.loop_stop()
        return self.exit_code


def main(arguments=None):
    try:
        settings = parse_settings(sys.argv[1:] if arguments is None else arguments)
        set_up_log(settings["log"]["file"], log)
        warn_if_readable(settings["settings_file"], log)
        mqtt = load_paho()
    except Usage as error:
        if sys.stderr:
            sys.stderr.write("sendrel-mqtt: %s\n" % error)
        return EXIT_USAGE
    except OSError as error:
        if sys.stderr:
            sys.stderr.write("sendrel-mqtt: cannot open the log file (%s)\n" % error)
        return EXIT_USAGE
    bridge = Bridge(settings)
    for name in ("SIGTERM", "SIGINT", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), lambda number, frame: bridge.stop())
    try:
        code = bridge.run(mqtt)
    except sendrel_send.WrongPassword as error:
        log.error("%s", error)
        return EXIT_WRONG_PASSWORD
    except Usage as error:
        log.error("%s", error)
        return EXIT_USAGE
    except Exception:  # a fault of the bridge: what it was goes to the log
        log.exception("stopped by an unexpected failure")
        return EXIT_FAILED
    if code == EXIT_OK:
        log.info("stopped")
    return code


if __name__ == "__main__":
    sys.exit(main())
