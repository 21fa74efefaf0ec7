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

// A rebuild repaints the list once at its end, not after every line.
void dialog_window_list_begin(void* window, int control) {
    HWND list = GetDlgItem(as_window(window), control);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
}

void dialog_window_list_add(void* window, int control, const char* text) {
    SendMessageA(GetDlgItem(as_window(window), control), LB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(text));
}

void dialog_window_list_end(void* window, int control) {
    HWND list = GetDlgItem(as_window(window), control);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}
