// The login's wiring around the records of failed logins and the places of those waiting: how
// an answer is judged, a login that the server itself ends, and a displaced connection whose
// thread is held by the host while newer connections come in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "access/abuse_state.h"
#include "access/access_list.h"
#include "access/known_addresses.h"
#include "access/repeat_offenders.h"
#include "module/settings.h"
#include "platform/event.h"
#include "platform/process_limits.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "server/client_protocol.h"
#include "server/listener.h"
#include "server/pending_logins.h"
#include "server/trace.h"
#include "tests/support/server_fixture.h"
#include "tools/protocol_client.h"

namespace {

const char GIVES_WAY[] = "Connection waiting for login gives way on socket:%d to:%s";

size_t count_of(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// The crowd's addresses: one connection each, 127.8.x.y.
std::string crowd_address(uint32_t n) {
    return "127.8." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250);
}

// Holds a crowd connection's thread in its g_held_event ("Incoming connection": out of any
// call on its socket, as in a slow host or an admission look-up) until the gate opens.
platform::manual_event g_gate{true};
std::atomic<uint32_t> g_held{0};
const char* g_held_event = "Incoming connection";
int32_t QVL_STDCALL hold_the_crowd(const char* text, const uint8_t* block, int32_t length,
                                   int32_t device) {
    int32_t result = recording_host_trigger_event(text, block, length, device);
    // The block: the count of texts, then the address text first.
    if (std::strcmp(text, g_held_event) == 0 && length > 7 &&
        std::strncmp(reinterpret_cast<const char*>(block) + 1, "127.8.", 6) == 0) {
        ++g_held;
        g_gate.wait(60000);  // only a guard against a hang
    }
    return result;
}

// Holds the accept thread at the next connection it accepts once armed, so that the
// connections behind it queue up and are taken in together.
platform::manual_event g_accept_gate{true};
std::atomic<bool> g_accept_armed{false};
std::atomic<bool> g_accept_held{false};
void hold_the_next_accept(const char* message, int32_t) {
    if (std::strncmp(message, "Connection accepted", 19) == 0 && g_accept_armed.exchange(false)) {
        g_accept_held = true;
        g_accept_gate.wait(60000);  // only a guard against a hang
    }
}

class login_wiring_test : public server_test {
  protected:
    void TearDown() override {
        g_gate.set();
        g_accept_gate.set();
        server_test::TearDown();
        g_held_event = "Incoming connection";
        trace_set_hook(nullptr);
        platform::net_set_wake_hook(nullptr);
        platform::tick_set_source(nullptr);
        recording_host_install();
        settings.disable_abuse_protection = 0;
        access_list_clear();
    }
    bool recorded(const std::string& line) {
        return poll_until([&] { return count_of(event_lines(), line) == 1; }, 30000);
    }
    // Fills the places with `count` connections from addresses of one connection each,
    // waiting until the server has taken each of them up.
    void crowd_in(uint32_t count) {
        ASSERT_TRUE(platform::process_allow_open_handles(4 * MAX_PENDING_TOTAL));
        for (uint32_t n = 0; n < count; ++n) {
            crowd_.push_back(std::make_unique<test_client>());
            ASSERT_TRUE(crowd_.back()->connect(port(), crowd_address(n).c_str()));
        }
        ASSERT_TRUE(poll_until(
            [&] {
                std::vector<std::string> lines = event_lines();
                return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                           return line.rfind("Incoming connection|127.8.", 0) == 0;
                       }) == static_cast<std::ptrdiff_t>(count);
            },
            60000));
    }
    std::vector<std::unique_ptr<test_client>> crowd_;
};

// Each answer is counted before it is compared and judged with the switch as it stands; a
// login that succeeds clears its address's record, one that fails makes it unknown. An answer
// that the refusal does not compare (a right one sent beside wrong ones of the same address,
// say) is booked nowhere. The answer comes from a connection that had its cookie before the
// address's record was set.
TEST_F(login_wiring_test, an_answer_is_judged_against_the_record_and_the_switch) {
    const struct {
        const char* name;
        uint32_t failures_before;
        bool protection_disabled;
        bool right;
        bool accepted;
        uint32_t failures_after;
        bool booked;  // "Incorrect Password", and the address known no more
    } cases[] = {
        {"a wrong answer is counted", 0, false, false, false, 1, true},
        {"a right answer clears the record", 4, false, true, true, 0, false},
        {"under refusal even a right one is not compared, nor booked", 5, false, true, false, 5,
         false},
        {"with the protection off it is compared", 5, true, true, true, 0, false},
    };
    int from = 100;
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        std::string address = "127.0.0." + std::to_string(from++);
        settings.disable_abuse_protection = each.protection_disabled ? 1 : 0;
        known_addresses_note_login(loopback_address(address.c_str()),
                                   settings_password_generation());
        test_client client;
        ASSERT_TRUE(client.connect(port(), address.c_str()));
        std::string cookie = client.greet();
        ASSERT_EQ(cookie.size(), 4u);
        for (uint32_t i = 0; i < each.failures_before; ++i)
            repeat_offenders_count_answer(loopback_address(address.c_str()));
        ASSERT_TRUE(
            client.send_text(login_answer(cookie, each.right ? TEST_PASSWORD : "wrong") + "\n"));
        EXPECT_EQ(client.receive_once() == "accept\n", each.accepted);
        client.close();
        ASSERT_TRUE(recorded("Disconnect|" + address));
        EXPECT_EQ(repeat_offenders_failures(loopback_address(address.c_str())),
                  each.failures_after);
        std::vector<std::string> lines = event_lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Incorrect Password|" + address),
                  each.booked ? 1 : 0);
        EXPECT_EQ(known_address(loopback_address(address.c_str())), !each.booked);
    }
}

// A login that the server ends itself, by giving its place to another connection or by the
// stop, raises "Disconnect" alone and counts against its address nowhere: a crowd that churns
// fresh addresses cannot turn the owner's waiting login into failures.
TEST_F(login_wiring_test, a_login_the_server_ends_is_no_failed_login) {
    test_client waiting;
    ASSERT_TRUE(waiting.connect(port(), "127.0.0.90"));
    ASSERT_EQ(waiting.greet().size(), 4u);
    crowd_in(MAX_PENDING_TOTAL - 1);
    test_client newcomer;  // from a fresh address: the oldest waiting login gives way
    ASSERT_TRUE(newcomer.connect(port(), "127.0.0.91"));
    EXPECT_EQ(waiting.receive_until_closed(), std::string("close\n\0", 7));
    ASSERT_TRUE(recorded("Disconnect|127.0.0.90"));

    test_client again;  // its address is refused nowhere: it logs in at once
    ASSERT_TRUE(again.connect(port(), "127.0.0.90"));
    EXPECT_TRUE(again.log_in(TEST_PASSWORD));

    test_client stopped;
    ASSERT_TRUE(stopped.connect(port(), "127.0.0.92"));
    ASSERT_EQ(stopped.greet().size(), 4u);
    stop_server();
    ASSERT_TRUE(recorded("Disconnect|127.0.0.92"));

    std::vector<std::string> lines = event_lines();
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.90"), 0u);
    EXPECT_EQ(count_of(lines, "Incorrect Password|127.0.0.92"), 0u);
    EXPECT_EQ(abuse_state_copy().failure_count, 0u);
    EXPECT_EQ(repeat_offenders_remembered(), 0u);
    EXPECT_EQ(count_traces("Login ended: its place was given to another connection"), 1u);
    EXPECT_EQ(count_traces("Login ended: the server is stopping"), 1u);
    EXPECT_EQ(count_traces(GIVES_WAY), 2u);
}

// With every place taken, a connection that admission refuses by its address alone displaces
// nobody: it is told it is blocked. One whose admission needs a look-up competes like an
// admitted one; refused after its look-up, it gives its place back before its closing drain
// (its peer here never closes): the next newcomer finds a free place and displaces nobody.
TEST_F(login_wiring_test, a_connection_refused_takes_no_place_for_long) {
    crowd_in(MAX_PENDING_TOTAL);
    abuse_note_failure("127.0.0.96");
    test_client blocked;
    ASSERT_TRUE(blocked.connect(port(), "127.0.0.96"));
    EXPECT_TRUE(blocked.wait_closed());
    EXPECT_TRUE(recorded("Blocked connection|127.0.0.96"));
    EXPECT_EQ(count_traces(GIVES_WAY), 0u);

    access_list_append("/a-host-name-rule");
    access_list_append("127.0.0.98");
    settings.allow_all = 0;
    test_client looked_up;
    ASSERT_TRUE(looked_up.connect(port(), "127.0.0.97"));
    ASSERT_TRUE(recorded("Blocked connection|127.0.0.97"));
    EXPECT_EQ(count_traces(GIVES_WAY), 1u);
    test_client admitted;
    ASSERT_TRUE(admitted.connect(port(), "127.0.0.98"));
    EXPECT_TRUE(admitted.log_in(TEST_PASSWORD));
    EXPECT_EQ(count_traces(GIVES_WAY), 1u);
}

// Displaced connections whose threads the host holds while newer connections are accepted
// (natively those get the lowest free socket numbers): when the held threads go on, the
// newer connection that logged in meanwhile keeps its socket, and nothing a connection that
// never logged in sends becomes an event.
TEST_F(login_wiring_test, a_displaced_connection_held_by_the_host_never_touches_a_newer_one) {
    g_gate.reset();
    g_held = 0;
    ASSERT_EQ(recording_host_install_in_front(hold_the_crowd), 1);
    crowd_in(MAX_PENDING_TOTAL);
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_TOTAL; }, 60000));
    test_client newcomer, owner;
    ASSERT_TRUE(newcomer.connect(port(), "127.0.0.93"));
    ASSERT_TRUE(owner.connect(port(), "127.0.0.94"));
    ASSERT_TRUE(owner.log_in(TEST_PASSWORD));
    ASSERT_TRUE(owner.send_text("before\n"));
    ASSERT_TRUE(recorded("before|127.0.0.94"));

    g_gate.set();
    ASSERT_TRUE(recorded("Disconnect|" + crowd_address(0)));
    ASSERT_TRUE(recorded("Disconnect|" + crowd_address(1)));
    test_client intruder;
    ASSERT_TRUE(intruder.connect(port(), "127.0.0.95"));
    ASSERT_TRUE(intruder.send_text("intruder\n"));
    ASSERT_TRUE(owner.send_text("after\n"));
    EXPECT_TRUE(recorded("after|127.0.0.94"));
    std::vector<std::string> lines = event_lines();
    EXPECT_EQ(count_of(lines, "intruder|127.0.0.94"), 0u);
    EXPECT_EQ(count_of(lines, "Disconnect|127.0.0.94"), 0u);
}

// A crowd that queued up while every place and every place for those being ended is taken
// (the threads of the connections that gave way are held in their "Disconnect"): the accept
// thread takes it in together, its first arrivals give way to the last without a thread ever
// started for them, and the owner, last in the queue, logs in.
TEST_F(login_wiring_test, a_queued_crowd_gives_way_within_itself) {
    g_held_event = "Disconnect";
    g_held = 0;
    g_gate.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_the_crowd), 1);
    crowd_in(MAX_PENDING_TOTAL);
    g_accept_gate.reset();
    g_accept_armed = true;
    trace_set_hook(hold_the_next_accept);
    std::vector<std::unique_ptr<test_client>> queued;
    for (uint32_t n = 0; n < MAX_PENDING_ENDING + 40; ++n) {
        queued.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(queued.back()->connect(port(), ("127.9.0." + std::to_string(n + 1)).c_str()));
    }
    test_client owner;
    ASSERT_TRUE(owner.connect(port(), "127.0.0.98"));
    g_accept_gate.set();
    EXPECT_TRUE(owner.log_in(TEST_PASSWORD));
    // The first of them gave way to those behind it: no thread, no event, closed.
    EXPECT_TRUE(queued.front()->wait_closed());
    EXPECT_EQ(count_of(event_lines(), "Incoming connection|127.9.0.1"), 0u);
    // The displaced threads reach the host's handler in their own time.
    EXPECT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING; }, 30000));
}

// A failed login makes its address's other waiting connections unknown: at the total, the
// oldest of them is the one that gives way to a newcomer.
TEST_F(login_wiring_test, a_failed_login_makes_its_addresses_waiting_connections_unknown) {
    known_addresses_note_login(loopback_address("127.0.0.70"), settings_password_generation());
    test_client waiting;
    ASSERT_TRUE(waiting.connect(port(), "127.0.0.70"));
    ASSERT_EQ(waiting.greet().size(), 4u);
    crowd_in(MAX_PENDING_TOTAL - 1);
    test_client failing;
    ASSERT_TRUE(failing.connect(port(), "127.0.0.70"));
    ASSERT_FALSE(failing.log_in("wrong"));
    ASSERT_TRUE(recorded("Incorrect Password|127.0.0.70"));
    test_client newcomer;
    ASSERT_TRUE(newcomer.connect(port(), "127.0.0.71"));
    EXPECT_EQ(waiting.receive_until_closed(), std::string("close\n\0", 7));
}

// Logs in once from address, so that the address is known from then on.
void log_in_once(uint16_t port, const char* address) {
    test_client client;
    ASSERT_TRUE(client.connect(port, address));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    ASSERT_TRUE(known_address(loopback_address(address)));
}

size_t accepted_so_far() {
    return count_traces("Connection accepted on socket:%d from:%s");
}

// A crowd of fresh addresses that keeps arriving and never pauses, keeping its newest
// connections open, until it is stopped (or has made its bounded number).
class endless_crowd {
  public:
    explicit endless_crowd(uint16_t port) : thread_([this, port] { run(port); }) {}
    ~endless_crowd() { stop(); }
    void stop() {
        going_ = false;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void run(uint16_t port) {
        constexpr size_t KEPT = MAX_PENDING_TOTAL + 100;
        std::vector<std::unique_ptr<test_client>> kept(KEPT);
        for (uint32_t n = 0; going_ && n < 60000; ++n) {
            std::string address =
                "127.10." + std::to_string(n / 240 % 240) + "." + std::to_string(1 + n % 240);
            kept[n % KEPT] = std::make_unique<test_client>();
            kept[n % KEPT]->connect(port, address.c_str());
        }
    }
    std::atomic<bool> going_{true};
    std::thread thread_;
};

// A crowd of fresh addresses that keeps arriving displaces the oldest waiting connection again
// and again; the owner, whose address logged in before, keeps its place however long its
// answer takes: it waits here until the server has taken in more newcomers than there are
// places, and still logs in at its first try.
TEST_F(login_wiring_test, a_known_owner_logs_in_through_a_crowd_that_never_pauses) {
    ASSERT_TRUE(platform::process_allow_open_handles(8 * MAX_PENDING_TOTAL));
    log_in_once(port(), "127.0.0.80");
    endless_crowd crowd(port());
    ASSERT_TRUE(poll_until([] { return accepted_so_far() > 2 * MAX_PENDING_TOTAL; }, 60000));
    test_client owner;
    ASSERT_TRUE(owner.connect(port(), "127.0.0.80"));
    std::string cookie = owner.greet();
    ASSERT_EQ(cookie.size(), 4u);
    size_t accepted = accepted_so_far();
    ASSERT_TRUE(
        poll_until([&] { return accepted_so_far() > accepted + MAX_PENDING_TOTAL + 100; }, 60000));
    ASSERT_TRUE(owner.send_text(login_answer(cookie, TEST_PASSWORD) + "\n"));
    EXPECT_EQ(owner.receive_once(), "accept\n");
    crowd.stop();
    EXPECT_GT(count_traces(GIVES_WAY), MAX_PENDING_TOTAL);
}

// While the host holds the threads of MAX_PENDING_ENDING displaced connections in their
// "Disconnect", every other thread is taken and a known neighbour holds silent connections:
// the known owner gets in at once, on threads of its own, and an unknown newcomer is not refused
// but waits, without a thread, until the host lets a thread go.
TEST_F(login_wiring_test, slow_host_handlers_keep_no_one_out) {
    log_in_once(port(), "127.0.0.81");
    log_in_once(port(), "127.0.0.85");  // a known neighbour
    g_held_event = "Disconnect";
    g_held = 0;
    g_gate.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_the_crowd), 1);
    crowd_in(MAX_PENDING_TOTAL);
    std::vector<std::unique_ptr<test_client>> displacing;
    for (uint32_t n = 0; n < MAX_PENDING_ENDING; ++n) {
        displacing.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(
            displacing.back()->connect(port(), ("127.9.0." + std::to_string(n + 1)).c_str()));
    }
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING; }, 60000));
    // The neighbour holds silent connections: it gets its share of the known reserve's
    // threads, not the whole reserve.
    std::vector<std::unique_ptr<test_client>> neighbour;
    for (uint32_t n = 0; n < MAX_PENDING_PER_ADDRESS; ++n) {
        neighbour.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(neighbour.back()->connect(port(), "127.0.0.85"));
    }
    ASSERT_TRUE(poll_until(
        [this] {
            return count_of(event_lines(), "Incoming connection|127.0.0.85") >=
                   1 + MAX_KNOWN_RESERVE_PER_ADDRESS;
        },
        30000));

    test_client owner, newcomer, owner_again;
    ASSERT_TRUE(owner.connect(port(), "127.0.0.81"));
    EXPECT_TRUE(owner.log_in(TEST_PASSWORD));
    ASSERT_TRUE(newcomer.connect(port(), "127.0.0.82"));
    ASSERT_TRUE(owner_again.connect(port(), "127.0.0.81"));  // taken in after the newcomer
    EXPECT_TRUE(owner_again.log_in(TEST_PASSWORD));
    EXPECT_EQ(count_traces("Too many connections waiting for login"), 0u);
    g_gate.set();
    EXPECT_TRUE(newcomer.log_in(TEST_PASSWORD));
}

// A thread that frees in the same round of the accept thread as a new arrival goes to the
// connection that has waited for one longest. The known owner has used its share of the known
// reserve's threads, so its next two connections wait (being known, neither gives way); then
// one of its connections ends while the accept thread holds the newest arrival.
TEST_F(login_wiring_test, a_freed_thread_goes_to_the_connection_that_waited_longest) {
    const char* const owner = "127.0.0.86";
    log_in_once(port(), owner);
    g_held_event = "Disconnect";
    g_held = 0;
    g_gate.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_the_crowd), 1);
    crowd_in(MAX_PENDING_TOTAL);
    std::vector<std::unique_ptr<test_client>> displacing;
    for (uint32_t n = 0; n < MAX_PENDING_ENDING; ++n) {
        displacing.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(
            displacing.back()->connect(port(), ("127.9.0." + std::to_string(n + 1)).c_str()));
    }
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING; }, 60000));
    std::vector<std::unique_ptr<test_client>> threaded;
    for (uint32_t n = 0; n < MAX_KNOWN_RESERVE_PER_ADDRESS; ++n) {
        threaded.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(threaded.back()->connect(port(), owner));
    }
    ASSERT_TRUE(poll_until(
        [&] {
            return count_of(event_lines(), std::string("Incoming connection|") + owner) ==
                   1 + MAX_KNOWN_RESERVE_PER_ADDRESS;
        },
        30000));
    test_client older, newer;
    ASSERT_TRUE(older.connect(port(), owner));  // takes a crowd connection's place
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING + 1; }, 30000));
    g_accept_gate.reset();
    g_accept_held = false;
    g_accept_armed = true;
    trace_set_hook(hold_the_next_accept);
    ASSERT_TRUE(newer.connect(port(), owner));
    ASSERT_TRUE(poll_until([] { return g_accept_held.load(); }, 30000));
    threaded.front()->close();
    ASSERT_TRUE(poll_until(
        [&] { return count_of(event_lines(), std::string("Disconnect|") + owner) == 2; }, 30000));
    g_accept_gate.set();
    EXPECT_EQ(older.greet().size(), 4u);
}

// The real tick, moved on by the test.
std::atomic<uint32_t> g_skipped_ms{0};
uint32_t skipped_tick() {
    return platform::detail::system_tick_count() + g_skipped_ms.load();
}

// A connection that waits for a thread while the host holds every thread is closed by the
// accept thread when its login's time has run out, and at the stop, without a thread.
TEST_F(login_wiring_test, a_connection_waiting_for_a_thread_is_closed_in_time_and_at_the_stop) {
    g_skipped_ms = 0;
    platform::tick_set_source(skipped_tick);
    g_held_event = "Disconnect";
    g_held = 0;
    g_gate.reset();
    ASSERT_EQ(recording_host_install_in_front(hold_the_crowd), 1);
    crowd_in(MAX_PENDING_TOTAL);
    std::vector<std::unique_ptr<test_client>> displacing;
    for (uint32_t n = 0; n < MAX_PENDING_ENDING; ++n) {
        displacing.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(
            displacing.back()->connect(port(), ("127.9.0." + std::to_string(n + 1)).c_str()));
    }
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING; }, 60000));
    test_client late;
    ASSERT_TRUE(late.connect(port(), "127.0.0.72"));
    ASSERT_TRUE(poll_until([] { return g_held.load() == MAX_PENDING_ENDING + 1; }, 60000));
    g_skipped_ms = LOGIN_GRACE_MS;
    EXPECT_TRUE(late.wait_closed());

    size_t accepted = accepted_so_far();
    test_client at_the_stop;  // in the place the late one gave back, without a thread
    ASSERT_TRUE(at_the_stop.connect(port(), "127.0.0.73"));
    ASSERT_TRUE(poll_until([&] { return accepted_so_far() > accepted; }, 60000));
    std::thread stopping([this] { stop_server(); });
    EXPECT_TRUE(at_the_stop.wait_closed());
    g_gate.set();
    stopping.join();
    EXPECT_EQ(count_of(event_lines(), "Incoming connection|127.0.0.72"), 0u);
    EXPECT_EQ(count_of(event_lines(), "Incoming connection|127.0.0.73"), 0u);
}

// Swallows the first wake of every socket, as Windows loses a wake that comes just before the
// receive has begun.
std::mutex g_woken_lock;
std::set<platform::socket_handle> g_woken;
bool swallow_every_first_wake(platform::socket_handle socket) {
    std::lock_guard<std::mutex> hold(g_woken_lock);
    return !g_woken.insert(socket).second;
}

// A displaced connection whose wake was lost, and whose peer stays silent, is woken again on
// time by the accept thread, though no connection arrives after it (its login's deadline
// would otherwise end it, 30 s after its accept).
TEST_F(login_wiring_test, a_lost_wake_is_repeated_without_a_new_arrival) {
    crowd_in(MAX_PENDING_TOTAL);
    {
        std::lock_guard<std::mutex> hold(g_woken_lock);
        g_woken.clear();
    }
    platform::net_set_wake_hook(swallow_every_first_wake);
    test_client newcomer;
    ASSERT_TRUE(newcomer.connect(port(), "127.0.0.83"));
    EXPECT_TRUE(poll_until(
        [this] { return count_of(event_lines(), "Disconnect|" + crowd_address(0)) == 1; }, 10000));
    platform::net_set_wake_hook(nullptr);
}

// More connections queued at once than the accept thread takes in together: it takes them
// in batch after batch, and the owner queued behind them all logs in.
TEST_F(login_wiring_test, an_owner_behind_more_than_a_batch_logs_in) {
    ASSERT_TRUE(platform::process_allow_open_handles(4 * ACCEPT_BATCH_MAX));
    log_in_once(port(), "127.0.0.84");
    g_accept_gate.reset();
    g_accept_armed = true;
    trace_set_hook(hold_the_next_accept);
    std::vector<std::unique_ptr<test_client>> queued;
    for (uint32_t n = 0; n < ACCEPT_BATCH_MAX + 100; ++n) {
        queued.push_back(std::make_unique<test_client>());
        std::string address =
            "127.11." + std::to_string(n / 240) + "." + std::to_string(1 + n % 240);
        ASSERT_TRUE(queued.back()->connect(port(), address.c_str()));
    }
    test_client owner;
    ASSERT_TRUE(owner.connect(port(), "127.0.0.84"));
    g_accept_gate.set();
    EXPECT_TRUE(owner.log_in(TEST_PASSWORD));
}

// Runs one conversation on a thread of its own over a socket pair, as the accept thread would
// start it, until the peer has tried to log in and closed.
void converse_alone(pending_login place, refusal_place refused) {
    platform::socket_handle server_side, client_side;
    EXPECT_TRUE(make_connected_pair(&server_side, &client_side));
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    EXPECT_EQ(conn_table_add(*table, 1, server_side, "127.0.0.1"), 1);
    auto* record =
        new client_start_record{server_side, loopback_address(), platform::tick_count(), 1, table,
                                {},          std::move(place),   std::move(refused),     {}};
    platform::thread_handle thread = platform::thread_start(
        [](void* argument) { return client_main(static_cast<client_start_record*>(argument)); },
        record);
    EXPECT_TRUE(thread);
    EXPECT_EQ(client_log_in(client_side, TEST_PASSWORD), 0);
    platform::net_close(client_side);
    EXPECT_TRUE(thread.wait(10000));
    conn_table_teardown(*table);
}

// A conversation whose place another connection took, and that no notice reached: even the
// right answer does not log it in, and nothing counts against its address.
TEST_F(login_wiring_test, a_connection_whose_place_was_taken_does_not_log_in) {
    auto counts = std::make_shared<pending_logins>();
    pending_login place;
    pending_logins::displacement displaced;
    ASSERT_EQ(pending_login_count(counts, loopback_address(), 1, &place, &displaced),
              pending_logins::verdict::counted);
    ASSERT_TRUE(place.start_thread());
    std::vector<pending_login> others(MAX_PENDING_TOTAL);
    for (uint32_t n = 0; n < MAX_PENDING_TOTAL; ++n) {
        pending_login_count(counts, loopback_address(crowd_address(n).c_str()), 2 + n, &others[n],
                            &displaced);
    }
    ASSERT_EQ(displaced.connection, 1u);
    converse_alone(std::move(place), {});
    EXPECT_EQ(event_lines(),
              (std::vector<std::string>{"Incoming connection|127.0.0.1", "Disconnect|127.0.0.1"}));
    EXPECT_EQ(repeat_offenders_remembered(), 0u);
}

// Refused at its accept, a connection is only told so, even when admission would let it in by
// the time its thread runs.
TEST_F(login_wiring_test, a_connection_refused_at_accept_stays_refused) {
    refusal_place refused;
    ASSERT_TRUE(refused.take(std::make_shared<refusal_places>()));
    converse_alone({}, std::move(refused));
    EXPECT_EQ(event_lines(), (std::vector<std::string>{"Blocked connection|127.0.0.1"}));
}

}  // namespace
