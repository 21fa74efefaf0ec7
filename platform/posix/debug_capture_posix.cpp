#include "platform/debug_capture.h"

namespace platform {

// The debug output is standard error here: there is nothing to take.
bool debug_capture_start(debug_capture_sink) {
    return true;
}

void debug_capture_stop() {}

}  // namespace platform
