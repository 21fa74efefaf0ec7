// The conversation with one connected client, on a thread of its own: admission, greeting,
// challenge and login, then event lines until "close", a disconnect or the server's stop.
//
// client_main takes ownership of the record (and through it of the socket, until close-all
// claims it) and returns 0 when the connection is finished. It raises "Blocked connection"
// alone for a refused client, and otherwise "Incoming connection" first and exactly one
// "Disconnect" last. A connection whose login is not done LOGIN_GRACE_MS after its accept ends
// as one that sent nothing more: before the cookie, with no cookie; after it, as a wrong
// password if it had a fair time (10 s) after its cookie. A login that the server ends itself
// (the stop, its place among those waiting given to another connection, or a deadline that the
// host's handlers or the wait for a thread used up) is no wrong password: it raises
// "Disconnect" alone and counts against its address nowhere. A login that succeeds makes its
// address known (access/known_addresses.h); a wrong password makes it unknown. A connection that the accept thread's admission refused
// already (record->refused) is only told so: "Blocked connection" alone.
#pragma once

#include <cstdint>

#include "server/client_start_record.h"

constexpr int RECEIVE_BUFFER_SIZE = 1024;
// A connection that has not logged in this long after its accept is ended: the greeting's
// and the response's receive share the time. A logged-in connection has no deadline.
constexpr uint32_t LOGIN_GRACE_MS = 30000;
// The deadline runs from the accept, the host's handling of "Incoming connection" and any wait
// for a thread included: an answer that had less than this after its cookie when the deadline
// came is no wrong password.
constexpr uint32_t LOGIN_ANSWER_FAIR_MS = 10000;
constexpr int PAYLOAD_SLOTS = 10;  // the address and at most nine payload texts

// The stack reserved for each client thread, so that a held connection costs the host this
// much address space instead of a default stack (1 MiB, say). Measured under Wine, a client
// thread goes at most 6 KiB deep on its worst paths (a hardware-address rule, a host-name
// rule, the trace switched on, a login followed by an event with nine payloads); four times
// that, rounded up to 64 KiB, is 64 KiB. Twice that is reserved: on Windows the name lookup
// and the adapter-status exchange run more of the system's code on this stack than Wine does,
// and the host's trigger_event runs on it too.
constexpr uint32_t CLIENT_THREAD_STACK_RESERVATION = 128 * 1024;

unsigned client_main(client_start_record* record);

// Cuts a text at its first carriage return or line feed.
void strip_line_end(char* text);
