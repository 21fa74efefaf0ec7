"use strict";
// The package as users get it: npm-installed into a fresh Node-RED user directory, a real
// Node-RED started headless with the example flow of docs/, and the flow raising events in
// the reference host from a web hook and from its inject button.

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");
const { Host, until } = require("./host");
const { startNodeRed } = require("./runtime");

const EXAMPLE_FLOW = path.resolve(__dirname, "../../../docs/sendrel-node-red-flow.json");

describe("the example flow in a real Node-RED", () => {
    let host;
    let nodeRed;
    let flow;

    before(async () => {
        host = await Host.create();
        await host.start();
        flow = JSON.parse(fs.readFileSync(EXAMPLE_FLOW, "utf8"));
        const server = flow.find((node) => node.type === "sendrel-server");
        server.port = host.port;
        nodeRed = await startNodeRed(flow, { [server.id]: { password: "ChgThisPw" } });
    });

    after(async () => {
        if (nodeRed) {
            await nodeRed.stop();
        }
        await host.stop();
    });

    it("shows both nodes in the palette", async () => {
        const sets = await (await fetch(`${nodeRed.base}/nodes`, { headers: { Accept: "application/json" } })).json();
        const ours = sets.find((set) => set.module === "node-red-contrib-sendrel");
        assert.ok(ours, `not among the node sets: ${sets.map((set) => set.module).join(", ")}`);
        assert.deepStrictEqual([ours.types, ours.enabled, ours.err], [["sendrel-server", "sendrel out"], true, undefined]);
        const editor = await (await fetch(`${nodeRed.base}/nodes`, { headers: { Accept: "text/html" } })).text();
        assert.ok(editor.includes('data-help-name="sendrel out"'));
    });

    it("raises the event of a web hook and answers only after that", async () => {
        const answer = await fetch(`${nodeRed.base}/doorbell`, { method: "POST", body: new URLSearchParams({ room: "hall" }) });
        assert.strictEqual(answer.status, 200, await answer.text());
        assert.ok(host.events().includes('event "Doorbell" payloads ["127.0.0.1", "hall"]'), host.events().join("\n"));
    });

    it("answers the web hook 503 with the reason when the event cannot be sent", async () => {
        const answer = await fetch(`${nodeRed.base}/doorbell`, { method: "POST", body: new URLSearchParams({ room: "two\nlines" }), signal: AbortSignal.timeout(30000) });
        assert.deepStrictEqual([answer.status, await answer.text()], [503, "Error: cannot send the payload: it holds a line feed, which ends a line"]);
        assert.ok(!host.events().some((line) => line.includes("two")), host.events().join("\n"));
    });

    it("raises the event of the inject button", async () => {
        const inject = flow.find((node) => node.type === "inject");
        const pressed = await fetch(`${nodeRed.base}/inject/${inject.id}`, { method: "POST" });
        assert.strictEqual(pressed.status, 200);
        await until(() => host.events().includes('event "Doorbell" payloads ["127.0.0.1", "front door"]'), "the inject's event");
    });
});
