#include <windows.h>

#include "platform/environment.h"

namespace platform {

// Reads the process's own environment block, which SetEnvironmentVariableA changes, rather
// than the run-time library's copy made at start-up.
bool environment_flag(const char* name) {
    char value[8];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    if (length == 0)
        return false;
    return !(length == 1 && value[0] == '0');
}

bool environment_set(const char* name, const char* value) {
    return SetEnvironmentVariableA(name, value) != 0;
}

}  // namespace platform
