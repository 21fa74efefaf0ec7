// Failure sweeps over the plug-in's whole life as a host drives it: open, start, a client that
// logs in and sends events with payloads, a refused client, a wrong password, stop and close;
// and over one batch of connections taken in together that displace each other within it,
// while every place is taken and the host holds the threads of those being ended.
// In each sweep the call after the first n calls of one kind fails (an allocation, a socket
// call, a registry read), for n = 0, 1, 2, ... until a run passes without meeting the
// failure. Every run must end without a crash or a hang, must not leave a client thread to be
// waited out, and must leave the plug-in able to serve a client afterwards; the leak check of
// AddressSanitizer at the end of the program covers every run.
//
// This program replaces the allocator (operator new and, through the linker's --wrap, the C
// allocation functions of everything linked statically). Only the plug-in's own work is
// counted: the test thread counts while it is inside an entry point, the plug-in's threads
// always, except inside the host functions the plug-in calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "access/abuse_state.h"
#include "access/repeat_offenders.h"
#include "module/host_record.h"
#include "module/settings.h"
#include "platform/event.h"
#include "platform/message_box.h"
#include "platform/net.h"
#include "platform/process_limits.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "plugin/entry_points.h"
#include "server/pending_logins.h"
#include "server/trace.h"
#include "tests/support/server_fixture.h"
#include "tests/support/test_client.h"

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_realloc(void* block, size_t size);

namespace {

std::atomic<long> g_allocation_countdown{-1};
std::atomic<long> g_counted_allocations{0};
thread_local bool t_harness = false;

// The program's main thread is the test's own.
struct main_thread_marker {
    main_thread_marker() { t_harness = true; }
} g_main_thread_marker;

bool allocation_fails() {
    if (t_harness)
        return false;
    g_counted_allocations.fetch_add(1, std::memory_order_relaxed);
    long pending = g_allocation_countdown.load(std::memory_order_relaxed);
    while (pending >= 0) {
        if (g_allocation_countdown.compare_exchange_weak(pending, pending - 1))
            return pending == 0;
    }
    return false;
}

void* allocate(size_t size) {
    return allocation_fails() ? nullptr : __real_malloc(size ? size : 1);
}

}  // namespace

void* operator new(size_t size) {
    void* block = allocate(size);
    if (!block)
        throw std::bad_alloc();
    return block;
}
void* operator new[](size_t size) {
    return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

extern "C" void* __wrap_malloc(size_t size) {
    return allocation_fails() ? nullptr : __real_malloc(size);
}
extern "C" void* __wrap_calloc(size_t count, size_t size) {
    return allocation_fails() ? nullptr : __real_calloc(count, size);
}
extern "C" void* __wrap_realloc(void* block, size_t size) {
    return allocation_fails() ? nullptr : __real_realloc(block, size);
}

namespace {

const char* const MAIN_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador";
const char* const LIST_KEY = "Software\\Quorvel3\\HardPlugins\\Plexador\\AccessList";
const char* const PASSWORD = "Sweep-pw";
// Guards against a hang only: without an injected failure every answer comes at once.
constexpr uint32_t CLIENT_TIMEOUT_MS = 1000;
constexpr int RUNS_MAX = 5000;
// Guards against a hang only, while the batch scenario waits for the server's progress.
constexpr uint32_t POLL_MS = 15000;

// The work of the plug-in, counted and open to injected socket failures.
class plugin_scope {
  public:
    plugin_scope() {
        t_harness = false;
        platform::net_fail_exempt_this_thread(false);
    }
    ~plugin_scope() {
        platform::net_fail_exempt_this_thread(true);
        t_harness = true;
    }
};

// The host's and the test's work on a plug-in thread, not counted.
class harness_scope {
  public:
    harness_scope() : was_(t_harness) { t_harness = true; }
    ~harness_scope() { t_harness = was_; }

  private:
    bool was_;
};

std::mutex g_events_lock;
std::vector<std::string> g_events;  // "text|payload|payload..."
std::atomic<int> g_threads_waited_out{0};

// The batch scenario: the host holds the "Disconnect" of the crowd's displaced connections,
// and the accept thread is held at the first connection of the batch while the rest queue up.
platform::manual_event g_host_gate{true};
std::atomic<uint32_t> g_host_held{0};
platform::manual_event g_accept_gate{true};
std::atomic<bool> g_accept_armed{false};
std::atomic<long> g_batch_countdown{-1};     // armed when the batch's first connection is taken in
std::atomic<int> g_turned_away_for_want{0};  // of memory or of a thread

int32_t QVL_STDCALL sweep_translate(const char* text, char* out, int32_t out_size) {
    if (out && out_size > 0) {
        std::strncpy(out, text ? text : "", static_cast<size_t>(out_size) - 1);
        out[out_size - 1] = '\0';
    }
    return 1;
}

int32_t QVL_STDCALL sweep_trigger(const char* event_text, const uint8_t* block, int32_t length,
                                  int32_t) {
    harness_scope host;
    std::string line = event_text;
    const char* text = reinterpret_cast<const char*>(block) + 1;
    for (int i = 0; i < block[0] && text < reinterpret_cast<const char*>(block) + length; ++i) {
        line += "|";
        line += text;
        text += std::strlen(text) + 1;
    }
    {
        std::lock_guard<std::mutex> hold(g_events_lock);
        g_events.push_back(line);
    }
    if (std::strcmp(event_text, "Disconnect") == 0 && line.rfind("Disconnect|127.8.", 0) == 0) {
        ++g_host_held;
        g_host_gate.wait(60000);  // only a guard against a hang
    }
    return 1;
}

void note_trace(const char* message, int32_t) {
    if (std::strcmp(message, "One or more client threads did not exit") == 0)
        ++g_threads_waited_out;
    if (std::strcmp(message, "No memory for the connection") == 0 ||
        std::strcmp(message, "Couldn't start client thread") == 0)
        ++g_turned_away_for_want;
    if (std::strncmp(message, "Connection accepted", 19) == 0 && g_accept_armed.exchange(false)) {
        harness_scope host;
        g_accept_gate.wait(60000);  // only a guard against a hang
        g_allocation_countdown = g_batch_countdown.load();
    }
}

int quiet_message_box(const char*, const char*) {
    return 1;
}

void write_u32(const platform::registry_key& key, const char* name, uint32_t value) {
    unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    platform::registry_set(key, name, platform::REGISTRY_BINARY, bytes, 4);
}

void write_text(const platform::registry_key& key, const char* name, const char* text) {
    platform::registry_set(key, name, platform::REGISTRY_SZ, text,
                           static_cast<uint32_t>(std::strlen(text) + 1));
}

// Greeting and answer; true when the server accepted the login.
bool log_in(test_client& client, const char* password) {
    if (!client.send_text("vellumorchid\n"))
        return false;
    std::string cookie = client.receive_once(CLIENT_TIMEOUT_MS);
    if (cookie.size() != 5)
        return false;
    if (!client.send_text(login_answer(cookie.substr(0, 4), password) + "\n"))
        return false;
    return client.receive_once(CLIENT_TIMEOUT_MS) == "accept\n";
}

class failure_sweep : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::net_fail_exempt_this_thread(true);
        platform::registry_fake_clear();
        port_ = free_loopback_port();
        platform::registry_key key;
        ASSERT_TRUE(platform::registry_create(LIST_KEY, &key));
        write_text(key, "AccessList000", "127.0.0.1");
        write_text(key, "AccessList001", "127.0.0.2");
        ASSERT_TRUE(platform::registry_create(MAIN_KEY, &key));
        write_u32(key, "AllowAll", 0);
        write_u32(key, "Port", port_);
        write_text(key, "Password", PASSWORD);
        key.close();
        host_record_compose(record_, sweep_translate, sweep_trigger);
        platform::message_box_set_hook(quiet_message_box);
        trace_set_hook(note_trace);
    }
    void TearDown() override {
        trace_set_hook(nullptr);
        platform::message_box_set_hook(nullptr);
        platform::registry_fake_clear();
        host_record_forget();
    }

  public:
    // The host's session and three clients; what fails along the way is the plug-in's to
    // survive, so nothing is asserted about the protocol here.
    void run_scenario() {
        abuse_state_reset();
        repeat_offenders_reset();
        settings.port = port_;
        {
            plugin_scope plugin;
            qvl_open(0, 0, 0, record_);
        }
        int started;
        {
            plugin_scope plugin;
            started = qvl_start();
        }
        if (started) {
            {
                test_client client;
                if (client.connect(port_, "127.0.0.1") && log_in(client, PASSWORD)) {
                    client.send_text(
                        "payload kitchen\npayload 21.5\nTemperature\npayload x\nHumidity\n");
                    client.send_text("close\n");
                }
                client.wait_closed(CLIENT_TIMEOUT_MS);
            }
            {
                // Not on the access list. It sends nothing and ends its side at once, so that a
                // run in which it is admitted all the same ends without a wait.
                test_client refused;
                if (refused.connect(port_, "127.0.0.3")) {
                    platform::net_shutdown_send(refused.socket());
                    refused.wait_closed(CLIENT_TIMEOUT_MS);
                }
            }
            {
                test_client wrong;
                if (wrong.connect(port_, "127.0.0.2"))
                    log_in(wrong, "not-the-password");
                wrong.wait_closed(CLIENT_TIMEOUT_MS);
            }
        }
        {
            plugin_scope plugin;
            qvl_stop();
        }
        {
            plugin_scope plugin;
            qvl_close();
        }
    }

    size_t count_events(const std::string& prefix) {
        std::lock_guard<std::mutex> hold(g_events_lock);
        size_t count = 0;
        for (const std::string& line : g_events)
            count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return count;
    }

    // Every place taken by a crowd of single connections, and the threads of
    // MAX_PENDING_ENDING displaced ones held by the host: a batch of four newcomers then
    // displaces within itself, each the one before it, while the n-th allocation from its
    // first arrival on fails.
    void run_batch_scenario() {
        abuse_state_reset();
        repeat_offenders_reset();
        {
            std::lock_guard<std::mutex> hold(g_events_lock);
            g_events.clear();
        }
        g_host_held = 0;
        g_host_gate.reset();
        settings.port = port_;
        int started;
        {
            plugin_scope plugin;
            qvl_open(0, 0, 0, record_);
            started = qvl_start();
        }
        std::vector<std::unique_ptr<test_client>> clients;
        auto connect = [&](const std::string& address) {
            clients.push_back(std::make_unique<test_client>());
            return clients.back()->connect(port_, address.c_str());
        };
        // One short of every thread taken: the first of the batch displaces a connection with a
        // thread, which takes the last; each later one displaces the one before it.
        constexpr uint32_t DISPLACING = MAX_PENDING_ENDING - 1;
        bool ready = started != 0;
        for (uint32_t n = 0; ready && n < MAX_PENDING_TOTAL; ++n)
            ready = connect("127.8." + std::to_string(n / 250) + "." + std::to_string(1 + n % 250));
        ready = ready &&
                poll_until(
                    [&] { return count_events("Incoming connection|127.8.") == MAX_PENDING_TOTAL; },
                    POLL_MS);
        for (uint32_t n = 0; ready && n < DISPLACING; ++n)
            ready = connect("127.9.0." + std::to_string(1 + n));
        ready = ready && poll_until([] { return g_host_held.load() == DISPLACING; }, POLL_MS);
        EXPECT_TRUE(ready || !started);
        if (ready) {
            g_accept_gate.reset();
            g_turned_away_for_want = 0;
            g_accept_armed = true;
            for (int n = 0; n < 4; ++n)
                connect("127.9.1." + std::to_string(1 + n));
            g_accept_gate.set();
            // The last of the batch gets a thread and its "Incoming connection", unless a
            // failure turned it away; the others are closed without one. Whatever fails, no
            // more than one of them is let in.
            EXPECT_TRUE(poll_until(
                [&] {
                    return count_events("Incoming connection|127.9.1.4") == 1 ||
                           g_turned_away_for_want.load() > 0;
                },
                POLL_MS));
            // Each of the batch is let in or closed, none left hanging.
            for (size_t n = 0; n < 4; ++n) {
                test_client& client = *clients[clients.size() - 4 + n];
                std::string incoming = "Incoming connection|127.9.1." + std::to_string(1 + n);
                EXPECT_TRUE(poll_until(
                    [&] { return count_events(incoming) == 1 || client.wait_closed(20); }, POLL_MS))
                    << n;
            }
            EXPECT_LE(count_events("Incoming connection|127.9.1."), 1u);
        }
        g_host_gate.set();
        {
            plugin_scope plugin;
            qvl_stop();
            qvl_close();
        }
    }

  protected:
    // With nothing failing: the plug-in opens, starts and serves a client's event.
    bool serves_a_client() {
        {
            std::lock_guard<std::mutex> hold(g_events_lock);
            g_events.clear();
        }
        abuse_state_reset();
        repeat_offenders_reset();
        settings.port = port_;
        bool served = false;
        if (qvl_open(0, 0, 0, record_) == 1 && qvl_start() == 1) {
            test_client client;
            if (client.connect(port_, "127.0.0.1") && client.log_in(PASSWORD)) {
                client.send_text("payload p\nEv\nclose\n");
                client.wait_closed();
                std::lock_guard<std::mutex> hold(g_events_lock);
                for (const std::string& line : g_events)
                    served = served || line == "Ev|127.0.0.1|p";
            }
        }
        qvl_stop();
        qvl_close();
        return served;
    }

    // Runs the scenario with the n-th call failing, for n = 0, 1, ... until a run meets no
    // failure; returns the number of failure points.
    template <typename Arm, typename Pending, typename Disarm>
    int sweep(const char* kind, Arm arm, Pending pending, Disarm disarm,
              void (failure_sweep::*scenario)() = &failure_sweep::run_scenario) {
        for (int n = 0; n < RUNS_MAX; ++n) {
            g_threads_waited_out = 0;
            arm(n);
            (this->*scenario)();
            bool met = !pending();
            disarm();
            EXPECT_EQ(g_threads_waited_out.load(), 0) << kind << " failure " << n;
            if (!serves_a_client()) {
                ADD_FAILURE() << "not usable after " << kind << " failure " << n;
                return n;
            }
            if (!met) {
                std::printf("%s sweep: %d failure points\n", kind, n);
                return n;
            }
        }
        ADD_FAILURE() << kind << " sweep did not end";
        return RUNS_MAX;
    }

    uint16_t port_ = 0;
    uint8_t record_[HOST_RECORD_SIZE];
};

}  // namespace

TEST_F(failure_sweep, every_allocation_can_fail) {
    ASSERT_TRUE(serves_a_client());
    int points = sweep(
        "allocation", [](int n) { g_allocation_countdown = n; },
        [] { return g_allocation_countdown.load() >= 0; }, [] { g_allocation_countdown = -1; });
    EXPECT_GT(points, 10);
}

TEST_F(failure_sweep, every_allocation_in_a_batch_that_displaces_within_itself_can_fail) {
    ASSERT_TRUE(platform::process_allow_open_handles(4 * MAX_PENDING_THREADS));
    ASSERT_TRUE(serves_a_client());
    platform::registry_key key;
    ASSERT_TRUE(platform::registry_create(MAIN_KEY, &key));
    write_u32(key, "AllowAll", 1);
    key.close();
    int points = sweep(
        "batch allocation", [](int n) { g_batch_countdown = n; },
        [] { return g_allocation_countdown.load() >= 0; },
        [] {
            g_batch_countdown = -1;
            g_allocation_countdown = -1;
        },
        &failure_sweep::run_batch_scenario);
    EXPECT_GT(points, 4);
}

TEST_F(failure_sweep, every_socket_call_can_fail) {
    ASSERT_TRUE(serves_a_client());
    int points = sweep(
        "socket", [](int n) { platform::net_fail_after(n); },
        [] { return platform::net_fail_pending(); }, [] { platform::net_fail_after(-1); });
    EXPECT_GT(points, 10);
}

TEST_F(failure_sweep, every_registry_read_can_fail) {
    ASSERT_TRUE(serves_a_client());
    for (platform::registry_call call :
         {platform::registry_call::open_read, platform::registry_call::query}) {
        int points = sweep(
            call == platform::registry_call::open_read ? "registry open" : "registry query",
            [call](int n) { platform::registry_fail_calls(call, n, 1); },
            [call] { return platform::registry_fail_pending(call); },
            [] { platform::registry_fail_reset(); });
        EXPECT_GT(points, 0);
    }
}
