"use strict";
// One conversation with a Sendrel server: connect, log in (the greeting word, the cookie, the
// MD5 answer, "accept"), send the event lines and the end line, and wait for the server to
// close the connection. The protocol has no answer per event, but a server that closes the
// connection after our end line has taken every line before it: only then do the events count
// as sent. The failures carry the kinds the other clients tell by their exit codes.

const net = require("node:net");
const crypto = require("node:crypto");

const GREETING_LINE = Buffer.from("vellumorchid\n");
const ACCEPT_LINE = "accept";
const END_LINE = Buffer.from("close\n");
// The server's close notice, when it stops: "close\n" and a zero byte.
const CLOSE_NOTICE = "close";
const REPLY_TIMEOUT_MS = 10000;
// What we keep of a reply line before we call it no reply of a Sendrel server.
const REPLY_BYTES_MAX = 4096;

// The kinds of failure, as the node's status and the other clients name them.
const NOTHING_LISTENS = "nothing-listens"; // the port refused the connection: the host is away
const UNREACHABLE = "unreachable"; // any other failure to connect
const NOT_ADMITTED = "not-admitted"; // closed before the challenge: a blocked address
const WRONG_PASSWORD = "wrong-password"; // closed without accepting the login
const STOPPING = "stopping"; // the server sent its close notice
const FAILED = "failed"; // a lost connection, no answer, an answer no server gives

class SendrelError extends Error {
    constructor(kind, text) {
        super(text);
        this.kind = kind;
    }
}

/**
 * Runs one conversation that sends the bytes of `lines` (whole event lines; empty: only the
 * login). server: {host, port, source, password (Buffer), timeout (ms)}. Resolves with the
 * number of unexpected bytes the server sent after the login, once it closed the connection
 * after our end line; rejects with a SendrelError.
 */
function converse(server, lines) {
    const where = `${server.host}:${server.port}`;
    const timeout = server.timeout || REPLY_TIMEOUT_MS;
    return new Promise((resolve, reject) => {
        let phase = "connect"; // then "cookie", "accept", "closing"
        let received = Buffer.alloc(0);
        let settled = false;

        const socket = net.connect({
            host: server.host,
            port: server.port,
            family: 4, // the server listens on IPv4 only
            localAddress: server.source || undefined,
        });

        function finish(error, result) {
            if (settled) {
                return;
            }
            settled = true;
            socket.destroy();
            if (error) {
                reject(error);
            } else {
                resolve(result);
            }
        }

        function fail(kind, text) {
            finish(new SendrelError(kind, text));
        }

        // The next line of the server's reply, or null while it is incomplete.
        function takeLine() {
            const end = received.indexOf(0x0a);
            if (end < 0) {
                if (received.length > REPLY_BYTES_MAX) {
                    fail(FAILED, `unexpected login reply from ${where} (is it a Sendrel server?)`);
                }
                return null;
            }
            const line = received.subarray(0, end).toString("latin1");
            received = received.subarray(end + 1);
            return line;
        }

        function stopping() {
            fail(STOPPING, `the server at ${where} is stopping: it sent its close notice`);
        }

        function onReply() {
            if (phase === "cookie") {
                const cookie = takeLine();
                if (cookie === null) {
                    return;
                }
                if (cookie === CLOSE_NOTICE) {
                    return stopping();
                }
                if (!/^[0-9a-fA-F]{4}$/.test(cookie)) {
                    return fail(FAILED, `unexpected login challenge from ${where} (is it a Sendrel server?)`);
                }
                const answer = crypto.createHash("md5")
                    .update(Buffer.concat([Buffer.from(cookie.toLowerCase() + ":"), server.password]))
                    .digest("hex");
                phase = "accept";
                socket.write(answer + "\n");
            }
            if (phase === "accept") {
                const reply = takeLine();
                if (reply === null) {
                    return;
                }
                if (reply === CLOSE_NOTICE) {
                    return stopping();
                }
                if (reply !== ACCEPT_LINE) {
                    return fail(FAILED, `unexpected answer to the login from ${where}: "${reply}"`);
                }
                // The events go only now: the server loses what arrives with the login answer.
                phase = "closing";
                socket.write(lines.length ? Buffer.concat([lines, END_LINE]) : END_LINE);
            }
        }

        // The server closed (or reset) the connection: what that means depends on the phase.
        function onClosed(lost) {
            if (phase === "connect" || phase === "cookie") {
                return fail(NOT_ADMITTED, `not admitted: ${where} closed the connection before its login challenge (this address is not allowed, or blocked after a failed login)`);
            }
            if (phase === "accept") {
                return fail(WRONG_PASSWORD, `wrong password: ${where} closed the connection without accepting the login`);
            }
            // After "accept" the server sends nothing but its close notice.
            if (received.subarray(0, CLOSE_NOTICE.length + 1).toString("latin1") === CLOSE_NOTICE + "\n") {
                return stopping();
            }
            if (lost) {
                return fail(FAILED, `the connection to ${where} was lost (${lost})`);
            }
            finish(null, received.length);
        }

        socket.setTimeout(timeout, () => {
            fail(FAILED, phase === "connect"
                ? `cannot connect to ${where} within ${timeout / 1000} s`
                : `no answer from ${where} within ${timeout / 1000} s`);
        });
        socket.on("connect", () => {
            socket.setNoDelay(true); // the server acknowledges no event: don't wait for it
            phase = "cookie";
            socket.write(GREETING_LINE);
        });
        socket.on("data", (chunk) => {
            received = Buffer.concat([received, chunk]);
            if (phase === "closing" && received.length > REPLY_BYTES_MAX) {
                received = received.subarray(0, REPLY_BYTES_MAX);
            }
            onReply();
        });
        socket.on("end", () => onClosed(null));
        socket.on("error", (error) => {
            if (phase === "connect") {
                if (error.code === "ECONNREFUSED") {
                    return fail(NOTHING_LISTENS, `connection refused by ${where}: no server is listening on that port`);
                }
                return fail(UNREACHABLE, `cannot connect to ${where} (${error.message})`);
            }
            onClosed(error.code || error.message);
        });
    });
}

module.exports = {
    converse,
    SendrelError,
    NOTHING_LISTENS,
    UNREACHABLE,
    NOT_ADMITTED,
    WRONG_PASSWORD,
    STOPPING,
    FAILED,
};
