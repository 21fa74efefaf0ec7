"use strict";
// A flow's message as the lines of one event, by the MQTT bridge's rules, so that the same
// value becomes the same payloads whichever way it reaches the host:
//
// - the event is the node's event setting, or msg.topic when that is empty;
// - msg.payload gives the payloads: a text or a number as written (a text without one final
//   line end), an array its items, an object its values in order; items and values that are
//   texts, numbers or true/false as written, null as an empty text, arrays and objects as
//   compact JSON; a Buffer its bytes as they are (as text when they are UTF-8); nothing, an
//   empty text or an empty Buffer no payload at all.
//
// What the server cannot take as asked is refused before anything is sent, never changed:
// a line feed or a zero byte (they end or cut a line), more than nine payloads, payloads too
// long together, an empty event or one longer than the server's lines, the end line "close",
// an event that reads as a payload line, a character the encoding cannot write.

const { Unwritable } = require("./encodings");

const PAYLOADS_PER_EVENT = 9;
// The server packs the address and the payloads into 1023 bytes, one of which stays free; the
// address takes at most 16 of them. Beyond that it drops the event without a word.
const PAYLOAD_BYTES_MAX = 1022 - 16;
// The server drops a longer line whole, as one it cannot hold.
const LINE_BYTES_MAX = 64 * 1024;
const END_LINE = "close";
const PAYLOAD_PREFIX = Buffer.from("payload ");
const LINE_FEED = Buffer.from("\n");

/** A message the server cannot take; the text says why. */
class Refused extends Error {}

function isPlainObject(value) {
    const prototype = Object.getPrototypeOf(value);
    return prototype === Object.prototype || prototype === null;
}

// One item or value of a payload as its text (or bytes).
function asText(value) {
    if (value === null || value === undefined) {
        return "";
    }
    if (typeof value === "string") {
        return value;
    }
    if (typeof value === "number" || typeof value === "boolean" || typeof value === "bigint") {
        return String(value);
    }
    if (Buffer.isBuffer(value)) {
        return bytesOrText(value);
    }
    let json;
    try {
        json = JSON.stringify(value);
    } catch (error) {
        throw new Refused(`a payload cannot be written as JSON (${error.message})`);
    }
    return json === undefined ? "" : json;
}

const utf8 = new TextDecoder("utf-8", { fatal: true });

function bytesOrText(buffer) {
    try {
        return utf8.decode(buffer);
    } catch (error) {
        return buffer;
    }
}

function withoutFinalLineEnd(text) {
    for (const end of ["\r\n", "\n"]) {
        if (typeof text === "string" ? text.endsWith(end) : text.subarray(-end.length).equals(Buffer.from(end))) {
            return text.slice(0, text.length - end.length);
        }
    }
    return text;
}

/** The payloads of msg.payload, as texts or Buffers, before any check. */
function payloadsOf(payload) {
    if (payload === null || payload === undefined) {
        return [];
    }
    if (Array.isArray(payload)) {
        return payload.map(asText);
    }
    if (typeof payload === "object" && !Buffer.isBuffer(payload) && isPlainObject(payload)) {
        return Object.values(payload).map(asText);
    }
    const whole = withoutFinalLineEnd(asText(payload));
    return whole.length ? [whole] : [];
}

/** The event of a message: the node's setting, or msg.topic when that is empty. */
function eventOf(msg, configured) {
    if (configured) {
        return configured;
    }
    const topic = msg.topic;
    if (topic === undefined || topic === null || topic === "") {
        throw new Refused("no event: set the node's event, or msg.topic");
    }
    return typeof topic === "string" || Buffer.isBuffer(topic) ? topic : String(topic);
}

function lineBytes(text, what, encode) {
    let bytes;
    try {
        bytes = Buffer.isBuffer(text) ? text : encode(text);
    } catch (error) {
        if (error instanceof Unwritable) {
            throw new Refused(`cannot send the ${what}: ${error.message}`);
        }
        throw error;
    }
    if (bytes.includes(0x0a)) {
        throw new Refused(`cannot send the ${what}: it holds a line feed, which ends a line`);
    }
    if (bytes.includes(0x00)) {
        throw new Refused(`cannot send the ${what}: it holds a zero byte, after which the server loses what arrives with it`);
    }
    return bytes;
}

/** The bytes of one event as the conversation sends it: its payload lines and its event line.
 * Throws Refused for what the server cannot take. */
function eventLines(msg, configuredEvent, encode) {
    const event = lineBytes(eventOf(msg, configuredEvent), "event", encode);
    if (event.length === 0) {
        throw new Refused("cannot send an empty event");
    }
    if (event.length > LINE_BYTES_MAX) {
        throw new Refused(`cannot send an event of ${event.length} bytes: the server drops lines longer than ${LINE_BYTES_MAX}`);
    }
    if (event.equals(Buffer.from(END_LINE))) {
        throw new Refused('cannot send the event "close": the server takes it as the end of the conversation');
    }
    if (event.subarray(0, PAYLOAD_PREFIX.length).equals(PAYLOAD_PREFIX)) {
        throw new Refused("cannot send an event that begins with \"payload \": the server takes it as a payload");
    }
    const payloads = payloadsOf(msg.payload).map((text) => lineBytes(text, "payload", encode));
    if (payloads.length > PAYLOADS_PER_EVENT) {
        throw new Refused(`cannot send ${payloads.length} payloads: the server takes nine at most`);
    }
    if (payloads.reduce((sum, bytes) => sum + bytes.length + 1, 0) > PAYLOAD_BYTES_MAX) {
        throw new Refused(`cannot send the payloads: they are longer than the server takes (${PAYLOAD_BYTES_MAX} bytes together, one counted for each)`);
    }
    const parts = [];
    for (const bytes of payloads) {
        parts.push(PAYLOAD_PREFIX, bytes, LINE_FEED);
    }
    parts.push(event, LINE_FEED);
    return Buffer.concat(parts);
}

module.exports = { Refused, payloadsOf, eventLines, PAYLOADS_PER_EVENT, PAYLOAD_BYTES_MAX };
