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

#include "access/abuse_state.h"
#include "access/known_addresses.h"
#include "access/repeat_offenders.h"
#include "module/settings.h"
#include "platform/event.h"
#include "platform/process_limits.h"
#include "platform/thread.h"
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
        g_incoming_held = 0;
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

    // Before the cookie: no cookie, "Disconnect". After it, with the host's handler having
    // used up all but LEFT_MS: "Disconnect" too, not a wrong password.
    EXPECT_EQ(silent.receive_until_closed(), "");
    EXPECT_EQ(greeted.receive_until_closed().size(), 5u);  // the cookie line, then the close
    ASSERT_TRUE(recorded("Disconnect|127.0.0.12") && recorded("Disconnect|127.0.0.13"));
    std::vector<std::string> lines = event_lines();
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.12"), 0u);
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.13"), 0u);
    EXPECT_EQ(count_traces("Login ended: its time ran out too soon after its cookie"), 1u);

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

// Accepted just before the tick count wraps, the login's deadline still counts 30 s from the
// accept, after the wrap; and a receive that ends within a step of the coarse tick before the
// deadline, as Windows may end it, counts as the deadline. The clock stands still 8 ms before
// the deadline while the answer is awaited: the receive's time-out of 8 ms of real time ends
// it, however late, and by the clock the deadline is still 8 ms away.
std::atomic<uint32_t> g_frozen{0};
uint32_t frozen_tick() {
    return g_frozen.load();
}

TEST_F(login_limits_test, the_login_deadline_holds_across_the_tick_wrap) {
    g_frozen = 0xFFFFFFFFu - 500u;
    platform::tick_set_source(frozen_tick);
    g_clock_moved.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_incoming), 1);
    test_client greeted;
    ASSERT_TRUE(greeted.connect(port(), "127.0.0.14"));
    ASSERT_TRUE(greeted.send_text("vellumorchid\n"));
    ASSERT_TRUE(poll_until([] { return g_incoming_held.load() == 1; }, 10000));
    g_frozen = g_frozen + LOGIN_GRACE_MS - 8;  // after the wrap
    g_clock_moved.set();

    EXPECT_EQ(greeted.receive_once().size(), 5u);  // the cookie line
    EXPECT_TRUE(greeted.wait_closed());
    ASSERT_TRUE(recorded("Disconnect|127.0.0.14"));
    EXPECT_EQ(count_traces("Login not completed in time"), 1u);
}

// A client that gave up while the host's handler of its "Incoming connection" was slow left
// its greeting and its close behind: it gets no cookie, is booked nowhere and stays known.
TEST_F(login_limits_test, a_client_gone_before_its_cookie_counts_nothing) {
    g_clock_moved.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_incoming), 1);
    known_addresses_note_login(loopback_address("127.0.0.16"), settings_password_generation());
    test_client gone;
    ASSERT_TRUE(gone.connect(port(), "127.0.0.16"));
    ASSERT_TRUE(gone.send_text("vellumorchid\n"));
    ASSERT_TRUE(poll_until([] { return g_incoming_held.load() == 1; }, 10000));
    gone.close();
    g_clock_moved.set();
    ASSERT_TRUE(recorded("Disconnect|127.0.0.16"));
    EXPECT_EQ(count_of(event_lines(), "Incorrect Password|127.0.0.16"), 0u);
    EXPECT_EQ(count_traces("Login ended: the client left before its cookie"), 1u);
    EXPECT_EQ(abuse_state_copy().failure_count, 0u);
    EXPECT_EQ(repeat_offenders_failures(loopback_address("127.0.0.16")), 0u);
    EXPECT_TRUE(known_address(loopback_address("127.0.0.16")));
}

// An answer that had its fair time after the cookie and still missed the deadline is a wrong
// password. (The receive waits the fair time in real time: the only slow test here.)
TEST_F(login_limits_test, an_answer_that_had_its_fair_time_is_a_wrong_password) {
    platform::tick_set_source(skipped_tick);
    g_clock_moved.reset();
    g_incoming_held = 0;
    ASSERT_EQ(recording_host_install_in_front(hold_incoming), 1);
    test_client greeted;
    ASSERT_TRUE(greeted.connect(port(), "127.0.0.15"));
    ASSERT_TRUE(greeted.send_text("vellumorchid\n"));
    ASSERT_TRUE(poll_until([] { return g_incoming_held.load() == 1; }, 10000));
    g_skipped = LOGIN_GRACE_MS - LOGIN_ANSWER_FAIR_MS - 200;
    g_clock_moved.set();
    EXPECT_EQ(greeted.receive_until_closed(60000).size(), 5u);
    ASSERT_TRUE(recorded("Incorrect Password|127.0.0.15"));
    EXPECT_EQ(count_traces("Login not completed in time"), 1u);
}

// Eight wrong answers of one address at once: however their threads interleave, five are
// compared and three are not, and then not even the right one is. Once another address has
// failed last, so that the one-offender block has moved on, the repeat-offender refusal alone
// keeps the first address out; others still log in.
TEST_F(login_limits_test, an_address_that_keeps_failing_is_refused_whoever_failed_last) {
    std::vector<std::unique_ptr<test_client>> parallel;
    std::vector<std::string> cookies;
    for (int i = 0; i < 9; ++i) {
        parallel.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(parallel.back()->connect(port(), "127.0.0.61"));
        cookies.push_back(parallel.back()->greet());
        ASSERT_EQ(cookies.back().size(), 4u);
    }
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(parallel[i]->send_text(login_answer(cookies[i], "wrong") + "\n"));
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(parallel[i]->wait_closed());
    EXPECT_EQ(count_traces("Answer not compared: too many failed logins"), 3u);
    ASSERT_TRUE(parallel[8]->send_text(login_answer(cookies[8], TEST_PASSWORD) + "\n"));
    EXPECT_EQ(parallel[8]->receive_until_closed(), "");
    EXPECT_EQ(count_traces("Answer not compared: too many failed logins"), 4u);

    test_client other;
    ASSERT_TRUE(other.connect(port(), "127.0.0.62"));
    ASSERT_FALSE(other.log_in("wrong"));
    test_client again;
    ASSERT_TRUE(again.connect(port(), "127.0.0.61"));
    EXPECT_TRUE(again.wait_closed());
    EXPECT_TRUE(recorded("Blocked connection|127.0.0.61"));
    test_client owner;
    ASSERT_TRUE(owner.connect(port(), "127.0.0.63"));
    EXPECT_TRUE(owner.log_in(TEST_PASSWORD));
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
