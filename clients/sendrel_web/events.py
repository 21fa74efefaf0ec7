"""A request's body as the events the Sendrel server will take as asked, or the reason it
won't; and how a failed conversation is answered."""

import json
import urllib.parse

import sendrel_send

EVENTS_PER_REQUEST_MAX = 100


class Refused(Exception):
    """What a request asked for cannot be sent; status and reason go to the client."""

    def __init__(self, text, status=400, reason="refused", headers=None):
        super().__init__(text)
        self.text, self.status, self.reason, self.headers = text, status, reason, headers


def events_from(value, encoding):
    """The events of a request's JSON value (one object, or an array of them) as (event,
    payloads) in the server's bytes; raises Refused for anything the server would not take
    as asked (reporting it sent would be wrong)."""
    items = value if isinstance(value, list) else [value]
    if not items or len(items) > EVENTS_PER_REQUEST_MAX:
        raise Refused("a request holds 1 to %d events" % EVENTS_PER_REQUEST_MAX)
    events = []
    for item in items:
        if not isinstance(item, dict) or set(item) - {"event", "payloads"}:
            raise Refused('each event is an object with "event" and, optionally, "payloads"')
        event, payloads = item.get("event"), item.get("payloads", [])
        if not isinstance(event, str) or not isinstance(payloads, list) or \
                not all(isinstance(p, str) for p in payloads):
            raise Refused('"event" must be a text or a number, and "payloads" a list of texts '
                          'and numbers')
        if not event:
            raise Refused("an empty event cannot be sent")
        for text in [event] + payloads:
            check_whole(text)
        try:
            line = sendrel_send.encoded(event, "event", encoding, is_event=True)
            texts = [sendrel_send.encoded(p, "payload", encoding) for p in payloads]
        except ValueError as error:
            raise Refused(str(error)) from None
        # The server would drop these without a word.
        problems = sendrel_send.payload_warnings(event, texts)
        if problems:
            raise Refused("cannot send: " + "; ".join(problems))
        events.append((line, texts))
    return events


def check_whole(text):
    """Refuses a text with a lone surrogate (JSON's \\ud800 alone): no encoding writes one,
    and passing it on as some bytes would send what was not asked."""
    for character in text:
        if "\ud800" <= character <= "\udfff":
            raise Refused("the text %s holds a lone surrogate (U+%04X), which is no character"
                          % (json.dumps(text[:40]), ord(character)), reason="invalid-text")


def form_fields(body):
    """A form-encoded body's fields, decoded strictly: a byte that is not UTF-8, raw or
    percent-encoded, refuses the form rather than arrive as a replacement character."""
    try:
        return urllib.parse.parse_qs(body.decode("utf-8"), keep_blank_values=True,
                                     encoding="utf-8", errors="strict")
    except UnicodeDecodeError as error:
        raise Refused("the form is not UTF-8 (%s)" % error.reason,
                      reason="invalid-text") from None


def not_json(constant):
    raise ValueError("%s is no JSON number" % constant)


def value_of_json(body):
    """A JSON body as its value, each number as the text it is written as (21.50, 1e3, -0.0):
    the host gets what the sender wrote, as from the MQTT bridge, not what a float makes of
    it. NaN and Infinity, which are not JSON, are refused."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise Refused("the body is not UTF-8", reason="invalid-text") from None
    try:
        return json.loads(text, parse_int=str, parse_float=str, parse_constant=not_json)
    except RecursionError:  # the parser's own bound on nesting, far above any request's
        raise Refused("the JSON is nested too deeply") from None
    except ValueError as error:
        raise Refused("the body is not JSON (%s)" % error) from None


def value_of_form(body):
    """A form-encoded body's event and payloads as the JSON value they stand for."""
    if body.lstrip()[:1] in (b"{", b"["):
        # curl -d sends JSON as a form unless told otherwise.
        raise Refused("the body looks like JSON but came as a form: send it with the header "
                      "Content-Type: application/json", 415, "media-type")
    fields = form_fields(body)
    if set(fields) - {"event", "payloads"} or len(fields.get("event", [])) != 1:
        raise Refused("a form holds one field event and any number of fields payloads")
    return {"event": fields["event"][0], "payloads": fields.get("payloads", [])}


# How a conversation that failed is answered, the most particular first.
FAILURE_ANSWERS = [
    (sendrel_send.CannotConnect, 503, "unreachable"),
    (sendrel_send.CloseNotice, 503, "stopping"),
    (sendrel_send.NotAdmitted, 502, "not-admitted"),
    (sendrel_send.WrongPassword, 502, "wrong-password"),
    (sendrel_send.SendrelError, 502, "failed"),
]


def refusal_for(error):
    for kind, status, reason in FAILURE_ANSWERS:
        if isinstance(error, kind):
            return Refused("not sent: %s" % error, status, reason)
    raise error
