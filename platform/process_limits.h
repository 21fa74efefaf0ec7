// The process's limit on open handles, for tests and tools that hold many connections.
//
// process_allow_open_handles(count) raises the calling process's limit on open descriptors to
// at least count where the system has such a limit below its hard maximum (natively the soft
// RLIMIT_NOFILE); Windows has none for sockets, so there it does nothing. Returns false when
// the limit stays below count. Call it before the threads that open them start.
#pragma once

#include <cstddef>

namespace platform {

bool process_allow_open_handles(size_t count);

}  // namespace platform
