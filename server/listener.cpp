#include "server/listener.h"

#include <memory>
#include <new>

#include "access/admission.h"
#include "module/address_text.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "server/client_protocol.h"
#include "server/connection_table.h"
#include "server/make_shared_nothrow.h"
#include "server/pending_logins.h"
#include "server/socket_closing.h"
#include "server/socket_library_use.h"
#include "server/trace.h"

namespace {

// A connection that holds its record but no thread yet: one taken in with others before their
// threads start, or one that waits for a thread (pending_logins.h). Its record is empty once
// it is turned away, has given way or has its thread.
struct arrival {
    std::unique_ptr<client_start_record> record;
    char address_text[ADDRESS_TEXT_SIZE];
};

// One server run, shared by server_start/server_stop and the run's accept thread, which
// holds its own reference: after a stop that gave up waiting, the old accept thread keeps
// its stop signal and table while a new run starts with new ones.
// The run's client threads share its table, its pending count and its use of the socket
// library, so each of these lasts until the run's last thread lets go.
struct server_run {
    socket_library_ref library;
    platform::socket_handle listening = platform::INVALID_SOCKET_HANDLE;
    platform::manual_event stop_signal{false};
    connection_table_ref table;
    std::shared_ptr<pending_logins> pending;
    std::shared_ptr<refusal_places> refusing;
    // The accept thread's alone.
    connection_id next_connection = 1;
    uint32_t last_rewake_tick = 0;
    arrival batch[ACCEPT_BATCH_MAX];
    // Those waiting for a thread, oldest first; never more than may wait for their login.
    arrival waiting[MAX_PENDING_WAITING];
    size_t waiting_count = 0;
};

struct running_server {
    std::shared_ptr<server_run> run;
    platform::thread_handle accept_thread;
    uint16_t port = 0;
};

running_server g_server;  // host thread only

unsigned client_thread(void* argument) {
    return client_main(static_cast<client_start_record*>(argument));
}

// Closes a connection that gets no thread: it never reached the conversation, so no event is
// raised for it.
void turn_away(platform::socket_handle socket, const char* why, const char* address_text) {
    trace_connection(why, socket, address_text);
    close_two_step(socket);
}

const char* refusal_text(pending_logins::verdict verdict) {
    return verdict == pending_logins::verdict::address_full
               ? "Too many connections waiting for login from one address"
               : "Too many connections waiting for login";
}

// Gives the connection its place: among those being refused when admission refuses its
// address without a look-up, so that it never displaces a waiting login; otherwise among those
// waiting for their login, whether its admission still needs a look-up or not. False when it
// gets none and has been turned away; *displaced (left as it is when nobody's) tells whose
// place it took.
bool place_connection(server_run& run, client_start_record& record, const char* address_text,
                      pending_logins::displacement* displaced) {
    if (admit_client_without_lookup(record.address) == admission_verdict::refused) {
        if (record.refused.take(run.refusing))
            return true;
        turn_away(record.socket, "Too many refused connections at once", address_text);
        return false;
    }
    pending_logins::verdict verdict =
        pending_login_count(run.pending, record.address, record.id, &record.pending, displaced);
    if (verdict == pending_logins::verdict::address_full ||
        verdict == pending_logins::verdict::total_full) {
        turn_away(record.socket, refusal_text(verdict), address_text);
        return false;
    }
    return true;
}

const char GIVES_WAY[] = "Connection waiting for login gives way on socket:%d to:%s";

// The record of a connection without a thread: of the batch that begins with connection
// first, or among those waiting for a thread. Null when it has none (any more).
std::unique_ptr<client_start_record>* unstarted_record(server_run& run, connection_id first,
                                                       connection_id id) {
    if (id >= first && id - first < ACCEPT_BATCH_MAX)
        return &run.batch[id - first].record;
    for (size_t i = 0; i < run.waiting_count; ++i) {
        std::unique_ptr<client_start_record>& record = run.waiting[i].record;
        if (record && record->id == id)
            return &record;
    }
    return nullptr;
}

// Ends the connection whose place a newcomer took: one without a thread is closed at once,
// one with a thread gets the close notice.
void end_displaced(server_run& run, connection_id first, pending_logins::displacement gone,
                   const char* newcomer_text) {
    if (gone.connection == NO_CONNECTION)
        return;
    if (gone.had_thread) {
        platform::socket_handle ended = conn_table_notice(*run.table, gone.connection);
        trace_connection(GIVES_WAY, ended, newcomer_text);
        return;
    }
    std::unique_ptr<client_start_record>* record = unstarted_record(run, first, gone.connection);
    if (record && *record) {
        turn_away((*record)->socket, GIVES_WAY, newcomer_text);
        record->reset();  // gives its place back
    }
}

// Takes in one accepted connection of the batch that begins with connection first: its record
// and its place, or it is turned away.
void take_in(server_run& run, connection_id first, platform::socket_handle socket,
             platform::ipv4_address peer, arrival& taken) {
    // Its identity first, so that every later arrival of the batch has its own whatever fails.
    connection_id id = run.next_connection++;
    uint32_t accepted_tick = platform::tick_count();
    format_address_text(peer, taken.address_text);
    trace_connection("Connection accepted on socket:%d from:%s", socket, taken.address_text);
    std::unique_ptr<client_start_record> record(new (std::nothrow) client_start_record{
        socket, peer, accepted_tick, id, nullptr, nullptr, {}, {}, {}});
    if (!record) {
        turn_away(socket, "No memory for the connection", taken.address_text);
        return;
    }
    pending_logins::displacement displaced;
    if (!place_connection(run, *record, taken.address_text, &displaced))
        return;
    end_displaced(run, first, displaced, taken.address_text);
    taken.record = std::move(record);
}

// Lists the connection and starts its thread, which then owns its record; false, keeping
// the record, while the threads of those waiting for their login are all taken.
bool start_client(server_run& run, arrival& taken) {
    std::unique_ptr<client_start_record>& record = taken.record;
    if (!record->refused && !record->pending.start_thread())
        return false;
    connection_id id = record->id;
    platform::socket_handle socket = record->socket;
    // The entry goes into the table before the thread exists, so the thread always finds it.
    if (!conn_table_add(*run.table, id, socket, taken.address_text, &record->claim)) {
        turn_away(socket, "No memory for the connection", taken.address_text);
        record.reset();
        return true;
    }
    record->table = run.table;
    record->library = run.library;
    platform::thread_handle thread =
        platform::thread_start(client_thread, record.get(), CLIENT_THREAD_STACK_RESERVATION);
    if (!thread) {
        // Nobody would ever serve it: it leaves at once instead of holding its socket open
        // until the stop.
        conn_table_remove(*run.table, id);
        turn_away(socket, "Couldn't start client thread", taken.address_text);
        record.reset();
        return true;
    }
    record.release();  // the client thread's now
    conn_table_set_thread(*run.table, id, std::move(thread));
    return true;
}

// Starts the threads of those waiting for one, oldest first, as far as threads are free;
// one that has waited out the login's whole time is closed instead. Keeps the rest in order.
void start_waiting(server_run& run) {
    uint32_t now = platform::tick_count();
    size_t kept = 0;
    for (size_t i = 0; i < run.waiting_count; ++i) {
        arrival& each = run.waiting[i];
        if (each.record && now - each.record->accepted_tick >= LOGIN_GRACE_MS) {
            turn_away(each.record->socket, "Login not completed in time", each.address_text);
            each.record.reset();
        }
        if (each.record && !start_client(run, each)) {
            if (kept != i)
                run.waiting[kept] = std::move(each);
            ++kept;
        }
    }
    run.waiting_count = kept;
}

void close_waiting(server_run& run) {
    for (size_t i = 0; i < run.waiting_count; ++i) {
        if (run.waiting[i].record) {
            close_two_step(run.waiting[i].record->socket);
            run.waiting[i].record.reset();
        }
    }
    run.waiting_count = 0;
}

// Whether the accept loop must come round on time, not only when a connection arrives: while
// connections wait for a thread or are being ended. An ordinary arrival goes straight back to
// the accept, which under Wine costs far less than the timed wait.
bool house_keeping_due(server_run& run) {
    return run.waiting_count != 0 || run.pending->ending() != 0;
}

// Connections displaced earlier whose wake may have come just before their receive began are
// woken again, at most every CLOSE_ALL_REWAKE_MS while any is still being ended; those that
// wait for a thread get one as soon as one is free.
bool keep_house(server_run& run) {
    uint32_t now = platform::tick_count();
    if (run.pending->ending() != 0 && now - run.last_rewake_tick >= CLOSE_ALL_REWAKE_MS) {
        run.last_rewake_tick = now;
        conn_table_rewake_noticed(*run.table);
    }
    start_waiting(run);
    return house_keeping_due(run);
}

// Takes in the accepted connection and every other one already waiting to be accepted (up to
// ACCEPT_BATCH_MAX), and only then starts their threads: under a crowd most of them give way
// to those behind them before a thread was ever started for them, which makes a crowd's
// arrival cheap and lets a login behind it through sooner. Those that get no thread yet wait
// for one, after the others that wait already.
void hand_over(server_run& run, platform::socket_handle socket, platform::ipv4_address peer) {
    connection_id first = run.next_connection;
    size_t count = 0;
    for (;;) {
        take_in(run, first, socket, peer, run.batch[count++]);
        if (count == ACCEPT_BATCH_MAX || run.stop_signal.wait(0) ||
            !platform::net_connection_waiting(run.listening, 0))
            break;
        socket = platform::net_accept(run.listening, &peer);
        if (socket == platform::INVALID_SOCKET_HANDLE)
            break;  // the accept loop's own accept tells what happened
    }
    start_waiting(run);
    for (size_t i = 0; i < count; ++i) {
        arrival& taken = run.batch[i];
        if (taken.record && !start_client(run, taken))
            run.waiting[run.waiting_count++] = std::move(taken);
    }
}

void accept_connections(server_run& run) {
    bool busy = false;
    for (;;) {
        if (run.stop_signal.wait(0))
            return;
        if (busy) {
            busy = keep_house(run);
            if (!platform::net_connection_waiting(run.listening, CLOSE_ALL_REWAKE_MS))
                continue;
        }
        platform::ipv4_address peer{};
        platform::socket_handle socket = platform::net_accept(run.listening, &peer);
        if (socket != platform::INVALID_SOCKET_HANDLE) {
            hand_over(run, socket, peer);
            busy = house_keeping_due(run);
            continue;
        }
        int error = platform::net_last_error();
        if (run.stop_signal.wait(0))
            return;
        // A client that connects and resets at once must not switch the server off: only a
        // listening socket that is gone ends the loop.
        switch (platform::net_classify_accept_error(error)) {
            case platform::accept_failure::listener_gone:
                return;
            case platform::accept_failure::one_connection:
                break;
            case platform::accept_failure::resource_shortage:
                run.stop_signal.wait(ACCEPT_RETRY_PAUSE_MS);
                break;
        }
    }
}

unsigned accept_loop(void* argument) {
    std::unique_ptr<std::shared_ptr<server_run>> reference(
        static_cast<std::shared_ptr<server_run>*>(argument));
    server_run& run = **reference;
    platform::manual_event* all_closed = conn_table_init(*run.table);
    accept_connections(run);
    run.stop_signal.wait(platform::WAIT_FOREVER);
    close_waiting(run);
    // Close-all and the wait for the last threads share one bound.
    uint32_t left = conn_table_close_all(*run.table, CLIENT_THREADS_WAIT_MS);
    if (all_closed && !all_closed->wait(left)) {
        trace("One or more client threads did not exit", 0);
    }
    conn_table_teardown(*run.table);
    return 0;
}

// Undoes a start after the socket library started: closes the listening socket, if any. The
// run's signal, table and use of the library go with the run.
int fail_start(platform::socket_handle listening) {
    if (listening != platform::INVALID_SOCKET_HANDLE)
        close_two_step(listening);
    return 0;
}

}  // namespace

int server_start(int32_t port) {
    trace_read_switch();
    uint16_t granted = 0;
    socket_library_ref library = socket_library_use::start(SOCKET_LIBRARY_VERSION, &granted);
    if (!library) {
        platform::message_box("Initialize WinSock Failed", "Sendrel");
        return 0;
    }
    if (granted != SOCKET_LIBRARY_VERSION) {
        platform::message_box("Wrong WinSock Version", "Sendrel");
        return 0;
    }
    std::shared_ptr<server_run> run = make_shared_nothrow<server_run>();
    if (!run || !run->stop_signal.valid())
        return 0;
    run->library = std::move(library);
    run->table = conn_table_create();
    run->pending = make_shared_nothrow<pending_logins>();
    run->refusing = make_shared_nothrow<refusal_places>();
    if (!run->table || !run->pending || !run->refusing)
        return 0;

    run->listening = platform::net_tcp_socket();
    if (run->listening == platform::INVALID_SOCKET_HANDLE) {
        trace("Could not create listen socket", platform::net_last_error());
        return fail_start(platform::INVALID_SOCKET_HANDLE);
    }
    if (!platform::net_bind_any(run->listening, static_cast<uint16_t>(port & 0xFFFF))) {
        trace("bind() error", platform::net_last_error());
        return fail_start(run->listening);
    }
    if (!platform::net_listen(run->listening)) {
        trace("listen() error", platform::net_last_error());
        return fail_start(run->listening);
    }
    auto* thread_reference = new (std::nothrow) std::shared_ptr<server_run>(run);
    platform::thread_handle thread = thread_reference
                                         ? platform::thread_start(accept_loop, thread_reference)
                                         : platform::thread_handle();
    if (!thread) {
        trace("Could not create listening thread: %d",
              static_cast<int32_t>(platform::last_system_error()));
        delete thread_reference;
        return fail_start(run->listening);
    }
    g_server.port = platform::net_local_port(run->listening);
    g_server.run = std::move(run);
    g_server.accept_thread = std::move(thread);
    return 1;
}

void server_stop() {
    if (!g_server.run)
        return;
    g_server.run->stop_signal.set();
    close_two_step(g_server.run->listening);
    if (!g_server.accept_thread.wait(SERVER_STOP_WAIT_MS)) {
        trace("TIMEOUT waiting for ListenThread", 0);
    }
    g_server.accept_thread.close();
    g_server.port = 0;
    trace("Server Stopped", 0);
    // The library's use ends with the run's last thread, which may be this reference.
    g_server.run.reset();
}

uint16_t server_listening_port() {
    return g_server.port;
}
