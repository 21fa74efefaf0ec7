#include <stdio.h>

#include "platform/debug_output.h"

namespace platform {

void debug_output(const char* text) {
    fputs(text, stderr);
    fflush(stderr);
}

}  // namespace platform
