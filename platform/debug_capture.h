// Receiving the debug output of one's own process, for programs that play host and show a
// loaded module's diagnostics (see debug_output.h).
//
// On Windows, debug_capture_start installs a vectored exception handler that takes every
// OutputDebugStringA text of the process, as a debugger would, and hands it to the sink on
// the thread that wrote it; the text then goes to no other listener. Several threads may call
// the sink at once. Natively the debug output is standard error already and nothing is
// captured. debug_capture_stop lets the texts through again. Both from any thread.
#pragma once

#include <cstddef>

namespace platform {

// text is not zero-terminated; length excludes the terminator the writer passed.
using debug_capture_sink = void (*)(const char* text, size_t length);

bool debug_capture_start(debug_capture_sink sink);
void debug_capture_stop();

}  // namespace platform
