// How the server ends a client connection.
//
// send_close_notice: tells the client the server is closing: a non-blocking send of the
// 7 bytes "close\n" and a zero byte, back to blocking, and shut down sending. The server has
// sent only a few bytes on the socket before, so there is always room for the notice, and a
// "would block" is a passing state of the socket library (Wine reports it now and then while
// another thread waits in a receive on the socket): the send is tried again for at most
// CLOSE_NOTICE_RETRY_MS, so the notice is not lost to it and a client that does not read
// still cannot hold the caller up for long. Any other failure gives up at once. The
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
constexpr uint32_t CLOSE_NOTICE_RETRY_MS = 50;

void send_close_notice(platform::socket_handle socket);
void graceful_close(platform::socket_handle socket);
void close_two_step(platform::socket_handle socket);
