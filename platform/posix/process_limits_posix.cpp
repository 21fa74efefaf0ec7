#include <sys/resource.h>

#include "platform/process_limits.h"

namespace platform {

bool process_allow_open_handles(size_t count) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= count)
        return true;
    if (limit.rlim_cur == RLIM_INFINITY)
        return true;
    limit.rlim_cur = (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= count)
                         ? static_cast<rlim_t>(count)
                         : limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= count;
}

}  // namespace platform
