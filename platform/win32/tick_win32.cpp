#include <windows.h>

#include "platform/tick.h"

namespace platform::detail {

uint32_t system_tick_count() {
    return GetTickCount();
}

}  // namespace platform::detail
