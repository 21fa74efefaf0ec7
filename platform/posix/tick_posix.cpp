#include <time.h>

#include "platform/tick.h"

namespace platform::detail {

uint32_t system_tick_count() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Truncation to 32 bits is the point: the counter wraps like the Windows one.
    uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

}  // namespace platform::detail
