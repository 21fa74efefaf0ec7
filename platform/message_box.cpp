#include "platform/message_box.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<message_box_hook> g_hook{nullptr};
}

int message_box(const char* text, const char* caption) {
    message_box_hook hook = g_hook.load(std::memory_order_acquire);
    return hook ? hook(text, caption) : detail::system_message_box(text, caption);
}

void message_box_set_hook(message_box_hook hook) {
    g_hook.store(hook, std::memory_order_release);
}

}  // namespace platform
