// How the server ends a client connection.
//
// send_close_notice: tells the client the server is closing: one non-blocking send of the
// 7 bytes "close\n" and a zero byte (lost if it cannot be queued at once, so a client that
// does not read cannot hold the caller up), back to blocking, and shut down sending. The
// socket stays open: the connection table closes it, or wakes its client thread, once the
// thread's claim on it is settled (socket_claim).
//
// The others close the socket they are given; the caller must own it and must not touch it
// afterwards.
//
// graceful_close: shuts down sending, reads and discards what the peer still sends in reads
// of up to 100 bytes until it closes or a read fails, then closes. The drain is bounded in
// time and bytes, so a peer that never closes cannot keep the calling thread.
//
// close_two_step: shuts down sending and closes, without reading: the plain close of a
// listening socket, of a connection that is dropped before it is served, and of one whose
// last receive already failed.
#pragma once

#include "platform/net.h"

constexpr uint32_t GRACEFUL_CLOSE_DRAIN_MS = 3000;

void send_close_notice(platform::socket_handle socket);
void graceful_close(platform::socket_handle socket);
void close_two_step(platform::socket_handle socket);
