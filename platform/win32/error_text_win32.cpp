#include <windows.h>
#include <winsock2.h>

#include "platform/error_text.h"

namespace platform {

namespace {

// Windows' words for the socket errors a client meets, for systems whose message tables lack
// them (Wine has none for Winsock's numbers).
const char* known_socket_error(int error) {
    switch (error) {
        case WSAEADDRNOTAVAIL:
            return "The requested address is not valid in its context";
        case WSAECONNREFUSED:
            return "No connection could be made because the target machine actively refused it";
        case WSAETIMEDOUT:
            return "A connection attempt failed because the connected party did not properly "
                   "respond after a period of time";
        case WSAENETUNREACH:
            return "A socket operation was attempted to an unreachable network";
        case WSAEHOSTUNREACH:
            return "A socket operation was attempted to an unreachable host";
        case WSAECONNRESET:
            return "An existing connection was forcibly closed by the remote host";
        case WSAECONNABORTED:
            return "An established connection was aborted by the software in your host machine";
        default:
            return nullptr;
    }
}

}  // namespace

std::string socket_error_text(int error) {
    char buffer[512] = {0};
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
    // The system's texts end in a full stop and a line end.
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                          buffer[length - 1] == '.' || buffer[length - 1] == ' '))
        --length;
    std::string number = "error " + std::to_string(error);
    if (length > 0)
        return std::string(buffer, length) + ", " + number;
    const char* known = known_socket_error(error);
    return known ? std::string(known) + ", " + number : number;
}

}  // namespace platform
