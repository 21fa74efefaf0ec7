// A dialog's controls without a window system, for the dialog logic's tests. It behaves as
// the real controls do where the logic depends on it: list boxes keep per-line data, a sorted
// one places lines in text order, deleting or inserting lines moves the selection as a list
// box does, an edit field's text is read back cut to 199 characters, and writing an edit
// field's text announces a change (on_edit_change, as the edit control's EN_CHANGE does).
// One thread at a time.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dialogs/dialog_controls.h"

class fake_controls : public dialog_controls {
  public:
    struct line {
        std::string text;
        void* data;
    };

    std::string caption;
    std::map<int, std::string> texts;
    std::set<int> disabled;
    std::map<int, int> checks;
    std::map<int, std::vector<line>> lists;
    std::map<int, int> selections;  // absent: none
    std::set<int> sorted_lists;
    std::set<int> edits;        // controls whose text changes are announced
    bool refuse_lines = false;  // list boxes answer LIST_ERROR to new lines
    int accept_lines = -1;      // when not -1: new lines taken before they are refused
    std::function<void(int control)> on_edit_change;
    std::function<void(int control)> on_new_line;  // after a list has taken a new line

    bool is_enabled(int control) const { return disabled.count(control) == 0; }
    std::vector<std::string> list_texts(int control) const;
    int selection(int control) const;

    void set_caption(const char* text) override { caption = text; }
    void set_text(int control, const char* text) override;
    void read_text(int control, char out[TEXT_FIELD_MAX]) override;
    void enable(int control, bool enabled) override;
    int check_state(int control) override { return checks[control]; }
    void set_check_state(int control, int state) override { checks[control] = state; }
    void list_reset(int control) override;
    int list_add(int control, const char* text) override;
    int list_insert(int control, int index, const char* text) override;
    void list_delete(int control, int index) override;
    int list_find(int control, const char* text) override;
    int list_selection(int control) override { return selection(control); }
    void list_select(int control, int index) override;
    void* list_data(int control, int index) override;
    void list_set_data(int control, int index, void* data) override;
};
