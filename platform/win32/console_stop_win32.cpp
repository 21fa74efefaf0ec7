#include <windows.h>

#include "platform/console_stop.h"

namespace platform {

namespace {

std::atomic<std::atomic<bool>*> g_requested{nullptr};

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (std::atomic<bool>* requested = g_requested.load())
                requested->store(true);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

bool console_stop_install(std::atomic<bool>* requested) {
    g_requested.store(requested);
    return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

}  // namespace platform
