#include <cstring>

#include "platform/error_text.h"

namespace platform {

std::string socket_error_text(int error) {
    const char* text = std::strerror(error);
    std::string number = "error " + std::to_string(error);
    return text && *text ? std::string(text) + ", " + number : number;
}

}  // namespace platform
