"use strict";
// The package as users get it: npm-installed into a fresh Node-RED user directory, a real
// Node-RED started headless with the example flow of docs/, and the flow raising events in
// the reference host from a web hook and from its inject button.

const { describe, it, before, after } = require("node:test");
const assert = require("node:assert");
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");
const { Host, freePort, until } = require("./host");

const PACKAGE = path.resolve(__dirname, "..");
const EXAMPLE_FLOW = path.resolve(PACKAGE, "../../docs/sendrel-node-red-flow.json");

describe("the example flow in a real Node-RED", () => {
    let host;
    let work;
    let runtime;
    let output = [];
    let base;
    let flow;

    before(async () => {
        host = await Host.create();
        await host.start();
        work = fs.mkdtempSync(path.join(os.tmpdir(), "sendrel-node-red-"));
        // As a user installs it: a copy of what the package ships, not a link to this folder.
        execFileSync("npm", ["install", "--offline", "--install-links", "--no-audit", "--no-fund", PACKAGE], { cwd: work, stdio: "inherit" });
        flow = JSON.parse(fs.readFileSync(EXAMPLE_FLOW, "utf8"));
        const server = flow.find((node) => node.type === "sendrel-server");
        server.port = host.port;
        fs.writeFileSync(path.join(work, "flows.json"), JSON.stringify(flow));
        // Credentials kept unencrypted, so that the test can write them as the editor would.
        fs.writeFileSync(path.join(work, "flows_cred.json"), JSON.stringify({ [server.id]: { password: "ChgThisPw" } }));
        const port = await freePort();
        fs.writeFileSync(path.join(work, "settings.js"), `module.exports = ${JSON.stringify({
            uiHost: "127.0.0.1", uiPort: port, flowFile: "flows.json", credentialSecret: false,
        })};\n`);
        base = `http://127.0.0.1:${port}`;
        runtime = spawn(process.execPath, [require.resolve("node-red/red.js"), "--userDir", work, "--settings", path.join(work, "settings.js")], {
            stdio: ["ignore", "pipe", "inherit"],
        });
        readline.createInterface({ input: runtime.stdout }).on("line", (line) => output.push(line));
        let exited = false;
        runtime.once("exit", () => {
            exited = true;
        });
        await until(() => exited || output.some((line) => line.includes("Started flows")), "Node-RED to start its flows");
        assert.ok(!exited, `Node-RED ended:\n${output.join("\n")}`);
    });

    after(async () => {
        if (runtime && runtime.exitCode === null) {
            const ended = new Promise((resolve) => runtime.once("exit", resolve));
            runtime.kill("SIGINT");
            await ended;
        }
        await host.stop();
        fs.rmSync(work, { recursive: true, force: true });
    });

    it("shows both nodes in the palette", async () => {
        const sets = await (await fetch(`${base}/nodes`, { headers: { Accept: "application/json" } })).json();
        const ours = sets.find((set) => set.module === "node-red-contrib-sendrel");
        assert.ok(ours, `not among the node sets: ${sets.map((set) => set.module).join(", ")}`);
        assert.deepStrictEqual([ours.types, ours.enabled, ours.err], [["sendrel-server", "sendrel out"], true, undefined]);
        const editor = await (await fetch(`${base}/nodes`, { headers: { Accept: "text/html" } })).text();
        assert.ok(editor.includes('data-help-name="sendrel out"'));
    });

    it("raises the event of a web hook and answers only after that", async () => {
        const answer = await fetch(`${base}/doorbell`, { method: "POST", body: new URLSearchParams({ room: "hall" }) });
        assert.strictEqual(answer.status, 200, await answer.text());
        assert.ok(host.events().includes('event "Doorbell" payloads ["127.0.0.1", "hall"]'), host.events().join("\n"));
    });

    it("raises the event of the inject button", async () => {
        const inject = flow.find((node) => node.type === "inject");
        const pressed = await fetch(`${base}/inject/${inject.id}`, { method: "POST" });
        assert.strictEqual(pressed.status, 200);
        await until(() => host.events().includes('event "Doorbell" payloads ["127.0.0.1", "front door"]'), "the inject's event");
    });
});
