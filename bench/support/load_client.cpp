#include "bench/support/load_client.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/support/arrival_counter.h"
#include "tools/protocol_client.h"

platform::ipv4_address load_loopback() {
    return platform::ipv4_address{{127, 0, 0, 1}};
}

platform::ipv4_address load_loopback_number(int n) {
    return platform::ipv4_address{{127, static_cast<uint8_t>(2 + n / 62500),
                                   static_cast<uint8_t>(n / 250 % 250),
                                   static_cast<uint8_t>(n % 250 + 1)}};
}

platform::socket_handle load_connect(uint16_t port, const platform::ipv4_address* from) {
    platform::socket_handle socket = platform::net_tcp_socket();
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return socket;
    if (from && !platform::net_bind(socket, *from, 0)) {
        platform::net_close(socket);
        return platform::INVALID_SOCKET_HANDLE;
    }
    platform::net_set_nodelay(socket);
    platform::net_set_recv_timeout(socket, LOAD_READ_TIMEOUT_MS);
    if (!platform::net_connect(socket, load_loopback(), port)) {
        platform::net_close(socket);
        return platform::INVALID_SOCKET_HANDLE;
    }
    return socket;
}

int load_log_in(platform::socket_handle socket, const char* password) {
    return client_log_in(socket, password);
}

int load_send_all(platform::socket_handle socket, const void* data, size_t length) {
    return client_send_all(socket, data, length);
}

int load_wait_closed(platform::socket_handle socket) {
    const int64_t limit_ns = int64_t{LOAD_READ_TIMEOUT_MS} * 1000000;
    int64_t started = bench_now_ns();
    char discard[256];
    for (;;) {
        int received = platform::net_recv(socket, discard, sizeof discard);
        bool in_time = bench_now_ns() - started < limit_ns * 9 / 10;
        if (received == 0)
            return 1;
        // A reset is a close as well; the receive time-out is not.
        if (received < 0)
            return in_time;
        if (!in_time)
            return 0;  // a server that keeps talking
    }
}

void load_close(platform::socket_handle socket) {
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return;
    platform::net_close(socket);
}
