"""The MQTT bridge's forwarding against fake Sendrel servers, without a broker: a batch is
acknowledged to the broker only once the server has closed its conversation."""

import os
import sys
import threading
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "clients"))
sys.path.insert(0, HERE)
import sendrel_mqtt  # noqa: E402
from clients_test import FakeServer, login  # noqa: E402

DEADLINE = 60.0  # seconds: only guards against a hang


class ForwardTest(unittest.TestCase):
    def test_a_batch_lost_before_the_servers_close_is_sent_again(self):
        # The first server resets once the end line came, instead of closing: it may not have
        # taken the events. The second closes as a server does.
        server = FakeServer(login() + ["drain", "reset"], login() + ["drain"])
        bridge = sendrel_mqtt.Bridge(sendrel_mqtt.parse_settings(
            ["--topic", "t/#", "--port", str(server.port), "--batch-time", "0"]))
        acknowledged = []
        bridge._ack = acknowledged.append
        for mid in (1, 2):
            bridge._on_message(None, None, types.SimpleNamespace(
                topic="t/e", payload=b"%d" % mid, qos=1, retain=False, mid=mid))
        forwarding = threading.Thread(target=bridge.forward)
        forwarding.start()
        self.assertTrue(server.done.wait(DEADLINE))
        bridge.stop()
        forwarding.join(DEADLINE)
        events = b"payload 1\nt.e\npayload 2\nt.e\nclose\n"
        self.assertEqual([received[-len(events):] for received in server.received],
                         [events, events])
        self.assertEqual(acknowledged, [1, 2])

    def test_a_batch_of_a_lost_broker_connection_is_not_acknowledged_on_the_next(self):
        # The broker connection is lost while the server takes the batch. Its message ids
        # belong to the lost connection: acknowledged on the next one, they would acknowledge
        # whatever the broker sent there under the same ids, before it was forwarded.
        bridge = sendrel_mqtt.Bridge(sendrel_mqtt.parse_settings(
            ["--topic", "t/#", "--batch-time", "0"]))
        acknowledged = []
        bridge._ack = acknowledged.append
        bridge._on_message(None, None, types.SimpleNamespace(
            topic="t/e", payload=b"1", qos=1, retain=False, mid=1))
        sent = []

        def conversation(events):
            sent.append(events)
            bridge._on_disconnect(None, None, 7)  # Paho 1's arguments: the reason code
            bridge.stop()
        bridge._conversation = conversation
        bridge.forward()
        self.assertEqual(sent, [[(b"t.e", [b"1"])]])
        self.assertEqual(acknowledged, [])


if __name__ == "__main__":
    unittest.main()
