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
    bool owner_closes = false;       // the notice left the socket open for the client thread
    connection_entry* next = nullptr;
};

struct connection_table {
    std::mutex lock;
    connection_entry* head = nullptr;
    uint32_t count = 0;
    std::unique_ptr<platform::manual_event> all_closed;
    bool initialised = false;
    // Entries released at teardown while their threads still ran: not listed, not counted,
    // kept only so that the late conn_table_remove knows who closes the socket.
    connection_entry* orphans = nullptr;

    ~connection_table() {
        for (connection_entry* list : {head, orphans}) {
            while (list)
                delete std::exchange(list, list->next);
        }
    }
};

namespace {

connection_entry** find_link(connection_entry*& head, platform::socket_handle socket) {
    connection_entry** link = &head;
    while (*link && (*link)->socket != socket)
        link = &(*link)->next;
    return link;
}

bool is_listed(const connection_table& table, const connection_entry* entry) {
    for (const connection_entry* walk = table.head; walk; walk = walk->next) {
        if (walk == entry)
            return true;
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
    if (!entry)
        return 0;
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
        if (table.all_closed)
            table.all_closed->reset();
    }
    conn_table_refresh_view(table);
    return 1;
}

void conn_table_set_thread(connection_table& table, platform::socket_handle socket,
                           platform::thread_handle thread) {
    std::lock_guard<std::mutex> hold(table.lock);
    connection_entry* entry = *find_link(table.head, socket);
    if (entry)
        entry->thread = std::move(thread);
    // Otherwise the handle is closed as `thread` goes out of scope.
}

socket_owner conn_table_remove(connection_table& table, platform::socket_handle socket) {
    std::unique_ptr<connection_entry> removed;
    bool listed;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        connection_entry** link = find_link(table.head, socket);
        listed = *link != nullptr;
        if (!listed)
            link = find_link(table.orphans, socket);
        if (!*link)
            return socket_owner::none;
        removed.reset(*link);
        *link = removed->next;
        if (listed) {
            if (table.count > 0)
                --table.count;
            if (table.count == 0 && table.all_closed)
                table.all_closed->set();
        }
    }
    socket_owner owner = !removed->noticed       ? socket_owner::client
                         : removed->owner_closes ? socket_owner::client_after_notice
                                                 : socket_owner::none;
    removed.reset();  // closes the thread handle
    if (listed)
        conn_table_refresh_view(table);
    return owner;
}

namespace {

// Sends the close notice to the cursor's connection unless it had it already, with the lock
// released meanwhile, and settles who closes its socket. Returns with the lock held; the
// result says whether the entry is still listed.
bool notice_entry(connection_table& table, std::unique_lock<std::mutex>& hold,
                  connection_entry* cursor) {
    if (cursor->noticed)
        return true;
    cursor->noticed = true;
    platform::socket_handle socket = cursor->socket;
    bool has_thread = static_cast<bool>(cursor->thread);
    hold.unlock();
    bool closed = send_close_notice(socket);
    hold.lock();
    bool listed = is_listed(table, cursor);
    if (!closed) {
        // The socket is still open: its thread closes it when it leaves, unless it has left
        // during the notice (or there is none), in which case it is closed here.
        if (has_thread && listed) {
            cursor->owner_closes = true;
        } else {
            platform::net_close(socket);
        }
    }
    return listed;
}

}  // namespace

void conn_table_close_all(connection_table& table) {
    std::unique_lock<std::mutex> hold(table.lock);
    // Every connection is told first, so the client threads end side by side while the other
    // notices go out; the walk after it only waits for them.
    for (connection_entry* cursor = table.head; cursor;) {
        bool listed = notice_entry(table, hold, cursor);
        // Never follow the link of an entry that has left the table.
        cursor = listed ? cursor->next : table.head;
    }
    connection_entry* cursor = table.head;
    while (cursor) {
        notice_entry(table, hold, cursor);  // only a connection the first pass missed
        // A handle of close-all's own: it stays valid even if the entry goes meanwhile.
        platform::thread_handle thread = cursor->thread.duplicate();
        hold.unlock();
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
    connection_entry* released = nullptr;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        if (!table.initialised)
            return;
        while (table.head) {
            connection_entry* entry = std::exchange(table.head, table.head->next);
            if (entry->thread) {
                entry->thread.close();  // the thread itself goes on and removes it later
                entry->next = table.orphans;
                table.orphans = entry;
            } else {
                entry->next = released;
                released = entry;
            }
        }
    }
    while (released)
        delete std::exchange(released, released->next);
    conn_table_refresh_view(table);
    std::lock_guard<std::mutex> hold(table.lock);
    table.initialised = false;
}

void conn_table_refresh_view(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    if (!settings_dialog_clear_connections())
        return;
    for (connection_entry* entry = table.head; entry; entry = entry->next) {
        settings_dialog_add_connection(entry->address_text.c_str());
    }
}

uint32_t conn_table_count(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    return table.count;
}
