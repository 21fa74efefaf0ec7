#include "server/trace.h"

#include <atomic>

namespace {
std::atomic<trace_hook> g_hook{nullptr};
}

void trace(const char* message, int32_t number) {
    trace_hook hook = g_hook.load(std::memory_order_acquire);
    if (hook)
        hook(message, number);
}

void trace_set_hook(trace_hook hook) {
    g_hook.store(hook, std::memory_order_release);
}
