// Admission and the abuse block, with the tick count and the lookups answered by seams.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "access/access_list.h"
#include "access/admission.h"
#include "access/rule_matching.h"
#include "module/settings.h"
#include "platform/adapter_status.h"
#include "platform/tick.h"

namespace {

constexpr platform::ipv4_address A{{10, 0, 0, 1}};
constexpr platform::ipv4_address B{{10, 0, 0, 2}};
constexpr platform::ipv4_address C{{10, 0, 0, 3}};

std::atomic<uint32_t> g_tick{0};
uint32_t fake_tick() {
    return g_tick.load();
}

std::atomic<int> g_lookups{0};
int counting_lookup(const char*, platform::address_visitor, void*) {
    ++g_lookups;
    return 0;
}

class Admission : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::tick_set_source(fake_tick);
        match_host_name_set_lookup(counting_lookup);
        g_tick = 1000000;
        g_lookups = 0;
        abuse_state_reset();
        access_list_clear();
        settings.allow_all = 1;
        settings.disable_abuse_protection = 0;
    }
    void TearDown() override {
        platform::tick_set_source(nullptr);
        match_host_name_set_lookup(nullptr);
        abuse_state_reset();
        access_list_clear();
        settings.allow_all = 1;
        settings.disable_abuse_protection = 0;
    }
};

TEST_F(Admission, FirstFailureBlocksForOneStep) {
    const uint32_t t = g_tick;
    abuse_note_failure("10.0.0.1");
    EXPECT_EQ(admit_client(A), 0);
    EXPECT_EQ(admit_client(B), 1);
    g_tick = t + 4999;
    EXPECT_EQ(admit_client(A), 0);
    g_tick = t + 5000;
    EXPECT_EQ(admit_client(A), 1);
    // The offender and the count stay once the window is over.
    abuse_state state = abuse_state_copy();
    EXPECT_STREQ(state.last_offender, "10.0.0.1");
    EXPECT_EQ(state.failure_count, 1u);
    EXPECT_EQ(state.last_failure_tick, t);
}

TEST_F(Admission, ConsecutiveFailuresLengthenTheBlock) {
    abuse_note_failure("10.0.0.1");
    g_tick += 6000;
    abuse_note_failure("10.0.0.1");
    g_tick += 11000;
    const uint32_t third = g_tick;
    abuse_note_failure("10.0.0.1");
    g_tick = third + 3 * 5000 - 1;
    EXPECT_EQ(admit_client(A), 0);
    g_tick = third + 3 * 5000;
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, WindowRunsAcrossTheTickWrap) {
    const uint32_t t = 0xFFFFFFFFu - 1000;
    g_tick = t;
    abuse_note_failure("10.0.0.1");
    g_tick = t + 4999;  // wrapped round to 3998
    ASSERT_LT(g_tick.load(), t);
    EXPECT_EQ(admit_client(A), 0);
    g_tick = t + 5000;
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, RefusedAttemptsDoNotLengthenTheBlock) {
    const uint32_t t = g_tick;
    abuse_note_failure("10.0.0.1");
    for (uint32_t at = t; at < t + 5000; at += 500) {
        g_tick = at;
        EXPECT_EQ(admit_client(A), 0);
    }
    g_tick = t + 5000;
    EXPECT_EQ(admit_client(A), 1);
    EXPECT_EQ(abuse_state_copy().failure_count, 1u);
}

TEST_F(Admission, AlternatingOffendersShareTheCount) {
    const platform::ipv4_address order[] = {A, B, A, B};
    const char* texts[] = {"10.0.0.1", "10.0.0.2", "10.0.0.1", "10.0.0.2"};
    for (int i = 0; i < 4; ++i) {
        const uint32_t failed_at = g_tick;
        abuse_note_failure(texts[i]);
        const platform::ipv4_address other = order[(i + 1) % 2];
        EXPECT_EQ(admit_client(other), 1) << "failure " << i + 1 << " frees the other address";
        g_tick = failed_at + (i + 1) * 5000 - 1;
        EXPECT_EQ(admit_client(order[i]), 0) << "failure " << i + 1;
        g_tick = failed_at + (i + 1) * 5000;
        EXPECT_EQ(admit_client(order[i]), 1) << "failure " << i + 1;
        g_tick = failed_at + 200;  // the next failure comes while this block still runs
    }
    EXPECT_EQ(abuse_state_copy().failure_count, 4u);
}

TEST_F(Admission, SuccessFromAnyoneLiftsTheBlock) {
    abuse_note_failure("10.0.0.1");
    abuse_note_failure("10.0.0.1");
    ASSERT_EQ(admit_client(A), 0);
    abuse_note_success();  // from C, which never failed; the address plays no part
    EXPECT_EQ(admit_client(A), 1);
    abuse_state state = abuse_state_copy();
    EXPECT_STREQ(state.last_offender, "");
    EXPECT_EQ(state.failure_count, 0u);
    // Counting starts afresh.
    const uint32_t t = g_tick;
    abuse_note_failure("10.0.0.1");
    g_tick = t + 5000;
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, DisabledProtectionOnlySkipsTheBlock) {
    settings.disable_abuse_protection = 1;
    const uint32_t t = g_tick;
    abuse_note_failure("10.0.0.1");
    EXPECT_EQ(admit_client(A), 1);
    abuse_note_failure("10.0.0.1");
    EXPECT_EQ(admit_client(A), 1);
    EXPECT_EQ(abuse_state_copy().failure_count, 2u);
    // Still judged by allow_all and the rules.
    settings.allow_all = 0;
    EXPECT_EQ(admit_client(A), 0);
    access_list_append("10.0.0.1");
    EXPECT_EQ(admit_client(A), 1);
    // Turning protection back on makes the running window count at once.
    settings.disable_abuse_protection = 0;
    g_tick = t + 9999;
    EXPECT_EQ(admit_client(A), 0);
    g_tick = t + 10000;
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, BlockComesBeforeAllowAll) {
    abuse_note_failure("10.0.0.1");
    EXPECT_EQ(admit_client(A), 0);
    EXPECT_EQ(admit_client(B), 1);
    EXPECT_EQ(admit_client({{10, 0, 0, 10}}), 1);  // a longer text with the offender's start
}

TEST_F(Admission, AccessListDecidesWhileAllowAllIsOff) {
    settings.allow_all = 0;
    EXPECT_EQ(admit_client(A), 0);  // empty list: everyone refused
    EXPECT_EQ(admit_client(B), 0);
    access_list_append("10.0.0.2");
    access_list_append("10.0.1.0/24");
    EXPECT_EQ(admit_client(A), 0);
    EXPECT_EQ(admit_client(B), 1);
    EXPECT_EQ(admit_client({{10, 0, 1, 77}}), 1);
    settings.allow_all = 1;
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, FirstMatchingRuleEndsTheWalk) {
    settings.allow_all = 0;
    access_list_append("10.0.0.0/8");
    access_list_append("/slow-name");
    EXPECT_EQ(admit_client(A), 1);
    EXPECT_EQ(g_lookups, 0);  // the host-name rule behind the match is never tried
    EXPECT_EQ(admit_client({{11, 0, 0, 1}}), 0);
    EXPECT_EQ(g_lookups, 1);
    // Nothing is looked up at all while allow_all admits.
    settings.allow_all = 1;
    EXPECT_EQ(admit_client({{11, 0, 0, 1}}), 1);
    EXPECT_EQ(g_lookups, 1);
}

TEST_F(Admission, VeryManyFailuresNeverShortenTheWindow) {
    // 858,994 x 5000 passes 2^32: a product that wrapped would leave a window of 2704 ms.
    for (int i = 0; i < 858994; ++i)
        abuse_note_failure("10.0.0.1");
    const uint32_t t = g_tick;
    ASSERT_EQ(abuse_state_copy().failure_count, 858994u);
    g_tick = t + 3000;
    EXPECT_EQ(admit_client(A), 0);
    g_tick = t + 0x80000000u;
    EXPECT_EQ(admit_client(A), 0);
    abuse_note_success();
    EXPECT_EQ(admit_client(A), 1);
}

TEST_F(Admission, TextThatIsNoAddressIsCountedButBlocksNobody) {
    abuse_note_failure("10.0.0.1");
    abuse_note_failure("255.255.255.255.1");  // 17 characters: no client has such a text
    abuse_state state = abuse_state_copy();
    EXPECT_EQ(state.failure_count, 2u);
    EXPECT_STREQ(state.last_offender, "");
    EXPECT_EQ(admit_client(A), 1);
    abuse_note_failure("255.255.255.255");  // the longest real address text is kept
    EXPECT_EQ(admit_client({{255, 255, 255, 255}}), 0);
}

std::mutex g_gate_lock;
std::condition_variable g_gate;
bool g_in_lookup = false;
bool g_release_lookup = false;

// The first lookup blocks until released; later ones fail at once.
int blocking_lookup(const char*, platform::address_visitor, void*) {
    std::unique_lock<std::mutex> hold(g_gate_lock);
    if (g_in_lookup)
        return 0;
    g_in_lookup = true;
    g_gate.notify_all();
    g_gate.wait_for(hold, std::chrono::seconds(10), [] { return g_release_lookup; });
    return 0;
}

TEST_F(Admission, NoLockIsHeldDuringALookup) {
    settings.allow_all = 0;
    access_list_append("/blocking");
    match_host_name_set_lookup(blocking_lookup);
    g_in_lookup = g_release_lookup = false;
    auto admitted = std::async(std::launch::async, [] { return admit_client(A); });
    {
        std::unique_lock<std::mutex> hold(g_gate_lock);
        ASSERT_TRUE(g_gate.wait_for(hold, std::chrono::seconds(10), [] { return g_in_lookup; }));
    }
    // While the lookup blocks, the list, the abuse record and other admissions go on.
    auto others = std::async(std::launch::async, [] {
        access_entry* entry = access_list_append("10.0.0.2");
        abuse_note_failure("10.0.0.3");
        int b_admitted = admit_client(B);
        access_list_remove(entry);
        access_list_clear();
        abuse_note_success();
        return b_admitted;
    });
    bool finished = others.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> hold(g_gate_lock);
        g_release_lookup = true;
    }
    g_gate.notify_all();
    EXPECT_TRUE(finished);
    EXPECT_EQ(others.get(), 1);
    EXPECT_EQ(admitted.get(), 0);
}

}  // namespace
