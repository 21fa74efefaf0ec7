// The drain at the end of a connection is bounded: a peer that never closes, one that keeps
// trickling bytes and one that floods cannot keep the closing thread, and each finds its
// connection closed afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "platform/tick.h"
#include "server/socket_closing.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

namespace {

constexpr uint32_t HANG_GUARD_MS = 60000;

unsigned run_graceful_close(void* socket) {
    graceful_close(*static_cast<platform::socket_handle*>(socket));
    return 0;
}

// Tick sources: one that stands still, so only the byte bound can end a drain, and one that
// moves half a second with every reading, so the time bound ends a drain after a few reads.
uint32_t frozen_tick() {
    return 1000;
}
std::atomic<uint32_t> g_racing_tick{0};
uint32_t racing_tick() {
    return g_racing_tick.fetch_add(500);
}

// The peer: sends block bytes at a time, pausing pause_ms after each, until a send fails
// (the server's socket is closed and has answered with a reset) or it is told to stop.
struct sending_peer {
    platform::socket_handle socket;
    int block;
    uint32_t pause_ms;
    std::atomic<bool> stop{false};
    std::atomic<bool> send_failed{false};
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            std::string bytes(static_cast<size_t>(block), 'y');
            while (!stop.load()) {
                if (platform::net_send(socket, bytes.data(), block) < 0) {
                    send_failed = true;
                    return;
                }
                if (pause_ms)
                    platform::sleep_ms(pause_ms);
            }
        });
    }
};

class graceful_close_test : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(make_connected_pair(&server_side_, &peer_)); }
    void TearDown() override {
        platform::tick_set_source(nullptr);
        // Whatever failed, the peer's close ends the drain, so nothing is left running.
        if (sender_) {
            sender_->stop = true;
            platform::net_wake_receiver(peer_);  // a send blocked on a full buffer
            sender_->thread.join();
        }
        platform::net_close(peer_);
        closing_.wait(platform::WAIT_FOREVER);
    }
    void close_server_side() {
        closing_ = platform::thread_start(run_graceful_close, &server_side_);
        ASSERT_TRUE(closing_);
    }
    // Sends from the peer while the server side closes; true when the close ended and the
    // peer's sends then failed, both within the hang guard.
    bool peer_is_cut_off(int block, uint32_t pause_ms) {
        sender_ = std::make_unique<sending_peer>();
        sender_->socket = peer_;
        sender_->block = block;
        sender_->pause_ms = pause_ms;
        sender_->start();
        close_server_side();
        return closing_.wait(HANG_GUARD_MS) &&
               poll_until([this] { return sender_->send_failed.load(); }, HANG_GUARD_MS);
    }

    platform::socket_handle server_side_ = platform::INVALID_SOCKET_HANDLE;
    platform::socket_handle peer_ = platform::INVALID_SOCKET_HANDLE;
    platform::thread_handle closing_;
    std::unique_ptr<sending_peer> sender_;
};

}  // namespace

// Ended by the receive time-out of the drain: real time, a few seconds.
TEST_F(graceful_close_test, a_silent_peer_that_never_closes_is_let_go) {
    close_server_side();
    ASSERT_TRUE(closing_.wait(HANG_GUARD_MS));
    char byte;
    platform::net_set_recv_timeout(peer_, HANG_GUARD_MS);
    EXPECT_EQ(platform::net_recv(peer_, &byte, 1), 0);  // the server's orderly end
    // The socket is closed, not only shut down: a byte sent now is answered with a reset.
    EXPECT_TRUE(
        poll_until([this] { return platform::net_send(peer_, "x", 1) < 0; }, HANG_GUARD_MS));
}

// A byte every millisecond never lets the receive time out and stays far below the byte
// bound: only the time bound ends this drain.
TEST_F(graceful_close_test, a_peer_that_keeps_trickling_is_cut_off_by_the_time_bound) {
    platform::tick_set_source(racing_tick);
    EXPECT_TRUE(peer_is_cut_off(1, 1));
}

// With the clock standing still only the byte bound can end a drain that never runs dry.
TEST_F(graceful_close_test, a_peer_that_keeps_sending_is_cut_off_by_the_byte_bound) {
    platform::tick_set_source(frozen_tick);
    EXPECT_TRUE(peer_is_cut_off(16384, 0));
}
