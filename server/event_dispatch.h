// Hand-over of events to the host.
//
// A payload_block is a count byte (the low 8 bits of the number of texts) followed by the
// texts back to back, each with its zero byte. It is built in a 1024-byte buffer of which
// 1023 bytes hold texts and at least one stays free, so a block is at most 1023 bytes long.
// An event whose texts do not fit is dropped silently.
//
// raise_event and raise_event_with_address build the block on their own stack and call the
// host's trigger_event with device DEVICE_NUMBER; any thread may call them at once.
#pragma once

#include <cstdint>

constexpr int PAYLOAD_BLOCK_BUFFER = 1024;

// Builds the block into block; returns its length, or 0 when the texts do not fit.
int build_payload_block(int count, const char* const* texts, uint8_t block[PAYLOAD_BLOCK_BUFFER]);

void raise_event(const char* event_text, int count, const char* const* texts);
void raise_event_with_address(const char* event_text, const char* address_text);
