// The trace switch: off unless the environment asks for it when the server starts; on, every
// trace reaches the platform's debug output as one line with its text and number, while the
// test hook sees every trace either way.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_capture.h"
#include "platform/environment.h"
#include "server/trace.h"

namespace {

#ifdef _WIN32
// OutputDebugStringA, taken as a debugger would take it.
std::mutex g_captured_lock;
std::string g_captured;

void collect(const char* text, size_t length) {
    std::lock_guard<std::mutex> hold(g_captured_lock);
    g_captured.append(text, length);
}

template <typename Action>
std::string debug_output_of(Action action) {
    g_captured.clear();
    EXPECT_TRUE(platform::debug_capture_start(collect));
    action();
    platform::debug_capture_stop();
    std::lock_guard<std::mutex> hold(g_captured_lock);
    return g_captured;
}
#else
// Natively the debug output is standard error.
template <typename Action>
std::string debug_output_of(Action action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}
#endif

std::vector<std::string> g_hooked;

void record(const char* message, int32_t number) {
    g_hooked.push_back(std::string(message) + "|" + std::to_string(number));
}

class TraceSwitch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hooked.clear();
        trace_set_hook(record);
    }
    // Later tests in this program start servers: leave the switch off for them.
    void TearDown() override {
        trace_set_hook(nullptr);
        platform::environment_set(TRACE_SWITCH_VARIABLE, "");
        trace_read_switch();
    }
    static void switch_to(const char* value) {
        ASSERT_TRUE(platform::environment_set(TRACE_SWITCH_VARIABLE, value));
        trace_read_switch();
    }
};

TEST_F(TraceSwitch, OffByDefaultAndForEmptyOrZero) {
    for (const char* value : {"", "0"}) {
        switch_to(value);
        std::string output = debug_output_of([] { trace("bind() error", 10048); });
        EXPECT_EQ(output, "") << "SENDREL_TRACE='" << value << "'";
    }
    // The hook is the tests' view and sees every trace regardless.
    EXPECT_EQ(g_hooked, (std::vector<std::string>{"bind() error|10048", "bind() error|10048"}));
}

TEST_F(TraceSwitch, OnEveryTraceIsOneLineWithItsTextAndNumber) {
    for (const char* value : {"1", "yes"}) {
        switch_to(value);
        std::string output = debug_output_of([] {
            trace("bind() error", 10048);
            trace("Connection accepted on socket:%d from:%s", 0);
            trace("Could not create listening thread: %d", -1);
        });
        EXPECT_EQ(output,
                  "Sendrel trace: bind() error (10048)\n"
                  "Sendrel trace: Connection accepted on socket:%d from:%s (0)\n"
                  "Sendrel trace: Could not create listening thread: %d (-1)\n")
            << "SENDREL_TRACE='" << value << "'";
    }
    EXPECT_EQ(g_hooked.size(), 6u);
}

TEST_F(TraceSwitch, AConnectionsTraceNamesItsSocketAndAddress) {
    switch_to("1");
    std::string output = debug_output_of([] {
        trace_connection("Connection accepted on socket:%d from:%s", 1234, "10.0.0.7");
        trace_connection("Incorrect Password", 88, "192.168.100.200");
    });
    EXPECT_EQ(output,
              "Sendrel trace: Connection accepted on socket:1234 from:10.0.0.7 (0)\n"
              "Sendrel trace: Incorrect Password socket:88 from:192.168.100.200 (0)\n");
    EXPECT_EQ(g_hooked, (std::vector<std::string>{"Connection accepted on socket:%d from:%s|0",
                                                  "Incorrect Password|0"}));
    switch_to("");
    EXPECT_EQ(debug_output_of([] { trace_connection("Blocked connection", 1, "10.0.0.1"); }), "");
}

TEST_F(TraceSwitch, TakesEffectOnlyWhenRead) {
    switch_to("");
    ASSERT_TRUE(platform::environment_set(TRACE_SWITCH_VARIABLE, "1"));
    EXPECT_EQ(debug_output_of([] { trace("Server Stopped", 0); }), "");
    trace_read_switch();
    EXPECT_EQ(debug_output_of([] { trace("Server Stopped", 0); }),
              "Sendrel trace: Server Stopped (0)\n");
    ASSERT_TRUE(platform::environment_set(TRACE_SWITCH_VARIABLE, "0"));
    EXPECT_EQ(debug_output_of([] { trace("Server Stopped", 0); }),
              "Sendrel trace: Server Stopped (0)\n");
    trace_read_switch();
    EXPECT_EQ(debug_output_of([] { trace("Server Stopped", 0); }), "");
}

}  // namespace
