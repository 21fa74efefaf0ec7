// The plug-in has no settings dialog yet: it is never open.
#include "dialogs/settings_dialog.h"

int settings_dialog_clear_connections() {
    return 0;
}

void settings_dialog_add_connection(const char* /*text*/) {}

int settings_dialog_close() {
    return 1;
}
