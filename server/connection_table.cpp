#include "server/connection_table.h"

#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "dialogs/settings_dialog.h"
#include "server/socket_closing.h"

struct connection_entry {
    platform::socket_handle socket;
    std::string address_text;
    platform::thread_handle thread;  // empty until handed over, or when the thread failed
    bool noticed = false;            // close-all has claimed the socket for its notice
    connection_entry* next = nullptr;
};

struct connection_table {
    std::mutex lock;
    connection_entry* head = nullptr;
    uint32_t count = 0;
    std::unique_ptr<platform::manual_event> all_closed;
    bool initialised = false;

    ~connection_table() {
        while (head) delete std::exchange(head, head->next);
    }
};

namespace {

connection_entry** find_link(connection_table& table, platform::socket_handle socket) {
    connection_entry** link = &table.head;
    while (*link && (*link)->socket != socket) link = &(*link)->next;
    return link;
}

bool is_listed(const connection_table& table, const connection_entry* entry) {
    for (const connection_entry* walk = table.head; walk; walk = walk->next) {
        if (walk == entry) return true;
    }
    return false;
}

}  // namespace

connection_table_ref conn_table_create() {
    return connection_table_ref(new (std::nothrow) connection_table);
}

platform::manual_event* conn_table_init(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    if (!table.initialised) {
        table.count = 0;
        table.initialised = true;
        table.all_closed.reset(new (std::nothrow) platform::manual_event(true));
    }
    return table.all_closed.get();
}

int conn_table_add(connection_table& table, platform::socket_handle socket,
                   const char* address_text) {
    auto* entry = new (std::nothrow) connection_entry;
    if (!entry) return 0;
    try {
        entry->address_text = address_text;
    } catch (const std::bad_alloc&) {
        delete entry;
        return 0;
    }
    entry->socket = socket;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        entry->next = table.head;
        table.head = entry;
        ++table.count;
        if (table.all_closed) table.all_closed->reset();
    }
    conn_table_refresh_view(table);
    return 1;
}

void conn_table_set_thread(connection_table& table, platform::socket_handle socket,
                           platform::thread_handle thread) {
    std::lock_guard<std::mutex> hold(table.lock);
    connection_entry* entry = *find_link(table, socket);
    if (entry) entry->thread = std::move(thread);
    // Otherwise the handle is closed as `thread` goes out of scope.
}

int conn_table_remove(connection_table& table, platform::socket_handle socket) {
    std::unique_ptr<connection_entry> removed;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        connection_entry** link = find_link(table, socket);
        if (!*link) return 0;
        removed.reset(*link);
        *link = removed->next;
        if (table.count > 0) --table.count;
        if (table.count == 0 && table.all_closed) table.all_closed->set();
    }
    int still_owned = removed->noticed ? 0 : 1;
    removed.reset();  // closes the thread handle
    conn_table_refresh_view(table);
    return still_owned;
}

void conn_table_close_all(connection_table& table) {
    std::unique_lock<std::mutex> hold(table.lock);
    connection_entry* cursor = table.head;
    while (cursor) {
        platform::socket_handle socket = cursor->socket;
        bool send_notice = !cursor->noticed;
        cursor->noticed = true;
        // A handle of close-all's own: it stays valid even if the entry goes meanwhile.
        platform::thread_handle thread = cursor->thread.duplicate();
        hold.unlock();

        if (send_notice) send_close_notice(socket);
        bool ended = thread && thread.wait(CLOSE_ALL_THREAD_WAIT_MS);
        thread.close();

        hold.lock();
        // An ended thread has removed its own entry; so may a thread that ended just after
        // the wait. Never follow the link of an entry that has left the table.
        cursor = (!ended && is_listed(table, cursor)) ? cursor->next : table.head;
    }
    hold.unlock();
    conn_table_refresh_view(table);
}

void conn_table_teardown(connection_table& table) {
    connection_entry* released;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        if (!table.initialised) return;
        released = std::exchange(table.head, nullptr);
    }
    while (released) delete std::exchange(released, released->next);
    conn_table_refresh_view(table);
    std::lock_guard<std::mutex> hold(table.lock);
    table.initialised = false;
}

void conn_table_refresh_view(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    if (!settings_dialog_clear_connections()) return;
    for (connection_entry* entry = table.head; entry; entry = entry->next) {
        settings_dialog_add_connection(entry->address_text.c_str());
    }
}

uint32_t conn_table_count(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    return table.count;
}
