#include "tests/support/recording_host.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_lock;
std::condition_variable g_event_arrived;
std::vector<recorded_event> g_events;
std::vector<std::string> g_translations;

int32_t QVL_STDCALL record_translate_text(const char* text, char* out, int32_t out_size) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_translations.emplace_back(text ? text : "");
    }
    if (!out || out_size <= 0)
        return 0;
    size_t length = text ? std::strlen(text) : 0;
    size_t room = static_cast<size_t>(out_size) - 1;
    if (length > room)
        length = room;
    if (length)
        std::memcpy(out, text, length);
    out[length] = '\0';
    return 1;
}

int32_t QVL_STDCALL record_trigger_event(const char* event_text, const uint8_t* block,
                                         int32_t block_length, int32_t device) {
    recorded_event event;
    event.event_text = event_text ? event_text : "";
    if (block && block_length > 0)
        event.block.assign(block, block + block_length);
    event.block_length = block_length;
    event.device = device;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_events.push_back(std::move(event));
    }
    g_event_arrived.notify_all();
    return 1;
}

}  // namespace

std::vector<std::string> recorded_event::payloads() const {
    std::vector<std::string> texts;
    if (block.empty())
        return texts;
    size_t position = 1;
    for (unsigned k = 0; k < block[0]; ++k) {
        const void* zero = position < block.size()
                               ? std::memchr(block.data() + position, 0, block.size() - position)
                               : nullptr;
        if (!zero)
            break;
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - block.data());
        texts.emplace_back(reinterpret_cast<const char*>(block.data() + position), end - position);
        position = end + 1;
    }
    return texts;
}

// Laid out by hand at the host's offsets rather than the plug-in's own constants, so a slot
// the plug-in reads from the wrong place fails every test that goes through this host.
void recording_host_build_record(uint8_t record[HOST_RECORD_SIZE]) {
    std::memset(record, 0, HOST_RECORD_SIZE);
    record[0] = 112;
    translate_text_fn translate = record_translate_text;
    trigger_event_fn trigger = record_trigger_event;
    std::memcpy(record + 48, &translate, sizeof translate);
    std::memcpy(record + 100, &trigger, sizeof trigger);
}

int recording_host_install() {
    uint8_t record[HOST_RECORD_SIZE];
    recording_host_build_record(record);
    return host_record_store(record);
}

int recording_host_install_in_front(trigger_event_fn in_front) {
    uint8_t record[HOST_RECORD_SIZE];
    recording_host_build_record(record);
    std::memcpy(record + 100, &in_front, sizeof in_front);
    return host_record_store(record);
}

int32_t QVL_STDCALL recording_host_trigger_event(const char* event_text, const uint8_t* block,
                                                 int32_t block_length, int32_t device) {
    return record_trigger_event(event_text, block, block_length, device);
}

std::vector<recorded_event> recording_host_events() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_events;
}

size_t recording_host_event_count() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_events.size();
}

bool recording_host_wait_for_events(size_t count, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> hold(g_lock);
    return g_event_arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                    [count] { return g_events.size() >= count; });
}

std::vector<std::string> recording_host_translations() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_translations;
}

void recording_host_clear() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_events.clear();
    g_translations.clear();
}
