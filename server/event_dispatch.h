// Hand-over of events to the host.
//
// A payload_block is a count byte (the low 8 bits of the number of texts) followed by the
// texts back to back, each with its zero byte. It is built in a 1024-byte buffer of which
// 1023 bytes hold texts and at least one stays free, so a block is at most 1023 bytes long.
// An event whose texts do not fit is dropped silently.
//
// raise_event and raise_event_with_address build the block on their own stack and call the
// host's trigger_event with device DEVICE_NUMBER; any thread may call them at once.
//
// A payload_writer fills a block whose texts arrive one at a time, so a caller that collects
// them over several lines copies each text once, straight into the block: start it on a
// buffer, add the texts, and raise_written_event hands the block to the host (or drops the
// event when the texts did not fit). The writer and its buffer belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr int PAYLOAD_BLOCK_BUFFER = 1024;

struct payload_writer {
    uint8_t* block;  // PAYLOAD_BLOCK_BUFFER bytes
    int count;       // texts added, whether they fitted or not
    int length;      // bytes written, the count byte included
    bool fits;       // false once a text did not fit: the event is dropped
};

// The writer's steps are inline: a client's event line runs through them once.
inline void payload_writer_start(payload_writer* writer, uint8_t block[PAYLOAD_BLOCK_BUFFER]) {
    writer->block = block;
    writer->count = 0;
    writer->length = 1;
    writer->fits = true;
}

// Adds a text of length bytes (its zero byte not counted, and not read).
inline void payload_writer_add(payload_writer* writer, const char* text, size_t length) {
    ++writer->count;
    if (!writer->fits)
        return;
    // The texts may take 1023 bytes, of which at least one stays free.
    size_t free = static_cast<size_t>(PAYLOAD_BLOCK_BUFFER - writer->length);
    if (length >= free - 1) {
        writer->fits = false;
        return;
    }
    std::memcpy(writer->block + writer->length, text, length);
    writer->block[writer->length + static_cast<int>(length)] = 0;
    writer->length += static_cast<int>(length) + 1;
}

// Writes the count byte; returns the block's length, or 0 when the texts do not fit.
inline int payload_writer_finish(payload_writer* writer) {
    if (!writer->fits)
        return 0;
    writer->block[0] = static_cast<uint8_t>(writer->count);
    return writer->length;
}

// Builds the block into block; returns its length, or 0 when the texts do not fit.
int build_payload_block(int count, const char* const* texts, uint8_t block[PAYLOAD_BLOCK_BUFFER]);

void raise_event(const char* event_text, int count, const char* const* texts);
void raise_event_with_address(const char* event_text, const char* address_text);
void raise_written_event(const char* event_text, payload_writer* writer);
