// The listener's diagnostic hook. By default trace() has no effect in the plug-in: it writes
// nothing anywhere and keeps nothing. The texts are passed as they stand (the placeholders
// in two of them are never filled in).
//
// On request, each trace also goes to the platform's debug output (platform/debug_output.h)
// as one line, its text and number:
//     Sendrel trace: bind() error (10048)
// The request is the environment variable SENDREL_TRACE set to anything but "" or "0" in the
// host's process; server_start reads it through trace_read_switch, so it holds for the run
// that starts. Switched off, a trace costs one atomic load.
//
// Tests observe the calls by installing a hook, which gets every call whether or not the
// switch is on; any thread may trace.
#pragma once

#include <cstdint>

constexpr char TRACE_SWITCH_VARIABLE[] = "SENDREL_TRACE";

void trace(const char* message, int32_t number);

// A trace about one connection, so one trace tells the whole story of a client that cannot
// get in. The hook sees (message, 0) as for any trace; the debug output's line also names the
// connection: a "%d" in the message stands for the socket and a "%s" for the address text,
// and a message without them gets both after its text:
//     Sendrel trace: Connection accepted on socket:1234 from:10.0.0.7 (0)
//     Sendrel trace: Incorrect Password socket:1234 from:10.0.0.7 (0)
// Switched off, it costs what trace costs.
void trace_connection(const char* message, uintptr_t socket, const char* address_text);

// Reads the switch from the environment; the host thread, before the server's threads start.
void trace_read_switch();

using trace_hook = void (*)(const char* message, int32_t number);
void trace_set_hook(trace_hook hook);
