#include <windows.h>

#include "dialogs/learn_dialog_logic.h"
#include "dialogs/win32/dialog_procedures.h"
#include "dialogs/win32/window_controls.h"

INT_PTR CALLBACK learn_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            window_controls controls(window);
            // Closed while it started: it ends before it is ever shown.
            if (!learn_dialog_initialise(window, controls))
                PostQuitMessage(0);
            return FALSE;
        }
        // The dialog ends only by a quit request to its own thread; its modal loop then stops
        // and destroys the window.
        case WM_COMMAND: {
            window_controls controls(window);
            if (learn_dialog_command(controls, LOWORD(wparam)))
                PostQuitMessage(0);
            return FALSE;
        }
        case WM_CLOSE:
        case WM_DESTROY:
            learn_dialog_ending();
            PostQuitMessage(0);
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
