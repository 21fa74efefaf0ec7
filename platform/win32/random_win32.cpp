#include <windows.h>
// RtlGenRandom is ADVAPI32's SystemFunction036, declared here under its documented name.
#include <ntsecapi.h>

#include "platform/random.h"

namespace platform::detail {

int system_random_bytes(void* buffer, uint32_t size) {
    return RtlGenRandom(buffer, size) ? 1 : 0;
}

}  // namespace platform::detail
