// What the host process still has for itself, for the floods: free address space, its largest
// piece, and whether an allocation of 256 MiB (as a host's own large buffer) succeeds right
// now. One line, printed by the reference host and the native flood host on a "memory" line.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/process_memory.h"

inline std::string memory_report() {
    constexpr size_t MIB = 1024 * 1024;
    constexpr size_t HOST_ALLOCATION = 256 * MIB;
    size_t free_bytes = 0, largest = 0;
    bool known = platform::process_free_address_space(&free_bytes, &largest) != 0;
    void* block = std::malloc(HOST_ALLOCATION);
    if (block)
        std::memset(block, 1, HOST_ALLOCATION);  // really the host's: touched, not just reserved
    std::free(block);
    char line[160];
    if (known) {
        std::snprintf(line, sizeof line,
                      "memory: free address space %zu MiB, largest free piece %zu MiB or more, "
                      "256 MiB allocation %s",
                      free_bytes / MIB, largest / MIB, block ? "ok" : "FAILED");
    } else {
        std::snprintf(line, sizeof line,
                      "memory: free address space unknown, 256 MiB allocation %s",
                      block ? "ok" : "FAILED");
    }
    return line;
}
