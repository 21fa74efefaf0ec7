// The settings dialog: the one place where the user edits the port, the password, the two
// switches and the access list, beside a live list of the open connections. It runs modally
// on a thread of its own; at most one exists.
//
// settings_dialog_open (host thread) shows the dialog, or brings the open one to the front,
// and returns at once: nonzero, except when an open dialog was not brought to the front;
// after a failed thread start, the answer of the "Cannot create dialogthread." box. An open
// request while a dialog thread is still starting shows nothing more and answers 1. One while
// a dialog is ending waits for it to end and shows a new one, unless a settings_dialog_close
// comes meanwhile: then it shows nothing and answers 1.
//
// settings_dialog_close (host thread) ends an open dialog without applying its fields, waits
// up to 4000 ms for its thread and releases the thread's handle, ended or not. A dialog that
// is still starting is told to end as it initialises, and waited for likewise; open requests
// waiting for an ending dialog give up. With no dialog it only releases the handle of an
// ended one.
//
// settings_dialog_clear_connections / settings_dialog_add_connection /
// settings_dialog_end_connections: the connection view the dialog installs for the
// connection table (module/connection_view.h). With the dialog open, clear answers 1 (0 and
// nothing done when no dialog is open), add collects one address, and end replaces the lines
// of list ID_CONNECTION_LIST by the collected ones (sorted by the list box) in one request,
// delivered synchronously to the dialog thread: the rebuild returns once the list shows them.
// The dialog thread never takes the connection table's lock.
#pragma once

int settings_dialog_open();
void settings_dialog_close();

int settings_dialog_clear_connections();
void settings_dialog_add_connection(const char* address_text);
void settings_dialog_end_connections();

// The body of the dialog thread (its argument is not used).
unsigned settings_dialog_thread(void* argument);
