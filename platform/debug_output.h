// The platform's debug output, where diagnostics go that a user asked for: OutputDebugStringA
// on Windows, which debug viewers, debuggers and Wine's "debugstr" channel show (and which
// costs nothing visible when nobody listens); standard error natively. The text should end
// with a line feed. Any thread.
#pragma once

namespace platform {

void debug_output(const char* text);

}  // namespace platform
