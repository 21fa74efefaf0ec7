#include <windows.h>

#include "platform/debug_output.h"

namespace platform {

void debug_output(const char* text) {
    OutputDebugStringA(text);
}

}  // namespace platform
