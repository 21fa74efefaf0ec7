// The table of a server run's open client connections.
//
// Each server run has a table of its own, shared by the run's accept thread and its client
// threads and freed by the last of them to let go (connection_table_ref). So a client thread
// that outlives the run's teardown still finds a valid, empty table, and a new run never
// shares a table with an old accept thread that is still tearing down.
//
// One lock guards the entries, the count and the changes of the all-closed signal; it is held
// only for short stretches, never while a socket is sent to or a thread is waited for. With
// it held, the table rebuilds the view of the open connections (module/connection_view.h: the
// settings dialog's "Open connections" list), newest connection first.
//
// Connections are named by their connection_id, never by socket number: a number the system
// has given to a newer socket must never lead to the older connection's entry, nor the other
// way round.
//
// Socket ownership: an accepted socket belongs to its client thread until close-all or the
// accept thread claims it for the close notice, which is sent once only. A socket number
// belongs to one connection until that connection's thread has let it go: while the table
// lists a connection, no thread but its own closes its socket. So the notice only sends, shuts
// the sending side down and claims the socket (its socket_claim keeps the thread from starting
// another call); a thread inside a receive or send is woken. The thread closes the socket
// itself when it removes its entry (conn_table_remove tells it so); the notice closes it only
// when the thread has already removed the entry. Entries whose threads are still running at
// teardown stay known to the table (out of the list and the count), so the late removal still
// gets the right answer.
//
// Threads: the accept thread calls init, add, set_thread, notice, close_all and teardown; client
// threads call remove.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "server/connection_id.h"
#include "server/socket_claim.h"

struct connection_table;
using connection_table_ref = std::shared_ptr<connection_table>;

connection_table_ref conn_table_create();

// Makes the table ready (lock, count 0, all-closed signal set) and returns the signal; a
// second init returns the same signal and changes nothing. The signal stays valid as long as
// the table does.
platform::manual_event* conn_table_init(connection_table& table);

// Lists a new connection (newest first) under its id, unique in the table's run, with a copy
// of its address text (at most 15 characters are kept) and no thread yet. claim, if given, is
// the client thread's claim on the socket; it must stay valid until that thread has removed
// the entry. Returns 0 and lists nothing when memory for the entry cannot be had.
int conn_table_add(connection_table& table, connection_id id, platform::socket_handle socket,
                   const char* address_text, socket_claim* claim = nullptr);

// Hands the connection's client thread handle to its entry. If the connection has already
// left the table (its thread ended first), the handle is closed here.
void conn_table_set_thread(connection_table& table, connection_id id,
                           platform::thread_handle thread);

enum class socket_owner {
    none,                // not listed, or the close notice closes the socket: leave it alone
    client,              // the caller owns the socket and closes it as it sees fit
    client_after_notice  // the notice was sent and sending shut down: the caller just closes it
};

// Removes the connection, if listed, and says who closes its socket.
socket_owner conn_table_remove(connection_table& table, connection_id id);

// Sends the close notice to the listed connection alone, as close-all does, so that it ends
// at once; nothing when it is not listed. Does not wait for its thread. Returns the socket it
// was sent to, INVALID_SOCKET_HANDLE for none: a number for the trace alone, as the socket is
// its thread's to close.
platform::socket_handle conn_table_notice(connection_table& table, connection_id id);

// Wakes again every connection that had its notice and whose thread is still in the call it
// was in: a wake that came just before the call had really begun did not reach it.
void conn_table_rewake_noticed(connection_table& table);

// Sends every listed connection the close notice (waking its thread if it is in a call)
// and then gives each client thread up to CLOSE_ALL_THREAD_WAIT_MS to end, all of them
// together no more than wait_ms from the call: threads that cannot end (a host that holds
// them, a system out of resources) cost wait_ms in all, not a second each. Returns what is
// left of wait_ms. Entries leave as their threads remove them. Each walk visits every entry
// once: an entry that leaves while the walk waits on it is kept for the walk until it steps
// past, so the walk never reads a released entry and never has to start again from the head.
uint32_t conn_table_close_all(connection_table& table, uint32_t wait_ms);

// Releases every remaining entry (closing the handles of threads that may still run), shows
// an empty list, and marks the table not initialised.
void conn_table_teardown(connection_table& table);

// Rebuilds the connection view from the listed entries, with the lock held.
void conn_table_refresh_view(connection_table& table);

uint32_t conn_table_count(connection_table& table);

constexpr uint32_t CLOSE_ALL_THREAD_WAIT_MS = 1000;
// While close-all waits for a thread, it wakes a thread still in its call again this often.
constexpr uint32_t CLOSE_ALL_REWAKE_MS = 20;
