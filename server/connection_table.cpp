#include "server/connection_table.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "module/address_text.h"
#include "module/connection_view.h"
#include "platform/tick.h"
#include "server/make_shared_nothrow.h"
#include "server/socket_closing.h"

struct connection_entry {
    connection_id id;
    platform::socket_handle socket;
    char address_text[ADDRESS_TEXT_SIZE];
    platform::thread_handle thread;  // empty until handed over, or when the thread failed
    socket_claim* claim = nullptr;   // the client thread's; valid while the entry is known
    bool listed = true;              // false once removed while close-all held on to it
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
    // The entry close-all is visiting with the lock released. A client thread that removes it
    // meanwhile only unlinks it; close-all releases it when it steps past. While it is
    // unlinked, its next stays the entry that followed it, kept current as entries leave.
    connection_entry* visiting = nullptr;
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

connection_entry** find_link(connection_entry*& head, connection_id id) {
    connection_entry** link = &head;
    while (*link && (*link)->id != id)
        link = &(*link)->next;
    return link;
}

// Rebuilds the settings dialog's list; the caller holds the table's lock.
void refresh_view_locked(connection_table& table) {
    connection_view_rebuild rebuild(&table);
    if (!rebuild)
        return;
    for (connection_entry* entry = table.head; entry; entry = entry->next) {
        rebuild.add(entry->address_text);
    }
}

// Unlinks a listed entry; returns it when the caller is to release it, nullptr when close-all
// is visiting it and releases it itself. The lock is held.
connection_entry* unlink_listed(connection_table& table, connection_entry** link) {
    connection_entry* entry = *link;
    *link = entry->next;
    entry->listed = false;
    if (table.count > 0)
        --table.count;
    if (table.count == 0 && table.all_closed)
        table.all_closed->set();
    connection_entry* visiting = table.visiting;
    if (entry == visiting)
        return nullptr;
    if (visiting && !visiting->listed && visiting->next == entry)
        visiting->next = entry->next;
    return entry;
}

}  // namespace

connection_table_ref conn_table_create() {
    connection_table_ref table = make_shared_nothrow<connection_table>();
    if (table)
        connection_view_set_source(table.get());
    return table;
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

int conn_table_add(connection_table& table, connection_id id, platform::socket_handle socket,
                   const char* address_text, socket_claim* claim) {
    auto* entry = new (std::nothrow) connection_entry;
    if (!entry)
        return 0;
    entry->id = id;
    entry->socket = socket;
    entry->claim = claim;
    std::strncpy(entry->address_text, address_text, ADDRESS_TEXT_SIZE - 1);
    entry->address_text[ADDRESS_TEXT_SIZE - 1] = '\0';
    {
        std::lock_guard<std::mutex> hold(table.lock);
        entry->next = table.head;
        table.head = entry;
        ++table.count;
        if (table.all_closed)
            table.all_closed->reset();
        // In the same hold: every connection would otherwise take the lock twice more.
        refresh_view_locked(table);
    }
    return 1;
}

void conn_table_set_thread(connection_table& table, connection_id id,
                           platform::thread_handle thread) {
    std::lock_guard<std::mutex> hold(table.lock);
    connection_entry* entry = *find_link(table.head, id);
    if (entry)
        entry->thread = std::move(thread);
    // Otherwise the handle is closed as `thread` goes out of scope.
}

socket_owner conn_table_remove(connection_table& table, connection_id id) {
    std::unique_ptr<connection_entry> released;
    socket_owner owner;
    bool listed;
    {
        std::lock_guard<std::mutex> hold(table.lock);
        connection_entry** link = find_link(table.head, id);
        listed = *link != nullptr;
        connection_entry* entry;
        if (listed) {
            entry = *link;
            released.reset(unlink_listed(table, link));
            refresh_view_locked(table);
        } else {
            link = find_link(table.orphans, id);
            entry = *link;
            if (!entry)
                return socket_owner::none;
            *link = entry->next;
            released.reset(entry);
        }
        owner = !entry->noticed       ? socket_owner::client
                : entry->owner_closes ? socket_owner::client_after_notice
                                      : socket_owner::none;
    }
    released.reset();  // closes the thread handle
    return owner;
}

namespace {

// Lets the lock go while close-all works on an entry that the walk keeps; the entry may
// leave the table meanwhile but is not released.
class visit {
  public:
    visit(connection_table& table, std::unique_lock<std::mutex>& hold, connection_entry* entry)
        : table_(table), hold_(hold) {
        table_.visiting = entry;
        hold_.unlock();
    }
    ~visit() { hold_.lock(); }

  private:
    connection_table& table_;
    std::unique_lock<std::mutex>& hold_;
};

// The entry after the visited one, releasing the visited one if it has left the table. The
// lock is held.
connection_entry* step_past(connection_table& table, connection_entry* entry) {
    connection_entry* next = entry->next;
    table.visiting = nullptr;
    if (!entry->listed)
        delete entry;
    return next;
}

// Claims the entry's socket and sends it the close notice, unless it had it already. The
// claim comes first, so that a thread that leaves its call during the notice (under Wine the
// notice's non-blocking moment can end a receive) already finds its login ended by the server.
// The socket stays the connection's while the entry is listed: its thread closes it as it
// leaves, after it is woken if it was inside a receive or send. Only when the thread has
// removed the entry meanwhile (it then leaves the socket to the notice) is it closed here.
// Returns with the lock held.
void notice_entry(connection_table& table, std::unique_lock<std::mutex>& hold,
                  connection_entry* entry) {
    if (entry->noticed)
        return;
    entry->noticed = true;
    // Without a claim to ask, the thread may be in a call.
    bool in_call = !entry->claim || entry->claim->claim();
    platform::socket_handle socket = entry->socket;
    {
        visit unlocked(table, hold, entry);
        send_close_notice(socket);
    }
    if (!entry->listed) {
        visit unlocked(table, hold, entry);
        platform::net_close(socket);
        return;
    }
    // Settled with the lock held, so the thread cannot leave before it knows it closes the
    // socket itself.
    entry->owner_closes = true;
    if (in_call)
        platform::net_wake_receiver(socket);
}

// Gives the entry's thread up to limit_ms to end. A wake can come just before
// the thread's call has really begun and then not reach it, so while the thread is still in
// the call it was woken in, it is woken again; its socket is open for that as long as the
// entry is listed, since the thread closes it only after removing the entry. Returns with the
// lock held.
void wait_for_thread(connection_table& table, std::unique_lock<std::mutex>& hold,
                     connection_entry* entry, const platform::thread_handle& thread,
                     uint32_t limit_ms) {
    uint32_t started = platform::tick_count();
    for (;;) {
        bool ended;
        {
            visit unlocked(table, hold, entry);
            ended = thread.wait(std::min(CLOSE_ALL_REWAKE_MS, limit_ms));
        }
        bool spent = platform::tick_count() - started >= limit_ms;
        // Even with the time spent, a thread still in its call is woken once more: a wake
        // that missed it would otherwise leave it in a receive until its peer closes.
        if (!ended && entry->listed && entry->claim && entry->claim->still_in_call())
            platform::net_wake_receiver(entry->socket);
        if (ended || spent)
            return;
    }
}

}  // namespace

platform::socket_handle conn_table_notice(connection_table& table, connection_id id) {
    std::unique_lock<std::mutex> hold(table.lock);
    connection_entry* entry = *find_link(table.head, id);
    if (!entry)
        return platform::INVALID_SOCKET_HANDLE;
    platform::socket_handle socket = entry->socket;
    notice_entry(table, hold, entry);
    step_past(table, entry);
    return socket;
}

void conn_table_rewake_noticed(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    for (connection_entry* entry = table.head; entry; entry = entry->next) {
        if (entry->noticed && entry->claim && entry->claim->still_in_call())
            platform::net_wake_receiver(entry->socket);
    }
}

uint32_t conn_table_close_all(connection_table& table, uint32_t wait_ms) {
    uint32_t started = platform::tick_count();
    auto left = [&] {
        uint32_t spent = platform::tick_count() - started;
        return spent < wait_ms ? wait_ms - spent : 0;
    };
    std::unique_lock<std::mutex> hold(table.lock);
    // Every connection is told first, so the client threads end side by side while the other
    // notices go out; the second walk only waits for them.
    for (connection_entry* cursor = table.head; cursor;) {
        notice_entry(table, hold, cursor);
        cursor = step_past(table, cursor);
    }
    for (connection_entry* cursor = table.head; cursor;) {
        // A handle of close-all's own: it stays valid even if the entry goes meanwhile.
        platform::thread_handle thread = cursor->thread.duplicate();
        if (thread)
            wait_for_thread(table, hold, cursor, thread,
                            std::min(CLOSE_ALL_THREAD_WAIT_MS, left()));
        cursor = step_past(table, cursor);
    }
    hold.unlock();
    conn_table_refresh_view(table);
    return left();
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
    while (released) {
        // No thread of its own will ever close a socket that had its notice: now that its
        // entry is gone, the table does.
        if (released->noticed)
            platform::net_close(released->socket);
        delete std::exchange(released, released->next);
    }
    conn_table_refresh_view(table);
    std::lock_guard<std::mutex> hold(table.lock);
    table.initialised = false;
}

void conn_table_refresh_view(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    refresh_view_locked(table);
}

uint32_t conn_table_count(connection_table& table) {
    std::lock_guard<std::mutex> hold(table.lock);
    return table.count;
}
