// The millisecond tick counter.
//
// tick_count() is the platform's counter of milliseconds since the system started, 32 bits
// wide and wrapping after 2^32 ms: callers take differences in unsigned 32-bit arithmetic.
// Any thread may call it.
//
// Tests replace the counter with tick_set_source(fn) and restore it with
// tick_set_source(nullptr). The source is swapped atomically, so a test may set it while
// server threads read the tick.
#pragma once

#include <cstdint>

namespace platform {

uint32_t tick_count();

using tick_source = uint32_t (*)();
void tick_set_source(tick_source source);

namespace detail {
uint32_t system_tick_count();  // the real counter, one per platform
}

}  // namespace platform
