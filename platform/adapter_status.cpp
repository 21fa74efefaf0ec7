#include "platform/adapter_status.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<adapter_status_override> g_override{nullptr};
}

int adapter_status_query(const char* address_text, uint8_t adapter_address[6]) {
    adapter_status_override override_fn = g_override.load(std::memory_order_acquire);
    return override_fn ? override_fn(address_text, adapter_address)
                       : detail::system_adapter_status_query(address_text, adapter_address);
}

void adapter_status_set_override(adapter_status_override override_fn) {
    g_override.store(override_fn, std::memory_order_release);
}

}  // namespace platform
