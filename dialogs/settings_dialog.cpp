#include "dialogs/settings_dialog.h"

#include <new>
#include <string>

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
    dialog_slot::open_claim claim =
        g_slot.open({settings_dialog_thread, module_instance(), nullptr, nullptr, nullptr});
    switch (claim.state) {
        case dialog_slot::open_state::open:
            return dialog_window_to_front(claim.window);
        case dialog_slot::open_state::failed:
            return platform::message_box("Cannot create dialogthread.", "Error");
        case dialog_slot::open_state::starting:
        case dialog_slot::open_state::started:
        case dialog_slot::open_state::closed:
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

// A rebuild collects its lines on the calling thread (which holds the connection table's
// lock) and hands them to the dialog thread in one request at its end.
namespace {
thread_local std::string t_connection_lines;
thread_local bool t_lines_lost = false;  // a line found no memory: show an empty list
}  // namespace

int settings_dialog_clear_connections() {
    if (!g_slot.window())
        return 0;
    t_connection_lines.clear();
    t_lines_lost = false;
    return 1;
}

void settings_dialog_add_connection(const char* address_text) {
    if (!g_slot.window() || t_lines_lost)
        return;
    try {
        t_connection_lines.append(address_text);
        t_connection_lines.push_back('\0');
    } catch (const std::bad_alloc&) {
        t_lines_lost = true;
    }
}

void settings_dialog_end_connections() {
    void* window = g_slot.window();
    if (window) {
        size_t size = t_lines_lost ? 0 : t_connection_lines.size();
        dialog_window_list_replace(window, ID_CONNECTION_LIST, t_connection_lines.data(), size);
    }
    t_connection_lines.clear();
}
