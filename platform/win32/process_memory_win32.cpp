#include <windows.h>
// After windows.h, which it needs. With Windows 7 as the target the call is kernel32's
// K32GetProcessMemoryInfo, so the plug-in needs no psapi library.
#include <psapi.h>

#include <new>
#include <vector>

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
    // What the process can still get, found by getting it: reserve the largest pieces that can
    // be had, then the smaller ones, down to 64 KiB, and release them all again. Counting the
    // free regions instead would miss what the system keeps reserved and hands out on demand,
    // as Wine does. The largest piece is known to within a factor of two.
    std::vector<void*> reserved;
    *free_bytes = 0;
    *largest_free = 0;
    for (size_t size = size_t{1} << 31; size >= 64 * 1024; size /= 2) {
        for (;;) {
            void* piece = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS);
            if (!piece)
                break;
            try {
                reserved.push_back(piece);
            } catch (const std::bad_alloc&) {
                VirtualFree(piece, 0, MEM_RELEASE);
                break;
            }
            *free_bytes += size;
            if (size > *largest_free)
                *largest_free = size;
        }
    }
    for (void* piece : reserved)
        VirtualFree(piece, 0, MEM_RELEASE);
    return 1;
}

}  // namespace platform
