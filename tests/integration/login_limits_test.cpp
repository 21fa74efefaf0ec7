// What a peer that has not logged in can hold: its login ends 30 s after its accept, and one
// address cannot fill the server with connections that never log in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/tick.h"
#include "server/client_protocol.h"
#include "server/pending_logins.h"
#include "tests/support/server_fixture.h"

namespace {

size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// The real tick, moved on by the test: no test waits 30 s for a deadline. A client thread
// raising "Incoming connection", just before its login's first receive, waits for the test to
// move the clock, so its login then has LEFT_MS of real time left.
constexpr uint32_t LEFT_MS = 1500;
std::atomic<uint32_t> g_skipped{0};
std::atomic<int> g_incoming_held{0};
platform::manual_event g_clock_moved{false};

uint32_t skipped_tick() {
    return platform::detail::system_tick_count() + g_skipped.load();
}

int32_t QVL_STDCALL hold_incoming(const char* text, const uint8_t* block, int32_t length,
                                  int32_t device) {
    int32_t result = recording_host_trigger_event(text, block, length, device);
    if (std::strcmp(text, "Incoming connection") == 0) {
        ++g_incoming_held;
        g_clock_moved.wait(60000);  // only a guard against a hang
    }
    return result;
}

class login_limits_test : public server_test {
  protected:
    void TearDown() override {
        g_clock_moved.set();
        server_test::TearDown();
        recording_host_install();
        platform::tick_set_source(nullptr);
        g_skipped = 0;
    }
    // Waits until the event line has been recorded times times.
    bool recorded(const std::string& line, size_t times = 1) {
        return poll_until([&] { return count_of(event_lines(), line) == times; }, 30000);
    }
};

TEST_F(login_limits_test, a_login_not_done_in_time_ends_as_one_that_sent_nothing_more) {
    platform::tick_set_source(skipped_tick);
    g_clock_moved.reset();
    g_incoming_held = 0;
    ASSERT_EQ(recording_host_install_in_front(hold_incoming), 1);
    test_client silent, greeted, logged_in;
    ASSERT_TRUE(silent.connect(port(), "127.0.0.12"));
    ASSERT_TRUE(greeted.connect(port(), "127.0.0.13"));
    ASSERT_TRUE(logged_in.connect(port(), "127.0.0.11"));
    ASSERT_TRUE(greeted.send_text("vellumorchid\n"));
    ASSERT_TRUE(poll_until([] { return g_incoming_held.load() == 3; }, 10000));
    g_skipped = LOGIN_GRACE_MS - LEFT_MS;
    g_clock_moved.set();
    // Its login's receives are limited to the LEFT_MS left.
    ASSERT_TRUE(logged_in.log_in(TEST_PASSWORD));
    auto logged_in_at = std::chrono::steady_clock::now();

    // Before the cookie: no cookie, "Disconnect". After it: a wrong password.
    EXPECT_EQ(silent.receive_until_closed(), "");
    EXPECT_EQ(greeted.receive_until_closed().size(), 5u);  // the cookie line, then the close
    ASSERT_TRUE(recorded("Disconnect|127.0.0.12") && recorded("Disconnect|127.0.0.13"));
    std::vector<std::string> lines = event_lines();
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.12"), 0u);
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.13"), 1u);

    // A client that has logged in has no deadline: idle for longer than its login had left
    // (this pause is the idleness under test, not a wait for anything), it is still served.
    std::this_thread::sleep_until(logged_in_at + std::chrono::milliseconds(LEFT_MS + 1000));
    ASSERT_EQ(count_of(event_lines(), "Disconnect|127.0.0.11"), 0u);
    ASSERT_TRUE(logged_in.send_text("still here\n"));
    ASSERT_TRUE(recorded("still here|127.0.0.11"));
}

TEST_F(login_limits_test, one_address_that_never_logs_in_cannot_keep_another_out) {
    constexpr size_t FLOOD = MAX_PENDING_PER_ADDRESS + 8;
    std::vector<std::unique_ptr<test_client>> flood;
    for (size_t i = 0; i < FLOOD; ++i) {
        flood.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(flood.back()->connect(port(), "127.0.0.21"));
    }
    // The connections beyond the cap are closed at once and never reach the conversation.
    for (size_t i = MAX_PENDING_PER_ADDRESS; i < FLOOD; ++i)
        EXPECT_TRUE(flood[i]->wait_closed()) << i;
    ASSERT_TRUE(recorded("Incoming connection|127.0.0.21", MAX_PENDING_PER_ADDRESS));

    test_client other;
    ASSERT_TRUE(other.connect(port(), "127.0.0.22"));
    ASSERT_TRUE(other.log_in(TEST_PASSWORD));
    ASSERT_TRUE(other.send_text("got in\n"));
    ASSERT_TRUE(recorded("got in|127.0.0.22"));
    EXPECT_EQ(count_of(event_lines(), "Incoming connection|127.0.0.21"), MAX_PENDING_PER_ADDRESS);
    EXPECT_EQ(count_traces("Too many connections waiting for login from one address"), 8u);
}

// A client that sent "close" and keeps its side open holds its thread in the closing drain
// after the stop: the run's use of the socket library lasts until that socket is closed, so
// the library cannot release it and hand its handle to a new run's socket.
TEST_F(login_limits_test, the_socket_library_stays_in_use_until_the_runs_last_socket_is_closed) {
    test_client lingering;
    ASSERT_TRUE(lingering.connect(port()));
    ASSERT_TRUE(lingering.log_in(TEST_PASSWORD));
    ASSERT_TRUE(lingering.send_text("close\n"));
    ASSERT_TRUE(recorded("Disconnect|127.0.0.1"));
    stop_server();
    int during_drain = platform::net_library_uses();
    lingering.close();
    EXPECT_TRUE(
        poll_until([&] { return platform::net_library_uses() == during_drain - 1; }, 10000));
}

}  // namespace
