#include "server/client_protocol.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "access/admission.h"
#include "access/known_addresses.h"
#include "access/repeat_offenders.h"
#include "module/address_text.h"
#include "module/settings.h"
#include "platform/net.h"
#include "platform/tick.h"
#include "server/event_dispatch.h"
#include "server/line_assembler.h"
#include "server/login_cookies.h"
#include "server/md5.h"
#include "server/socket_closing.h"
#include "server/trace.h"

namespace {

const char GREETING_WORD[] = "vellumorchid";
const char PAYLOAD_PREFIX[] = "payload ";
constexpr size_t PAYLOAD_PREFIX_LENGTH = sizeof PAYLOAD_PREFIX - 1;
const char END_LINE[] = "close";
const char ACCEPTANCE_LINE[] = "accept\n";

struct connection {
    client_start_record* record;
    char address_text[ADDRESS_TEXT_SIZE];
    size_t address_length = 0;
    char buffer[RECEIVE_BUFFER_SIZE + 1];
    int last_receive = 0;
    bool deadline_passed = false;
    uint32_t cookie_tick = 0;  // when the cookie was sent
};

// The login's receives wait only until its deadline, accept + LOGIN_GRACE_MS: the socket's
// receive time-out is set to the time left before each of them, and a receive that fails once
// the deadline has passed has timed out. (Waiting for readiness first would cost a call more
// per receive, which under Wine costs a thread's first use of it about a millisecond.) The
// deadline ends the login as if the peer had sent nothing more (last receive 0), so the thread
// still closes its socket itself, through the closing drain. Both run under the socket's claim.
constexpr uint32_t TICK_STEP_MS = 16;

uint32_t login_time_left(const connection& conn) {
    uint32_t elapsed = platform::tick_count() - conn.record->accepted_tick;
    return elapsed < LOGIN_GRACE_MS ? LOGIN_GRACE_MS - elapsed : 0;
}

bool limit_to_login_deadline(connection& conn) {
    uint32_t left = login_time_left(conn);
    return left > 0 && platform::net_set_recv_timeout(conn.record->socket, left);
}

// One receive, terminated; a failed receive reads as an empty text. Once the close notice has
// claimed the socket it is not touched again: the receive counts as failed. A receive of the
// login waits only until the login's deadline.
enum class receive_kind { login, command };

int receive_text(connection& conn, receive_kind kind) {
    socket_claim& claim = conn.record->claim;
    conn.last_receive = -1;
    if (claim.begin_use()) {
        if (kind == receive_kind::command || limit_to_login_deadline(conn)) {
            conn.last_receive =
                platform::net_recv(conn.record->socket, conn.buffer, RECEIVE_BUFFER_SIZE);
        }
        // Windows may report the time-out up to one step of its tick (15.6 ms) before the
        // tick reaches the deadline.
        if (kind == receive_kind::login && conn.last_receive < 0 && !claim.claimed() &&
            login_time_left(conn) <= TICK_STEP_MS) {
            trace_connection("Login not completed in time", conn.record->socket, conn.address_text);
            conn.last_receive = 0;
            conn.deadline_passed = true;
        }
        claim.end_use();
    }
    conn.buffer[conn.last_receive > 0 ? conn.last_receive : 0] = '\0';
    return conn.last_receive;
}

bool equal_ignoring_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

// A logged-in client may stay idle as long as it likes: its receives get no time limit again.
bool lift_login_deadline(connection& conn) {
    socket_claim& claim = conn.record->claim;
    if (!claim.begin_use())
        return false;
    bool lifted = platform::net_set_recv_timeout(conn.record->socket, 0);
    claim.end_use();
    return lifted;
}

void send_text(connection& conn, const char* text) {
    socket_claim& claim = conn.record->claim;
    if (!claim.begin_use())
        return;
    platform::net_send(conn.record->socket, text, static_cast<int>(std::strlen(text)));
    claim.end_use();
}

bool ended_by_server(connection& conn) {
    const char* why =
        conn.record->pending.given_way() ? "Login ended: its place was given to another connection"
        : conn.record->claim.claimed()   ? "Login ended: the server is stopping"
        : conn.deadline_passed && platform::tick_count() - conn.cookie_tick < LOGIN_ANSWER_FAIR_MS
            ? "Login ended: its time ran out too soon after its cookie"
            : nullptr;
    if (why)
        trace_connection(why, conn.record->socket, conn.address_text);
    return why != nullptr;
}

// A client that gave up before its cookie (it waited for a thread, or the host's handlers
// were slow) has left its greeting and its close behind: it gets no cookie, and nothing is
// counted against it. One that closes after reading its cookie is a wrong password.
bool peer_gone(connection& conn) {
    socket_claim& claim = conn.record->claim;
    if (!claim.begin_use())
        return false;  // the stop ends it
    bool gone = platform::net_peer_gone(conn.record->socket) == 1;
    claim.end_use();
    if (gone)
        trace_connection("Login ended: the client left before its cookie", conn.record->socket,
                         conn.address_text);
    return gone;
}

// Greeting, cookie and response; true when the client proved it knows the password, and then
// *generation is the password's generation that it proved.
bool log_in(connection& conn, uint32_t* generation) {
    receive_text(conn, receive_kind::login);
    strip_line_end(conn.buffer);
    if (std::strcmp(conn.buffer, GREETING_WORD) != 0 || peer_gone(conn))
        return false;

    held_cookie cookie;
    char cookie_line[8];
    std::snprintf(cookie_line, sizeof cookie_line, "%04x\n", cookie.value());
    conn.cookie_tick = platform::tick_count();
    send_text(conn, cookie_line);

    std::string password;
    // Without a password (none loaded yet, or no memory for it) nobody logs in.
    bool have_password = settings_password_copy(&password, generation);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04x:", cookie.value());
    std::string digest_input = digits + password;
    char expected[DIGEST_HEX_SIZE];
    digest_hex(digest_input.c_str(), expected);

    receive_text(conn, receive_kind::login);
    strip_line_end(conn.buffer);
    // A right answer has crossed the wire, whatever becomes of this login: its cookie is
    // never sent again.
    bool right = have_password && equal_ignoring_case(conn.buffer, expected);
    if (right)
        cookie.answered_rightly();
    // A login that the server itself ended, by its stop or by giving the connection's place to
    // another, is no failure of the peer's: nothing is compared, counted or raised.
    if (ended_by_server(conn))
        return false;
    // Counted before it is compared, so that parallel answers of one address cannot overtake
    // the count. An address under refusal has its answer refused without a comparison, and
    // without a count: a right one, sent beside wrong ones, must not be booked as wrong.
    bool counted = repeat_offenders_count_answer(conn.record->address);
    if (!counted && settings.disable_abuse_protection.load(std::memory_order_acquire) == 0) {
        trace_connection("Answer not compared: too many failed logins", conn.record->socket,
                         conn.address_text);
        return false;
    }
    if (right) {
        if (counted)
            repeat_offenders_take_back(conn.record->address);
        return true;
    }
    abuse_note_failure(conn.address_text);
    known_addresses_forget(conn.record->address);
    conn.record->pending.forget_known();
    trace_connection("Incorrect Password", conn.record->socket, conn.address_text);
    raise_event_with_address("Incorrect Password", conn.address_text);
    return false;
}

// The payload texts of the next event, written straight into the block the host gets: slot
// 1 is the address, put in afresh after every event, so each block the host sees was written
// for that event alone.
struct payload_table {
    uint8_t block[PAYLOAD_BLOCK_BUFFER];
    payload_writer writer;
};

void payload_table_restart(connection& conn, payload_table& payloads) {
    payload_writer_start(&payloads.writer, payloads.block);
    payload_writer_add(&payloads.writer, conn.address_text, conn.address_length);
}

bool is_end_line(const char* line) {
    return line[0] == END_LINE[0] && std::strcmp(line, END_LINE) == 0;
}

bool is_payload_line(const char* line) {
    return line[0] == PAYLOAD_PREFIX[0] &&
           std::strncmp(line, PAYLOAD_PREFIX, PAYLOAD_PREFIX_LENGTH) == 0;
}

// One line of the command loop; false when it ends the conversation.
bool handle_line(connection& conn, payload_table& payloads, const char* line) {
    if (is_end_line(line))
        return false;
    if (is_payload_line(line)) {
        if (payloads.writer.count < PAYLOAD_SLOTS) {
            const char* text = line + PAYLOAD_PREFIX_LENGTH;
            payload_writer_add(&payloads.writer, text, std::strlen(text));
        }
        return true;
    }
    raise_written_event(line, &payloads.writer);
    payload_table_restart(conn, payloads);
    return true;
}

struct assembler_owner {
    line_assembler* assembler = line_assembler_create();
    ~assembler_owner() {
        if (assembler)
            line_assembler_destroy(assembler);
    }
};

void command_loop(connection& conn) {
    assembler_owner owner;
    if (!owner.assembler)
        return;
    payload_table payloads;
    payload_table_restart(conn, payloads);
    for (;;) {
        int received = receive_text(conn, receive_kind::command);
        if (received <= 0)
            return;
        const char* line = line_assembler_next(owner.assembler, conn.buffer);
        if (!line && received == 5 && std::memcmp(conn.buffer, END_LINE, 5) == 0)
            return;
        while (line) {
            if (!handle_line(conn, payloads, line))
                return;
            line = line_assembler_next(owner.assembler, conn.buffer);
        }
    }
}

// The end of a connection: leave the table, then close the socket as far as it is still
// ours. One whose last receive failed is closed without a drain. Its place among those
// waiting for their login goes with the record, once the socket is closed.
void finish(connection& conn) {
    platform::socket_handle socket = conn.record->socket;
    switch (conn_table_remove(*conn.record->table, conn.record->id)) {
        case socket_owner::none:
            break;
        case socket_owner::client_after_notice:
            platform::net_close(socket);
            break;
        case socket_owner::client:
            if (conn.last_receive < 0) {
                close_two_step(socket);
            } else {
                graceful_close(socket);
            }
            break;
    }
}

void converse(connection& conn) {
    format_address_text(conn.record->address, conn.address_text);
    conn.address_length = std::strlen(conn.address_text);

    if (conn.record->refused || !admit_client(conn.record->address)) {
        // Refused after its look-up: its place among those waiting goes back before the host
        // hears of it and before the closing drain.
        conn.record->pending.stop_waiting();
        trace_connection("Blocked connection", conn.record->socket, conn.address_text);
        raise_event_with_address("Blocked connection", conn.address_text);
        finish(conn);
        return;
    }
    raise_event_with_address("Incoming connection", conn.address_text);
    try {
        // A connection whose place went to a newcomer is being ended: it does not log in.
        uint32_t generation = 0;
        if (log_in(conn, &generation) && conn.record->pending.log_in(generation) &&
            lift_login_deadline(conn)) {
            known_addresses_note_login(conn.record->address, generation);
            raise_event_with_address("Accepted connection", conn.address_text);
            abuse_note_success();
            repeat_offenders_note_success(conn.record->address);
            send_text(conn, ACCEPTANCE_LINE);
            command_loop(conn);
        }
    } catch (const std::bad_alloc&) {
        // Memory for this connection ran out: it ends here like any other.
    }
    raise_event_with_address("Disconnect", conn.address_text);
    finish(conn);
}

}  // namespace

void strip_line_end(char* text) {
    text[std::strcspn(text, "\r\n")] = '\0';
}

unsigned client_main(client_start_record* record) {
    std::unique_ptr<client_start_record> owned(record);
    connection conn{};
    conn.record = record;
    converse(conn);
    return 0;
}
