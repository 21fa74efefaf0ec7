// The baseline the real server is measured against: the least a server of the same protocol
// must do, in the same shape. One accept thread; one thread per connection; the same login
// (greeting, cookie, digest_hex check of "%04x:password", "accept\n") with 1024-byte
// receives; then it only counts the line feeds of each receive in the arrival counter, and
// ends the connection when a receive is exactly "close" or "close\n" (shutting its sending
// direction down, reading until the peer closes, closing). No events, no table view, no
// admission, no payloads.
//
// baseline_start(password) listens on 127.0.0.1 at a free port and starts the accept thread;
// 1 when running. baseline_port() is that port (0 when stopped). baseline_stop() closes the
// listening socket, waits for the accept thread, then closes every connection the way the
// real server's stop does - the 7-byte close notice, shutdown of sending, the wake of the
// blocked receive - and waits for all their threads (up to BASELINE_THREADS_WAIT_MS in all).
// The benchmark's main thread calls start and stop, one run at a time; the socket library
// must already be started.
#pragma once

#include <cstdint>

constexpr uint32_t BASELINE_THREADS_WAIT_MS = 5000;

int baseline_start(const char* password);
uint16_t baseline_port();
void baseline_stop();
