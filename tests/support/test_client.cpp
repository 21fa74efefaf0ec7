#include "tests/support/test_client.h"

#include <cstdio>
#include <random>

#include "platform/tick.h"
#include "server/md5.h"
#include "tools/protocol_client.h"

platform::ipv4_address loopback_address(const char* dotted) {
    unsigned a = 127, b = 0, c = 0, d = 1;
    std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    return platform::ipv4_address{{static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                                   static_cast<uint8_t>(c), static_cast<uint8_t>(d)}};
}

uint16_t free_loopback_port() {
    // Below the systems' ranges for the local ports of outgoing connections (Linux from 32768,
    // Windows from 49152): a port picked there is not soon taken by another test's client.
    constexpr uint16_t FIRST = 20000, COUNT = 12000;
    std::minstd_rand pick(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto port = static_cast<uint16_t>(FIRST + pick() % COUNT);
        platform::socket_handle probe = platform::net_tcp_socket();
        bool free = platform::net_bind_any(probe, port) == 1;
        platform::net_close(probe);
        if (free)
            return port;
    }
    platform::socket_handle probe = platform::net_tcp_socket();
    platform::net_bind(probe, loopback_address(), 0);
    uint16_t port = platform::net_local_port(probe);
    platform::net_close(probe);
    return port;
}

std::string login_answer(const std::string& cookie, const std::string& password) {
    char digest[DIGEST_HEX_SIZE];
    digest_hex((cookie + ":" + password).c_str(), digest);
    return digest;
}

bool test_client::connect(uint16_t port, const char* local_address) {
    close();
    socket_ = platform::net_tcp_socket();
    if (socket_ == platform::INVALID_SOCKET_HANDLE)
        return false;
    platform::net_set_nodelay(socket_);
    if (local_address && !platform::net_bind(socket_, loopback_address(local_address), 0)) {
        return false;
    }
    return platform::net_connect(socket_, loopback_address(), port) == 1;
}

bool test_client::send_text(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        int result =
            platform::net_send(socket_, text.data() + sent, static_cast<int>(text.size() - sent));
        if (result <= 0)
            return false;
        sent += static_cast<size_t>(result);
    }
    return true;
}

std::string test_client::receive_once(uint32_t timeout_ms) {
    char buffer[4096];
    platform::net_set_recv_timeout(socket_, timeout_ms);
    int received = platform::net_recv(socket_, buffer, sizeof buffer);
    return received > 0 ? std::string(buffer, static_cast<size_t>(received)) : std::string();
}

std::string test_client::receive_until_closed(uint32_t timeout_ms) {
    std::string all;
    uint32_t started = platform::tick_count();
    char buffer[4096];
    for (;;) {
        uint32_t elapsed = platform::tick_count() - started;
        if (elapsed >= timeout_ms)
            break;
        platform::net_set_recv_timeout(socket_, timeout_ms - elapsed);
        int received = platform::net_recv(socket_, buffer, sizeof buffer);
        if (received <= 0)
            break;
        all.append(buffer, static_cast<size_t>(received));
    }
    return all;
}

bool test_client::wait_closed(uint32_t timeout_ms) {
    uint32_t started = platform::tick_count();
    char buffer[4096];
    for (;;) {
        uint32_t elapsed = platform::tick_count() - started;
        if (elapsed >= timeout_ms)
            return false;
        platform::net_set_recv_timeout(socket_, timeout_ms - elapsed);
        int received = platform::net_recv(socket_, buffer, sizeof buffer);
        if (received == 0)
            return true;
        if (received < 0) {
            // A time-out is not a close; anything else (reset, abort) is.
            return platform::tick_count() - started < timeout_ms;
        }
    }
}

std::string test_client::greet(const std::string& greeting) {
    if (!send_text(greeting))
        return "";
    std::string line = receive_once();
    // The cookie line is 5 bytes; it may arrive in pieces.
    while (!line.empty() && line.size() < 5) {
        std::string more = receive_once();
        if (more.empty())
            break;
        line += more;
    }
    return line.size() == 5 && line[4] == '\n' ? line.substr(0, 4) : "";
}

bool test_client::log_in(const std::string& password) {
    platform::net_set_recv_timeout(socket_, TEST_READ_TIMEOUT_MS);
    return client_log_in(socket_, password.c_str()) == 1;
}

void test_client::reset() {
    if (socket_ == platform::INVALID_SOCKET_HANDLE)
        return;
    platform::net_set_abortive_close(socket_);
    close();
}

void test_client::close() {
    if (socket_ == platform::INVALID_SOCKET_HANDLE)
        return;
    platform::net_close(socket_);
    socket_ = platform::INVALID_SOCKET_HANDLE;
}

namespace {
// The socket library is in use for the whole test program, as the host keeps it.
struct socket_library_user {
    socket_library_user() {
        uint16_t granted;
        platform::net_startup(0x0202, &granted);
    }
    ~socket_library_user() { platform::net_cleanup(); }
} g_socket_library_user;
}  // namespace

bool make_connected_pair(platform::socket_handle* server_side,
                         platform::socket_handle* client_side) {
    platform::socket_handle listener = platform::net_tcp_socket();
    bool ok = platform::net_bind(listener, loopback_address(), 0) && platform::net_listen(listener);
    uint16_t port = platform::net_local_port(listener);
    *client_side = platform::net_tcp_socket();
    ok = ok && platform::net_connect(*client_side, loopback_address(), port);
    platform::ipv4_address peer;
    *server_side = ok ? platform::net_accept(listener, &peer) : platform::INVALID_SOCKET_HANDLE;
    platform::net_close(listener);
    return ok && *server_side != platform::INVALID_SOCKET_HANDLE;
}
