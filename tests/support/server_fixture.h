// A running server for integration tests: the recording host installed, a known password,
// every address allowed, the abuse record cleared, and the listener on a free port. Traces of
// the listener are recorded. The server is stopped when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/recording_host.h"
#include "tests/support/test_client.h"

constexpr const char* TEST_PASSWORD = "Secret-99";

std::vector<std::string> recorded_traces();
size_t count_traces(const std::string& message);
void clear_traces();

// Checks condition every few milliseconds until it holds (true) or timeout_ms has passed
// (false): the way to wait for another thread's progress without guessing a pause.
bool poll_until(const std::function<bool()>& condition, uint32_t timeout_ms);

class server_test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void stop_server();
    uint16_t port() const { return port_; }
    // Events recorded so far, as "text|payload1|payload2..." lines.
    std::vector<std::string> event_lines();
    // Waits until count events were recorded, then returns them as lines.
    std::vector<std::string> wait_event_lines(size_t count);

  private:
    uint16_t port_ = 0;
    bool running_ = false;
};
