#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace platform::detail {

int system_random_bytes(void* buffer, uint32_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    uint32_t filled = 0;
    while (filled < size) {
        ssize_t got = getrandom(bytes + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        filled += static_cast<uint32_t>(got);
    }
    return 1;
}

}  // namespace platform::detail
