"use strict";
// The reference host serving the native plug-in on a free loopback port, started and stopped
// as a test says, with every event line it prints. The programs come from the environment:
// SENDREL_HOST (the reference host) and SENDREL_PLUGIN (the plug-in's shared library).

const { spawn } = require("node:child_process");
const net = require("node:net");
const readline = require("node:readline");

const DEADLINE_MS = 60000; // only guards against a hang
const CONNECTION_EVENTS = ["Incoming connection", "Accepted connection", "Disconnect", "Incorrect Password", "Blocked connection"];

function required(name) {
    const value = process.env[name];
    if (!value) {
        throw new Error(`${name} is not set: run this test through CTest (out/native: ctest -R node_red)`);
    }
    return value;
}

/** A port that was free a moment ago, below the range the system hands to outgoing
 * connections, so that no client of another test takes it meanwhile. */
async function freePort() {
    for (let tries = 0; tries < 200; tries++) {
        const port = 20000 + Math.floor(Math.random() * 12000);
        const free = await new Promise((resolve) => {
            const probe = net.createServer();
            probe.once("error", () => resolve(false));
            probe.listen(port, () => probe.close(() => resolve(true)));
        });
        if (free) {
            return port;
        }
    }
    throw new Error("no free port");
}

async function until(condition, what, timeout = DEADLINE_MS) {
    const deadline = Date.now() + timeout;
    while (!condition()) {
        if (Date.now() > deadline) {
            throw new Error(`timed out waiting for ${what}`);
        }
        await new Promise((resolve) => setTimeout(resolve, 10));
    }
}

class Host {
    constructor(port) {
        this.port = port;
        this.lines = []; // {at: ms since the epoch, line}, across starts
        this.process = null;
    }

    static async create() {
        return new Host(await freePort());
    }

    async start() {
        const started = this.lines.length;
        const child = spawn(required("SENDREL_HOST"), ["run", "--no-display", "--port", String(this.port), required("SENDREL_PLUGIN")], {
            stdio: ["pipe", "pipe", "inherit"],
        });
        this.process = child;
        const exited = new Promise((resolve) => child.once("exit", resolve));
        this.exited = exited;
        readline.createInterface({ input: child.stdout }).on("line", (line) => {
            this.lines.push({ at: Date.now(), line });
        });
        let ended = false;
        exited.then(() => {
            ended = true;
        });
        const listening = () => this.lines.slice(started).some(({ line }) => line.startsWith("listening"));
        await until(() => listening() || ended, "the reference host");
        if (!listening()) {
            throw new Error(`the reference host did not start: ${JSON.stringify(this.lines.slice(started))}`);
        }
    }

    async stop() {
        this.process.stdin.end("stop\n");
        await this.exited;
        this.process = null;
    }

    /** The event lines as printed, without the server's own connection events. */
    events() {
        return this.lines.map(({ line }) => line).filter((line) => line.startsWith('event "') && !CONNECTION_EVENTS.some((name) => line.startsWith(`event "${name}"`)));
    }

    /** How often the server raised one of its own events. */
    count(name) {
        return this.lines.filter(({ line }) => line.startsWith(`event "${name}"`)).length;
    }
}

module.exports = { Host, freePort, until, DEADLINE_MS };
