"use strict";
// The queue of one server's events and the conversations that send them, shared by every
// `sendrel out` node that names the server.
//
// Events go in the order they came, several in each conversation: whatever waits when a
// conversation can start goes in it (up to EVENTS_PER_CONVERSATION), so a burst costs a few
// logins, not one each, and a lone event goes at once. An event counts as sent only once its
// conversation was closed cleanly. A conversation that fails is sent again, first, after a
// pause: every REFUSED_RETRY_MS while the port refuses connections (the host is stopped, so a
// try costs it nothing and the events go soon after its return), otherwise doubling from
// RETRY_MIN_MS to RETRY_MAX_MS (an address the server refuses, a lost connection). A wrong
// password is never tried again, so that a flow cannot trigger the server's abuse block over
// and over: the waiting events fail, and so does every later one, until the server's settings
// are deployed anew. While the server cannot be reached at most `queueSize` events, and at most
// `queueBytes` of them, wait; the oldest fail when more come, with one warning for each spell
// of a full queue (a host stopped while a flow keeps sending would otherwise fill the log).

const kinds = require("./conversation");

const SYSTEM_CLOCK = { setTimeout, clearTimeout, now: Date.now };

const EVENTS_PER_CONVERSATION = 100;
const REFUSED_RETRY_MS = 500;
const RETRY_MIN_MS = 500;
const RETRY_MAX_MS = 15000;
const DEFAULT_QUEUE_SIZE = 10000;
// Events of up to 64 KiB each: by count alone, a full queue could hold hundreds of MB.
const DEFAULT_QUEUE_BYTES = 16 * 1024 * 1024;

// The dispatcher's states, as the nodes' status shows them.
const STARTING = "starting";
const READY = "ready"; // the last conversation, or the first login, succeeded
const UNREACHABLE = "unreachable";
const NOT_ADMITTED = "not admitted";
const WRONG_PASSWORD = "wrong password";

function stateAfter(error) {
    switch (error.kind) {
        case kinds.WRONG_PASSWORD:
            return WRONG_PASSWORD;
        case kinds.NOT_ADMITTED:
            return NOT_ADMITTED;
        default:
            return UNREACHABLE;
    }
}

/** What one `sendrel out` node has sent and has waiting (queued or in a running
 * conversation); the dispatcher calls changed() whenever either or its state changes. */
class Sender {
    constructor(dispatcher, changed) {
        this.dispatcher = dispatcher;
        this.changed = changed;
        this.sent = 0;
        this.waiting = 0;
        this.waitingSince = null; // the clock's time when `waiting` last became non-zero
        this.leaving = false;
        this.left = null; // resolves leave()'s promise once nothing of it waits
    }

    /** The node stops: its queued events fail at once, and the promise resolves once those
     * in a running conversation have their outcome (any that fails then fails for good). */
    leave() {
        return this.dispatcher._leave(this);
    }
}

class Dispatcher {
    /**
     * converse(lines): a promise of one conversation that sends these bytes (empty: only the
     * login), rejected with a SendrelError. log: {info(text), warn(text)}.
     */
    constructor({ converse, log, queueSize = DEFAULT_QUEUE_SIZE, queueBytes = DEFAULT_QUEUE_BYTES, clock = SYSTEM_CLOCK }) {
        this.converse = converse;
        this.log = log;
        this.queueSize = Math.max(1, queueSize);
        this.queueBytes = queueBytes;
        this.clock = clock;
        this.state = STARTING;
        this.failure = null; // the SendrelError of the last failed conversation, while it holds
        this.waiting = []; // items: {lines, sender, sent(), failed(error)}
        this.waitingBytes = 0; // of the lines in `waiting`
        this.dropped = 0; // dropped from the full queue since it was last empty
        this.running = null; // the promise of the running conversation
        this.timer = null;
        this.retry = RETRY_MIN_MS;
        this.closed = false;
        this.checked = false;
        this.senders = new Set();
    }

    join(changed) {
        const sender = new Sender(this, changed);
        this.senders.add(sender);
        return sender;
    }

    /** Logs in once without an event, so that a wrong password or an unreachable server
     * shows at once, not with the first message. */
    check() {
        if (!this.checked) {
            this.checked = true;
            this._next(true);
        }
    }

    /** Queues one event's lines; item.sent() or item.failed(error) tells its outcome. */
    send(item) {
        if (this.state === WRONG_PASSWORD) {
            item.failed(new kinds.SendrelError(kinds.WRONG_PASSWORD, `not sent: ${this.failure.message}; correct the password and deploy`));
            return;
        }
        if (this.closed || item.sender.leaving) {
            item.failed(new Error("not sent: the node is being stopped"));
            return;
        }
        if (item.sender.waiting++ === 0) {
            item.sender.waitingSince = this.clock.now();
        }
        this._queue([item]);
        this._trim();
        this._changed();
        this._next(false);
    }

    /** Stops the retries and lets a running conversation end; the events still waiting fail.
     * Resolves once nothing runs. */
    async close() {
        this.closed = true;
        this.clock.clearTimeout(this.timer);
        this.timer = null;
        if (this.running) {
            await this.running;
        }
        const left = this._take(this.waiting.length);
        if (left.length) {
            this.log.warn(`${left.length} waiting message${left.length === 1 ? "" : "s"} not sent: the node was stopped`);
        }
        this._fail(left, new Error("not sent: the node was stopped before the server took it"));
    }

    _leave(sender) {
        this.senders.delete(sender);
        sender.leaving = true;
        const mine = this.waiting.filter((item) => item.sender === sender);
        if (mine.length) {
            this._queue(this._take(this.waiting.length).filter((item) => item.sender !== sender));
        }
        this._fail(mine, new Error("not sent: the node was stopped before the server took it"));
        if (sender.waiting === 0) {
            return Promise.resolve();
        }
        return new Promise((resolve) => {
            sender.left = resolve;
        });
    }

    /** Appends items to the queue (in their order). */
    _queue(items) {
        for (const item of items) {
            this.waiting.push(item);
            this.waitingBytes += item.lines.length;
        }
    }

    /** Takes the oldest `count` items out of the queue. */
    _take(count) {
        const items = this.waiting.splice(0, count);
        for (const item of items) {
            this.waitingBytes -= item.lines.length;
        }
        return items;
    }

    _trim() {
        let count = 0;
        let bytes = this.waitingBytes;
        while (count < this.waiting.length && (this.waiting.length - count > this.queueSize || bytes > this.queueBytes)) {
            bytes -= this.waiting[count].lines.length;
            count++;
        }
        if (count === 0) {
            return;
        }
        const limits = `${this.queueSize} messages or ${sizeText(this.queueBytes)}`;
        if (this.dropped === 0) {
            this.log.warn(`the queue is full (${limits}): dropping the oldest messages until the server takes them`);
        }
        this.dropped += count;
        this._fail(this._take(count), new Error(`not sent: dropped from the full queue (${limits}) while the server could not be reached`));
    }

    _settle(item) {
        const sender = item.sender;
        if (--sender.waiting === 0) {
            sender.waitingSince = null;
            if (sender.left) {
                sender.left();
            }
        }
    }

    _fail(items, error) {
        for (const item of items) {
            this._settle(item);
            item.failed(error);
        }
        if (items.length) {
            this._changed();
        }
    }

    _changed() {
        for (const sender of this.senders) {
            sender.changed();
        }
    }

    _next(loginOnly) {
        if (this.running || this.timer || this.closed || this.state === WRONG_PASSWORD) {
            return;
        }
        if (!loginOnly && this.waiting.length === 0) {
            return;
        }
        const batch = this._take(EVENTS_PER_CONVERSATION);
        this.running = this.converse(Buffer.concat(batch.map((item) => item.lines))).then(
            (unexpected) => this._succeeded(batch, unexpected),
            (error) => this._failed(batch, error),
        ).finally(() => {
            this.running = null;
            this._next(false);
        });
    }

    _succeeded(batch, unexpected) {
        if (this.failure) {
            this.log.info("the server takes events again");
        }
        if (unexpected) {
            this.log.warn(`${unexpected} unexpected bytes from the server`);
        }
        this.failure = null;
        this.state = READY;
        this.retry = RETRY_MIN_MS;
        for (const item of batch) {
            this._settle(item);
            item.sender.sent++;
            item.sent();
        }
        if (this.dropped && this.waiting.length === 0) {
            this.log.warn(`${this.dropped} message${this.dropped === 1 ? " was" : "s were"} dropped from the full queue in all`);
            this.dropped = 0;
        }
        this._changed();
    }

    _failed(batch, error) {
        if (!(error instanceof kinds.SendrelError)) {
            // A fault of ours: the messages must not wait for ever behind it.
            this._fail(batch, error);
            this.log.warn(`a conversation failed unexpectedly: ${error.stack || error}`);
            return;
        }
        const state = stateAfter(error);
        if (!this.failure || this.failure.message !== error.message) {
            const waiting = batch.length + this.waiting.length;
            this.log.warn(state === WRONG_PASSWORD
                ? `${error.message}; not trying again until the password is corrected`
                : `${error.message}; ${waiting} message${waiting === 1 ? "" : "s"} wait${waiting === 1 ? "s" : ""}`);
        }
        this.failure = error;
        this.state = state;
        if (state === WRONG_PASSWORD) {
            this._fail(batch.concat(this._take(this.waiting.length)), new kinds.SendrelError(error.kind, `not sent: ${error.message}`));
            this._changed();
            return;
        }
        // The batch goes again, before anything newer; that of a stopped node has nobody to
        // go for.
        this._fail(batch.filter((item) => item.sender.leaving), new kinds.SendrelError(error.kind, `not sent: the node was stopped, and ${error.message}`));
        const again = batch.filter((item) => !item.sender.leaving);
        this.waiting.unshift(...again);
        this.waitingBytes += again.reduce((sum, item) => sum + item.lines.length, 0);
        this._trim();
        this._changed();
        if (this.closed || this.waiting.length === 0) {
            return;
        }
        const pause = error.kind === kinds.NOTHING_LISTENS ? Math.min(this.retry, REFUSED_RETRY_MS) : this.retry;
        this.retry = Math.min(this.retry * 2, RETRY_MAX_MS);
        this.timer = this.clock.setTimeout(() => {
            this.timer = null;
            this._next(false);
        }, pause);
    }
}

function sizeText(bytes) {
    const megabytes = bytes / (1024 * 1024);
    return megabytes >= 1 ? `${Math.round(megabytes * 10) / 10} MB` : `${bytes} bytes`;
}

module.exports = {
    Dispatcher,
    EVENTS_PER_CONVERSATION,
    REFUSED_RETRY_MS,
    RETRY_MIN_MS,
    RETRY_MAX_MS,
    DEFAULT_QUEUE_SIZE,
    DEFAULT_QUEUE_BYTES,
    STARTING,
    READY,
    UNREACHABLE,
    NOT_ADMITTED,
    WRONG_PASSWORD,
};
