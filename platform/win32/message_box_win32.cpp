#include <windows.h>

#include "platform/message_box.h"

namespace platform::detail {

int system_message_box(const char* text, const char* caption) {
    return MessageBoxA(nullptr, text, caption, MB_OK);
}

}  // namespace platform::detail
