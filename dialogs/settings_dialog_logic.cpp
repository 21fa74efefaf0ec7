#include "dialogs/settings_dialog_logic.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "access/access_list.h"
#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "settings/settings_store.h"

namespace {

constexpr const char* DISPLAY_NAME = "Sendrel";

struct translated_label {
    const char* source;
    int control;
};

// In the order the host is asked for them.
constexpr translated_label TRANSLATED_LABELS[] = {
    {"Settings", ID_SETTINGS_GROUP},
    {"Ok", ID_OK_BUTTON},
    {"Cancel", ID_CANCEL_BUTTON},
    {"Apply", ID_APPLY_BUTTON},
    {"Add", ID_ADD_RULE},
    {"Delete", ID_DELETE_RULE},
    {"Modify", ID_MODIFY_RULE},
    {"Allow All", ID_ALLOW_ALL},
    {"Disable Abuse Protection", ID_DISABLE_ABUSE_PROTECTION},
    {"Password", ID_PASSWORD_LABEL},
    {"Port", ID_PORT_LABEL},
    {"Open connections", ID_CONNECTIONS_GROUP},
};

constexpr int BST_CHECKED_STATE = 1;
constexpr int CHECK_BOX_CLICKED = 0;       // BN_CLICKED
constexpr int LIST_SELECTION_CHANGED = 1;  // LBN_SELCHANGE
constexpr int EDIT_CHANGED = 0x300;        // EN_CHANGE

void enable_apply(dialog_controls& controls, bool enabled) {
    controls.enable(ID_APPLY_BUTTON, enabled);
}

bool is_white_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

namespace {

// The lines the connection list shows, in byte order; only the dialog thread touches it.
// `known` is false when it may not match the list (after a failure to remember).
struct shown_lines {
    std::vector<std::string> lines;
    bool known = true;
};
shown_lines g_shown_connections;

// Whether line i of the rule list shows entry i of the access list, and the access list's
// epoch its per-line entries come from. The list is replaced under an open dialog when the
// plug-in is opened again or closed; an entry of the old list must then never be handed
// back, since a new entry may have taken its address. Only the dialog thread touches it.
struct shown_rules {
    bool complete = false;
    uint64_t epoch = 0;
};
shown_rules g_shown_rules;

// Fills the rule list from the access list as it stands. A line the list box refuses leaves
// the list empty and incomplete: no line then stands for an entry it does not show.
void fill_rule_lines(dialog_controls& controls) {
    controls.list_reset(ID_RULE_LIST);
    g_shown_rules.complete = false;
    access_rules_copy rules;
    if (!access_list_copy_rules(&rules))
        return;
    for (size_t i = 0; i < rules.count(); ++i) {
        int line = controls.list_add(ID_RULE_LIST, rules.text(i));
        if (line == LIST_ERROR) {
            controls.list_reset(ID_RULE_LIST);
            return;
        }
        controls.list_set_data(ID_RULE_LIST, line, rules.entry(i));
    }
    g_shown_rules = {true, rules.epoch()};
}

// True when the rule list shows the access list; otherwise it is filled anew (the selection
// goes) and the command that asked does nothing more.
bool rule_lines_current(dialog_controls& controls) {
    if (g_shown_rules.complete && g_shown_rules.epoch == access_list_epoch())
        return true;
    fill_rule_lines(controls);
    return false;
}

access_entry* entry_of_line(dialog_controls& controls, int line) {
    return static_cast<access_entry*>(controls.list_data(ID_RULE_LIST, line));
}

// Calls use(line, length) for each zero-terminated line of the block; a tail without its
// zero byte is no line.
template <typename Use>
void for_each_line(const char* lines, size_t size, Use use) {
    for (size_t at = 0; at < size;) {
        size_t length = strnlen(lines + at, size - at);
        if (length == size - at)
            return;
        use(lines + at, length);
        at += length + 1;
    }
}

std::vector<std::string> split_lines(const char* lines, size_t size) {
    std::vector<std::string> result;
    for_each_line(lines, size,
                  [&](const char* line, size_t length) { result.emplace_back(line, length); });
    std::sort(result.begin(), result.end());
    return result;
}

void refill(dialog_controls& controls, int control, const std::vector<std::string>& lines) {
    controls.list_reset(control);
    for (const std::string& line : lines)
        controls.list_add(control, line.c_str());
}

}  // namespace

int get_check_box(dialog_controls& controls, int control) {
    return controls.check_state(control) == BST_CHECKED_STATE ? 1 : 0;
}

void set_check_box(dialog_controls& controls, int control, int flag) {
    if (flag == 0 || flag == 1)
        controls.set_check_state(control, flag);
}

int32_t port_from_text(const char* text) {
    while (is_white_space(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= INT32_MAX)
            value = value * 10 + (*text - '0');
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

bool settings_dialog_initialise(void* window, dialog_controls& controls) {
    controls.set_caption(DISPLAY_NAME);
    // A new dialog's connection list starts empty.
    g_shown_connections.lines.clear();
    g_shown_connections.known = true;
    if (!settings_dialog_slot().record_window(window))
        return false;
    for (const translated_label& label : TRANSLATED_LABELS) {
        char translated[TRANSLATED_TEXT_MAX];
        host_translate_label(label.source, translated);
        controls.set_text(label.control, translated);
    }
    settings_dialog_fill(controls);
    // Writing the password and port fields announced changes; the dialog starts unchanged.
    enable_apply(controls, false);
    return true;
}

void settings_dialog_fill(dialog_controls& controls) {
    set_check_box(controls, ID_ALLOW_ALL, settings.allow_all.load());
    set_check_box(controls, ID_DISABLE_ABUSE_PROTECTION, settings.disable_abuse_protection.load());
    std::string password;
    try {
        settings_password_copy(&password);
    } catch (const std::bad_alloc&) {
        password.clear();
    }
    controls.set_text(ID_PASSWORD, password.c_str());
    char port[16];
    std::snprintf(port, sizeof port, "%d", static_cast<int>(settings.port.load()));
    controls.set_text(ID_PORT, port);
    fill_rule_lines(controls);
}

void settings_dialog_apply(dialog_controls& controls) {
    settings.allow_all.store(get_check_box(controls, ID_ALLOW_ALL));
    settings.disable_abuse_protection.store(get_check_box(controls, ID_DISABLE_ABUSE_PROTECTION));
    char text[TEXT_FIELD_MAX];
    controls.read_text(ID_PASSWORD, text);
    // Without memory for the new text the old password stays, in memory and in the registry,
    // and the save is reported as failed.
    bool password_taken = settings_password_set(text);
    controls.read_text(ID_PORT, text);
    settings.port.store(port_from_text(text));
    settings_save(password_taken);
    enable_apply(controls, false);
}

void settings_dialog_show_selection(dialog_controls& controls) {
    int line = controls.list_selection(ID_RULE_LIST);
    if (line == LIST_ERROR || !rule_lines_current(controls))
        return;
    std::string text;
    try {
        if (!access_entry_copy_text(entry_of_line(controls, line), &text, g_shown_rules.epoch)) {
            rule_lines_current(controls);
            return;
        }
    } catch (const std::bad_alloc&) {
        return;
    }
    controls.set_text(ID_RULE_TEXT, text.c_str());
}

void settings_dialog_add_rule(dialog_controls& controls) {
    char text[TEXT_FIELD_MAX];
    controls.read_text(ID_RULE_TEXT, text);
    if (text[0] == '\0')
        return;
    // Add needs no selection: after the list was shown anew it goes on, if it could be.
    rule_lines_current(controls);
    if (!g_shown_rules.complete)
        return;
    int line = controls.list_add(ID_RULE_LIST, text);
    if (line == LIST_ERROR)
        return;
    access_entry* entry = access_list_append(text, g_shown_rules.epoch);
    if (!entry) {
        // No entry without memory for it, nor in a list other than the one shown: the line
        // goes again, so line i stays entry i, and a replaced list is shown anew.
        controls.list_delete(ID_RULE_LIST, line);
        rule_lines_current(controls);
        return;
    }
    controls.list_set_data(ID_RULE_LIST, line, entry);
    enable_apply(controls, true);
}

// The new line goes in above the old one before the entry changes, and the old line leaves
// only once the entry has its new text: whatever fails, the line and the entry agree.
void settings_dialog_modify_rule(dialog_controls& controls) {
    int line = controls.list_selection(ID_RULE_LIST);
    if (line == LIST_ERROR)
        return;
    char text[TEXT_FIELD_MAX];
    controls.read_text(ID_RULE_TEXT, text);
    if (text[0] == '\0' || !rule_lines_current(controls))
        return;
    access_entry* entry = entry_of_line(controls, line);
    if (controls.list_insert(ID_RULE_LIST, line, text) == LIST_ERROR)
        return;
    controls.list_set_data(ID_RULE_LIST, line, entry);
    if (!access_entry_set_text(entry, text, g_shown_rules.epoch)) {
        controls.list_delete(ID_RULE_LIST, line);
        rule_lines_current(controls);
        return;
    }
    controls.list_delete(ID_RULE_LIST, line + 1);
    controls.list_select(ID_RULE_LIST, line);
    enable_apply(controls, true);
}

void settings_dialog_delete_rule(dialog_controls& controls) {
    int line = controls.list_selection(ID_RULE_LIST);
    if (line == LIST_ERROR || !rule_lines_current(controls))
        return;
    if (!access_list_remove(entry_of_line(controls, line), g_shown_rules.epoch)) {
        rule_lines_current(controls);
        return;
    }
    controls.list_delete(ID_RULE_LIST, line);
    enable_apply(controls, true);
}

void settings_dialog_show_lines(dialog_controls& controls, int control, const char* lines,
                                size_t size) {
    shown_lines& shown = g_shown_connections;
    try {
        std::vector<std::string> wanted = split_lines(lines, size);
        std::vector<std::string> gone, added;
        std::set_difference(shown.lines.begin(), shown.lines.end(), wanted.begin(), wanted.end(),
                            std::back_inserter(gone));
        std::set_difference(wanted.begin(), wanted.end(), shown.lines.begin(), shown.lines.end(),
                            std::back_inserter(added));
        if (!shown.known || gone.size() + added.size() > wanted.size()) {
            refill(controls, control, wanted);
        } else {
            for (const std::string& line : gone) {
                int index = controls.list_find(control, line.c_str());
                if (index != LIST_ERROR)
                    controls.list_delete(control, index);
            }
            for (const std::string& line : added)
                controls.list_add(control, line.c_str());
        }
        shown.lines = std::move(wanted);
        shown.known = true;
    } catch (const std::bad_alloc&) {
        // Without memory to compare, the list is emptied and filled from the block itself.
        shown.known = false;
        shown.lines.clear();
        controls.list_reset(control);
        for_each_line(lines, size,
                      [&](const char* line, size_t) { controls.list_add(control, line); });
    }
}

command_outcome settings_dialog_command(dialog_controls& controls, int control, int code) {
    switch (control) {
        case ID_OK_BUTTON:
            settings_dialog_apply(controls);
            settings_dialog_ending();
            return {1, dialog_end::with_ok};
        case ID_CANCEL_BUTTON:
            settings_dialog_ending();
            return {1, dialog_end::with_cancel};
        case ID_APPLY_BUTTON:
            settings_dialog_apply(controls);
            return {1, dialog_end::no};
        case ID_ALLOW_ALL:
        case ID_DISABLE_ABUSE_PROTECTION:
            if (code == CHECK_BOX_CLICKED)
                enable_apply(controls, true);
            return {1, dialog_end::no};
        case ID_ADD_RULE:
            settings_dialog_add_rule(controls);
            return {1, dialog_end::no};
        case ID_MODIFY_RULE:
            settings_dialog_modify_rule(controls);
            return {1, dialog_end::no};
        case ID_DELETE_RULE:
            settings_dialog_delete_rule(controls);
            return {1, dialog_end::no};
        case ID_RULE_LIST:
            if (code == LIST_SELECTION_CHANGED)
                settings_dialog_show_selection(controls);
            return {1, dialog_end::no};
        case ID_PASSWORD:
        case ID_PORT:
            if (code == EDIT_CHANGED)
                enable_apply(controls, true);
            return {1, dialog_end::no};
        default:
            return {0, dialog_end::no};
    }
}

void settings_dialog_ending() {
    settings_dialog_slot().mark_ending();
}
