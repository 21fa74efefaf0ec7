// What the server needs of the settings dialog: its "Open connections" list.
//
// settings_dialog_clear_connections empties the list and returns 1 if the dialog is open,
// else returns 0 and does nothing; settings_dialog_add_connection appends one line (nothing
// if the dialog is not open). Called by the connection table with its lock held; the dialog
// never takes that lock.
#pragma once

int settings_dialog_clear_connections();
void settings_dialog_add_connection(const char* text);
int settings_dialog_close();
