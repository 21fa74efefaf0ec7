#include "access/abuse_state.h"

#include <cstring>
#include <mutex>

#include "platform/tick.h"

namespace {

std::mutex g_lock;
abuse_state g_state{};

uint32_t window_ms(uint32_t failure_count) {
    uint64_t window = static_cast<uint64_t>(failure_count) * ABUSE_BLOCK_STEP_MS;
    return window > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(window);
}

}  // namespace

void abuse_note_failure(const char* address_text) {
    std::lock_guard<std::mutex> hold(g_lock);
    size_t length = 0;
    while (length < sizeof g_state.last_offender && address_text[length] != '\0')
        ++length;
    if (length < sizeof g_state.last_offender) {
        std::memcpy(g_state.last_offender, address_text, length + 1);
    } else {
        g_state.last_offender[0] = '\0';
    }
    uint32_t now = platform::tick_count();
    if (g_state.failure_count != UINT32_MAX)
        ++g_state.failure_count;
    g_state.last_failure_tick = now;
}

void abuse_note_success() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state.failure_count = 0;
    g_state.last_offender[0] = '\0';
}

int abuse_block_refuses(const char* address_text) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_state.last_offender[0] == '\0')
        return 0;
    if (std::strcmp(g_state.last_offender, address_text) != 0)
        return 0;
    uint32_t elapsed = platform::tick_count() - g_state.last_failure_tick;
    return elapsed < window_ms(g_state.failure_count) ? 1 : 0;
}

abuse_state abuse_state_copy() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_state;
}

void abuse_state_reset() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state = abuse_state{};
}
