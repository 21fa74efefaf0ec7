#include "bench/support/load_client.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/support/arrival_counter.h"
#include "server/md5.h"

namespace {

const char GREETING_LINE[] = "vellumorchid\n";
const char ACCEPTANCE_LINE[] = "accept\n";
constexpr int COOKIE_LINE_LENGTH = 5;  // four hex digits and a line feed

// Reads exactly length bytes; 0 when the connection ends or the time-out passes first.
int receive_exactly(platform::socket_handle socket, char* buffer, int length) {
    int got = 0;
    while (got < length) {
        int received = platform::net_recv(socket, buffer + got, length - got);
        if (received <= 0)
            return 0;
        got += received;
    }
    return 1;
}

}  // namespace

platform::ipv4_address load_loopback() {
    return platform::ipv4_address{{127, 0, 0, 1}};
}

platform::socket_handle load_connect(uint16_t port) {
    platform::socket_handle socket = platform::net_tcp_socket();
    if (socket == platform::INVALID_SOCKET_HANDLE)
        return socket;
    platform::net_set_nodelay(socket);
    platform::net_set_recv_timeout(socket, LOAD_READ_TIMEOUT_MS);
    if (!platform::net_connect(socket, load_loopback(), port)) {
        platform::net_close(socket);
        return platform::INVALID_SOCKET_HANDLE;
    }
    return socket;
}

int load_log_in(platform::socket_handle socket, const char* password) {
    if (!load_send_all(socket, GREETING_LINE, sizeof GREETING_LINE - 1))
        return 0;
    char cookie[COOKIE_LINE_LENGTH + 1] = {};
    if (!receive_exactly(socket, cookie, COOKIE_LINE_LENGTH) || cookie[4] != '\n')
        return 0;
    cookie[4] = '\0';
    std::string input = std::string(cookie) + ":" + password;
    char answer[DIGEST_HEX_SIZE + 1];
    digest_hex(input.c_str(), answer);
    answer[DIGEST_HEX_SIZE - 1] = '\n';
    answer[DIGEST_HEX_SIZE] = '\0';
    if (!load_send_all(socket, answer, DIGEST_HEX_SIZE))
        return 0;
    char reply[sizeof ACCEPTANCE_LINE] = {};
    if (!receive_exactly(socket, reply, sizeof ACCEPTANCE_LINE - 1))
        return 0;
    return std::memcmp(reply, ACCEPTANCE_LINE, sizeof ACCEPTANCE_LINE - 1) == 0;
}

int load_send_all(platform::socket_handle socket, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        int piece = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
        int sent = platform::net_send(socket, bytes, piece);
        if (sent <= 0)
            return 0;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return 1;
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
