// The learn dialog's own logic, apart from the window system, and its module-wide texts.
//
// The texts a request hands its dialog: the translated title (the caption), the translated
// prompt (ID_LEARN_PROMPT) and the current event text for the edit field, which is consumed
// as soon as a dialog has shown it. They are guarded by a lock of their own, held only to
// copy or swap a text, so no thread ever reads a released one. The text the user confirms is
// not kept here: it is the result of the dialog's run in its slot (dialogs/dialog_slot.h),
// which hands it to the caller that waited for that run.
//
// Heap texts are learn_text: an owned, zero-terminated copy, or null for none.
#pragma once

#include <memory>

#include "dialogs/dialog_controls.h"

using learn_text = std::unique_ptr<char[]>;

// A heap copy of text, or null when memory cannot be had.
learn_text learn_text_copy(const char* text);

struct learn_texts {
    learn_text title;
    learn_text prompt;
    learn_text value;
};
// A request's copies (a title or prompt that found no memory shows as an empty text, a value
// that found none as no new value).
learn_texts learn_texts_copy(const char* title, const char* prompt, const char* current);
// Swaps the module-wide texts with these: the request's texts take their place, and the
// replaced ones come back to be released by the caller.
void learn_texts_exchange(learn_texts& texts);
// At the end of the dialog thread: the texts go.
void learn_texts_release();

// Dialog thread. Initialisation: the window recorded, "Ok" and "Cancel" translated onto the
// buttons, the texts shown. False when a close came during start-up: nothing was recorded
// and the dialog must end at once.
bool learn_dialog_initialise(void* window, dialog_controls& controls);
// Shows prompt and title, and the value stored since the last showing, which is consumed.
// Without a new value the edit field keeps what it shows: the user's typing, or the value of
// a request whose texts the initialisation already showed before its own refresh came.
void learn_dialog_show_texts(dialog_controls& controls);
// The edit field's text, at most 199 characters, becomes the run's result (an empty field
// gives an empty text, not none).
void learn_dialog_store_result(dialog_controls& controls);
// A command of the dialog: OK stores the result; OK and Cancel end the dialog, which is then
// ending, and the answer is true: the caller ends the dialog's run (posts its quit).
bool learn_dialog_command(dialog_controls& controls, int control);
// The close request, or the window's destruction: from now on the dialog is ending, so an
// open request waits for its run to end instead of re-targeting it. Ending twice changes
// nothing.
void learn_dialog_ending();

// The slot of the one learn dialog, shared by the dialog's own files.
class dialog_slot;
dialog_slot& learn_dialog_slot();
