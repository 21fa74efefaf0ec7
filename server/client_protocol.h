// The conversation with one connected client, on a thread of its own: admission, greeting,
// challenge and login, then event lines until "close", a disconnect or the server's stop.
//
// client_main takes ownership of the record (and through it of the socket, until close-all
// claims it) and returns 0 when the connection is finished. It raises "Blocked connection"
// alone for a refused client, and otherwise "Incoming connection" first and exactly one
// "Disconnect" last.
#pragma once

#include "server/client_start_record.h"

constexpr int RECEIVE_BUFFER_SIZE = 1024;
constexpr int PAYLOAD_SLOTS = 10;  // the address and at most nine payload texts

unsigned client_main(client_start_record* record);

// Cuts a text at its first carriage return or line feed.
void strip_line_end(char* text);
