#include "dialogs/win32/window_controls.h"

LRESULT window_controls::send(int control, UINT message, WPARAM wparam, LPARAM lparam) {
    return SendMessageA(GetDlgItem(dialog_, control), message, wparam, lparam);
}

void window_controls::set_caption(const char* text) {
    SendMessageA(dialog_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void window_controls::set_text(int control, const char* text) {
    SetDlgItemTextA(dialog_, control, text);
}

void window_controls::read_text(int control, char out[TEXT_FIELD_MAX]) {
    out[0] = '\0';
    LRESULT length = send(control, WM_GETTEXT, TEXT_FIELD_MAX, reinterpret_cast<LPARAM>(out));
    if (length < 0 || length >= TEXT_FIELD_MAX)
        length = 0;
    out[length] = '\0';
}

void window_controls::enable(int control, bool enabled) {
    EnableWindow(GetDlgItem(dialog_, control), enabled ? TRUE : FALSE);
}

int window_controls::check_state(int control) {
    return static_cast<int>(send(control, BM_GETCHECK, 0, 0));
}

void window_controls::set_check_state(int control, int state) {
    send(control, BM_SETCHECK, static_cast<WPARAM>(state), 0);
}

void window_controls::list_reset(int control) {
    send(control, LB_RESETCONTENT, 0, 0);
}

int window_controls::list_add(int control, const char* text) {
    LRESULT line = send(control, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    return line < 0 ? LIST_ERROR : static_cast<int>(line);
}

int window_controls::list_insert(int control, int index, const char* text) {
    LRESULT line =
        send(control, LB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text));
    return line < 0 ? LIST_ERROR : static_cast<int>(line);
}

void window_controls::list_delete(int control, int index) {
    send(control, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int window_controls::list_find(int control, const char* text) {
    LRESULT line =
        send(control, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
    return line < 0 ? LIST_ERROR : static_cast<int>(line);
}

int window_controls::list_selection(int control) {
    LRESULT line = send(control, LB_GETCURSEL, 0, 0);
    return line < 0 ? LIST_ERROR : static_cast<int>(line);
}

void window_controls::list_select(int control, int index) {
    send(control, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void* window_controls::list_data(int control, int index) {
    LRESULT data = send(control, LB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    return data == LB_ERR ? nullptr : reinterpret_cast<void*>(data);
}

void window_controls::list_set_data(int control, int index, void* data) {
    send(control, LB_SETITEMDATA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(data));
}
