// The connection table: its count and all-closed signal, socket ownership between the stop
// and the client threads (each socket closed exactly once, whoever closes it), and the
// close-all walk.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "module/connection_view.h"
#include "platform/event.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "server/connection_table.h"
#include "tests/support/test_client.h"

namespace {

const std::string CLOSE_NOTICE("close\n\0", 7);

std::string read_all(platform::socket_handle socket) {
    std::string all;
    char buffer[64];
    platform::net_set_recv_timeout(socket, 5000);
    for (int received; (received = platform::net_recv(socket, buffer, sizeof buffer)) > 0;) {
        all.append(buffer, static_cast<size_t>(received));
    }
    return all;
}

// Counts the closes of every socket while a test runs.
std::mutex g_close_lock;
std::map<platform::socket_handle, int> g_closes;

void count_close(platform::socket_handle socket) {
    std::lock_guard<std::mutex> hold(g_close_lock);
    ++g_closes[socket];
}

int closes_of(platform::socket_handle socket) {
    std::lock_guard<std::mutex> hold(g_close_lock);
    return g_closes.count(socket) ? g_closes[socket] : 0;
}

// A client thread stand-in with the real one's habits: every receive under its claim, then it
// removes its entry and closes what it owns. It may be held at a gate before its first
// receive (it is then outside any call) or after its last one (it outlives the walk). Once it
// has begun a receive, the notice finds it in the call and has to wake it; a receive that
// ends for a moment without data before the claim (the socket briefly non-blocking) is
// begun again, one that ends so after the claim ends the call, as the real thread's would
// (under Wine the notice's non-blocking moment can end it; a receive begun again after the
// stop's last wake would wait for its peer forever).
std::atomic<connection_id> g_next_id{1};

struct fake_client {
    connection_table_ref table;
    connection_id id = g_next_id++;
    platform::socket_handle socket = platform::INVALID_SOCKET_HANDLE;
    socket_claim claim;
    platform::manual_event before_receiving{true};
    platform::manual_event before_leaving{true};
    platform::manual_event receiving{false};
    platform::manual_event removed{false};
    std::atomic<int> owner{-1};
    platform::thread_handle thread;

    bool start(const connection_table_ref& owner_table) {
        platform::socket_handle peer;
        if (!make_connected_pair(&socket, &peer))
            return false;
        peer_ = peer;
        table = owner_table;
        if (!conn_table_add(*table, id, socket, "127.0.0.1", &claim))
            return false;
        thread = platform::thread_start(main, this);
        conn_table_set_thread(*table, id, thread.duplicate());
        return static_cast<bool>(thread);
    }
    int finished_owner() {
        EXPECT_TRUE(thread.wait(10000));
        return owner.load();
    }
    // Waits until the thread has begun its receive under its claim. The notice then has to
    // wake it, whether it is inside the call already or just entering it; its peer is silent.
    void wait_receiving() { ASSERT_TRUE(receiving.wait(10000)); }
    std::string peer_reads() { return read_all(peer_); }
    ~fake_client() {
        thread.wait(10000);
        platform::net_close(peer_);
    }

  private:
    static unsigned main(void* argument) {
        auto* self = static_cast<fake_client*>(argument);
        self->before_receiving.wait(10000);
        char buffer[16];
        while (self->claim.begin_use()) {
            self->receiving.set();
            int received;
            do {
                received = platform::net_recv(self->socket, buffer, sizeof buffer);
            } while (received < 0 && platform::net_would_block(platform::net_last_error()) &&
                     !self->claim.claimed());
            self->claim.end_use();
            if (received <= 0)
                break;
        }
        self->before_leaving.wait(10000);
        socket_owner owner = conn_table_remove(*self->table, self->id);
        self->removed.set();
        if (owner == socket_owner::client_after_notice) {
            platform::net_close(self->socket);
        } else if (owner == socket_owner::client) {
            platform::net_shutdown_send(self->socket);
            platform::net_close(self->socket);
        }
        self->owner = static_cast<int>(owner);
        return 0;
    }
    platform::socket_handle peer_ = platform::INVALID_SOCKET_HANDLE;
};

class close_counting : public ::testing::Test {
  protected:
    void SetUp() override {
        std::lock_guard<std::mutex> hold(g_close_lock);
        g_closes.clear();
        platform::net_set_close_hook(count_close);
    }
    void TearDown() override {
        platform::net_set_close_hook(nullptr);
        platform::net_set_wake_hook(nullptr);
    }
    // A thread woken in its receive closes its socket itself, once it is out of the call.
    static int woken_owner() { return static_cast<int>(socket_owner::client_after_notice); }
    // How a thread in its receive when the notice came has left: woken. Under Wine the
    // notice's non-blocking moment may end the receive already, and the thread may then leave
    // while the notice is still being sent, leaving the socket to the notice.
    static bool left_its_receive(int owner) {
#ifdef _WIN32
        if (owner == static_cast<int>(socket_owner::none))
            return true;
#endif
        return owner == woken_owner();
    }
};

// Swallows the first wake of the socket it is set to, as Windows loses a wake that comes just
// before the receive begins; lets every later one through.
std::atomic<platform::socket_handle> g_swallow_first_wake{platform::INVALID_SOCKET_HANDLE};
std::atomic<int> g_wakes{0};
bool swallow_first_wake(platform::socket_handle socket) {
    return socket != g_swallow_first_wake.load() || g_wakes++ > 0;
}

}  // namespace

TEST(connection_table, the_all_closed_signal_follows_the_count) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    ASSERT_NE(all_closed, nullptr);
    EXPECT_TRUE(all_closed->wait(0));
    EXPECT_EQ(conn_table_init(*table), all_closed);  // a second init changes nothing

    ASSERT_EQ(conn_table_add(*table, 101, 11, "10.0.0.1"), 1);
    ASSERT_EQ(conn_table_add(*table, 102, 11, "10.0.0.2"), 1);  // named by id, not by socket
    EXPECT_FALSE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 999), socket_owner::none);  // not listed: nothing
    EXPECT_EQ(conn_table_count(*table), 2u);
    EXPECT_EQ(conn_table_remove(*table, 101), socket_owner::client);
    EXPECT_FALSE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 102), socket_owner::client);
    EXPECT_TRUE(all_closed->wait(0));
    EXPECT_EQ(conn_table_remove(*table, 102), socket_owner::none);

    conn_table_teardown(*table);
    conn_table_teardown(*table);  // a second teardown does nothing
}

TEST(connection_table, close_all_on_an_empty_table_waits_for_nothing) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    conn_table_close_all(*table, CLOSE_ALL_THREAD_WAIT_MS);
    EXPECT_EQ(conn_table_count(*table), 0u);
    conn_table_teardown(*table);
}

TEST_F(close_counting, a_connection_without_thread_gets_the_notice_and_stays_listed) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    platform::socket_handle server_side, client_side;
    ASSERT_TRUE(make_connected_pair(&server_side, &client_side));
    ASSERT_EQ(conn_table_add(*table, 1, server_side, "127.0.0.1"), 1);

    conn_table_close_all(*table, CLOSE_ALL_THREAD_WAIT_MS);
    EXPECT_EQ(read_all(client_side), CLOSE_NOTICE);  // the notice, then the close
    EXPECT_EQ(conn_table_count(*table), 1u);
    EXPECT_FALSE(all_closed->wait(0));
    conn_table_teardown(*table);
    EXPECT_EQ(closes_of(server_side), 1);
    platform::net_close(client_side);
}

// A socket number stays its connection's until its thread has let it go: the notice closes
// no listed socket, not even one whose thread is outside any call (held in a host callback or
// an admission lookup), so the system cannot give that number to a newer connection while the
// old entry still names it. Each thread closes its own, once.
TEST_F(close_counting, the_notice_leaves_each_socket_to_its_own_thread) {
    connection_table_ref table = conn_table_create();
    platform::manual_event* all_closed = conn_table_init(*table);
    fake_client idle, receiving;
    idle.before_receiving.reset();  // outside any call
    ASSERT_TRUE(idle.start(table));
    ASSERT_TRUE(receiving.start(table));
    receiving.wait_receiving();

    conn_table_close_all(*table, 100);
    EXPECT_TRUE(left_its_receive(receiving.finished_owner()));
    EXPECT_EQ(closes_of(idle.socket), 0);
    EXPECT_EQ(conn_table_count(*table), 1u);
    idle.before_receiving.set();
    EXPECT_EQ(idle.finished_owner(), woken_owner());
    EXPECT_TRUE(all_closed->wait(5000));
    conn_table_teardown(*table);
    for (fake_client* client : {&idle, &receiving}) {
        EXPECT_EQ(client->peer_reads(), CLOSE_NOTICE);
        EXPECT_EQ(closes_of(client->socket), 1);
    }
}

// The thread leaves while the notice is being sent to it (the notice has let the table's lock
// go): it leaves the socket to the notice, which closes it once sent.
fake_client* g_leaving = nullptr;
uint32_t let_the_thread_leave() {
    if (fake_client* client = std::exchange(g_leaving, nullptr)) {
        client->before_receiving.set();
        EXPECT_TRUE(client->removed.wait(10000));
    }
    return platform::detail::system_tick_count();
}

TEST_F(close_counting, a_thread_that_leaves_during_the_notice_leaves_the_socket_to_it) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    fake_client client;
    client.before_receiving.reset();  // outside any call
    ASSERT_TRUE(client.start(table));
    g_leaving = &client;
    platform::tick_set_source(let_the_thread_leave);  // the notice asks the time as it sends
    conn_table_notice(*table, client.id);
    platform::tick_set_source(nullptr);
    EXPECT_EQ(client.finished_owner(), static_cast<int>(socket_owner::none));
    EXPECT_EQ(closes_of(client.socket), 1);
    conn_table_teardown(*table);
}

// A thread whose first wake is lost is woken again while it is still in its call: by the
// stop's last wake even when its allowance is spent, and, for a connection that gave way to
// another, by the accept thread's next round.
TEST_F(close_counting, a_thread_whose_first_wake_is_lost_is_woken_again) {
    const struct {
        const char* name;
        void (*end)(connection_table& table, connection_id id);
    } cases[] = {
        {"the stop, with no allowance left",
         [](connection_table& table, connection_id) { conn_table_close_all(table, 0); }},
        {"a connection that gave way",
         [](connection_table& table, connection_id id) {
             conn_table_notice(table, id);
             conn_table_rewake_noticed(table);
         }},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        connection_table_ref table = conn_table_create();
        conn_table_init(*table);
        fake_client client;
        ASSERT_TRUE(client.start(table));
        client.wait_receiving();
        g_wakes = 0;
        g_swallow_first_wake = client.socket;
        platform::net_set_wake_hook(swallow_first_wake);
        each.end(*table, client.id);
        EXPECT_TRUE(left_its_receive(client.finished_owner()));
        platform::net_set_wake_hook(nullptr);
#ifndef _WIN32
        EXPECT_EQ(g_wakes.load(), 2);  // under Wine the receive may have ended before any wake
#endif
        conn_table_teardown(*table);
    }
}

TEST_F(close_counting, an_entry_that_outlives_teardown_gets_the_same_answer_later) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    fake_client late;
    late.before_leaving.reset();  // woken, but it does not end within the walk's wait
    ASSERT_TRUE(late.start(table));
    late.wait_receiving();
    conn_table_close_all(*table, CLOSE_ALL_THREAD_WAIT_MS);
    conn_table_teardown(*table);
    int closes_at_teardown = closes_of(late.socket);
    late.before_leaving.set();
    EXPECT_EQ(late.finished_owner(), woken_owner());
    // Not closed by then: the thread, woken, still owns it.
    EXPECT_EQ(closes_at_teardown, 0);
    EXPECT_EQ(closes_of(late.socket), 1);
    EXPECT_EQ(late.peer_reads(), CLOSE_NOTICE);
}

TEST(connection_table, a_removal_after_teardown_touches_nothing_destroyed) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    ASSERT_EQ(conn_table_add(*table, 7, 7, "127.0.0.1"), 1);
    conn_table_teardown(*table);
    EXPECT_EQ(conn_table_remove(*table, 7), socket_owner::none);
    EXPECT_EQ(conn_table_count(*table), 1u);  // teardown leaves the count; init resets it
    conn_table_init(*table);
    EXPECT_EQ(conn_table_count(*table), 0u);
}

namespace {
std::vector<std::string> g_view_lines;
std::vector<std::string> g_view_building;
const connection_view RECORDING_VIEW = {
    [] {
        g_view_building.clear();
        return 1;
    },
    [](const char* address_text) { g_view_building.push_back(address_text); },
    [] { g_view_lines = g_view_building; },
};
}  // namespace

// After a stop that gave up waiting, the old run's table still changes while a new run's
// table fills the list: only the newest table's rebuilds are shown.
TEST(connection_table, only_the_newest_table_rebuilds_the_view) {
    connection_view_install(&RECORDING_VIEW);
    connection_table_ref old_run = conn_table_create();
    conn_table_init(*old_run);
    ASSERT_EQ(conn_table_add(*old_run, 7, 7, "10.0.0.1"), 1);
    EXPECT_EQ(g_view_lines, std::vector<std::string>{"10.0.0.1"});

    connection_table_ref new_run = conn_table_create();
    conn_table_init(*new_run);
    ASSERT_EQ(conn_table_add(*new_run, 8, 8, "10.0.0.2"), 1);
    ASSERT_EQ(conn_table_add(*old_run, 9, 9, "10.0.0.3"), 1);
    conn_table_remove(*old_run, 7);
    conn_table_teardown(*old_run);
    EXPECT_EQ(g_view_lines, std::vector<std::string>{"10.0.0.2"});
    conn_table_teardown(*new_run);
    EXPECT_EQ(g_view_lines, std::vector<std::string>{});
    connection_view_install(nullptr);
}

namespace {
// A tick count that starts just before the wrap and runs four times as fast as real time.
constexpr uint32_t BEFORE_THE_WRAP = 0xFFFFFFFFu - 400u;
std::atomic<uint32_t> g_real_start{0};
uint32_t fast_tick_before_the_wrap() {
    return BEFORE_THE_WRAP + 4u * (platform::detail::system_tick_count() - g_real_start.load());
}
}  // namespace

// The waits are measured in unsigned differences of the wrapping tick count: started just
// before the wrap, close-all still gives a thread that cannot end its full second, no less,
// and leaves the rest of its allowance.
TEST_F(close_counting, close_all_keeps_its_allowance_across_the_tick_wrap) {
    connection_table_ref table = conn_table_create();
    conn_table_init(*table);
    fake_client stuck;
    stuck.before_leaving.reset();
    ASSERT_TRUE(stuck.start(table));
    stuck.wait_receiving();
    g_real_start = platform::detail::system_tick_count();
    platform::tick_set_source(fast_tick_before_the_wrap);
    uint32_t left = conn_table_close_all(*table, 5 * CLOSE_ALL_THREAD_WAIT_MS);
    platform::tick_set_source(nullptr);
    EXPECT_LE(left, 4 * CLOSE_ALL_THREAD_WAIT_MS);
    EXPECT_GT(left, 0u);
    stuck.before_leaving.set();
    EXPECT_EQ(stuck.finished_owner(), woken_owner());
    conn_table_teardown(*table);
}
