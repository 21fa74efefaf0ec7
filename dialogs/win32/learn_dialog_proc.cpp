#include <windows.h>

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/learn_dialog_logic.h"
#include "dialogs/win32/dialog_procedures.h"
#include "dialogs/win32/window_controls.h"

namespace {
// The learn dialog ends only by a quit request to its own thread; its modal loop then stops
// and destroys the window. From the quit on, the dialog is ending: a new request waits for it
// rather than re-targeting it. Ending twice changes nothing.
void end_dialog() {
    learn_dialog_slot().mark_ending();
    PostQuitMessage(0);
}
}  // namespace

INT_PTR CALLBACK learn_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            window_controls controls(window);
            // Closed while it started: it ends before it is ever shown.
            if (!learn_dialog_initialise(window, controls))
                PostQuitMessage(0);
            return FALSE;
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == ID_OK_BUTTON) {
                window_controls controls(window);
                learn_dialog_store_result(controls);
                end_dialog();
            } else if (LOWORD(wparam) == ID_CANCEL_BUTTON) {
                end_dialog();
            }
            return FALSE;
        case WM_CLOSE:
        case WM_DESTROY:
            end_dialog();
            return FALSE;
        case LEARN_REFRESH_MESSAGE: {
            window_controls controls(window);
            learn_dialog_show_texts(controls);
            return TRUE;
        }
        default:
            return FALSE;
    }
}
