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
// are deployed anew. While the server cannot be reached at most `queueSize` events wait; the
// oldest fail when more come.

const kinds = require("./conversation");

const EVENTS_PER_CONVERSATION = 100;
const REFUSED_RETRY_MS = 500;
const RETRY_MIN_MS = 500;
const RETRY_MAX_MS = 15000;
const DEFAULT_QUEUE_SIZE = 10000;

// The dispatcher's states, as the nodes' status shows them.
const STARTING = "starting";
const CONNECTED = "connected";
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

/** What one `sendrel out` node has sent and has waiting; the dispatcher calls changed()
 * whenever either or the dispatcher's state changes. */
class Sender {
    constructor(dispatcher, changed) {
        this.dispatcher = dispatcher;
        this.changed = changed;
        this.sent = 0;
        this.waiting = 0;
    }

    leave() {
        this.dispatcher.senders.delete(this);
    }
}

class Dispatcher {
    /**
     * converse(lines): a promise of one conversation that sends these bytes (empty: only the
     * login), rejected with a SendrelError. log: {info(text), warn(text)}.
     */
    constructor({ converse, log, queueSize = DEFAULT_QUEUE_SIZE, clock = { setTimeout, clearTimeout } }) {
        this.converse = converse;
        this.log = log;
        this.queueSize = Math.max(1, queueSize);
        this.clock = clock;
        this.state = STARTING;
        this.failure = null; // the SendrelError of the last failed conversation, while it holds
        this.waiting = []; // items: {lines, sender, sent(), failed(error)}
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
        if (this.closed) {
            item.failed(new Error("not sent: the node is being stopped"));
            return;
        }
        item.sender.waiting++;
        this.waiting.push(item);
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
        const left = this.waiting.splice(0);
        if (left.length) {
            this.log.warn(`${left.length} waiting message${left.length === 1 ? "" : "s"} not sent: the node was stopped`);
        }
        this._fail(left, new Error("not sent: the node was stopped before the server took it"));
    }

    _trim() {
        const dropped = this.waiting.splice(0, Math.max(0, this.waiting.length - this.queueSize));
        if (dropped.length) {
            this.log.warn(`the queue is full (${this.queueSize} messages): dropped the oldest ${dropped.length === 1 ? "message" : `${dropped.length} messages`}`);
            this._fail(dropped, new Error(`not sent: dropped from the full queue (${this.queueSize} messages) while the server could not be reached`));
        }
    }

    _fail(items, error) {
        for (const item of items) {
            item.sender.waiting--;
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
        const batch = this.waiting.splice(0, EVENTS_PER_CONVERSATION);
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
        this.state = CONNECTED;
        this.retry = RETRY_MIN_MS;
        for (const item of batch) {
            item.sender.waiting--;
            item.sender.sent++;
            item.sent();
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
            this._fail(batch.concat(this.waiting.splice(0)), new kinds.SendrelError(error.kind, `not sent: ${error.message}`));
            this._changed();
            return;
        }
        // The batch goes again, before anything newer.
        this.waiting.unshift(...batch);
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

module.exports = {
    Dispatcher,
    EVENTS_PER_CONVERSATION,
    DEFAULT_QUEUE_SIZE,
    STARTING,
    CONNECTED,
    UNREACHABLE,
    NOT_ADMITTED,
    WRONG_PASSWORD,
};
