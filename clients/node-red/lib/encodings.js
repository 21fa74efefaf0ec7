"use strict";
// How texts (the password, events and payloads) become bytes for the server. The server
// compares bytes, and the host keeps its learned events in the code page it was typed in, so
// a flow must send them in that code page: the same choice the other clients offer with
// their --encoding option, under the same names.
//
// Node.js writes UTF-8 itself; the Windows code pages are single-byte, so each is the
// inverse of the platform's decoder for it (Node.js ships those with its full ICU data),
// except cp1252, the one most hosts use: Node.js 20 decodes it as Latin-1, so its own table
// is here.

// The names offered, as the clients spell them, with the name Node.js decodes them by.
const ENCODINGS = {
    "utf-8": "utf-8",
    cp1250: "windows-1250",
    cp1251: "windows-1251",
    cp1252: "windows-1252",
    cp1253: "windows-1253",
    cp1254: "windows-1254",
    cp1255: "windows-1255",
    cp1256: "windows-1256",
    cp1257: "windows-1257",
    cp1258: "windows-1258",
    "iso-8859-15": "iso-8859-15",
};
const DEFAULT_ENCODING = "utf-8";

// A code point the encoding cannot write. Its text names the character by its number as well,
// so that an invisible one can be found.
class Unwritable extends Error {}

// Half of a UTF-16 pair without its other half: no character at all. Node.js would write it
// as U+FFFD, a character nobody sent.
const LONE_SURROGATE = /[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/;

function unwritable(encoding, character) {
    const code = `U+${character.codePointAt(0).toString(16).toUpperCase().padStart(4, "0")}`;
    return new Unwritable(LONE_SURROGATE.test(character)
        ? `${encoding} cannot write a lone surrogate (${code}), half of a character`
        : `${encoding} cannot write "${character}" (${code})`);
}

// cp1252 is Latin-1 but for 0x80 to 0x9f; five of those bytes are undefined (0).
const CP1252_HIGH = [
    0x20ac, 0, 0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017d, 0,
    0, 0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0, 0x017e, 0x0178,
];

function cp1252Table() {
    const table = new Map();
    for (let byte = 0; byte < 256; byte++) {
        const code = byte >= 0x80 && byte < 0xa0 ? CP1252_HIGH[byte - 0x80] : byte;
        if (code) {
            table.set(code, byte);
        }
    }
    table.set(0, 0);
    return table;
}

function singleByteTable(label) {
    const decoder = new TextDecoder(label); // RangeError without the ICU data for it
    const table = new Map();
    for (let byte = 0; byte < 256; byte++) {
        const character = decoder.decode(Uint8Array.of(byte));
        // A byte the code page leaves undefined decodes to the replacement character.
        if (character !== "\ufffd") {
            table.set(character.codePointAt(0), byte);
        }
    }
    return table;
}

/** The function that turns a text into bytes in the named encoding; it throws Unwritable for
 * a character the encoding cannot write. Throws RangeError for a name not offered. */
function encoderFor(name) {
    const key = String(name || DEFAULT_ENCODING).toLowerCase();
    if (!Object.prototype.hasOwnProperty.call(ENCODINGS, key)) {
        throw new RangeError(`unknown encoding "${name}" (choose one of ${Object.keys(ENCODINGS).join(", ")})`);
    }
    if (key === "utf-8") {
        return (text) => {
            const lone = LONE_SURROGATE.exec(text);
            if (lone) {
                throw unwritable(key, lone[0]);
            }
            return Buffer.from(text, "utf8");
        };
    }
    let table;
    try {
        table = key === "cp1252" ? cp1252Table() : singleByteTable(ENCODINGS[key]);
    } catch (error) {
        throw new RangeError(`this Node.js cannot write ${key}: it lacks the ICU data for it`);
    }
    return (text) => {
        const bytes = [];
        for (const character of text) {
            const byte = table.get(character.codePointAt(0));
            if (byte === undefined) {
                throw unwritable(key, character);
            }
            bytes.push(byte);
        }
        return Buffer.from(bytes);
    };
}

module.exports = { ENCODINGS, DEFAULT_ENCODING, Unwritable, encoderFor };
