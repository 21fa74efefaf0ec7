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

# name, topic, message, rules, the event and payloads, or a text of the refusal
CASES = [
    ("text is one payload", "a/b", b"21.5", RULES, ("a.b", ["21.5"])),
    ("a final line end goes", "a", b"on\r\n", RULES, ("a", ["on"])),
    ("empty message", "a", b"", RULES, ("a", [])),
    ("prefix stripped, separator set", "home/kitchen/t", b"x", STRIP, ("kitchen_t", ["x"])),
    ("prefix elsewhere kept", "away/home/t", b"x", STRIP, ("away_home_t", ["x"])),
    ("object values in order", "a", b'{"z": "open", "a": 87, "f": 1.5, "b": true, "n": null}',
     RULES, ("a", ["open", "87", "1.5", "true", ""])),
    ("nested values as JSON", "a", b'{"v": [1, {"k": "\\u00e9"}]}', RULES,
     ("a", ['[1,{"k":"\u00e9"}]'])),
    ("array values in order", "a", b'["x", 2]', RULES, ("a", ["x", "2"])),
    ("a JSON number is text", "a", b"7", RULES, ("a", ["7"])),
    ("not UTF-8 kept as bytes", "a", b"\xff\xfe", RULES, ("a", [b"\xff\xfe"])),
    ("texts in the server's encoding", "k\u00fc", '{"v": "\u00e9\u0142"}'.encode(), LATIN,
     ("k\xfc".encode("latin-1"), [b"\xe9?"])),
    ("what it cannot write refused", "a", "\u0142".encode(), dict(LATIN, unsafe="refuse"),
     "latin-1 cannot write the payload"),
    ("line ends and zeros replaced", "a", b"x\ny\0z\rw", RULES, ("a", ["x y z w"])),
    ("zero in a JSON value replaced", "a", b'{"v": "x\\u0000y"}', RULES, ("a", ["x y"])),
    ("line end in the topic replaced", "a\nb", b"", RULES, ("a b", [])),
    ("line end refused", "a", b"x\ny", REFUSE, "line end or a zero byte"),
    ("nine payloads kept", "a", b"[%s]" % b",".join(b"%d" % i for i in range(12)), RULES,
     ("a", [str(i) for i in range(9)])),
    ("too long together", "a", b"x" * 1006, RULES, "longer than the server takes"),
    ("just short enough", "a", b"x" * 1005, RULES, ("a", ["x" * 1005])),
    ("topic all stripped", "home/", b"x", STRIP, "empty event"),
    ("close is the end line", "close", b"", RULES, "end of the conversation"),
    ("payload line", "payload x", b"", RULES, "is a payload"),
]


def as_bytes(text):
    return text if isinstance(text, bytes) else text.encode()


class MappingTest(unittest.TestCase):
    def test_cases(self):
        for name, topic, message, rules, expected in CASES:
            with self.subTest(name):
                try:
                    event, payloads, _ = sendrel_mqtt.event_for_message(
                        topic, message, rules, rules.get("encoding", "utf-8"))
                except sendrel_mqtt.Refused as refusal:
                    self.assertIn(str(expected), str(refusal))
                    continue
                self.assertIsInstance(expected, tuple)
                self.assertEqual((event, payloads),
                                 (as_bytes(expected[0]), [as_bytes(p) for p in expected[1]]))


if __name__ == "__main__":
    unittest.main()
