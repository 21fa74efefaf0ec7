"use strict";
// The Node-RED nodes: `sendrel-server`, the settings of one Sendrel server and the queue its
// events share, and `sendrel out`, which makes each message it gets an event there and passes
// the message on once the server has taken it.

const { converse } = require("./lib/conversation");
const { Dispatcher, DEFAULT_QUEUE_SIZE } = require("./lib/dispatcher");
const { encoderFor, Unwritable, DEFAULT_ENCODING } = require("./lib/encodings");
const { eventLines } = require("./lib/message");
const { statusFor } = require("./lib/status");

const DEFAULT_PORT = 1024;
// The plug-in's own default, as every client has it.
const DEFAULT_PASSWORD = "ChgThisPw";
// Status changes come with every message of a burst; the editor gets them at this pace.
const STATUS_INTERVAL_MS = 100;

module.exports = function (RED) {
    function SendrelServerNode(config) {
        RED.nodes.createNode(this, config);
        const node = this;
        const credentials = node.credentials || {};
        node.host = config.host || "127.0.0.1";
        node.port = Number(config.port) || DEFAULT_PORT;
        const encoding = config.encoding || DEFAULT_ENCODING;
        let password;
        try {
            node.encode = encoderFor(encoding);
            password = node.encode(credentials.password || DEFAULT_PASSWORD);
        } catch (error) {
            // Settings no conversation can use: nothing is tried, every message fails with
            // this. The encoder's own words would quote the password's character.
            node.unusable = error instanceof Unwritable
                ? `the password holds a character that ${encoding} cannot write: choose the encoding the host's password is in`
                : error.message;
            node.error(node.unusable);
            return;
        }
        const server = { host: node.host, port: node.port, source: config.source || "", password };
        node.dispatcher = new Dispatcher({
            converse: (lines) => converse(server, lines),
            queueSize: Number(config.queueSize) || DEFAULT_QUEUE_SIZE,
            log: { info: (text) => node.log(text), warn: (text) => node.warn(text) },
        });
        node.on("close", (removed, done) => {
            node.dispatcher.close().then(() => done(), done);
        });
    }
    RED.nodes.registerType("sendrel-server", SendrelServerNode, {
        credentials: { password: { type: "password" } },
    });

    function SendrelOutNode(config) {
        RED.nodes.createNode(this, config);
        const node = this;
        const server = RED.nodes.getNode(config.server);
        if (!server || !server.dispatcher) {
            const reason = server ? `the Sendrel server's settings are unusable: ${server.unusable}` : "no Sendrel server is set for this node";
            node.status({ fill: "red", shape: "ring", text: server ? "unusable settings" : "no server" });
            node.on("input", (msg, send, done) => done(new Error(`not sent: ${reason}`)));
            return;
        }
        const dispatcher = server.dispatcher;
        let shown = "";
        let timer = null;
        let timerAt = 0;
        function showAfter(ms) {
            clearTimeout(timer);
            timer = setTimeout(showStatus, ms);
            timerAt = Date.now() + ms;
        }
        function showStatus() {
            timer = null;
            const { status, changesIn } = statusFor(dispatcher, sender, dispatcher.clock.now());
            if (status.text !== shown) {
                shown = status.text;
                node.status(status);
            }
            if (changesIn !== null) {
                showAfter(changesIn);
            }
        }
        const sender = dispatcher.join(() => {
            if (!timer || timerAt > Date.now() + STATUS_INTERVAL_MS) {
                showAfter(STATUS_INTERVAL_MS);
            }
        });
        showStatus();
        dispatcher.check();
        // Once stopping, the node has no flow to pass messages to.
        let closing = false;

        node.on("input", (msg, send, done) => {
            let lines;
            try {
                lines = eventLines(msg, config.event, server.encode);
            } catch (error) {
                done(error);
                return;
            }
            dispatcher.send({
                lines,
                sender,
                sent: () => {
                    if (!closing) {
                        send(msg);
                    }
                    done();
                },
                failed: (error) => done(error),
            });
        });
        // The messages still queued fail (a catch node hears of them); those in a running
        // conversation are waited for, as Node-RED waits for a node that is stopping.
        node.on("close", (removed, done) => {
            closing = true;
            clearTimeout(timer);
            timer = null;
            sender.leave().then(() => done(), done);
        });
    }
    RED.nodes.registerType("sendrel out", SendrelOutNode);
};
