#include "tests/support/server_fixture.h"

#include <chrono>
#include <mutex>

#include "access/admission.h"
#include "access/known_addresses.h"
#include "access/repeat_offenders.h"
#include "module/settings.h"
#include "platform/thread.h"
#include "server/listener.h"
#include "server/trace.h"

namespace {
std::mutex g_trace_lock;
std::vector<std::string> g_traces;

void record_trace(const char* message, int32_t) {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    g_traces.emplace_back(message);
}
}  // namespace

std::vector<std::string> recorded_traces() {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    return g_traces;
}

size_t count_traces(const std::string& message) {
    size_t count = 0;
    for (const std::string& trace_text : recorded_traces())
        count += trace_text == message;
    return count;
}

void clear_traces() {
    std::lock_guard<std::mutex> hold(g_trace_lock);
    g_traces.clear();
}

bool poll_until(const std::function<bool()>& condition, uint32_t timeout_ms) {
    // The real clock: tests may replace the plug-in's tick count.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        platform::sleep_ms(5);
    }
    return true;
}

void server_test::SetUp() {
    ASSERT_EQ(recording_host_install(), 1);
    recording_host_clear();
    clear_traces();
    trace_set_hook(record_trace);
    settings_password_set(TEST_PASSWORD);
    settings.allow_all = 1;
    settings.disable_abuse_protection = 0;
    abuse_state_reset();
    repeat_offenders_reset();
    known_addresses_reset();
    ASSERT_EQ(server_start(0), 1);
    running_ = true;
    port_ = server_listening_port();
    ASSERT_NE(port_, 0);
}

void server_test::TearDown() {
    stop_server();
}

void server_test::stop_server() {
    if (!running_)
        return;
    server_stop();
    running_ = false;
}

std::vector<std::string> server_test::event_lines() {
    std::vector<std::string> lines;
    for (const recorded_event& event : recording_host_events()) {
        std::string line = event.event_text;
        for (const std::string& payload : event.payloads())
            line += "|" + payload;
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> server_test::wait_event_lines(size_t count) {
    recording_host_wait_for_events(count, TEST_READ_TIMEOUT_MS);
    return event_lines();
}
