// Where the open connections are shown, if anywhere: the settings dialog installs itself here
// and the connection table rebuilds the view through it, so the server does not depend on
// the dialog.
//
// A rebuild is begin (1 when a view is showing and has been emptied; 0: nothing shows the
// connections, stop here), then add for each connection, then end. The connection table runs
// a rebuild with its lock held; a view must therefore never wait for anything that takes that
// lock. Without an installed view, begin answers 0. Any thread.
//
// Only one source rebuilds the view: the connection table made last, which is the running
// server's. After a stop that gave up waiting, the old run's table still ends its connections
// while a new run fills the list; its rebuilds must not overwrite the new run's. Rebuilds run
// one at a time (connection_view_rebuild holds the view's own lock, taken after the table's),
// so a source that is replaced cannot finish a rebuild it began before.
#pragma once

struct connection_view {
    int (*begin)();
    void (*add)(const char* address_text);
    void (*end)();
};

// Installs a view (nullptr: none). The view must stay valid as long as it is installed.
void connection_view_install(const connection_view* view);

// Makes source the one whose rebuilds are shown; waits for a rebuild in progress.
void connection_view_set_source(const void* source);

// One rebuild by source: true when it shows, then add each connection; ends when destroyed.
class connection_view_rebuild {
  public:
    explicit connection_view_rebuild(const void* source);
    ~connection_view_rebuild();
    connection_view_rebuild(const connection_view_rebuild&) = delete;
    connection_view_rebuild& operator=(const connection_view_rebuild&) = delete;

    explicit operator bool() const { return view_ != nullptr; }
    void add(const char* address_text);

  private:
    const connection_view* view_ = nullptr;
};
