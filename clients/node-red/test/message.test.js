"use strict";
// A message's event and payloads as the bytes the conversation sends, and what is refused.

const { describe, it } = require("node:test");
const assert = require("node:assert");
const { eventLines, Refused } = require("../lib/message");
const { encoderFor } = require("../lib/encodings");

const utf8 = encoderFor("utf-8");

// The lines a message becomes, as text, each payload line shortened to "p:TEXT".
function lines(msg, event = "", encode = utf8) {
    return eventLines(msg, event, encode).toString("latin1").split("\n").slice(0, -1)
        .map((line) => (line.startsWith("payload ") ? "p:" + line.slice(8) : line));
}

describe("a message as an event", () => {
    const cases = [
        // [what, msg, node's event, lines]
        ["a text", { topic: "T", payload: "kitchen" }, "", ["p:kitchen", "T"]],
        ["a text without its final line end", { topic: "T", payload: "on\r\n" }, "", ["p:on", "T"]],
        ["a number as written", { topic: "T", payload: 21.5 }, "", ["p:21.5", "T"]],
        ["zero", { topic: "T", payload: 0 }, "", ["p:0", "T"]],
        ["false", { topic: "T", payload: false }, "", ["p:false", "T"]],
        ["no payload", { topic: "T" }, "", ["T"]],
        ["an empty text", { topic: "T", payload: "" }, "", ["T"]],
        ["an array's items", { topic: "T", payload: ["a", 1, true, null, [1, "x"], { k: 2 }] }, "",
            ["p:a", "p:1", "p:true", "p:", 'p:[1,"x"]', 'p:{"k":2}', "T"]],
        ["an object's values in order", { topic: "T", payload: { state: "open", battery: 87, seen: null } }, "",
            ["p:open", "p:87", "p:", "T"]],
        ["nine payloads", { topic: "T", payload: [1, 2, 3, 4, 5, 6, 7, 8, 9] }, "",
            ["p:1", "p:2", "p:3", "p:4", "p:5", "p:6", "p:7", "p:8", "p:9", "T"]],
        ["a Buffer that is UTF-8 as text", { topic: "T", payload: Buffer.from("Küche") }, "", ["p:K\xc3\xbcche", "T"]],
        ["a Buffer that is not UTF-8 as its bytes", { topic: "T", payload: Buffer.from([0x4b, 0xfc]) }, "", ["p:K\xfc", "T"]],
        ["the node's event before msg.topic", { topic: "T", payload: 1 }, "Fixed", ["p:1", "Fixed"]],
        ["a numeric topic", { topic: 7 }, "", ["7"]],
        ["a carriage return stays", { topic: "T\r" }, "", ["T\r"]],
        ["a character beyond 16 bits", { topic: "T", payload: "\ud83d\ude00" }, "", ["p:\xf0\x9f\x98\x80", "T"]],
        ["an event that only starts like the end line", { topic: "closed" }, "", ["closed"]],
    ];
    for (const [what, msg, event, expected] of cases) {
        it(what, () => assert.deepStrictEqual(lines(msg, event), expected));
    }

    it("writes texts in the server's encoding", () => {
        assert.deepStrictEqual(lines({ topic: "Küche", payload: "€" }, "", encoderFor("cp1252")), ["p:\x80", "K\xfcche"]);
    });
});

describe("a message the server cannot take", () => {
    const longest = "x".repeat(1006 - 1);
    const cases = [
        // [what, msg, node's event, words of the refusal]
        ["no event", { payload: 1 }, "", /no event/],
        ["an empty event", { topic: Buffer.alloc(0) }, "", /empty event/],
        ["an event longer than the server's lines", { topic: "e".repeat(65537) }, "", /65537 bytes/],
        ["the end line", { topic: "close" }, "", /"close"/],
        ["a payload line as event", { topic: "payload x" }, "", /begins with "payload "/],
        ["a line feed in the event", { topic: "a\nb" }, "", /line feed/],
        ["a zero byte in the event", {}, "a\0b", /zero byte/],
        ["a line feed inside a text", { topic: "T", payload: "a\nb" }, "", /line feed/],
        ["a line feed in an array item", { topic: "T", payload: ["ok", "a\n"] }, "", /line feed/],
        ["a zero byte in an object's value", { topic: "T", payload: { v: "a\0" } }, "", /zero byte/],
        ["ten payloads", { topic: "T", payload: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10] }, "", /10 payloads/],
        ["payloads too long together", { topic: "T", payload: [longest, ""] }, "", /longer than the server takes/],
        ["a value JSON cannot write", { topic: "T", payload: [{ n: 1n }] }, "", /JSON/],
    ];
    for (const [what, msg, event, words] of cases) {
        it(what, () => assert.throws(() => eventLines(msg, event, utf8), (error) => error instanceof Refused && words.test(error.message)));
    }

    it("takes payloads and events exactly as long as the server does", () => {
        assert.strictEqual(lines({ topic: "T", payload: [longest] }).length, 2);
        assert.strictEqual(lines({ topic: "e".repeat(65536) }).length, 1);
    });

    const unwritable = [
        // [encoding, payload, words of the refusal]
        ["cp1252", "日本", /cp1252 cannot write "日" \(U\+65E5\)/],
        ["utf-8", "a\ud83d", /utf-8 cannot write a lone surrogate \(U\+D83D\)/],
        ["utf-8", "\ude00b", /utf-8 cannot write a lone surrogate \(U\+DE00\)/],
        ["cp1252", "\ud83d", /cp1252 cannot write a lone surrogate \(U\+D83D\)/],
    ];
    for (const [encoding, payload, words] of unwritable) {
        it(`refuses what ${encoding} cannot write: ${JSON.stringify(payload)}`, () => {
            assert.throws(() => eventLines({ topic: "T", payload }, "", encoderFor(encoding)), (error) => error instanceof Refused && words.test(error.message));
        });
    }
});
