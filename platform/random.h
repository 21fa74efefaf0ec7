// The system's cryptographic random source.
//
// random_bytes fills size bytes at buffer from the operating system's source of
// unpredictable bytes (RtlGenRandom on Windows, getrandom natively) and returns 1, or 0 when
// the source failed (the buffer's bytes are then unspecified). Any thread may call it.
//
// Tests replace the source with random_set_source(fn) and restore it with
// random_set_source(nullptr); the swap is atomic.
#pragma once

#include <cstdint>

namespace platform {

int random_bytes(void* buffer, uint32_t size);

using random_source = int (*)(void* buffer, uint32_t size);
void random_set_source(random_source source);

namespace detail {
int system_random_bytes(void* buffer, uint32_t size);  // one per platform
}

}  // namespace platform
