#include "platform/random.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<random_source> g_source{nullptr};
}

int random_bytes(void* buffer, uint32_t size) {
    random_source source = g_source.load(std::memory_order_acquire);
    return source ? source(buffer, size) : detail::system_random_bytes(buffer, size);
}

void random_set_source(random_source source) {
    g_source.store(source, std::memory_order_release);
}

}  // namespace platform
