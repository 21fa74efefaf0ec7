#include <windows.h>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/settings_dialog_logic.h"
#include "dialogs/win32/dialog_procedures.h"
#include "dialogs/win32/window_controls.h"
#include "module/module_state.h"

INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            HICON icon =
                LoadIconA(static_cast<HINSTANCE>(module_instance()), MAKEINTRESOURCEA(DIALOG_ICON));
            SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            window_controls controls(window);
            // Closed while it started: it ends before it is ever shown.
            if (!settings_dialog_initialise(window, controls))
                EndDialog(window, 0);
            return FALSE;
        }
        case WM_DESTROY: {
            // The close request, and then the window's own destruction: the second time
            // there is no icon left, and the second quit request changes nothing.
            settings_dialog_slot().mark_ending();
            auto icon = reinterpret_cast<HICON>(SendMessageA(window, WM_SETICON, ICON_SMALL, 0));
            if (icon)
                DestroyIcon(icon);
            PostQuitMessage(0);
            return FALSE;
        }
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
