// The process's resident memory, for the benchmarks that weigh a connection.
//
// process_resident_bytes() is the memory of the calling process that is resident right now:
// the working set on Windows (GetProcessMemoryInfo, kernel32's K32 entry from Windows 7 on),
// the resident set of /proc/self/statm elsewhere. 0 when it cannot be read. Any thread.
#pragma once

#include <cstddef>

namespace platform {

size_t process_resident_bytes();

}  // namespace platform
