// Failure reports the user must see: a message box with an OK button and no owner window,
// shown on the calling thread, which waits until it is dismissed. Returns the box's answer
// (1 for OK). Natively the text goes to standard error.
//
// Tests install a hook with message_box_set_hook: while one is set, no box is shown and the
// hook receives the text and caption instead (and its answer is returned). Any thread.
#pragma once

namespace platform {

int message_box(const char* text, const char* caption);

using message_box_hook = int (*)(const char* text, const char* caption);
void message_box_set_hook(message_box_hook hook);

namespace detail {
int system_message_box(const char* text, const char* caption);
}

}  // namespace platform
