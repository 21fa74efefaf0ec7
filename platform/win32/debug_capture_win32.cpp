#include <windows.h>

#include <atomic>

#include "platform/debug_capture.h"

namespace platform {

namespace {

std::atomic<debug_capture_sink> g_sink{nullptr};

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the text's length (terminator included)
// and address; continuing the execution tells it that a debugger took the text.
LONG CALLBACK take_debug_text(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    debug_capture_sink sink = g_sink.load(std::memory_order_acquire);
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    if (!sink || !text)
        return EXCEPTION_CONTINUE_SEARCH;
    size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
    if (length > 0 && text[length - 1] == '\0')
        --length;
    sink(text, length);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

bool debug_capture_start(debug_capture_sink sink) {
    g_sink.store(sink, std::memory_order_release);
    // Installed once for the life of the process; a stopped capture passes every text on.
    static void* handler = AddVectoredExceptionHandler(1, take_debug_text);
    return handler != nullptr;
}

void debug_capture_stop() {
    g_sink.store(nullptr, std::memory_order_release);
}

}  // namespace platform
