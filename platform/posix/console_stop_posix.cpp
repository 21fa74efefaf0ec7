#include <signal.h>
#include <string.h>

#include "platform/console_stop.h"

namespace platform {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free,
              "the flag's address is read in a signal handler");
std::atomic<std::atomic<bool>*> g_requested{nullptr};

void on_stop_signal(int) {
    if (std::atomic<bool>* requested = g_requested.load())
        requested->store(true);
}

}  // namespace

bool console_stop_install(std::atomic<bool>* requested) {
    g_requested.store(requested);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace platform
