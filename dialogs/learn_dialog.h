// The learn-event dialog: a small modal input dialog, on a thread of its own, in which the
// user types the event string the host is to react to. At most one exists.
//
// learn_dialog_run (host thread) shows the dialog with the given (already translated) title
// and prompt and the current text in its edit field, and blocks until the dialog has ended.
// It returns the text the user confirmed in that dialog (at most 199 characters; empty is a
// confirmed result), or null when the user cancelled, the dialog was closed (also during its
// start-up) or its window could not be created. The arguments stay the caller's. A request
// while a dialog is open, or still starting, does not open another: it re-targets that
// dialog (new title, prompt and text, brought to the front) and waits for it too; the
// result goes to the caller that opened the dialog, the others get null. A request while a
// dialog is ending (its quit posted) waits for it to end and opens a new one, unless a
// learn_dialog_close comes meanwhile: then it opens nothing and gets null. If the dialog
// thread cannot be started, the "Cannot create dialogthread." box is shown and the caller
// gets its own current text back as a confirmed result.
//
// learn_dialog_close (host thread) ends an open dialog without storing its text and waits up
// to 4000 ms for its thread. A dialog still starting is told to end as it initialises, and
// waited for likewise; requests waiting for an ending dialog give up. With no dialog it
// returns at once.
#pragma once

#include "dialogs/learn_dialog_logic.h"

learn_text learn_dialog_run(const char* title, const char* prompt, const char* current);
void learn_dialog_close();

// The body of the dialog thread (its argument is not used).
unsigned learn_dialog_thread(void* argument);
