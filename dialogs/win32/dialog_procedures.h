// The dialog procedures of the two dialogs: thin, they hand every message they answer to the
// dialogs' own logic with the dialog's controls.
#pragma once

#include <windows.h>

#include <cstddef>

// The learn dialog's refresh request: it shows the current title, prompt and text again.
constexpr UINT LEARN_REFRESH_MESSAGE = WM_USER + 1;

// The settings dialog's request to replace every line of a list (lparam: a list_lines).
constexpr UINT REPLACE_LIST_MESSAGE = WM_APP + 1;
struct list_lines {
    int control;
    const char* lines;  // each line ended by a zero byte
    size_t size;
};

INT_PTR CALLBACK settings_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK learn_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
