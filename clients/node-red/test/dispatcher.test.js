"use strict";
// The queue and its conversations on a clock of the test's own and a scripted server: the
// pauses between tries, the queue's bounds, a wrong password, and nodes and servers stopping.

const { describe, it } = require("node:test");
const assert = require("node:assert");
const { Dispatcher } = require("../lib/dispatcher");
const kinds = require("../lib/conversation");

// A dispatcher whose conversations and pauses the test ends, one by one.
function scripted(options = {}) {
    const run = { timers: [], conversations: [], log: [], outcomes: [] };
    const clock = {
        now: () => 0,
        setTimeout: (fire, ms) => run.timers.push({ fire, ms }) && run.timers[run.timers.length - 1],
        clearTimeout: (timer) => run.timers.includes(timer) && run.timers.splice(run.timers.indexOf(timer), 1),
    };
    run.dispatcher = new Dispatcher({
        converse: (lines) => new Promise((resolve, reject) => run.conversations.push({ lines: lines.toString(), end: (error) => (error ? reject(error) : resolve(0)) })),
        log: { info: (text) => run.log.push(`info: ${text}`), warn: (text) => run.log.push(`warn: ${text}`) },
        clock,
        ...options,
    });
    run.sender = run.dispatcher.join(() => {});
    run.send = (text, sender = run.sender) => run.dispatcher.send({
        lines: Buffer.from(`${text}\n`),
        sender,
        sent: () => run.outcomes.push(`sent ${text}`),
        failed: (error) => run.outcomes.push(`failed ${text}: ${error.message}`),
    });
    // Ends the newest conversation, and lets the dispatcher act on it.
    run.end = async (error) => {
        run.conversations[run.conversations.length - 1].end(error);
        await new Promise(setImmediate);
    };
    run.pause = () => run.timers.length && run.timers.shift().fire();
    return run;
}

const lost = () => new kinds.SendrelError(kinds.FAILED, "the connection was lost");
const refused = () => new kinds.SendrelError(kinds.NOTHING_LISTENS, "connection refused");

describe("the pause before the next try", () => {
    const cases = [
        // [what, outcomes of the conversations (null: taken), pauses after each failure]
        ["doubles from 0.5 s to 15 s", [lost, lost, lost, lost, lost, lost, lost], [500, 1000, 2000, 4000, 8000, 15000, 15000]],
        ["stays at 0.5 s while the port refuses connections", [lost, lost, refused, refused], [500, 1000, 500, 500]],
        ["starts from 0.5 s again after a conversation was taken", [lost, lost, lost, null, lost], [500, 1000, 2000, 500]],
    ];
    for (const [what, script, expected] of cases) {
        it(what, async () => {
            const run = scripted();
            const pauses = [];
            run.send("e");
            for (const outcome of script) {
                await run.end(outcome && outcome());
                if (run.timers.length) {
                    pauses.push(run.timers[0].ms);
                    run.pause();
                } else {
                    run.send("e");
                }
            }
            assert.deepStrictEqual(pauses, expected);
        });
    }
});

describe("the queue while the server cannot take events", () => {
    it("keeps the newest by bytes too", async () => {
        const run = scripted({ queueBytes: 10 });
        run.dispatcher.check();
        ["aaa", "bbb", "ccc", "ddd"].forEach((text) => run.send(text));
        await run.end();
        await run.end();
        const limits = "(10000 messages or 10 bytes)";
        assert.deepStrictEqual(run.outcomes, [`failed aaa: not sent: dropped from the full queue ${limits} while the server could not be reached`,
            `failed bbb: not sent: dropped from the full queue ${limits} while the server could not be reached`, "sent ccc", "sent ddd"]);
    });

    it("warns once each time it fills by count, and sums up once it is empty", async () => {
        const run = scripted({ queueSize: 2 });
        run.dispatcher.check();
        ["a", "b", "c", "d", "e", "f"].forEach((text) => run.send(text));
        await run.end(refused());
        run.pause();
        await run.end();
        ["g", "h", "i", "j"].forEach((text) => run.send(text));
        const full = "warn: the queue is full (2 messages or 16 MB): dropping the oldest messages until the server takes them";
        assert.deepStrictEqual(run.log, [full, "warn: connection refused; 2 messages wait", "info: the server takes events again",
            "warn: 4 messages were dropped from the full queue in all", full]);
        assert.deepStrictEqual(run.conversations.map((conversation) => conversation.lines), ["", "e\nf\n", "g\n"]);
    });
});

it("tries a wrong password once: the waiting and later events fail, and no pause is taken", async () => {
    const run = scripted();
    run.dispatcher.check();
    run.send("a");
    await run.end(new kinds.SendrelError(kinds.WRONG_PASSWORD, "wrong password"));
    run.send("b");
    assert.deepStrictEqual([run.conversations.length, run.timers.length, run.outcomes], [1, 0,
        ["failed a: not sent: wrong password", "failed b: not sent: wrong password; correct the password and deploy"]]);
});

describe("stopping", () => {
    const cases = [
        // [the running conversation's end, the outcome of the leaving node's event in it]
        [undefined, "sent a"],
        [lost(), "failed a: not sent: the node was stopped, and the connection was lost"],
    ];
    for (const [end, outcome] of cases) {
        it(`a node's queued events fail at once, its running one ends "${outcome}", others' still go`, async () => {
            const run = scripted();
            run.send("a");
            run.send("b");
            run.send("c", run.dispatcher.join(() => {}));
            let left = false;
            run.sender.leave().then(() => (left = true));
            run.send("d");
            await new Promise(setImmediate);
            assert.strictEqual(left, false, "left while its event was in a conversation");
            await run.end(end);
            run.pause(); // none after a conversation taken
            await run.end();
            assert.deepStrictEqual([left, run.conversations.map((conversation) => conversation.lines), run.outcomes], [true, ["a\n", "c\n"], [
                "failed b: not sent: the node was stopped before the server took it",
                "failed d: not sent: the node is being stopped", outcome, "sent c"]]);
        });
    }

    it("a server's queued events fail once its running conversation ended, and nothing starts after", async () => {
        const run = scripted();
        run.dispatcher.check();
        run.send("a");
        let closed = false;
        run.dispatcher.close().then(() => (closed = true));
        await new Promise(setImmediate);
        assert.deepStrictEqual([closed, run.outcomes], [false, []]);
        await run.end();
        assert.deepStrictEqual([closed, run.outcomes, run.conversations.length], [true, ["failed a: not sent: the node was stopped before the server took it"], 1]);
    });
});
