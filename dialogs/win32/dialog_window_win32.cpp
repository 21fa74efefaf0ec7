// The dialogs on USER32: modal dialogs from the module's templates, and the requests other
// threads send them with SendMessage, which delivers them synchronously on the dialog thread.
#include <windows.h>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_window.h"
#include "dialogs/win32/dialog_procedures.h"
#include "module/module_state.h"

namespace {
HWND as_window(void* window) {
    return static_cast<HWND>(window);
}
}  // namespace

void dialog_window_run(dialog_kind kind) {
    auto instance = static_cast<HINSTANCE>(module_instance());
    if (kind == dialog_kind::settings) {
        DialogBoxParamA(instance, MAKEINTRESOURCEA(SETTINGS_DIALOG_TEMPLATE), nullptr,
                        settings_dialog_proc, 0);
    } else {
        DialogBoxParamA(instance, MAKEINTRESOURCEA(LEARN_DIALOG_TEMPLATE), nullptr,
                        learn_dialog_proc, 0);
    }
}

int dialog_window_to_front(void* window) {
    return SetForegroundWindow(as_window(window)) ? 1 : 0;
}

void dialog_window_close(void* window) {
    SendMessageA(as_window(window), WM_DESTROY, 0, 0);
}

void dialog_window_refresh(void* window) {
    SendMessageA(as_window(window), LEARN_REFRESH_MESSAGE, 0, 0);
}

// One message to the dialog thread for the whole list: every cross-thread message is a round
// trip through the window system, and the connection table waits for them with its lock held.
void dialog_window_list_replace(void* window, int control, const char* lines, size_t size) {
    list_lines block = {control, lines, size};
    SendMessageA(as_window(window), REPLACE_LIST_MESSAGE, 0, reinterpret_cast<LPARAM>(&block));
}
