// Natively, tests stand in for the window system: they run a dialog's messages themselves
// and deliver the cross-thread requests. Without a stand-in, dialogs end unshown.
#pragma once

#include "dialogs/dialog_window.h"

class dialog_window_stand_in {
  public:
    virtual ~dialog_window_stand_in() = default;
    virtual void run(dialog_kind kind) = 0;
    virtual int to_front(void* window) = 0;
    virtual void close(void* window) = 0;
    virtual void refresh(void* window) = 0;
    virtual void list_replace(void* window, int control, const char* lines, size_t size) = 0;
};

// Installs a stand-in (nullptr: none). It must outlive every dialog thread that uses it.
void dialog_window_install_stand_in(dialog_window_stand_in* stand_in);
