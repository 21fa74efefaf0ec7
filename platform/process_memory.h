// The process's resident memory and free address space, for the benchmarks that weigh a
// connection.
//
// process_resident_bytes() is the memory of the calling process that is resident right now:
// the working set on Windows (GetProcessMemoryInfo, kernel32's K32 entry from Windows 7 on),
// the resident set of /proc/self/statm elsewhere. 0 when it cannot be read. Any thread.
#pragma once

#include <cstddef>

namespace platform {

size_t process_resident_bytes();

// The process's address space that is still free, and the largest piece of it: on Windows
// what can still be reserved (the largest piece to within a factor of two), elsewhere what
// the address-space limit (ulimit -v) leaves beside the mapped size, counted as one piece. 0 when it cannot be
// read (no limit set, natively). For the floods, which weigh what clients take from a host.
int process_free_address_space(size_t* free_bytes, size_t* largest_free);

}  // namespace platform
