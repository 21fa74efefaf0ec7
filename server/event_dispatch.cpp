#include "server/event_dispatch.h"

#include <cstring>

#include "module/host_record.h"
#include "module/module_state.h"

int build_payload_block(int count, const char* const* texts, uint8_t block[PAYLOAD_BLOCK_BUFFER]) {
    payload_writer writer;
    payload_writer_start(&writer, block);
    for (int i = 0; i < count && writer.fits; ++i)
        payload_writer_add(&writer, texts[i], std::strlen(texts[i]));
    return payload_writer_finish(&writer);
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

void raise_written_event(const char* event_text, payload_writer* writer) {
    int length = payload_writer_finish(writer);
    if (length == 0)
        return;
    host_trigger_event(event_text, writer->block, length, DEVICE_NUMBER);
}
