// The dialog procedures of the two dialogs: thin, they hand every message they answer to the
// dialogs' own logic with the dialog's controls.
#pragma once

#include <windows.h>

// The learn dialog's refresh request: it shows the current title, prompt and text again.
constexpr UINT LEARN_REFRESH_MESSAGE = WM_USER + 1;

INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK learn_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
