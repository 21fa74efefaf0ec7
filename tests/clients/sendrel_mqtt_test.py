"""The MQTT bridge end to end: a real broker, the real plug-in in the reference host, and the
bridge as a user runs it, all on loopback; messages published to the broker must arrive as
events, none lost while the server is stopped or the bridge is killed."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from mqtt_rig import Rig, free_port, wait_until  # noqa: E402

ADDRESS = '"127.0.0.1"'


def numbered(count):
    return [("test/n", b"%d" % i) for i in range(count)]


def numbered_events(count):
    return ['event "n" payloads [%s, "%d"]' % (ADDRESS, i) for i in range(count)]


# name, messages, what happens meanwhile, the events expected in order (None: each one at
# least once, in any order)
CASES = [
    ("text", [("test/kitchen/temperature", b"21.5\n")], None,
     ['event "kitchen.temperature" payloads [%s, "21.5"]' % ADDRESS]),
    ("json", [("test/door", b'{"state": "open", "battery": 87, "low": false, "at": null}')],
     None, ['event "door" payloads [%s, "open", "87", "false", ""]' % ADDRESS]),
    ("retained", [("test/kept", b"old"), ("test/kept", b"new")], "retain the first",
     ['event "kept" payloads [%s, "new"]' % ADDRESS]),
    ("server_stopped", numbered(100), "stop the server", numbered_events(100)),
    # The full pause between tries is ten minutes here: the messages arrive only if the
    # bridge sees the server back without waiting for it.
    ("server_back", numbered(20), "stop the server, with a long pause between tries",
     numbered_events(20)),
    ("bridge_killed", numbered(60), "kill the bridge while the server is stopped", None),
]


class BridgeTest(unittest.TestCase):
    def rig(self):
        rig = Rig()
        self.addCleanup(rig.close)
        rig.start_broker()
        rig.start_server()
        return rig

    @staticmethod
    def long_pause_file(rig):
        path = os.path.join(rig.work, "long_pause.toml")
        with open(path, "w") as out:
            out.write("[batch]\nretry_min = 600\n")
        return path

    @staticmethod
    def start_bridge(rig, *options):
        rig.start_bridge(*options)
        wait_until(lambda: rig.bridge_said("subscribed"), "the bridge's subscription")

    def test_messages_arrive_as_events(self):
        for name, messages, meanwhile, expected in CASES:
            with self.subTest(name):
                rig = self.rig()
                if meanwhile == "retain the first":
                    rig.publish(messages[:1], retain=True)
                    messages = messages[1:]
                long_pause = meanwhile and meanwhile.endswith("long pause between tries")
                self.start_bridge(rig, *(["--config", self.long_pause_file(rig), "--retry-max",
                                          "600"] if long_pause else []))
                if meanwhile and meanwhile.startswith(("stop", "kill")):
                    rig.stop_server()
                    rig.publish(messages[:len(messages) // 2])
                    # A few tries of the bridge fail, a second or so.
                    wait_until(lambda: rig.bridge_said("trying again", 1 if long_pause else 3),
                               "batches not taken")
                    if meanwhile.startswith("kill the bridge"):
                        rig.end(rig.bridge)
                        rig.publish(messages[len(messages) // 2:])
                        rig.start_server()
                        self.start_bridge(rig)
                    else:
                        rig.publish(messages[len(messages) // 2:])
                        rig.start_server()
                else:
                    rig.publish(messages)
                wanted = expected or numbered_events(len(messages))
                wait_until(lambda: set(rig.events()) >= set(wanted), "the events")
                if expected:
                    self.assertEqual(rig.events(), expected)
                else:
                    self.assertEqual(set(rig.events()), set(wanted))

    def test_exit_codes(self):
        rig = self.rig()
        for name, options, code, said in [
                ("wrong password", ["--password", "wrong"], 4, "wrong password"),
                ("no broker", ["--broker", "127.0.0.1:%d" % free_port()], 2,
                 "cannot reach the broker"),
                ("broker refuses the user", ["--broker-user", "bridge", "--broker-password",
                                             "wrong"], 2, "wrong user name or password")]:
            with self.subTest(name):
                rig.start_bridge(*options)
                self.assertEqual(rig.bridge.wait(60), code)
                self.assertTrue(rig.bridge_said(said))


if __name__ == "__main__":
    unittest.main()
