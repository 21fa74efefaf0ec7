#include "server/event_dispatch.h"

#include <cstring>

#include "module/host_record.h"
#include "module/module_state.h"

int build_payload_block(int count, const char* const* texts, uint8_t block[PAYLOAD_BLOCK_BUFFER]) {
    block[0] = static_cast<uint8_t>(count);
    // Signed on purpose: a long text must drive the capacity below zero, not wrap it.
    long capacity = PAYLOAD_BLOCK_BUFFER - 1;
    int length = 1;
    for (int i = 0; i < count; ++i) {
        size_t size = std::strlen(texts[i]) + 1;
        if (size >= static_cast<size_t>(capacity))
            return 0;  // at least one byte stays free
        capacity -= static_cast<long>(size);
        std::memcpy(block + length, texts[i], size);
        length += static_cast<int>(size);
    }
    return length;
}

void raise_event(const char* event_text, int count, const char* const* texts) {
    uint8_t block[PAYLOAD_BLOCK_BUFFER];
    int length = build_payload_block(count, texts, block);
    if (length == 0)
        return;
    host_trigger_event(event_text, block, length, DEVICE_NUMBER);
}

void raise_event_with_address(const char* event_text, const char* address_text) {
    raise_event(event_text, 1, &address_text);
}
