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

int process_free_address_space(size_t* free_bytes, size_t* largest_free) {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    auto* at = static_cast<char*>(system.lpMinimumApplicationAddress);
    auto* end = static_cast<char*>(system.lpMaximumApplicationAddress);
    *free_bytes = 0;
    *largest_free = 0;
    MEMORY_BASIC_INFORMATION region{};
    while (at < end && VirtualQuery(at, &region, sizeof region) == sizeof region) {
        if (region.State == MEM_FREE) {
            *free_bytes += region.RegionSize;
            if (region.RegionSize > *largest_free)
                *largest_free = region.RegionSize;
        }
        at = static_cast<char*>(region.BaseAddress) + region.RegionSize;
    }
    return 1;
}

}  // namespace platform
