// A dialog's controls through USER32, for the dialog procedures: every call goes to the
// control's window on the calling thread, which is the dialog's own.
#pragma once

#include <windows.h>

#include "dialogs/dialog_controls.h"

class window_controls final : public dialog_controls {
  public:
    explicit window_controls(HWND dialog) : dialog_(dialog) {}

    void set_caption(const char* text) override;
    void set_text(int control, const char* text) override;
    void read_text(int control, char out[TEXT_FIELD_MAX]) override;
    void enable(int control, bool enabled) override;
    int check_state(int control) override;
    void set_check_state(int control, int state) override;
    void list_reset(int control) override;
    int list_add(int control, const char* text) override;
    int list_insert(int control, int index, const char* text) override;
    void list_delete(int control, int index) override;
    int list_find(int control, const char* text) override;
    int list_selection(int control) override;
    void list_select(int control, int index) override;
    void* list_data(int control, int index) override;
    void list_set_data(int control, int index, void* data) override;

  private:
    LRESULT send(int control, UINT message, WPARAM wparam, LPARAM lparam);
    HWND dialog_;
};
