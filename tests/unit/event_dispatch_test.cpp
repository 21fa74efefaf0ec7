// Payload blocks and the hand-over of events to the host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "module/host_record.h"
#include "module/module_state.h"
#include "server/event_dispatch.h"
#include "tests/support/recording_host.h"

namespace {

std::vector<const char*> pointers(const std::vector<std::string>& texts) {
    std::vector<const char*> result;
    for (const auto& text : texts)
        result.push_back(text.c_str());
    return result;
}

// Builds the block; returns its bytes (empty when the texts did not fit).
std::vector<uint8_t> block_of(const std::vector<std::string>& texts) {
    uint8_t block[PAYLOAD_BLOCK_BUFFER];
    std::vector<const char*> list = pointers(texts);
    int length = build_payload_block(static_cast<int>(list.size()), list.data(), block);
    return std::vector<uint8_t>(block, block + length);
}

std::vector<uint8_t> bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

TEST(PayloadBlock, Layout) {
    using namespace std::string_literals;
    struct {
        std::vector<std::string> texts;
        std::vector<uint8_t> expected;
    } const cases[] = {
        {{}, {0}},
        {{"10.0.0.7"},
         bytes("\x01"s
               "10.0.0.7\0"s)},
        {{"1.2.3.4", "", "x"},
         bytes("\x03"s
               "1.2.3.4\0"s
               "\0"s
               "x\0"s)},
        {{""}, {1, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(block_of(c.texts), c.expected) << c.texts.size();
}

// At least one byte of the 1023 for the texts stays free: texts that take exactly 1022
// bytes fit (block length 1023), one byte more drops the event.
TEST(PayloadBlock, CapacityBoundary) {
    struct {
        std::vector<size_t> lengths;  // text lengths, each text also takes its zero byte
        size_t expected;              // block length, 0 when dropped
    } const cases[] = {
        {{1021}, 1023},
        {{1022}, 0},
        {{510, 510}, 1023},
        {{510, 511}, 0},
        {{0, 1020}, 1023},
        {{0, 1021}, 0},
        {{100000}, 0},  // far too long: the capacity must not
                        // wrap
        {{1020, 0}, 1023},
        {{1020, 0, 0}, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        for (size_t length : c.lengths)
            texts.emplace_back(length, 'p');
        std::vector<uint8_t> block = block_of(texts);
        EXPECT_EQ(block.size(), c.expected) << c.lengths.size() << " texts, first " << c.lengths[0];
        if (!block.empty()) {
            EXPECT_EQ(block[0], static_cast<uint8_t>(c.lengths.size()));
            EXPECT_EQ(block.back(), 0);
        }
    }
}

TEST(PayloadBlock, CountKeepsOnlyItsLowEightBits) {
    for (int count : {255, 256, 257, 300}) {
        std::vector<std::string> texts(static_cast<size_t>(count), "");
        std::vector<uint8_t> block = block_of(texts);
        ASSERT_EQ(block.size(), static_cast<size_t>(count) + 1) << count;
        EXPECT_EQ(block[0], static_cast<uint8_t>(count & 0xFF)) << count;
    }
}

class RaiseEvent : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(recording_host_install(), 1);
        recording_host_clear();
    }
    void TearDown() override {
        host_record_forget();
        recording_host_clear();
    }
};

TEST_F(RaiseEvent, ReachesTheHostWithBlockAndDevice) {
    const char* texts[] = {"10.0.0.7", "", "payload two"};
    raise_event("Switch Lamp", 3, texts);
    ASSERT_EQ(recording_host_event_count(), 1u);
    recorded_event event = recording_host_events()[0];
    EXPECT_EQ(event.event_text, "Switch Lamp");
    EXPECT_EQ(event.device, DEVICE_NUMBER);
    EXPECT_EQ(event.block_length, 1 + 9 + 1 + 12);
    EXPECT_EQ(event.block.size(), static_cast<size_t>(event.block_length));
    EXPECT_EQ(event.payloads(), (std::vector<std::string>{"10.0.0.7", "", "payload two"}));
}

TEST_F(RaiseEvent, WithoutPayloadsTheBlockIsOneZeroByte) {
    raise_event("Bare", 0, nullptr);
    ASSERT_EQ(recording_host_event_count(), 1u);
    recorded_event event = recording_host_events()[0];
    EXPECT_EQ(event.block, std::vector<uint8_t>{0});
    EXPECT_EQ(event.block_length, 1);
}

TEST_F(RaiseEvent, WithAddress) {
    raise_event_with_address("Incoming connection", "127.0.0.1");
    ASSERT_TRUE(recording_host_wait_for_events(1, 5000));
    recorded_event event = recording_host_events()[0];
    EXPECT_EQ(event.event_text, "Incoming connection");
    EXPECT_EQ(event.payloads(), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(event.block_length, 11);
}

TEST_F(RaiseEvent, OversizedPayloadsDropTheEventSilently) {
    std::string too_long(1022, 'x');
    const char* texts[] = {"127.0.0.1", too_long.c_str()};
    raise_event("Dropped", 2, texts);
    raise_event("Kept", 1, texts);
    std::vector<recorded_event> events = recording_host_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event_text, "Kept");
}

TEST_F(RaiseEvent, TheEventTextItselfIsNotLimited) {
    std::string long_event(5000, 'e');
    raise_event(long_event.c_str(), 0, nullptr);
    ASSERT_EQ(recording_host_event_count(), 1u);
    EXPECT_EQ(recording_host_events()[0].event_text, long_event);
}

// Client threads raise events at the same time; each call uses its own block, and the test
// waits for all of them without polling.
TEST_F(RaiseEvent, ConcurrentCallersAreAllRecorded) {
    const int threads = 4, per_thread = 50;
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([t] {
            std::string address = "127.0.0." + std::to_string(t + 1);
            for (int k = 0; k < per_thread; ++k) {
                std::string payload = std::to_string(k);
                const char* texts[] = {address.c_str(), payload.c_str()};
                raise_event("Concurrent", 2, texts);
            }
        });
    }
    EXPECT_TRUE(recording_host_wait_for_events(threads * per_thread, 10000));
    for (auto& caller : callers)
        caller.join();
    std::vector<recorded_event> events = recording_host_events();
    ASSERT_EQ(events.size(), static_cast<size_t>(threads * per_thread));
    std::vector<int> next(threads, 0);  // each thread's events arrive in its own order
    for (const auto& event : events) {
        std::vector<std::string> payloads = event.payloads();
        ASSERT_EQ(payloads.size(), 2u);
        int t = payloads[0].back() - '1';
        ASSERT_TRUE(t >= 0 && t < threads) << payloads[0];
        EXPECT_EQ(payloads[1], std::to_string(next[t]++));
    }
    EXPECT_FALSE(recording_host_wait_for_events(threads * per_thread + 1, 50));
}

TEST_F(RaiseEvent, WithoutAHostNothingIsCalled) {
    host_record_forget();
    raise_event_with_address("Nobody listens", "1.2.3.4");
    EXPECT_EQ(recording_host_event_count(), 0u);
}

}  // namespace
