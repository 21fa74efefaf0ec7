#include "server/socket_closing.h"

#include "platform/thread.h"
#include "platform/tick.h"

namespace {
constexpr int DRAIN_READ_SIZE = 100;
constexpr long DRAIN_BYTES_MAX = 1L << 20;
}  // namespace

void send_close_notice(platform::socket_handle socket) {
    static const char notice[] = "close\n";  // sent with its zero byte: 7 bytes
    platform::net_set_nonblocking(socket, true);
    uint32_t started = platform::tick_count();
    while (platform::net_send(socket, notice, sizeof notice) < 0 &&
           platform::net_would_block(platform::net_last_error()) &&
           platform::tick_count() - started < CLOSE_NOTICE_RETRY_MS) {
        platform::sleep_ms(1);
    }
    platform::net_set_nonblocking(socket, false);
    platform::net_shutdown_send(socket);
}

void graceful_close(platform::socket_handle socket) {
    platform::net_shutdown_send(socket);
    platform::net_set_recv_timeout(socket, GRACEFUL_CLOSE_DRAIN_MS);
    char discard[DRAIN_READ_SIZE];
    uint32_t started = platform::tick_count();
    long drained = 0;
    for (;;) {
        int received = platform::net_recv(socket, discard, sizeof discard);
        if (received <= 0)
            break;
        drained += received;
        // A peer that keeps sending is cut off after a while as well.
        if (drained > DRAIN_BYTES_MAX ||
            platform::tick_count() - started >= GRACEFUL_CLOSE_DRAIN_MS) {
            break;
        }
    }
    platform::net_close(socket);
}

void close_two_step(platform::socket_handle socket) {
    platform::net_shutdown_send(socket);
    platform::net_close(socket);
}
