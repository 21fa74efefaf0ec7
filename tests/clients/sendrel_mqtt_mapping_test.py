"""How the MQTT bridge makes an event of a topic and a message: one table of cases."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "clients"))
import sendrel_mqtt  # noqa: E402

RULES = sendrel_mqtt.DEFAULTS["events"]
REFUSE = dict(RULES, unsafe="refuse")
STRIP = dict(RULES, strip="home/", separator="_")
LATIN = dict(RULES, encoding="latin-1")

# name, topic, message, rules, the event and payloads (and the one note on what was changed,
# where something was), or a text of the refusal
CASES = [
    ("text is one payload", "a/b", b"21.50", RULES, ("a.b", ["21.50"])),
    ("a final line end goes", "a", b"on\r\n", RULES, ("a", ["on"])),
    ("empty message", "a", b"", RULES, ("a", [])),
    ("prefix stripped, separator set", "home/kitchen/t", b"x", STRIP, ("kitchen_t", ["x"])),
    ("prefix elsewhere kept", "away/home/t", b"x", STRIP, ("away_home_t", ["x"])),
    ("object values in order", "a", b'{"z": "open", "a": 87, "b": true, "c": false, "n": null}',
     RULES, ("a", ["open", "87", "true", "false", ""])),
    ("numbers as written", "a", b'[21.50, 1e3, 0.10, -0.0, 2E-7, 1234567890123456789012345]',
     RULES, ("a", ["21.50", "1e3", "0.10", "-0.0", "2E-7", "1234567890123456789012345"])),
    ("nested values as JSON", "a", b'{"v": [1.0, {"k": "\\u00e9", "n": 1e3, "t": null}]}', RULES,
     ("a", ['[1.0,{"k":"\u00e9","n":1e3,"t":null}]'])),
    ("strings unescaped", "a", b'["q\\"b", "t\\tx", "\\u00e9\\/"]', RULES,
     ("a", ['q"b', "t\tx", "\u00e9/"])),
    ("a repeated key kept", "a", b'{"k": 1, "k": 2}', RULES, ("a", ["1", "2"])),
    ("deeper than the stack is text", "a", b"[" * 1000, RULES, ("a", ["[" * 1000])),
    ("not UTF-8 kept as bytes", "a", b"\xff\xfe", RULES, ("a", [b"\xff\xfe"])),
    ("texts in the server's encoding", "k\u00fc", '{"v": "\u00e9\u0142"}'.encode(), LATIN,
     ("k\xfc".encode("latin-1"), [b"\xe9?"], "latin-1 cannot write in the payload")),
    ("what it cannot write refused", "a", "\u0142".encode(), dict(LATIN, unsafe="refuse"),
     "latin-1 cannot write the payload"),
    ("line ends and zeros replaced", "a", b"x\ny\0z\rw", RULES,
     ("a", ["x y z w"], "in the payload replaced by spaces")),
    ("zero in a JSON value replaced", "a", b'{"v": "x\\u0000y"}', RULES,
     ("a", ["x y"], "in the payload replaced by spaces")),
    ("line end in the topic replaced", "a\nb", b"", RULES,
     ("a b", [], "in the event replaced by spaces")),
    ("line end refused", "a", b"x\ny", REFUSE, "line end or a zero byte"),
    ("nine payloads kept", "a", b"[%s]" % b",".join(b"%d" % i for i in range(12)), RULES,
     ("a", [str(i) for i in range(9)], "kept the first 9 of 12 payloads")),
    ("too long together", "a", b"x" * 1006, RULES, "longer than the server takes"),
    ("just short enough", "a", b"x" * 1005, RULES, ("a", ["x" * 1005])),
    ("topic all stripped", "home/", b"x", STRIP, "empty event"),
    ("close is the end line", "home/close", b"", STRIP, 'the event "close" cannot be sent: '
     "the server takes the line 'close' as the end of the conversation"),
    ("payload line", "payload x", b"", RULES, "is a payload"),
]


def as_bytes(text):
    return text if isinstance(text, bytes) else text.encode()


class MappingTest(unittest.TestCase):
    def test_cases(self):
        for name, topic, message, rules, expected in CASES:
            with self.subTest(name):
                try:
                    event, payloads, notes = sendrel_mqtt.event_for_message(
                        topic, message, rules, rules.get("encoding", "utf-8"))
                except sendrel_mqtt.Refused as refusal:
                    self.assertIn(str(expected), str(refusal))
                    continue
                self.assertIsInstance(expected, tuple)
                self.assertEqual((event, payloads),
                                 (as_bytes(expected[0]), [as_bytes(p) for p in expected[1]]))
                # Every change the bridge makes to a message is a log line.
                self.assertEqual(len(notes), len(expected) - 2, notes)
                for note in notes:
                    self.assertIn(expected[2], note)


if __name__ == "__main__":
    unittest.main()
