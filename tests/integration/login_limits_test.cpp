// What a peer that has not logged in can hold: its login ends 30 s after its accept, and one
// address cannot fill the server with connections that never log in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/tick.h"
#include "server/client_protocol.h"
#include "server/pending_logins.h"
#include "tests/support/server_fixture.h"

namespace {

// The real tick, moved on by the test: no test waits 30 s for a deadline.
std::atomic<uint32_t> g_skipped{0};
uint32_t skipped_tick() {
    return platform::detail::system_tick_count() + g_skipped.load();
}

size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class login_limits_test : public server_test {
  protected:
    void TearDown() override {
        server_test::TearDown();
        platform::tick_set_source(nullptr);
        g_skipped = 0;
    }
};

TEST_F(login_limits_test, a_login_not_done_in_time_ends_as_one_that_sent_nothing_more) {
    platform::tick_set_source(skipped_tick);
    test_client logged_in, silent, greeted;
    ASSERT_TRUE(logged_in.connect(port(), "127.0.0.11"));
    ASSERT_TRUE(logged_in.log_in(TEST_PASSWORD));
    ASSERT_TRUE(silent.connect(port(), "127.0.0.12"));
    ASSERT_TRUE(greeted.connect(port(), "127.0.0.13"));
    ASSERT_EQ(greeted.greet().size(), 4u);
    ASSERT_TRUE(poll_until(
        [&] { return count_of(event_lines(), "Incoming connection|127.0.0.12") == 1; }, 10000));

    g_skipped = LOGIN_GRACE_MS;
    // Before the cookie: no cookie, "Disconnect". After it: a wrong password.
    EXPECT_EQ(silent.receive_until_closed(), "");
    EXPECT_EQ(greeted.receive_until_closed(), "");
    ASSERT_TRUE(poll_until(
        [&] {
            std::vector<std::string> lines = event_lines();
            return count_of(lines, "Disconnect|127.0.0.12") +
                       count_of(lines, "Disconnect|127.0.0.13") ==
                   2;
        },
        10000));
    std::vector<std::string> lines = event_lines();
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.12"), 0u);
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.13"), 1u);

    // A client that has logged in has no deadline.
    ASSERT_TRUE(logged_in.send_text("still here\n"));
    ASSERT_TRUE(
        poll_until([&] { return count_of(event_lines(), "still here|127.0.0.11") == 1; }, 10000));
    EXPECT_EQ(count_of(event_lines(), "Disconnect|127.0.0.11"), 0u);
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
    ASSERT_TRUE(poll_until(
        [&] {
            return count_of(event_lines(), "Incoming connection|127.0.0.21") ==
                   MAX_PENDING_PER_ADDRESS;
        },
        30000));

    test_client other;
    ASSERT_TRUE(other.connect(port(), "127.0.0.22"));
    ASSERT_TRUE(other.log_in(TEST_PASSWORD));
    ASSERT_TRUE(other.send_text("got in\n"));
    ASSERT_TRUE(
        poll_until([&] { return count_of(event_lines(), "got in|127.0.0.22") == 1; }, 10000));
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
    ASSERT_TRUE(
        poll_until([&] { return count_of(event_lines(), "Disconnect|127.0.0.1") == 1; }, 10000));
    stop_server();
    int during_drain = platform::net_library_uses();
    lingering.close();
    EXPECT_TRUE(
        poll_until([&] { return platform::net_library_uses() == during_drain - 1; }, 10000));
}

}  // namespace
