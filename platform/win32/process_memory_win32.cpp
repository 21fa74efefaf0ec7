#include <windows.h>
// After windows.h, which it needs. With Windows 7 as the target the call is kernel32's
// K32GetProcessMemoryInfo, so the plug-in needs no psapi library.
#include <psapi.h>

#include "platform/process_memory.h"

namespace platform {

size_t process_resident_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.WorkingSetSize;
}

}  // namespace platform
