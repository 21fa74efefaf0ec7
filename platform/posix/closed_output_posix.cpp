#include <signal.h>

#include "platform/closed_output.h"

namespace platform {

void closed_output_ignore() {
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
