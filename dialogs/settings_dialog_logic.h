// The settings dialog's own logic, apart from the window system: what its dialog procedure
// does with its controls. All of it runs on the dialog thread.
//
// Each line of the rule list (ID_RULE_LIST, not sorted) carries, as its per-line data, the
// access_entry whose text it shows; line i always shows the i-th entry of the access list.
// The dialog finds a line's entry only through that data, and hands it back, or appends a
// rule, only together with the access list's epoch of the fill: when the list was replaced
// under the dialog (a reload or a clear), or a line could not be shown, a rule command shows
// the list anew and changes nothing. (Add, which needs no selection, goes on once the list is
// shown anew if the list was replaced before it began; one replaced during it adds nothing.)
// A Modify or Delete that fails leaves the line and its entry as they were.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dialogs/dialog_controls.h"

// Initialisation after the window icon is set: the caption, the window recorded, the twelve
// translated texts, the fill, Apply disabled. False when a close came during start-up: then
// nothing was recorded and the dialog must end at once.
bool settings_dialog_initialise(void* window, dialog_controls& controls);

// Check boxes, password, port and rule list from the settings and the access list.
void settings_dialog_fill(dialog_controls& controls);
// Switches, password and port (atoi, no range check) into the settings; saves everything;
// Apply disabled.
void settings_dialog_apply(dialog_controls& controls);
void settings_dialog_show_selection(dialog_controls& controls);
void settings_dialog_add_rule(dialog_controls& controls);
void settings_dialog_modify_rule(dialog_controls& controls);
void settings_dialog_delete_rule(dialog_controls& controls);

// A command (control id and notification code) and what the procedure answers: handled (1)
// or not (0), and whether the dialog ends and with which result. A command that ends the
// dialog has marked it ending (settings_dialog_ending); the caller ends the dialog's run.
enum class dialog_end { no, with_ok, with_cancel };
struct command_outcome {
    int answer;
    dialog_end end;
};
command_outcome settings_dialog_command(dialog_controls& controls, int control, int code);
// The close request, or the window's destruction: from now on the dialog is ending, so an
// open request waits for its run to end instead of bringing it to the front. Ending twice
// changes nothing.
void settings_dialog_ending();

// Makes the list show exactly the lines of `lines` (`size` bytes, each line ended by a zero
// byte), placed as the list places them, as if it were emptied and filled anew. Only lines
// that differ from those shown before are taken out or put in: one connection more or less
// is one list operation, not a refill. The list must have been empty at initialisation and
// changed by nothing else.
void settings_dialog_show_lines(dialog_controls& controls, int control, const char* lines,
                                size_t size);

// 1 when the box is checked; 0 when clear or indeterminate. set: 1 checks, 0 clears, any other
// value leaves the box as it is.
int get_check_box(dialog_controls& controls, int control);
void set_check_box(dialog_controls& controls, int control, int flag);

// The port field's text as a number: leading white space skipped, an optional sign, then the
// decimal digits up to the first other character; no digits give 0. A number beyond the
// 32-bit range is held at its end. Nothing is refused.
int32_t port_from_text(const char* text);

// The slot of the one settings dialog, shared by the dialog's own files.
class dialog_slot;
dialog_slot& settings_dialog_slot();
