// The learn dialog's own logic, apart from the window system, and its module-wide texts.
//
// The texts: the translated title (the caption), the translated prompt (ID_LEARN_PROMPT) and
// the value, which on the way in is the current event text for the edit field, consumed as
// soon as a dialog has shown it, and on the way out the text the user confirmed. A request
// may replace them while the dialog thread shows or stores them: they are guarded by a lock
// of their own, held only to copy or swap a text, so no thread ever reads a released one.
//
// Heap texts are learn_text: an owned, zero-terminated copy, or null for none.
#pragma once

#include <memory>

#include "dialogs/dialog_controls.h"

using learn_text = std::unique_ptr<char[]>;

// A heap copy of text, or null when memory cannot be had.
learn_text learn_text_copy(const char* text);

// A request's texts replace the stored ones: value, then prompt, then title.
void learn_texts_store(const char* title, const char* prompt, const char* current);
// At the end of the dialog thread: title and prompt go.
void learn_texts_release_title_prompt();
// Hands the value over to the caller; none is left.
learn_text learn_value_take();

// Dialog thread. Initialisation: the window recorded, "Ok" and "Cancel" translated onto the
// buttons, the texts shown. False when a close came during start-up: nothing was recorded
// and the dialog must end at once.
bool learn_dialog_initialise(void* window, dialog_controls& controls);
// Shows prompt, value and title; a shown value is consumed.
void learn_dialog_show_texts(dialog_controls& controls);
// The edit field's text, at most 199 characters, becomes the value (an empty field gives an
// empty text, not none).
void learn_dialog_store_result(dialog_controls& controls);

// The slot of the one learn dialog, shared by the dialog's own files.
class dialog_slot;
dialog_slot& learn_dialog_slot();
