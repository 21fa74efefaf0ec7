#include "platform/tick.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<tick_source> g_source{nullptr};
}

uint32_t tick_count() {
    tick_source source = g_source.load(std::memory_order_acquire);
    return source ? source() : detail::system_tick_count();
}

void tick_set_source(tick_source source) {
    g_source.store(source, std::memory_order_release);
}

}  // namespace platform
