"use strict";
// What a conversation makes of each way a server may end it, against a scripted server on
// loopback: only a close after our end line, with nothing but silence before, counts as sent.

const { describe, it } = require("node:test");
const assert = require("node:assert");
const net = require("node:net");
const { converse } = require("../lib/conversation");

// A server that logs the client in (when `login`), reads until the client's end line, then
// ends as `end` says: "close", "notice" (the server's close notice, then close), "reset".
function scriptedServer({ login = "accept", end = "close" }) {
    return net.createServer((socket) => {
        let received = "";
        let step = 0;
        socket.on("error", () => {});
        socket.on("data", (chunk) => {
            received += chunk.toString("latin1");
            if (step === 0 && received.includes("\n")) {
                step = 1;
                if (login === "none") {
                    socket.end();
                } else {
                    socket.write("00ab\n");
                }
            } else if (step === 1 && received.split("\n").length > 2) {
                step = 2;
                if (login === "refuse") {
                    socket.end();
                } else {
                    socket.write("accept\n");
                }
            } else if (step === 2 && received.endsWith("close\n")) {
                step = 3;
                if (end === "notice") {
                    socket.end("close\n\0");
                } else if (end === "reset") {
                    socket.resetAndDestroy();
                } else {
                    socket.end();
                }
            }
        });
    });
}

async function outcome(script) {
    const server = scriptedServer(script);
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    try {
        return await converse({ host: "127.0.0.1", port: server.address().port, password: Buffer.from("pw"), timeout: 5000 }, Buffer.from("ev\n"))
            .then((unexpected) => `sent (${unexpected} unexpected bytes)`, (error) => error.kind);
    } finally {
        server.close();
    }
}

describe("how a conversation ends", () => {
    const cases = [
        // [what the server does, outcome]
        ["closes after the end line", {}, "sent (0 unexpected bytes)"],
        ["closes before its challenge", { login: "none" }, "not-admitted"],
        ["closes without accepting the login", { login: "refuse" }, "wrong-password"],
        ["sends its close notice instead of closing", { end: "notice" }, "stopping"],
        ["resets the connection after the end line", { end: "reset" }, "failed"],
    ];
    for (const [what, script, expected] of cases) {
        it(what, async () => assert.strictEqual(await outcome(script), expected));
    }
});
