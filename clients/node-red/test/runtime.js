"use strict";
// A real Node-RED, started headless in a fresh user directory with this package npm-installed
// into it as users install it (from the tarball `npm pack` makes, as the release package holds
// it), running a given flow; for the end-to-end test and the figures.

const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");
const { freePort, until } = require("./host");

const PACKAGE = path.resolve(__dirname, "..");

/** Starts Node-RED with the flow (an array of nodes) and the credentials (by node id);
 * resolves with {base (its URL), output (its lines), stop()} once its flows have started. */
async function startNodeRed(flow, credentials) {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), "sendrel-node-red-"));
    const npm = { cwd: work, stdio: ["ignore", "pipe", "inherit"] };
    const tarball = execFileSync("npm", ["pack", "--silent", "--pack-destination", work, PACKAGE], npm).toString().trim();
    execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", path.join(work, tarball)], npm);
    fs.writeFileSync(path.join(work, "flows.json"), JSON.stringify(flow));
    // Credentials kept unencrypted, so that they can be written here as the editor would.
    fs.writeFileSync(path.join(work, "flows_cred.json"), JSON.stringify(credentials));
    const port = await freePort();
    fs.writeFileSync(path.join(work, "settings.js"), `module.exports = ${JSON.stringify({
        uiHost: "127.0.0.1", uiPort: port, flowFile: "flows.json", credentialSecret: false,
    })};\n`);
    const runtime = spawn(process.execPath, [require.resolve("node-red/red.js"), "--userDir", work, "--settings", path.join(work, "settings.js")], {
        stdio: ["ignore", "pipe", "inherit"],
    });
    const output = [];
    readline.createInterface({ input: runtime.stdout }).on("line", (line) => output.push(line));
    const ended = new Promise((resolve) => runtime.once("exit", resolve));
    let exited = false;
    ended.then(() => {
        exited = true;
    });
    async function stop() {
        if (!exited) {
            runtime.kill("SIGINT");
            await ended;
        }
        fs.rmSync(work, { recursive: true, force: true });
    }
    try {
        await until(() => exited || output.some((line) => line.includes("Started flows")), "Node-RED to start its flows");
        if (exited) {
            throw new Error(`Node-RED ended:\n${output.join("\n")}`);
        }
    } catch (error) {
        await stop();
        throw error;
    }
    return { base: `http://127.0.0.1:${port}`, output, stop };
}

module.exports = { startNodeRed };
