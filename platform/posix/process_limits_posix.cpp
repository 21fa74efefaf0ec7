#include <sys/resource.h>

#include "platform/process_limits.h"

namespace platform {

bool process_allow_open_handles(size_t count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= count)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < count)
        return false;
    limit.rlim_cur = static_cast<rlim_t>(count);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace platform
