// The client side of the benchmarks: plain blocking loopback connections to a server of the
// event protocol, one socket per connection and no thread of its own.
//
// load_connect(port, from) connects to 127.0.0.1:port (from the loopback address from, if
// given: the server then sees that address) with the line-end delay (Nagle) off and a
// receive time-out of LOAD_READ_TIMEOUT_MS; it returns the socket, which the caller owns and
// ends with load_close, or INVALID_SOCKET_HANDLE. load_log_in sends the greeting, reads the
// cookie, answers with the digest of cookie and password and reads "accept\n"; 1 when logged
// in. load_send_all sends every byte (1) or fails (0). load_wait_closed reads and discards
// until the server closes the connection: 1 when it did (orderly or by reset), 0 on time-out.
// Every wait is bounded by the receive time-out. Any thread, one socket per thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

constexpr uint32_t LOAD_READ_TIMEOUT_MS = 10000;

platform::socket_handle load_connect(uint16_t port, const platform::ipv4_address* from = nullptr);
int load_log_in(platform::socket_handle socket, const char* password);
int load_send_all(platform::socket_handle socket, const void* data, size_t length);
int load_wait_closed(platform::socket_handle socket);
void load_close(platform::socket_handle socket);

// 127.0.0.1
platform::ipv4_address load_loopback();
// A loopback address of its own for each n from 0 to 15 999 999 (127.2.0.1 and on), so that a
// load can come from many addresses.
platform::ipv4_address load_loopback_number(int n);
