// The repeat-offender record: the fifth failure within the window starts the refusal, the
// refusal's end, failures that leave the window, a matching answer taken back, a success
// clearing the record, a full table forgetting its oldest, and the switch at admission.
#include <gtest/gtest.h>

#include <atomic>
#include <utility>
#include <vector>

#include "access/abuse_state.h"
#include "access/admission.h"
#include "access/repeat_offenders.h"
#include "module/settings.h"
#include "platform/tick.h"

namespace {

constexpr platform::ipv4_address A{{10, 0, 0, 1}};
constexpr platform::ipv4_address B{{10, 0, 0, 2}};
constexpr uint32_t WINDOW = REPEAT_OFFENDER_WINDOW_MS;
constexpr uint32_t REFUSAL = REPEAT_OFFENDER_REFUSAL_MS;
// Just before the tick count wraps, so every case also runs across the wrap.
constexpr uint32_t START = 0xFFFFFFFFu - 1000u;

std::atomic<uint32_t> g_tick{0};
uint32_t fake_tick() {
    return g_tick.load();
}

enum class op { answer, refused_answer, take_back, success, refused, admitted };
struct step {
    op what;
    platform::ipv4_address address;
    uint32_t at;  // ms after START
    int times = 1;
};
struct record_case {
    const char* name;
    std::vector<step> steps;
};

class RepeatOffenders : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::tick_set_source(fake_tick);
        repeat_offenders_reset();
        abuse_state_reset();
        settings.allow_all = 1;
        settings.disable_abuse_protection = 0;
    }
    void TearDown() override {
        platform::tick_set_source(nullptr);
        repeat_offenders_reset();
    }
};

TEST_F(RepeatOffenders, RefusesTheFifthFailureWithinTheWindowForTheRefusalTime) {
    using o = op;
    const record_case cases[] = {
        {"four failures change nothing", {{o::answer, A, 0, 4}, {o::admitted, A, 1}}},
        {"the fifth is compared, then refused",
         {{o::answer, A, 0, 5},
          {o::refused, A, 1},
          {o::refused_answer, A, 2},
          {o::admitted, B, 3}}},
        {"the refusal ends after its time, from the fifth",
         {{o::answer, A, 0, 4},
          {o::answer, A, 5000},
          {o::refused, A, 5000 + REFUSAL - 1},
          {o::admitted, A, 5000 + REFUSAL},
          {o::answer, A, 5000 + REFUSAL}}},
        {"two addresses in turn are each counted",
         {{o::answer, A, 0},
          {o::answer, B, 1},
          {o::answer, A, 2},
          {o::answer, B, 3},
          {o::answer, A, 4},
          {o::answer, B, 5},
          {o::answer, A, 6},
          {o::answer, B, 7},
          {o::answer, A, 8},
          {o::answer, B, 9},
          {o::refused, A, 10},
          {o::refused, B, 10}}},
        {"failures that left the window do not count",
         {{o::answer, A, 0, 4}, {o::answer, A, WINDOW}, {o::admitted, A, WINDOW}}},
        {"a matching fifth answer is taken back",
         {{o::answer, A, 0, 5}, {o::take_back, A, 1}, {o::admitted, A, 2}}},
        {"a success clears the record",
         {{o::answer, A, 0, 4}, {o::success, A, 1}, {o::answer, A, 2, 4}, {o::admitted, A, 3}}},
    };
    for (const record_case& each : cases) {
        SCOPED_TRACE(each.name);
        repeat_offenders_reset();
        int n = 0;
        for (const step& s : each.steps) {
            SCOPED_TRACE(n++);
            g_tick = START + s.at;
            for (int i = 0; i < s.times; ++i) {
                switch (s.what) {
                    case op::answer:
                    case op::refused_answer:
                        EXPECT_EQ(repeat_offenders_count_answer(s.address), s.what == op::answer);
                        break;
                    case op::take_back:
                        repeat_offenders_take_back(s.address);
                        break;
                    case op::success:
                        repeat_offenders_note_success(s.address);
                        break;
                    case op::refused:
                    case op::admitted:
                        EXPECT_EQ(admit_client(s.address), s.what == op::admitted ? 1 : 0);
                        break;
                }
            }
        }
    }
}

platform::ipv4_address other(uint32_t n) {
    return {{10, static_cast<uint8_t>(1 + n / 65536), static_cast<uint8_t>(n / 256),
             static_cast<uint8_t>(n)}};
}

// Fills the table: entry n fails `each` times at base + n ms, unless it is special.
void fill(int each, const std::vector<std::pair<uint32_t, std::vector<uint32_t>>>& special,
          uint32_t base = 1000) {
    for (uint32_t n = 0; n < REPEAT_OFFENDER_TABLE_SIZE; ++n) {
        std::vector<uint32_t> ticks(static_cast<size_t>(each), base + n);
        for (const auto& [index, its] : special) {
            if (index == n)
                ticks = its;
        }
        for (uint32_t at : ticks) {
            g_tick = START + at;
            ASSERT_TRUE(repeat_offenders_count_answer(other(n)));
        }
    }
}

// Which address a full table forgets for a newcomer: never the first slot as such, and never
// by the first failure.
TEST_F(RepeatOffenders, AFullTableForgetsTheFewestAndOldestFailuresFirst) {
    const struct {
        const char* name;
        int each;
        std::vector<std::pair<uint32_t, std::vector<uint32_t>>> special;
        uint32_t forgotten;
        uint32_t base = 1000;  // when the others fail
    } cases[] = {
        {"the oldest of those failing once, wherever it is", 1, {{0, {9000}}}, 1},
        {"fewer failures before an older last failure", 1, {{7, {0, 1}}}, 0},
        {"aged by the last failure, not the first", 2, {{0, {0, 9000}}}, 1},
        {"failures that left their window count as none", 1, {{7, {0, 0, 0, 0}}}, 7, WINDOW},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        repeat_offenders_reset();
        fill(each.each, each.special, each.base);
        g_tick = START + each.base + 10000;
        ASSERT_TRUE(repeat_offenders_count_answer(A));
        EXPECT_EQ(repeat_offenders_remembered(), REPEAT_OFFENDER_TABLE_SIZE);
        EXPECT_EQ(repeat_offenders_failures(other(each.forgotten)), 0u);
        for (const auto& [index, ticks] : each.special) {
            if (index != each.forgotten) {
                EXPECT_EQ(repeat_offenders_failures(other(index)), ticks.size());
            }
        }
    }
}

// The oldest entry of all is under refusal: 10 000 fresh addresses failing once each, one a
// millisecond, never free it before its refusal is served.
TEST_F(RepeatOffenders, FreshAddressesFailingOnceNeverFreeARefusedOne) {
    fill(1, {{0, {0, 0, 0, 0, 0}}});
    for (uint32_t n = 0; n < 10000; ++n) {
        g_tick = START + 10000 + n;
        ASSERT_TRUE(repeat_offenders_count_answer(other(REPEAT_OFFENDER_TABLE_SIZE + n)));
    }
    EXPECT_TRUE(repeat_offenders_refuse(other(0)));
}

TEST_F(RepeatOffenders, DisableAbuseProtectionTurnsTheRefusalOff) {
    g_tick = START;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(repeat_offenders_count_answer(A));
    abuse_note_failure("10.0.0.2");  // the one-offender block is elsewhere
    settings.allow_all = 1;
    EXPECT_EQ(admit_client(A), 0);  // even with every address allowed
    settings.disable_abuse_protection = 1;
    EXPECT_EQ(admit_client(A), 1);
    settings.disable_abuse_protection = 0;
    EXPECT_EQ(admit_client(A), 0);
}

}  // namespace
