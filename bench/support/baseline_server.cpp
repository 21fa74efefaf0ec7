#include "bench/support/baseline_server.h"

#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench/support/arrival_counter.h"
#include "bench/support/load_client.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "server/md5.h"

namespace {

constexpr int RECEIVE_SIZE = 1024;
constexpr uint32_t ACCEPT_THREAD_WAIT_MS = 10000;
constexpr int DRAIN_READS_MAX = 10000;

struct baseline_run;

struct baseline_connection {
    platform::socket_handle socket = platform::INVALID_SOCKET_HANDLE;
    platform::thread_handle thread;
    std::list<std::shared_ptr<baseline_connection>>::iterator position;
    std::shared_ptr<baseline_run> run;
};

struct baseline_run {
    platform::socket_handle listening = platform::INVALID_SOCKET_HANDLE;
    std::string password;
    std::mutex lock;
    std::list<std::shared_ptr<baseline_connection>> connections;
    bool closing_all = false;
    bool stopping = false;
};

struct baseline_state {
    std::shared_ptr<baseline_run> run;
    platform::thread_handle accept_thread;
    uint16_t port = 0;
} g_baseline;

void cut_at_line_end(char* text) {
    text[std::strcspn(text, "\r\n")] = '\0';
}

bool equal_ignoring_case(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

int receive_text(platform::socket_handle socket, char* buffer) {
    int received = platform::net_recv(socket, buffer, RECEIVE_SIZE);
    buffer[received > 0 ? received : 0] = '\0';
    return received;
}

bool is_end_chunk(const char* buffer, int length) {
    return (length == 5 || (length == 6 && buffer[5] == '\n')) &&
           std::memcmp(buffer, "close", 5) == 0;
}

void converse(platform::socket_handle socket, const std::string& password) {
    char buffer[RECEIVE_SIZE + 1];
    receive_text(socket, buffer);
    cut_at_line_end(buffer);
    if (std::strcmp(buffer, "vellumorchid") != 0)
        return;

    // Any 16-bit value will do: a cheap mix of the tick and the socket.
    uint32_t mix = platform::tick_count() * 2654435761u ^ static_cast<uint32_t>(socket) * 40503u;
    unsigned cookie = (mix >> 16) & 0xFFFFu;
    char line[8];
    std::snprintf(line, sizeof line, "%04x\n", cookie);
    platform::net_send(socket, line, 5);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04x:", cookie);
    std::string input = digits + password;
    char expected[DIGEST_HEX_SIZE];
    digest_hex(input.c_str(), expected);

    receive_text(socket, buffer);
    cut_at_line_end(buffer);
    if (!equal_ignoring_case(buffer, expected))
        return;
    platform::net_send(socket, "accept\n", 7);

    for (;;) {
        int received = platform::net_recv(socket, buffer, RECEIVE_SIZE);
        if (received <= 0)
            return;
        if (is_end_chunk(buffer, received))
            return;
        uint64_t line_feeds = 0;
        const char* at = buffer;
        const char* end = buffer + received;
        while (const void* found = std::memchr(at, '\n', static_cast<size_t>(end - at))) {
            ++line_feeds;
            at = static_cast<const char*>(found) + 1;
        }
        if (line_feeds)
            arrivals_add(line_feeds);
    }
}

unsigned connection_thread(void* argument) {
    std::unique_ptr<std::shared_ptr<baseline_connection>> owned(
        static_cast<std::shared_ptr<baseline_connection>*>(argument));
    baseline_connection& connection = **owned;
    baseline_run& run = *connection.run;
    converse(connection.socket, run.password);
    bool ours;
    {
        std::lock_guard<std::mutex> hold(run.lock);
        ours = !run.closing_all;  // once close-all has begun, the socket is its
        if (ours)
            run.connections.erase(connection.position);
    }
    if (ours) {
        platform::net_shutdown_send(connection.socket);
        // Read until the peer closes; a peer that keeps sending is cut off after a while.
        char discard[100];
        for (int reads = 0; reads < DRAIN_READS_MAX; ++reads) {
            if (platform::net_recv(connection.socket, discard, sizeof discard) <= 0)
                break;
        }
        platform::net_close(connection.socket);
    }
    return 0;
}

void hand_over(const std::shared_ptr<baseline_run>& run, platform::socket_handle socket) {
    auto connection = std::make_shared<baseline_connection>();
    connection->socket = socket;
    connection->run = run;
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->connections.push_front(connection);
        connection->position = run->connections.begin();
    }
    auto* argument = new std::shared_ptr<baseline_connection>(connection);
    platform::thread_handle thread = platform::thread_start(connection_thread, argument);
    std::lock_guard<std::mutex> hold(run->lock);
    if (!thread) {
        delete argument;
        run->connections.erase(connection->position);
        platform::net_close(socket);
        return;
    }
    connection->thread = std::move(thread);
}

unsigned accept_thread(void* argument) {
    std::unique_ptr<std::shared_ptr<baseline_run>> owned(
        static_cast<std::shared_ptr<baseline_run>*>(argument));
    std::shared_ptr<baseline_run> run = *owned;
    for (;;) {
        platform::ipv4_address peer{};
        platform::socket_handle socket = platform::net_accept(run->listening, &peer);
        if (socket != platform::INVALID_SOCKET_HANDLE) {
            hand_over(run, socket);
            continue;
        }
        int error = platform::net_last_error();
        {
            std::lock_guard<std::mutex> hold(run->lock);
            if (run->stopping)
                return 0;
        }
        switch (platform::net_classify_accept_error(error)) {
            case platform::accept_failure::listener_gone:
                return 0;
            case platform::accept_failure::one_connection:
                break;
            case platform::accept_failure::resource_shortage:
                platform::sleep_ms(100);
                break;
        }
    }
}

}  // namespace

int baseline_start(const char* password) {
    if (g_baseline.run)
        return 0;
    auto run = std::make_shared<baseline_run>();
    run->password = password;
    run->listening = platform::net_tcp_socket();
    if (run->listening == platform::INVALID_SOCKET_HANDLE)
        return 0;
    if (!platform::net_bind(run->listening, load_loopback(), 0) ||
        !platform::net_listen(run->listening)) {
        platform::net_close(run->listening);
        return 0;
    }
    auto* argument = new std::shared_ptr<baseline_run>(run);
    platform::thread_handle thread = platform::thread_start(accept_thread, argument);
    if (!thread) {
        delete argument;
        platform::net_close(run->listening);
        return 0;
    }
    g_baseline.port = platform::net_local_port(run->listening);
    g_baseline.run = std::move(run);
    g_baseline.accept_thread = std::move(thread);
    return 1;
}

uint16_t baseline_port() {
    return g_baseline.port;
}

void baseline_stop() {
    std::shared_ptr<baseline_run> run = std::move(g_baseline.run);
    if (!run)
        return;
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->stopping = true;
    }
    platform::net_shutdown_send(run->listening);
    platform::net_close(run->listening);
    g_baseline.accept_thread.wait(ACCEPT_THREAD_WAIT_MS);
    g_baseline.accept_thread.close();
    g_baseline.port = 0;

    std::vector<std::shared_ptr<baseline_connection>> all;
    {
        std::lock_guard<std::mutex> hold(run->lock);
        run->closing_all = true;
        all.assign(run->connections.begin(), run->connections.end());
        run->connections.clear();
    }
    static const char notice[] = "close\n";  // with its zero byte: 7 bytes
    for (auto& connection : all) {
        platform::net_send(connection->socket, notice, sizeof notice);
        platform::net_shutdown_send(connection->socket);
        platform::net_wake_receiver(connection->socket);
    }
    uint32_t started = platform::tick_count();
    for (auto& connection : all) {
        uint32_t spent = platform::tick_count() - started;
        uint32_t left = spent < BASELINE_THREADS_WAIT_MS ? BASELINE_THREADS_WAIT_MS - spent : 0;
        connection->thread.wait(left);
    }
    for (auto& connection : all)
        platform::net_close(connection->socket);
}
