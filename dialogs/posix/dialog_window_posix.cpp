// No window system natively: the dialogs go through a test's stand-in, or end unshown.
#include <atomic>

#include "dialogs/posix/dialog_window_stand_in.h"

namespace {
std::atomic<dialog_window_stand_in*> g_stand_in{nullptr};
}

void dialog_window_install_stand_in(dialog_window_stand_in* stand_in) {
    g_stand_in.store(stand_in);
}

void dialog_window_run(dialog_kind kind) {
    if (dialog_window_stand_in* stand_in = g_stand_in.load())
        stand_in->run(kind);
}

int dialog_window_to_front(void* window) {
    dialog_window_stand_in* stand_in = g_stand_in.load();
    return stand_in ? stand_in->to_front(window) : 0;
}

void dialog_window_close(void* window) {
    if (dialog_window_stand_in* stand_in = g_stand_in.load())
        stand_in->close(window);
}

void dialog_window_refresh(void* window) {
    if (dialog_window_stand_in* stand_in = g_stand_in.load())
        stand_in->refresh(window);
}

void dialog_window_list_replace(void* window, int control, const char* lines, size_t size) {
    if (dialog_window_stand_in* stand_in = g_stand_in.load())
        stand_in->list_replace(window, control, lines, size);
}
