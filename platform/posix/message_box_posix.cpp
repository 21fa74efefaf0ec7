#include <cstdio>

#include "platform/message_box.h"

namespace platform::detail {

int system_message_box(const char* text, const char* caption) {
    std::fprintf(stderr, "[%s] %s\n", caption, text);
    return 1;
}

}  // namespace platform::detail
