#include "dialogs/settings_dialog.h"

#include "dialogs/dialog_ids.h"
#include "dialogs/dialog_slot.h"
#include "dialogs/dialog_window.h"
#include "dialogs/settings_dialog_logic.h"
#include "module/connection_view.h"
#include "module/module_state.h"
#include "platform/message_box.h"

namespace {

constexpr uint32_t CLOSE_WAIT_MS = 4000;

dialog_slot g_slot;

const connection_view SETTINGS_DIALOG_VIEW = {
    settings_dialog_clear_connections,
    settings_dialog_add_connection,
    settings_dialog_end_connections,
};

}  // namespace

dialog_slot& settings_dialog_slot() {
    return g_slot;
}

int settings_dialog_open() {
    connection_view_install(&SETTINGS_DIALOG_VIEW);
    dialog_slot::open_claim claim = g_slot.open(settings_dialog_thread, module_instance());
    switch (claim.state) {
        case dialog_slot::open_state::open:
            return dialog_window_to_front(claim.window);
        case dialog_slot::open_state::failed:
            return platform::message_box("Cannot create dialogthread.", "Error");
        case dialog_slot::open_state::starting:
        case dialog_slot::open_state::started:
            break;
    }
    return 1;
}

unsigned settings_dialog_thread(void* /*argument*/) {
    dialog_window_run(dialog_kind::settings);
    g_slot.ended();
    return 0;
}

void settings_dialog_close() {
    // The slot's handle comes along: it is released here, ended or not (also that of a
    // thread that ended by itself).
    dialog_slot::close_claim claim = g_slot.begin_close(true);
    if (claim.window)
        dialog_window_close(claim.window);
    if (claim.thread)
        claim.thread.wait(CLOSE_WAIT_MS);
}

int settings_dialog_clear_connections() {
    void* window = g_slot.window();
    if (!window)
        return 0;
    dialog_window_list_begin(window, ID_CONNECTION_LIST);
    return 1;
}

void settings_dialog_add_connection(const char* address_text) {
    if (void* window = g_slot.window())
        dialog_window_list_add(window, ID_CONNECTION_LIST, address_text);
}

void settings_dialog_end_connections() {
    if (void* window = g_slot.window())
        dialog_window_list_end(window, ID_CONNECTION_LIST);
}
