"use strict";
// The Node-RED nodes: `sendrel-server`, the settings of one Sendrel server and the queue its
// events share, and `sendrel out`, which makes each message it gets an event there and passes
// the message on once the server has taken it.

const { converse } = require("./lib/conversation");
const { Dispatcher, DEFAULT_QUEUE_SIZE, CONNECTED, STARTING } = require("./lib/dispatcher");
const { encoderFor, DEFAULT_ENCODING } = require("./lib/encodings");
const { eventLines } = require("./lib/message");

const DEFAULT_PORT = 1024;
// The plug-in's own default, as every client has it.
const DEFAULT_PASSWORD = "ChgThisPw";
// Status changes come with every message of a burst; the editor gets them at this pace.
const STATUS_INTERVAL_MS = 100;

function statusFor(dispatcher, sender) {
    const waiting = sender.waiting ? ` · ${sender.waiting} waiting` : "";
    switch (dispatcher.state) {
        case STARTING:
            return { fill: "grey", shape: "ring", text: `connecting${waiting}` };
        case CONNECTED:
            if (sender.waiting) {
                return { fill: "yellow", shape: "dot", text: `sent ${sender.sent}${waiting}` };
            }
            return { fill: "green", shape: "dot", text: sender.sent ? `sent ${sender.sent}` : "connected" };
        default: // unreachable, not admitted, wrong password
            return { fill: "red", shape: "ring", text: `${dispatcher.state}${waiting}` };
    }
}

module.exports = function (RED) {
    function SendrelServerNode(config) {
        RED.nodes.createNode(this, config);
        const node = this;
        const credentials = node.credentials || {};
        node.host = config.host || "127.0.0.1";
        node.port = Number(config.port) || DEFAULT_PORT;
        try {
            node.encode = encoderFor(config.encoding || DEFAULT_ENCODING);
        } catch (error) {
            node.error(error.message);
            node.encode = () => {
                throw error;
            };
        }
        let password;
        try {
            password = node.encode(credentials.password || DEFAULT_PASSWORD);
        } catch (error) {
            node.error(`cannot write the password: ${error.message}`);
            password = Buffer.from(credentials.password || DEFAULT_PASSWORD);
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
            node.status({ fill: "red", shape: "ring", text: "no server" });
            node.on("input", (msg, send, done) => done(new Error("no Sendrel server is set for this node")));
            return;
        }
        const dispatcher = server.dispatcher;
        let shown = "";
        let timer = null;
        function showStatus() {
            timer = null;
            const status = statusFor(dispatcher, sender);
            if (status.text !== shown) {
                shown = status.text;
                node.status(status);
            }
        }
        const sender = dispatcher.join(() => {
            timer = timer || setTimeout(showStatus, STATUS_INTERVAL_MS);
        });
        showStatus();
        dispatcher.check();
        let closed = false;

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
                // Once stopped, the node has no flow to pass messages to: a replaced node's
                // messages are still sent, but told to nobody.
                sent: () => {
                    if (!closed) {
                        send(msg);
                        done();
                    }
                },
                failed: (error) => {
                    if (!closed) {
                        done(error);
                    }
                },
            });
        });
        node.on("close", () => {
            closed = true;
            clearTimeout(timer);
            sender.leave();
        });
    }
    RED.nodes.registerType("sendrel out", SendrelOutNode);
};
