"use strict";
// What a `sendrel out` node's status shows of its server and of its own messages.

const { STARTING, READY } = require("./dispatcher");

// While the server takes events, a message waits a few milliseconds for its conversation: at
// a steady pace of messages the status would change twice for each. It tells of waiting
// messages only once one has waited this long.
const WAITING_SHOWN_AFTER_MS = 1000;

/** The status of the node whose messages `sender` holds, at the dispatcher's clock time
 * `now`, and in how many milliseconds it changes by itself (null: only with the next change). */
function statusFor(dispatcher, sender, now) {
    const waiting = sender.waiting ? ` · ${sender.waiting} waiting` : "";
    switch (dispatcher.state) {
        case STARTING:
            return { status: { fill: "grey", shape: "ring", text: `connecting${waiting}` }, changesIn: null };
        case READY: {
            const waited = sender.waiting ? now - sender.waitingSince : 0;
            if (waited >= WAITING_SHOWN_AFTER_MS) {
                return { status: { fill: "yellow", shape: "dot", text: `sent ${sender.sent}${waiting}` }, changesIn: null };
            }
            const text = sender.sent ? `sent ${sender.sent}` : "ready";
            return { status: { fill: "green", shape: "dot", text }, changesIn: sender.waiting ? WAITING_SHOWN_AFTER_MS - waited : null };
        }
        default: // unreachable, not admitted, wrong password
            return { status: { fill: "red", shape: "ring", text: `${dispatcher.state}${waiting}` }, changesIn: null };
    }
}

module.exports = { statusFor, WAITING_SHOWN_AFTER_MS };
