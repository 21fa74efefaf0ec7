// What the dialog threads need of the window system beyond one dialog's own controls.
//
// On Windows these are USER32's modal dialogs from the module's templates. Natively there is
// no window system: dialog_window_run returns at once and the dialog ends unshown (a learn
// request then gets no result, as when a window cannot be created), unless a test has
// installed a stand-in (dialogs/posix/dialog_window_stand_in.h).
//
// Windows are opaque pointers recorded by the dialogs as they initialise. Requests to a
// window are delivered synchronously to the thread that runs its dialog: the sender returns
// once the dialog procedure has handled them. A window that has gone ignores them.
#pragma once

#include <cstddef>

enum class dialog_kind { settings, learn };

// Runs the modal dialog of that kind on the calling thread; returns when it has ended and its
// window is gone.
void dialog_window_run(dialog_kind kind);

// Brings the window to the front; the platform's answer (nonzero when it did).
int dialog_window_to_front(void* window);

// The close request (both dialogs) and the learn dialog's refresh request.
void dialog_window_close(void* window);
void dialog_window_refresh(void* window);

// Replaces every line of a list of the dialog in one request: `lines` holds `size` bytes,
// the new lines one after the other, each ended by a zero byte. The list is repainted once.
void dialog_window_list_replace(void* window, int control, const char* lines, size_t size);
