// The system's own words for a socket error number (net_last_error), for programs that tell a
// user what went wrong: strerror natively, FormatMessage on Windows. For tools and clients,
// not the plug-in. Any thread.
#pragma once

#include <string>

namespace platform {

// "TEXT, error N" (the text without its final full stop and line end), or "error N" when
// the system has no text for the number.
std::string socket_error_text(int error);

}  // namespace platform
