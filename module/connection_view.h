// Where the open connections are shown, if anywhere: the settings dialog installs itself here
// and the connection table rebuilds the view through it, so the server does not depend on
// the dialog.
//
// A rebuild is begin (1 when a view is showing and has been emptied; 0: nothing shows the
// connections, stop here), then add for each connection, then end. The connection table runs
// a rebuild with its lock held; a view must therefore never wait for anything that takes that
// lock. Without an installed view, begin answers 0. Any thread.
#pragma once

struct connection_view {
    int (*begin)();
    void (*add)(const char* address_text);
    void (*end)();
};

// Installs a view (nullptr: none). The view must stay valid as long as it is installed.
void connection_view_install(const connection_view* view);

int connection_view_begin();
void connection_view_add(const char* address_text);
void connection_view_end();
