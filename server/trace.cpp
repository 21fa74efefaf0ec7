#include "server/trace.h"

#include <atomic>
#include <cstdio>

#include "platform/debug_output.h"
#include "platform/environment.h"

namespace {
std::atomic<trace_hook> g_hook{nullptr};
std::atomic<bool> g_to_debug_output{false};

// Tells the hook; true when the line is to be written as well.
bool traced(const char* message, int32_t number) {
    trace_hook hook = g_hook.load(std::memory_order_acquire);
    if (hook)
        hook(message, number);
    return g_to_debug_output.load(std::memory_order_relaxed);
}

void write_line(const char* text, int32_t number) {
    char line[320];
    std::snprintf(line, sizeof line, "Sendrel trace: %s (%ld)\n", text, static_cast<long>(number));
    platform::debug_output(line);
}

// The message with its placeholders filled in, cut to fit; the message is one of the
// plug-in's own texts, never a format that came from outside.
void name_connection(const char* message, uintptr_t socket, const char* address_text, char* out,
                     size_t size) {
    char socket_text[24];
    std::snprintf(socket_text, sizeof socket_text, "%lu", static_cast<unsigned long>(socket));
    size_t length = 0;
    auto append = [&](const char* text) {
        while (*text && length + 1 < size)
            out[length++] = *text++;
    };
    bool named = false;
    for (const char* at = message; *at; ++at) {
        if (at[0] == '%' && (at[1] == 'd' || at[1] == 's')) {
            append(at[1] == 'd' ? socket_text : address_text);
            named = true;
            ++at;
        } else {
            const char one[2] = {*at, '\0'};
            append(one);
        }
    }
    if (!named) {
        append(" socket:");
        append(socket_text);
        append(" from:");
        append(address_text);
    }
    out[length] = '\0';
}

}  // namespace

void trace(const char* message, int32_t number) {
    if (traced(message, number))
        write_line(message, number);
}

void trace_connection(const char* message, uintptr_t socket, const char* address_text) {
    if (!traced(message, 0))
        return;
    char text[256];
    name_connection(message, socket, address_text, text, sizeof text);
    write_line(text, 0);
}

void trace_read_switch() {
    g_to_debug_output.store(platform::environment_flag(TRACE_SWITCH_VARIABLE),
                            std::memory_order_relaxed);
}

void trace_set_hook(trace_hook hook) {
    g_hook.store(hook, std::memory_order_release);
}
