#include <windows.h>

#include "dialogs/dialog_ids.h"
#include "dialogs/settings_dialog_logic.h"
#include "dialogs/win32/dialog_procedures.h"
#include "dialogs/win32/window_controls.h"
#include "module/module_state.h"

namespace {

// The connection list is painted at most every LIST_PAINT_DELAY_MS. A busy server changes it
// far more often than anyone can read it, and every painting keeps the dialog thread (and so
// the connection that waits for it, holding the connection table's lock) busy for
// milliseconds. Its contents change at once; only the painting waits. Dialog thread only.
constexpr UINT LIST_PAINT_DELAY_MS = 100;
bool g_list_paint_pending = false;

void defer_list_paint(HWND window, int control) {
    if (g_list_paint_pending)
        return;
    HWND list = GetDlgItem(window, control);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    if (SetTimer(window, static_cast<UINT_PTR>(control), LIST_PAINT_DELAY_MS, nullptr)) {
        g_list_paint_pending = true;
    } else {
        SendMessageA(list, WM_SETREDRAW, TRUE, 0);  // painted as it changes, then
    }
}

void paint_list(HWND window, int control) {
    KillTimer(window, static_cast<UINT_PTR>(control));
    g_list_paint_pending = false;
    HWND list = GetDlgItem(window, control);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

}  // namespace

INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            HICON icon =
                LoadIconA(static_cast<HINSTANCE>(module_instance()), MAKEINTRESOURCEA(DIALOG_ICON));
            SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            g_list_paint_pending = false;
            window_controls controls(window);
            // Closed while it started: it ends before it is ever shown.
            if (!settings_dialog_initialise(window, controls))
                EndDialog(window, 0);
            return FALSE;
        }
        case WM_DESTROY: {
            // The close request, and then the window's own destruction: the second time
            // there is no icon left, and the second quit request changes nothing.
            settings_dialog_ending();
            auto icon = reinterpret_cast<HICON>(SendMessageA(window, WM_SETICON, ICON_SMALL, 0));
            if (icon)
                DestroyIcon(icon);
            PostQuitMessage(0);
            return FALSE;
        }
        case REPLACE_LIST_MESSAGE: {
            const auto* block = reinterpret_cast<const list_lines*>(lparam);
            defer_list_paint(window, block->control);
            window_controls controls(window);
            settings_dialog_show_lines(controls, block->control, block->lines, block->size);
            return TRUE;
        }
        case WM_TIMER:
            if (wparam == ID_CONNECTION_LIST)
                paint_list(window, ID_CONNECTION_LIST);
            return FALSE;
        case WM_COMMAND: {
            window_controls controls(window);
            command_outcome outcome =
                settings_dialog_command(controls, LOWORD(wparam), HIWORD(wparam));
            if (outcome.end != dialog_end::no)
                EndDialog(window, outcome.end == dialog_end::with_ok ? 1 : 0);
            return outcome.answer;
        }
        default:
            return FALSE;
    }
}
