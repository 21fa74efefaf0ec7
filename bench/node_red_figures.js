#!/usr/bin/env node
"use strict";
// Figures for the Node-RED node (not a test), in a real headless Node-RED with the reference
// host serving the native plug-in, both on this machine:
//   - events a second from an inject burst: one press makes a function node send N messages
//     (default 10 000) to a `sendrel out` node; from the press to the host's line for the last;
//   - the catch-up: with the host stopped, a press queues 1 000 messages; from the host's
//     "listening" line after its start to its line for the last of them.
//
//     bash scripts/build.sh native reference_host sendrel && bash scripts/setup.sh --node-red-tests
//     node bench/node_red_figures.js [N] [RUNS]

const path = require("node:path");
const root = path.resolve(__dirname, "..");
const nodeRedPackage = path.join(root, "clients/node-red");
process.env.SENDREL_HOST = process.env.SENDREL_HOST || path.join(root, "out/native/tools/reference_host");
process.env.SENDREL_PLUGIN = process.env.SENDREL_PLUGIN || path.join(root, "out/native/libsendrel.so");
const { Host, until } = require(path.join(nodeRedPackage, "test/host"));
const { startNodeRed } = require(path.join(nodeRedPackage, "test/runtime"));

const BURST = Number(process.argv[2]) || 10000;
const RUNS = Number(process.argv[3]) || 5;
const WAITING = 1000;

function flow(port) {
    const z = "f1";
    return [
        { id: z, type: "tab", label: "figures" },
        { id: "server", type: "sendrel-server", host: "127.0.0.1", port, encoding: "utf-8", queueSize: 20000 },
        { id: "burst", type: "inject", z, props: [{ p: "payload" }], payload: String(BURST), payloadType: "num", wires: [["loop"]] },
        { id: "waiting", type: "inject", z, props: [{ p: "payload" }], payload: String(WAITING), payloadType: "num", wires: [["loop"]] },
        { id: "loop", type: "function", z, func: "for (let i = 0; i < msg.payload; i++) {\n    node.send({ payload: i });\n}\nreturn null;", outputs: 1, wires: [["out"]] },
        { id: "out", type: "sendrel out", z, server: "server", event: "n", wires: [[]] },
    ];
}

const press = (base, id) => fetch(`${base}/inject/${id}`, { method: "POST" });
const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];

(async () => {
    const host = await Host.create();
    await host.start();
    const nodeRed = await startNodeRed(flow(host.port), { server: { password: "ChgThisPw" } });
    try {
        const rates = [];
        for (let run = 0; run < RUNS; run++) {
            const before = host.events().length;
            const logins = host.count("Accepted connection");
            const started = Date.now();
            await press(nodeRed.base, "burst");
            await until(() => host.events().length >= before + BURST, "the burst", 600000);
            const last = host.lines.filter(({ line }) => line.startsWith('event "n"'))[before + BURST - 1];
            const seconds = (last.at - started) / 1000;
            rates.push(BURST / seconds);
            console.log(`burst of ${BURST}: ${seconds.toFixed(2)} s, ${Math.round(BURST / seconds)} events/s, ${host.count("Accepted connection") - logins} conversations`);
        }
        console.log(`median: ${Math.round(median(rates))} events/s`);

        const delays = [];
        for (let run = 0; run < RUNS; run++) {
            const before = host.events().length;
            await host.stop();
            await press(nodeRed.base, "waiting");
            // The messages wait in the node within milliseconds; this only lets the node's
            // first tries find the port closed, as they would while a host is away, and puts
            // the host's return at any point between two of them.
            await new Promise((resolve) => setTimeout(resolve, 2000 + Math.random() * 500));
            const from = host.lines.length;
            await host.start();
            const listening = host.lines.slice(from).find(({ line }) => line.startsWith("listening")).at;
            await until(() => host.events().length >= before + WAITING, "the waiting messages", 600000);
            const last = host.lines.filter(({ line }) => line.startsWith('event "n"'))[before + WAITING - 1];
            delays.push(last.at - listening);
            console.log(`${WAITING} waiting: the last arrived ${last.at - listening} ms after the host listened again`);
        }
        console.log(`median: ${median(delays)} ms, from ${Math.min(...delays)} to ${Math.max(...delays)} ms`);
    } finally {
        await nodeRed.stop();
        if (host.process) {
            await host.stop();
        }
    }
})().catch((error) => {
    console.error(error);
    process.exit(1);
});
