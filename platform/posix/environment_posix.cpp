#include <stdlib.h>

#include "platform/environment.h"

namespace platform {

bool environment_flag(const char* name) {
    const char* value = getenv(name);
    return value && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

bool environment_set(const char* name, const char* value) {
    return setenv(name, value, 1) == 0;
}

}  // namespace platform
