"use strict";
// What a node's status shows, and when it changes by itself.

const { describe, it } = require("node:test");
const assert = require("node:assert");
const { statusFor } = require("../lib/status");

describe("a node's status", () => {
    const cases = [
        // [dispatcher's state, sent, waiting, waited (ms), text, changes by itself in (ms)]
        ["starting", 0, 2, 0, "connecting · 2 waiting", null],
        ["ready", 0, 0, 0, "ready", null],
        ["ready", 5, 0, 0, "sent 5", null],
        // A message between arrival and its conversation's end is not worth a change.
        ["ready", 5, 1, 20, "sent 5", 980],
        ["ready", 5, 3, 1000, "sent 5 · 3 waiting", null],
        ["unreachable", 5, 3, 0, "unreachable · 3 waiting", null],
        ["wrong password", 0, 0, 0, "wrong password", null],
    ];
    for (const [state, sent, waiting, waited, text, changesIn] of cases) {
        it(`${state}, ${sent} sent, ${waiting} waiting for ${waited} ms: ${text}`, () => {
            const shown = statusFor({ state }, { sent, waiting, waitingSince: 10000 - waited }, 10000);
            assert.deepStrictEqual([shown.status.text, shown.changesIn], [text, changesIn]);
        });
    }
});
