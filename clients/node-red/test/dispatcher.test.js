"use strict";
// The queue and its conversations on a clock of the test's own and a scripted server: the
// pauses between tries, the queue's bounds, a wrong password, and nodes and servers stopping.

const { describe, it } = require("node:test");
const assert = require("node:assert");
const { Dispatcher } = require("../lib/dispatcher");
const kinds = require("../lib/conversation");

// A dispatcher whose conversations the test ends one by one, and whose pauses it ends at will.
function scripted(options = {}) {
    const timers = [];
    const clock = {
        now: () => 0,
        setTimeout: (fire, ms) => {
            const timer = { fire, ms };
            timers.push(timer);
            return timer;
        },
        clearTimeout: (timer) => timers.includes(timer) && timers.splice(timers.indexOf(timer), 1),
    };
    const conversations = []; // {lines (text), end(error?)}
    const log = [];
    const outcomes = [];
    const dispatcher = new Dispatcher({
        converse: (lines) => new Promise((resolve, reject) => {
            conversations.push({ lines: lines.toString(), end: (error) => (error ? reject(error) : resolve(0)) });
        }),
        log: { info: (text) => log.push(`info: ${text}`), warn: (text) => log.push(`warn: ${text}`) },
        clock,
        ...options,
    });
    const self = {
        dispatcher, timers, conversations, log, outcomes,
        sender: dispatcher.join(() => {}),
        send(text, sender = self.sender) {
            dispatcher.send({
                lines: Buffer.from(`${text}\n`),
                sender,
                sent: () => outcomes.push(`sent ${text}`),
                failed: (error) => outcomes.push(`failed ${text}: ${error.message}`),
            });
        },
        // Ends the newest conversation and lets the dispatcher act on it.
        async end(error) {
            conversations[conversations.length - 1].end(error);
            await new Promise(setImmediate);
        },
        // Ends the pending pause; returns its length.
        pause() {
            assert.strictEqual(timers.length, 1, "one pause pending");
            const timer = timers.shift();
            timer.fire();
            return timer.ms;
        },
    };
    return self;
}

const lost = () => new kinds.SendrelError(kinds.FAILED, "the connection was lost");
const refused = () => new kinds.SendrelError(kinds.NOTHING_LISTENS, "connection refused");

describe("the pause before the next try", () => {
    const cases = [
        // [what, outcomes of the conversations (null: taken), pauses after each failure]
        ["doubles from 0.5 s to 15 s while conversations fail", [lost, lost, lost, lost, lost, lost, lost],
            [500, 1000, 2000, 4000, 8000, 15000, 15000]],
        ["stays at 0.5 s while the port refuses connections", [lost, lost, refused, refused], [500, 1000, 500, 500]],
        ["starts again from 0.5 s after a conversation was taken", [lost, lost, lost, null, lost], [500, 1000, 2000, 500]],
    ];
    for (const [what, script, expected] of cases) {
        it(what, async () => {
            const run = scripted();
            const pauses = [];
            run.send("e");
            for (const outcome of script) {
                await run.end(outcome && outcome());
                if (run.timers.length) {
                    pauses.push(run.pause());
                } else {
                    run.send("e");
                }
            }
            assert.deepStrictEqual(pauses, expected);
        });
    }
});

describe("the queue while the server cannot take events", () => {
    const cases = [
        // [what, options, events sent while the first login runs, the events that failed, limits]
        ["keeps the newest by count", { queueSize: 3 }, ["a", "b", "c", "d", "e"], ["a", "b"], "3 messages or 16 MB"],
        ["keeps the newest by bytes", { queueBytes: 10 }, ["aaa", "bbb", "ccc", "ddd"], ["aaa", "bbb"], "10000 messages or 10 bytes"],
    ];
    for (const [what, options, texts, dropped, limits] of cases) {
        it(what, async () => {
            const run = scripted(options);
            run.dispatcher.check();
            texts.forEach((text) => run.send(text));
            assert.deepStrictEqual(run.outcomes, dropped.map((text) => `failed ${text}: not sent: dropped from the full queue (${limits}) while the server could not be reached`));
            await run.end();
            await run.end();
            assert.deepStrictEqual(run.outcomes.slice(dropped.length), texts.slice(dropped.length).map((text) => `sent ${text}`));
        });
    }

    it("warns once each time it fills, and sums up once it is empty", async () => {
        const run = scripted({ queueSize: 2 });
        run.dispatcher.check();
        ["a", "b", "c", "d", "e", "f"].forEach((text) => run.send(text));
        await run.end(refused());
        run.pause();
        await run.end();
        run.send("g");
        ["h", "i", "j"].forEach((text) => run.send(text));
        assert.deepStrictEqual(run.log, [
            "warn: the queue is full (2 messages or 16 MB): dropping the oldest messages until the server takes them",
            "warn: connection refused; 2 messages wait",
            "info: the server takes events again",
            "warn: 4 messages were dropped from the full queue in all",
            "warn: the queue is full (2 messages or 16 MB): dropping the oldest messages until the server takes them",
        ]);
        assert.deepStrictEqual(run.conversations.map((conversation) => conversation.lines), ["", "e\nf\n", "g\n"]);
    });
});

describe("a wrong password", () => {
    it("is tried once: the waiting and later events fail, and no pause is taken", async () => {
        const run = scripted();
        run.dispatcher.check();
        run.send("a");
        await run.end(new kinds.SendrelError(kinds.WRONG_PASSWORD, "wrong password: closed"));
        run.send("b");
        assert.strictEqual(run.conversations.length, 1);
        assert.strictEqual(run.timers.length, 0);
        assert.deepStrictEqual(run.outcomes, [
            "failed a: not sent: wrong password: closed",
            "failed b: not sent: wrong password: closed; correct the password and deploy",
        ]);
    });
});

describe("stopping", () => {
    const cases = [
        // [what, the running conversation's end, outcome of the node's event in it]
        ["a node's queued events fail at once, one in a running conversation once that is taken", undefined, "sent a"],
        ["a node's queued events fail at once, one in a failing conversation fails for good", lost(),
            "failed a: not sent: the node was stopped, and the connection was lost"],
    ];
    for (const [what, end, outcome] of cases) {
        it(what, async () => {
            const run = scripted();
            const other = run.dispatcher.join(() => {});
            run.send("a");
            run.send("b");
            run.send("c", other);
            let left = false;
            run.sender.leave().then(() => {
                left = true;
            });
            run.send("d");
            assert.deepStrictEqual(run.outcomes, [
                "failed b: not sent: the node was stopped before the server took it",
                "failed d: not sent: the node is being stopped",
            ]);
            await new Promise(setImmediate);
            assert.strictEqual(left, false);
            await run.end(end);
            assert.deepStrictEqual([left, run.outcomes[2]], [true, outcome]);
            // The other node's event still goes, alone.
            if (run.timers.length) {
                run.pause();
            }
            await run.end();
            assert.deepStrictEqual([run.conversations[1].lines, run.outcomes[3]], ["c\n", "sent c"]);
        });
    }

    it("a server's queued events fail once its running conversation ended, and nothing starts after", async () => {
        const run = scripted();
        run.dispatcher.check();
        run.send("a");
        let closed = false;
        run.dispatcher.close().then(() => {
            closed = true;
        });
        await new Promise(setImmediate);
        assert.deepStrictEqual([closed, run.outcomes], [false, []]);
        await run.end();
        assert.deepStrictEqual([closed, run.outcomes, run.conversations.length], [true, ["failed a: not sent: the node was stopped before the server took it"], 1]);
    });
});
