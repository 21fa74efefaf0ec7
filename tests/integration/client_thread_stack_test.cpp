// The stack of a client thread: how deep its worst paths go, measured against the reservation
// it is started with, and that it really runs on that reservation. Each test prints its
// figures (the flood script shows them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "access/access_list.h"
#include "module/settings.h"
#include "platform/environment.h"
#include "platform/thread.h"
#include "server/client_protocol.h"
#include "server/listener.h"
#include "server/trace.h"
#include "tests/support/server_fixture.h"

namespace {

struct stack_path {
    const char* name;
    const char* rules[2];  // admission's rules; none: every address is allowed
    bool trace;
};

// Each path ends in a login and an event with nine payloads, the deepest conversation.
const stack_path WORST_PATHS[] = {
    {"hardware-address rule", {"00:11:22:33:44:55", "127.0.0.1"}, false},
    {"host-name rule", {"/localhost", nullptr}, false},
    {"trace switched on", {nullptr, nullptr}, true},
    {"login, nine payloads", {nullptr, nullptr}, false},
};

// Admission rules and the trace switch for one path, put back when it is done.
class path_settings {
  public:
    explicit path_settings(const stack_path& path) : trace_(path.trace) {
        access_list_clear();
        for (const char* rule : path.rules) {
            if (rule)
                access_list_append(rule);
        }
        settings.allow_all = path.rules[0] ? 0 : 1;
        if (trace_)
            platform::environment_set(TRACE_SWITCH_VARIABLE, "1");
    }
    ~path_settings() {
        if (trace_)
            platform::environment_set(TRACE_SWITCH_VARIABLE, "0");
        access_list_clear();
        settings.allow_all = 1;
    }

  private:
    bool trace_;
};

void converse_deeply(uint16_t port) {
    test_client client;
    ASSERT_TRUE(client.connect(port));
    ASSERT_TRUE(client.log_in(TEST_PASSWORD));
    std::string lines;
    for (int i = 1; i <= 9; ++i)
        lines += "payload p" + std::to_string(i) + "\n";
    ASSERT_TRUE(client.send_text(lines + "DeepEvent\nclose\n"));
    EXPECT_TRUE(client.wait_closed());
}

platform::stack_bounds g_client_stack;

// Notes the stack of the thread that raises the first event: the client thread's.
int32_t QVL_STDCALL stack_noting_trigger(const char* text, const uint8_t* block, int32_t length,
                                         int32_t device) {
    if (std::strcmp(text, "Incoming connection") == 0)
        platform::thread_stack_bounds(&g_client_stack);
    return recording_host_trigger_event(text, block, length, device);
}

unsigned note_own_stack(void* bounds) {
    platform::thread_stack_bounds(static_cast<platform::stack_bounds*>(bounds));
    return 0;
}

uintptr_t stack_started_with(uint32_t reservation) {
    platform::stack_bounds bounds;
    platform::thread_handle thread = platform::thread_start(note_own_stack, &bounds, reservation);
    EXPECT_TRUE(thread && thread.wait(TEST_READ_TIMEOUT_MS));
    return bounds.high - bounds.low;
}

}  // namespace

class client_thread_stack : public server_test {};

TEST_F(client_thread_stack, every_worst_path_stays_within_half_the_reservation) {
    stop_server();  // each path starts a server of its own: the trace switch is read at start
    for (const stack_path& path : WORST_PATHS) {
        SCOPED_TRACE(path.name);
        path_settings configured(path);
        platform::thread_stack_measure(true);
        ASSERT_EQ(server_start(0), 1);
        converse_deeply(server_listening_port());
        server_stop();
        // Measured by the time the thread is no longer counted as running.
        EXPECT_TRUE(poll_until([] { return platform::threads_running() == 0; }, 10000));
        uint32_t deepest = platform::thread_stack_deepest();
        platform::thread_stack_measure(false);
        if (deepest == 0)
            GTEST_SKIP() << "this build keeps default stacks and measures none";
        std::printf("client thread stack: %-22s deepest %6u bytes of %u reserved\n", path.name,
                    deepest, CLIENT_THREAD_STACK_RESERVATION);
        EXPECT_LT(deepest, CLIENT_THREAD_STACK_RESERVATION / 2);
    }
}

TEST_F(client_thread_stack, a_client_thread_runs_on_the_chosen_reservation) {
#ifdef SENDREL_SANITIZED_BUILD
    GTEST_SKIP() << "sanitizer builds keep default stacks";
#endif
    ASSERT_EQ(recording_host_install_in_front(stack_noting_trigger), 1);
    g_client_stack = {};
    test_client client;
    ASSERT_TRUE(client.connect(port()));
    ASSERT_TRUE(recording_host_wait_for_events(1, TEST_READ_TIMEOUT_MS));
    recording_host_install();
    uintptr_t reserved = g_client_stack.high - g_client_stack.low;
    uintptr_t by_default = stack_started_with(0);
    std::printf(
        "client thread stack: reservation read back %u bytes (chosen %u, a thread's "
        "default %u)\n",
        static_cast<unsigned>(reserved), CLIENT_THREAD_STACK_RESERVATION,
        static_cast<unsigned>(by_default));
#ifdef _WIN32
    // Windows rounds a reservation up to its 64 KiB granularity, and Wine to at least 1 MiB:
    // either way less than the program's default, which a thread started without one gets.
    constexpr uintptr_t GRANULARITY = 64 * 1024;
    uintptr_t rounded =
        (CLIENT_THREAD_STACK_RESERVATION + GRANULARITY - 1) / GRANULARITY * GRANULARITY;
    EXPECT_LE(reserved, std::max<uintptr_t>(rounded, 1024 * 1024));
    EXPECT_LT(reserved, by_default);
#else
    EXPECT_EQ(reserved, CLIENT_THREAD_STACK_RESERVATION);
#endif
}
