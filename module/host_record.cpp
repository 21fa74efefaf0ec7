#include "module/host_record.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_record_lock;
uint8_t g_record[HOST_RECORD_SIZE];
// The two slots the plug-in calls, read by every event without taking the record's lock.
std::atomic<translate_text_fn> g_translate_text{nullptr};
std::atomic<trigger_event_fn> g_trigger_event{nullptr};

template <typename Fn>
Fn read_slot(const uint8_t* record, size_t offset) {
    Fn slot;
    static_assert(sizeof slot <= HOST_RECORD_SIZE - HOST_RECORD_TRIGGER_EVENT_OFFSET,
                  "a function slot must fit into the record");
    std::memcpy(&slot, record + offset, sizeof slot);
    return slot;
}

}  // namespace

int host_record_store(const void* record) {
    int32_t size;
    std::memcpy(&size, record, sizeof size);
    if (size != HOST_RECORD_SIZE)
        return 0;
    std::lock_guard<std::mutex> hold(g_record_lock);
    std::memcpy(g_record, record, HOST_RECORD_SIZE);
    g_translate_text.store(
        read_slot<translate_text_fn>(g_record, HOST_RECORD_TRANSLATE_TEXT_OFFSET));
    g_trigger_event.store(read_slot<trigger_event_fn>(g_record, HOST_RECORD_TRIGGER_EVENT_OFFSET));
    return 1;
}

void host_record_compose(uint8_t record[HOST_RECORD_SIZE], translate_text_fn translate,
                         trigger_event_fn trigger) {
    std::memset(record, 0, HOST_RECORD_SIZE);
    int32_t size = HOST_RECORD_SIZE;
    std::memcpy(record, &size, sizeof size);
    std::memcpy(record + HOST_RECORD_TRANSLATE_TEXT_OFFSET, &translate, sizeof translate);
    std::memcpy(record + HOST_RECORD_TRIGGER_EVENT_OFFSET, &trigger, sizeof trigger);
}

void host_translate_text(const char* text, char* out, int32_t out_size) {
    translate_text_fn translate = g_translate_text.load();
    if (translate)
        translate(text, out, out_size);
}

void host_translate_label(const char* text, char out[TRANSLATED_TEXT_MAX]) {
    std::memset(out, 0, TRANSLATED_TEXT_MAX);
    translate_text_fn translate = g_translate_text.load();
    if (translate)
        translate(text, out, TRANSLATED_TEXT_MAX);
    else
        std::strncpy(out, text, TRANSLATED_TEXT_MAX - 1);
    out[TRANSLATED_TEXT_MAX - 1] = '\0';
}

void host_trigger_event(const char* event_text, const uint8_t* block, int32_t block_length,
                        int32_t device) {
    trigger_event_fn trigger = g_trigger_event.load();
    if (trigger)
        trigger(event_text, block, block_length, device);
}

void host_record_forget() {
    std::lock_guard<std::mutex> hold(g_record_lock);
    std::memset(g_record, 0, sizeof g_record);
    g_translate_text.store(nullptr);
    g_trigger_event.store(nullptr);
}
