// What the dialog logic needs of an open dialog's controls, so the logic runs the same on the
// real window system and, in tests, on a fake control set.
//
// A dialog_controls object stands for one dialog window and is used only on the thread that
// runs that dialog. Controls are named by their ids (dialogs/dialog_ids.h). Nothing throws.
//
// read_text fills a TEXT_FIELD_MAX buffer: at most TEXT_FIELD_MAX - 1 characters and the
// terminator, a longer text cut after them. List indexes count from 0; LIST_ERROR is the
// list box's answer for "none" (no selection) and for a refused line.
#pragma once

#include "module/settings.h"

constexpr int LIST_ERROR = -1;

class dialog_controls {
  public:
    virtual ~dialog_controls() = default;

    virtual void set_caption(const char* text) = 0;
    virtual void set_text(int control, const char* text) = 0;
    virtual void read_text(int control, char out[TEXT_FIELD_MAX]) = 0;
    virtual void enable(int control, bool enabled) = 0;

    // Check boxes: 1 checked, 0 clear, 2 indeterminate.
    virtual int check_state(int control) = 0;
    virtual void set_check_state(int control, int state) = 0;

    virtual void list_reset(int control) = 0;
    // Appends a line (a sorted list box puts it in its order); the new line's index or
    // LIST_ERROR.
    virtual int list_add(int control, const char* text) = 0;
    virtual int list_insert(int control, int index, const char* text) = 0;
    virtual void list_delete(int control, int index) = 0;
    // The first line whose text equals text (as the list box compares), or LIST_ERROR.
    virtual int list_find(int control, const char* text) = 0;
    virtual int list_selection(int control) = 0;
    virtual void list_select(int control, int index) = 0;
    virtual void* list_data(int control, int index) = 0;
    virtual void list_set_data(int control, int index, void* data) = 0;
};
