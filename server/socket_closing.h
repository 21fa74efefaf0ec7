// The two ways the server ends a client connection. Each closes the socket it is given; the
// caller must own it and must not touch it afterwards.
//
// send_close_notice: tells the client the server is closing: one non-blocking send of the
// 7 bytes "close\n" and a zero byte (lost if it cannot be queued at once, so a client that
// does not read cannot hold the caller up), back to blocking, shut down sending, close.
//
// graceful_close: shuts down sending, reads and discards what the peer still sends in reads
// of up to 100 bytes until it closes or a read fails, then closes. The drain is bounded in
// time and bytes, so a peer that never closes cannot keep the calling thread.
//
// abrupt_close: shuts down sending and closes without reading, for a connection whose last
// receive already failed.
#pragma once

#include "platform/net.h"

constexpr uint32_t GRACEFUL_CLOSE_DRAIN_MS = 3000;

void send_close_notice(platform::socket_handle socket);
void graceful_close(platform::socket_handle socket);
void abrupt_close(platform::socket_handle socket);
