// Starting and stopping the listener, and what connected clients see of a stop.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "access/access_list.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "platform/adapter_status.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "server/listener.h"
#include "tests/support/server_fixture.h"

using lines = std::vector<std::string>;

namespace {

const std::string CLOSE_NOTICE("close\n\0", 7);

std::atomic<int> g_message_boxes{0};
int count_message_box(const char*, const char*) {
    ++g_message_boxes;
    return 1;
}

}  // namespace

class listener_test : public server_test {};

TEST_F(listener_test, stop_without_clients_waits_for_nothing) {
    stop_server();
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
    EXPECT_EQ(count_traces("TIMEOUT waiting for ListenThread"), 0u);
}

TEST_F(listener_test, stop_sends_every_client_the_notice_whatever_its_state) {
    std::vector<std::unique_ptr<test_client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(idle.back()->connect(port()));
        ASSERT_TRUE(idle.back()->log_in(TEST_PASSWORD));
    }
    test_client logging_in;  // connected, greeting not yet sent
    ASSERT_TRUE(logging_in.connect(port()));
    ASSERT_TRUE(recording_host_wait_for_events(7, TEST_READ_TIMEOUT_MS));
    stop_server();
    for (auto& client : idle)
        EXPECT_EQ(client->receive_until_closed(), CLOSE_NOTICE);
    EXPECT_EQ(logging_in.receive_until_closed(), CLOSE_NOTICE);
    lines events = event_lines();
    EXPECT_EQ(std::count(events.begin(), events.end(), "Disconnect|127.0.0.1"), 4);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
}

namespace {
// A host whose "Disconnect" does not return before the test opens a gate, so the client
// thread outlives the stop's wait for it whatever the machine's load. The gate outlives every
// thread that may wait on it.
platform::manual_event g_disconnect_gate{false};
int32_t QVL_STDCALL gated_trigger(const char* text, const uint8_t* block, int32_t length,
                                  int32_t device) {
    if (std::strcmp(text, "Disconnect") == 0)
        g_disconnect_gate.wait(60000);  // only a guard against a hang
    return recording_host_trigger_event(text, block, length, device);
}
}  // namespace

TEST_F(listener_test, a_client_thread_that_does_not_end_delays_but_does_not_hang_the_stop) {
    ASSERT_EQ(recording_host_install_in_front(gated_trigger), 1);
    g_disconnect_gate.reset();

    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    stop_server();
    EXPECT_EQ(client.receive_until_closed(), CLOSE_NOTICE);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 1u);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
    // Let the late thread go: it finds its table torn down and ends without harm.
    g_disconnect_gate.set();
    EXPECT_TRUE(poll_until([] { return platform::threads_running() == 0; }, 30000));
    EXPECT_EQ(event_lines().back(), "Disconnect|127.0.0.1");
    recording_host_install();
}

TEST_F(listener_test, client_threads_that_cannot_end_cost_the_stop_its_bound_not_each_a_second) {
    ASSERT_EQ(recording_host_install_in_front(gated_trigger), 1);
    g_disconnect_gate.reset();
    // Held clients whose threads, woken by the stop, do not end; at a second each they would
    // take the accept thread past its own bound. Then one more that gets no thread, as when
    // the system's threads have run out.
    constexpr int HELD = 12;
    std::vector<std::unique_ptr<test_client>> held;
    for (int i = 0; i < HELD; ++i) {
        held.push_back(std::make_unique<test_client>());
        ASSERT_TRUE(held.back()->connect(port()));
        ASSERT_TRUE(held.back()->log_in(TEST_PASSWORD));
    }
    platform::thread_start_fail_next(1);
    test_client threadless;
    ASSERT_TRUE(threadless.connect(port()));
    EXPECT_EQ(threadless.receive_until_closed(), "");

    stop_server();
    EXPECT_EQ(count_traces("TIMEOUT waiting for ListenThread"), 0u);
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 1u);
    for (auto& client : held)
        EXPECT_EQ(client->receive_until_closed(), CLOSE_NOTICE);
    g_disconnect_gate.set();
    EXPECT_TRUE(poll_until([] { return platform::threads_running() == 0; }, 30000));
    recording_host_install();
    // The next start serves at once.
    ASSERT_EQ(server_start(0), 1);
    test_client next;
    ASSERT_TRUE(next.connect(server_listening_port()));
    EXPECT_TRUE(next.log_in(TEST_PASSWORD));
    next.close();
    server_stop();
}

TEST_F(listener_test, a_connection_whose_thread_cannot_start_is_closed_at_once) {
    platform::thread_start_fail_next(1);
    test_client orphan;
    ASSERT_TRUE(orphan.connect(port()));
    // Closed without a byte and long before any stop; nobody was told of it.
    EXPECT_EQ(orphan.receive_until_closed(), "");
    EXPECT_EQ(count_traces("Couldn't start client thread"), 1u);
    test_client served;  // the next connection is served as usual
    ASSERT_TRUE(served.connect(port()));
    EXPECT_TRUE(served.log_in(TEST_PASSWORD));
    served.close();
    recording_host_wait_for_events(3, TEST_READ_TIMEOUT_MS);
    stop_server();
    // It left the table, so the stop has no thread to wait for.
    EXPECT_EQ(count_traces("One or more client threads did not exit"), 0u);
    EXPECT_EQ(count_traces("Server Stopped"), 1u);
    EXPECT_EQ(event_lines(),
              (std::vector<std::string>{"Incoming connection|127.0.0.1",
                                        "Accepted connection|127.0.0.1", "Disconnect|127.0.0.1"}));
}

TEST_F(listener_test, clients_that_reset_before_accept_do_not_stop_accepting) {
    for (int i = 0; i < 20; ++i) {
        test_client quick;
        ASSERT_TRUE(quick.connect(port(), "127.0.0.9"));
        quick.reset();
    }
    test_client client;
    ASSERT_TRUE(client.connect(port(), "127.0.0.10"));
    EXPECT_TRUE(client.log_in(TEST_PASSWORD));
}

TEST_F(listener_test, restart_after_stop_listens_again) {
    stop_server();
    ASSERT_EQ(server_start(0), 1);
    test_client client;
    ASSERT_TRUE(client.connect(server_listening_port()));
    EXPECT_TRUE(client.log_in(TEST_PASSWORD));
    server_stop();
    EXPECT_EQ(client.receive_until_closed(), CLOSE_NOTICE);
}

TEST(listener_start, a_taken_port_fails_quietly_and_a_later_start_succeeds) {
    platform::message_box_set_hook(count_message_box);
    g_message_boxes = 0;
    platform::socket_handle holder = platform::net_tcp_socket();
    ASSERT_TRUE(platform::net_bind_any(holder, 0));
    ASSERT_TRUE(platform::net_listen(holder));
    uint16_t port = platform::net_local_port(holder);
    EXPECT_EQ(server_start(port), 0);
    EXPECT_EQ(g_message_boxes.load(), 0);
    platform::net_close(holder);
    ASSERT_EQ(server_start(port), 1);
    EXPECT_EQ(server_listening_port(), port);
    server_stop();
    platform::message_box_set_hook(nullptr);
}

TEST(listener_start, only_the_low_16_bits_of_the_port_count) {
    uint16_t port = free_loopback_port();
    ASSERT_EQ(server_start(65536 + port), 1);
    EXPECT_EQ(server_listening_port(), port);
    test_client client;
    EXPECT_TRUE(client.connect(port));
    server_stop();
}

namespace {

platform::manual_event g_lookup_entered{false};
platform::manual_event g_lookup_released{false};

// A hardware-address lookup that takes as long as the test wants, and then matches.
int held_adapter_status(const char*, uint8_t adapter[6]) {
    g_lookup_entered.set();
    g_lookup_released.wait(TEST_READ_TIMEOUT_MS);
    const uint8_t answer[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::memcpy(adapter, answer, sizeof answer);
    return 1;
}

unsigned stop_in_background(void*) {
    server_stop();
    return 0;
}

// What a socket that the system may have handed out again holds: every byte that is waiting.
std::string waiting_bytes(platform::socket_handle socket) {
    char buffer[64];
    platform::net_set_recv_timeout(socket, 1000);
    int received = platform::net_recv(socket, buffer, sizeof buffer);
    return received > 0 ? std::string(buffer, static_cast<size_t>(received)) : std::string();
}

}  // namespace

TEST_F(listener_test, a_thread_held_in_admission_never_uses_its_socket_after_the_stop) {
    // Admission asks for the client's hardware address; everything is put back at the end,
    // since the test programs under Wine run every case in one process.
    struct admission_by_adapter {
        admission_by_adapter() {
            settings.allow_all = 0;
            access_list_clear();
            access_list_append("00:11:22:33:44:55");
            g_lookup_entered.reset();
            g_lookup_released.reset();
            platform::adapter_status_set_override(held_adapter_status);
        }
        ~admission_by_adapter() {
            g_lookup_released.set();
            platform::adapter_status_set_override(nullptr);
            access_list_clear();
            settings.allow_all = 1;
        }
    } admission;
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(g_lookup_entered.wait(TEST_READ_TIMEOUT_MS));

    platform::thread_handle stopper = platform::thread_start(stop_in_background, nullptr);
    ASSERT_TRUE(stopper);
    // Told and closed while its thread is still in the lookup.
    EXPECT_EQ(client.receive_until_closed(), CLOSE_NOTICE);
    // New sockets, which may well get the number of the one just closed; each side has a
    // greeting waiting that the held thread would take if it still used its old number.
    platform::socket_handle a, b;
    ASSERT_TRUE(make_connected_pair(&a, &b));
    const std::string greeting = "vellumorchid\n";
    ASSERT_TRUE(platform::net_send(a, greeting.data(), static_cast<int>(greeting.size())) > 0);
    ASSERT_TRUE(platform::net_send(b, greeting.data(), static_cast<int>(greeting.size())) > 0);

    g_lookup_released.set();
    EXPECT_EQ(wait_event_lines(2),
              lines({"Incoming connection|127.0.0.1", "Disconnect|127.0.0.1"}));
    EXPECT_TRUE(stopper.wait(SERVER_STOP_WAIT_MS + 5000));
    EXPECT_EQ(waiting_bytes(a), greeting);  // nothing read from them, no cookie sent to them
    EXPECT_EQ(waiting_bytes(b), greeting);
    platform::net_close(a);
    platform::net_close(b);
}

namespace {
struct accept_error_case {
    int error;
    platform::accept_failure meaning;
};
}  // namespace

// Only a listening socket that is gone ends the accept loop; a connection that failed on its
// own way in is skipped, and a shortage of sockets or buffers is waited out. By the socket
// library's own numbers (the Winsock ones written out, as no Windows header is seen here), and
// by failures the library really reports: each has the number the table gives its meaning.
TEST(accept_errors, only_a_lost_listener_ends_accepting) {
    constexpr platform::accept_failure gone = platform::accept_failure::listener_gone;
    constexpr platform::accept_failure skip = platform::accept_failure::one_connection;
    constexpr platform::accept_failure pause = platform::accept_failure::resource_shortage;
#if defined(_WIN32)
    constexpr int NOT_LISTENING = 10022;    // WSAEINVAL
    constexpr int NOTHING_WAITING = 10035;  // WSAEWOULDBLOCK
    const accept_error_case cases[] = {
        {10038, gone},   // WSAENOTSOCK
        {10022, gone},   // WSAEINVAL
        {10009, gone},   // WSAEBADF
        {10093, gone},   // WSANOTINITIALISED
        {10045, gone},   // WSAEOPNOTSUPP
        {10014, gone},   // WSAEFAULT
        {10054, skip},   // WSAECONNRESET
        {10053, skip},   // WSAECONNABORTED
        {10057, skip},   // WSAENOTCONN (a reset before the accept, under Wine)
        {10004, skip},   // WSAEINTR
        {10035, skip},   // WSAEWOULDBLOCK
        {10060, skip},   // WSAETIMEDOUT
        {10024, pause},  // WSAEMFILE
        {10055, pause},  // WSAENOBUFS
        {0, pause},      // anything unforeseen
    };
#else
    constexpr int NOT_LISTENING = EINVAL;
    constexpr int NOTHING_WAITING = EAGAIN;
    const accept_error_case cases[] = {
        {EBADF, gone},   {ENOTSOCK, gone},     {EINVAL, gone},     {EOPNOTSUPP, gone},
        {EFAULT, gone},  {ECONNABORTED, skip}, {ECONNRESET, skip}, {ENOTCONN, skip},
        {EINTR, skip},   {EAGAIN, skip},       {EPROTO, skip},     {ETIMEDOUT, skip},
        {EPERM, skip},   {EMFILE, pause},      {ENFILE, pause},    {ENOBUFS, pause},
        {ENOMEM, pause}, {0, pause},
    };
#endif
    for (const accept_error_case& c : cases) {
        EXPECT_EQ(platform::net_classify_accept_error(c.error), c.meaning) << c.error;
    }

    // A socket that is not listening cannot accept: as good as gone.
    platform::socket_handle idle = platform::net_tcp_socket();
    ASSERT_NE(idle, platform::INVALID_SOCKET_HANDLE);
    platform::ipv4_address peer{};
    EXPECT_EQ(platform::net_accept(idle, &peer), platform::INVALID_SOCKET_HANDLE);
    EXPECT_EQ(platform::net_last_error(), NOT_LISTENING);
    platform::net_close(idle);

    // Nothing waiting on a non-blocking listener: try again.
    platform::socket_handle listening = platform::net_tcp_socket();
    ASSERT_TRUE(platform::net_bind(listening, loopback_address(), 0));
    ASSERT_TRUE(platform::net_listen(listening));
    ASSERT_TRUE(platform::net_set_nonblocking(listening, true));
    EXPECT_EQ(platform::net_accept(listening, &peer), platform::INVALID_SOCKET_HANDLE);
    EXPECT_EQ(platform::net_last_error(), NOTHING_WAITING);
    platform::net_close(listening);
}
