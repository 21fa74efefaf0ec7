#include "server/trace.h"

#include <atomic>
#include <cstdio>

#include "platform/debug_output.h"
#include "platform/environment.h"

namespace {
std::atomic<trace_hook> g_hook{nullptr};
std::atomic<bool> g_to_debug_output{false};
}  // namespace

void trace(const char* message, int32_t number) {
    trace_hook hook = g_hook.load(std::memory_order_acquire);
    if (hook)
        hook(message, number);
    if (!g_to_debug_output.load(std::memory_order_relaxed))
        return;
    char line[256];
    std::snprintf(line, sizeof line, "Sendrel trace: %s (%ld)\n", message,
                  static_cast<long>(number));
    platform::debug_output(line);
}

void trace_read_switch() {
    g_to_debug_output.store(platform::environment_flag(TRACE_SWITCH_VARIABLE),
                            std::memory_order_relaxed);
}

void trace_set_hook(trace_hook hook) {
    g_hook.store(hook, std::memory_order_release);
}
