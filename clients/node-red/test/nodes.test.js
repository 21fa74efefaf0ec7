"use strict";
// The nodes in Node-RED's runtime against the reference host with the plug-in: what arrives,
// in which order, what is refused, and what the nodes do while the server is away or refuses.

const { describe, it, before, after, afterEach } = require("node:test");
const assert = require("node:assert");
const helper = require("node-red-node-test-helper");
const sendrelNodes = require("../sendrel.js");
const { converse } = require("../lib/conversation");
const { Host, freePort, until } = require("./host");

helper.init(require.resolve("node-red"));

const PASSWORD = "ChgThisPw"; // the native plug-in's default

// A flow of one server and one `sendrel out` node (o1) wired to a helper node (h1).
function flow(port, server = {}, out = {}) {
    return [
        { id: "s1", type: "sendrel-server", host: "127.0.0.1", port, encoding: "utf-8", ...server },
        { id: "o1", type: "sendrel out", server: "s1", event: "", wires: [["h1"]], ...out },
        { id: "h1", type: "helper" },
    ];
}

// What a node does, as the test sees it: its status texts, errors and passed-on messages.
function watch(node, passedOn) {
    const seen = { status: [], errors: [], passed: [] };
    node.on("call:status", (call) => seen.status.push(call.args[0].text));
    node.on("call:error", (call) => seen.errors.push(String(call.args[0])));
    if (passedOn) {
        passedOn.on("input", (msg) => seen.passed.push(msg));
    }
    seen.shows = (text) => until(() => seen.status.includes(text), `the status "${text}" (seen: ${seen.status.join(" | ")})`);
    return seen;
}

async function load(nodes, credentials = { s1: { password: PASSWORD } }) {
    await helper.load(sendrelNodes, nodes, credentials);
    const o1 = helper.getNode("o1");
    return { o1, seen: watch(o1, helper.getNode("h1")) };
}

describe("sendrel out against the plug-in", () => {
    let host;

    before(async () => {
        await new Promise((resolve) => helper.startServer(resolve));
        host = await Host.create();
        await host.start();
    });
    after(async () => {
        if (host.process) {
            await host.stop();
        }
        await new Promise((resolve) => helper.stopServer(resolve));
    });
    afterEach(() => helper.unload());

    it("makes a message the event with its payloads, and passes it on once sent", async () => {
        const { o1, seen } = await load(flow(host.port, { encoding: "cp1252" }));
        o1.receive({ topic: "Küche", payload: { state: "open", level: 21.5, ok: true } });
        await until(() => seen.passed.length === 1, "the message passed on");
        assert.deepStrictEqual(host.events(), ['event "K\\xfcche" payloads ["127.0.0.1", "open", "21.5", "true"]']);
        assert.strictEqual(seen.passed[0].topic, "Küche");
        await seen.shows("sent 1");
    });

    it("refuses what the server cannot take as a node error, and sends nothing of it", async () => {
        const { o1, seen } = await load(flow(host.port, {}, { event: "" }));
        await seen.shows("ready");
        const logins = host.count("Accepted connection");
        o1.receive({ topic: "close" });
        o1.receive({ topic: "Refused", payload: "two\nlines" });
        o1.receive({ topic: "After" });
        await until(() => seen.passed.length === 1, "the message after the refused ones");
        assert.deepStrictEqual(seen.errors.map((text) => /the server takes it as the end|line feed/.test(text)), [true, true]);
        assert.deepStrictEqual(host.events().slice(-1), ['event "After" payloads ["127.0.0.1"]']);
        assert.ok(!host.events().some((line) => line.includes("Refused")));
        assert.strictEqual(host.count("Accepted connection"), logins + 1);
    });

    it("keeps the newest messages while the plug-in is stopped, and sends each once, in order, when it is back", async () => {
        const { o1, seen } = await load(flow(host.port, { queueSize: 25 }, { event: "Queued" }));
        await seen.shows("ready");
        const before = host.events().length;
        await host.stop();
        for (let i = 0; i < 30; i++) {
            o1.receive({ payload: i });
        }
        await seen.shows("unreachable · 25 waiting");
        await host.start();
        await seen.shows("sent 25");
        const expected = Array.from({ length: 25 }, (_, i) => `event "Queued" payloads ["127.0.0.1", "${i + 5}"]`);
        assert.deepStrictEqual(host.events().slice(before), expected);
        assert.deepStrictEqual(seen.passed.map((msg) => msg.payload), Array.from({ length: 25 }, (_, i) => i + 5));
    });

    it("tries a wrong password once, shows it, and fails later messages without trying again", async () => {
        const { o1, seen } = await load(flow(host.port, { source: "127.0.0.7" }, { event: "Never" }), { s1: { password: "wrong" } });
        await seen.shows("wrong password");
        assert.strictEqual(host.count("Incorrect Password"), 1);
        o1.receive({ payload: 1 });
        o1.receive({ payload: 2 });
        await until(() => seen.errors.length === 2, "the errors of both messages");
        assert.ok(seen.errors.every((text) => /wrong password/.test(text)), seen.errors.join("\n"));
        assert.strictEqual(host.count("Incorrect Password"), 1);
        assert.strictEqual(host.count("Incoming connection") - host.count("Accepted connection"), 1);
        assert.ok(!host.events().some((line) => line.includes("Never")));
    });

    it("refuses a password the encoding cannot write without trying it, and without quoting it", async () => {
        const { o1, seen } = await load(flow(host.port, { encoding: "cp1252" }, { event: "Never" }), { s1: { password: "Kennwort-日本" } });
        const s1 = watch(helper.getNode("s1"));
        const tries = host.count("Incoming connection");
        o1.receive({ payload: 1 });
        await until(() => seen.errors.length === 1, "the message's error");
        assert.deepStrictEqual([seen.status, host.count("Incoming connection")], [["unusable settings"], tries]);
        assert.match(seen.errors[0], /password holds a character that cp1252 cannot write/);
        const said = [...seen.errors, ...s1.errors, ...seen.status].join("\n");
        assert.ok(!/[日本]/.test(said), said);
    });

    it("at close fails the messages still waiting, so that a catch node hears of them", async () => {
        const { o1, seen } = await load(flow(await freePort(), {}, { event: "Never" }));
        await seen.shows("unreachable");
        o1.receive({ payload: 1 });
        o1.receive({ payload: 2 });
        await o1.close();
        // The helper reports the node's calls a tick late.
        await until(() => seen.errors.length === 2, "the errors of both messages");
        assert.deepStrictEqual(seen.errors.map((text) => /the node was stopped/.test(text)), [true, true], seen.errors.join("\n"));
    });

    it("once stopping passes nothing on, though its last message is sent", async () => {
        // A second node passes a message on after it, on the same wire: by then the first
        // node's would have arrived.
        const second = { id: "o2", type: "sendrel out", server: "s1", event: "Last", wires: [["h1"]] };
        const { o1, seen } = await load([...flow(host.port, {}, { event: "Last" }), second]);
        await seen.shows("ready");
        o1.receive({ payload: "in flight" });
        await o1.close();
        helper.getNode("o2").receive({ payload: "after" });
        await until(() => seen.passed.length > 0, "the second node's message");
        assert.deepStrictEqual(seen.passed.map((msg) => msg.payload), ["after"]);
        assert.deepStrictEqual(host.events().slice(-2), ['event "Last" payloads ["127.0.0.1", "in flight"]', 'event "Last" payloads ["127.0.0.1", "after"]']);
        assert.deepStrictEqual(seen.errors, []);
    });

    it("backs off while its address is not admitted, and sends once it is", async () => {
        // A failed login from the flow's address makes the plug-in refuse it for 5 s (after a
        // login that succeeds, which sets the plug-in's count of failures back to 0).
        await converse({ host: "127.0.0.1", port: host.port, password: Buffer.from(PASSWORD) }, Buffer.alloc(0));
        await assert.rejects(converse({ host: "127.0.0.1", port: host.port, source: "127.0.0.8", password: Buffer.from("wrong") }, Buffer.alloc(0)), { kind: "wrong-password" });
        const { o1, seen } = await load(flow(host.port, { source: "127.0.0.8" }, { event: "Admitted" }));
        await seen.shows("not admitted");
        o1.receive({ payload: "late" });
        await until(() => seen.passed.length === 1, "the message sent after the block");
        assert.deepStrictEqual(host.events().slice(-1), ['event "Admitted" payloads ["127.0.0.8", "late"]']);
        // Each try from a blocked address is one connection the plug-in turns away.
        assert.ok(host.count("Blocked connection") < 8, `${host.count("Blocked connection")} tries`);
    });

    it("sends a burst of 1000 messages in order, in few conversations", async () => {
        const { o1, seen } = await load(flow(host.port, {}, { event: "Burst" }));
        await seen.shows("ready");
        const before = host.events().length;
        const logins = host.count("Accepted connection");
        for (let i = 0; i < 1000; i++) {
            o1.receive({ payload: i });
        }
        await until(() => seen.passed.length === 1000, "1000 messages passed on");
        const expected = Array.from({ length: 1000 }, (_, i) => `event "Burst" payloads ["127.0.0.1", "${i}"]`);
        assert.deepStrictEqual(host.events().slice(before), expected);
        const conversations = host.count("Accepted connection") - logins;
        assert.ok(conversations <= 30, `${conversations} conversations`);
    });
});
