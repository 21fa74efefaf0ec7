#include "platform/adapter_status.h"

namespace platform::detail {

// There is no NetBIOS here: every query fails, so no hardware-address rule matches.
int system_adapter_status_query(const char*, uint8_t*) {
    return 0;
}

}  // namespace platform::detail
