// The login cookies: never one whose right answer was seen among the last remembered, never one
// that another connection holds, and every other one equally likely.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "platform/random.h"
#include "server/login_cookies.h"

namespace {

// A random source that hands out 0, 1, 2, ... as 64-bit numbers: draw i is then the i-th value
// that may be sent, so one draw per allowed value must meet each of them exactly once.
uint64_t g_next = 0;
bool g_fails = false;
int counting_source(void* buffer, uint32_t size) {
    if (g_fails || size != sizeof g_next)
        return 0;
    std::memcpy(buffer, &g_next, sizeof g_next);
    ++g_next;
    return 1;
}

class login_cookies_test : public ::testing::Test {
  protected:
    void SetUp() override {
        login_cookies_reset();
        g_next = 0;
        g_fails = false;
        platform::random_set_source(counting_source);
    }
    void TearDown() override {
        platform::random_set_source(nullptr);
        login_cookies_reset();
    }
    // Draws a cookie whose right answer is then seen.
    static uint16_t use_one() {
        held_cookie cookie;
        cookie.answered_rightly();
        return cookie.value();
    }
    static std::vector<uint16_t> exported() {
        std::vector<uint16_t> out(USED_COOKIES_REMEMBERED);
        out.resize(used_cookies_export(out.data(), USED_COOKIES_REMEMBERED));
        return out;
    }
};

uint16_t cookie_of(uint32_t r) {
    return static_cast<uint16_t>((r * 65535u) / 32767u);
}

TEST_F(login_cookies_test, draws_each_cookie_neither_used_nor_held_exactly_once) {
    const struct {
        const char* name;
        uint32_t used;  // cookies answered rightly first
        uint32_t held;  // cookies still held by open connections
    } cases[] = {
        {"nothing used or held", 0, 0},
        {"some used and some held", 300, 700},
        {"the memory full of used cookies", USED_COOKIES_REMEMBERED, 600},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        login_cookies_reset();
        // Taken from the top of the range, so that a draw ignoring them would meet them.
        g_next = COOKIE_VALUES - each.used - each.held;
        std::set<uint16_t> excluded;
        for (uint32_t i = 0; i < each.used; ++i)
            excluded.insert(use_one());
        std::vector<std::unique_ptr<held_cookie>> holders;
        for (uint32_t i = 0; i < each.held; ++i) {
            holders.push_back(std::make_unique<held_cookie>());
            excluded.insert(holders.back()->value());
        }
        ASSERT_EQ(excluded.size(), each.used + each.held);
        uint32_t allowed = COOKIE_VALUES - each.used - each.held;
        ASSERT_EQ(login_cookies_free(), allowed);
        std::set<uint16_t> drawn;
        for (g_next = 0; g_next < allowed;)
            drawn.insert(held_cookie().value());
        EXPECT_EQ(drawn.size(), allowed);
        for (uint16_t cookie : excluded)
            EXPECT_EQ(drawn.count(cookie), 0u) << cookie;
        // Every draw was a cookie of the formula.
        for (uint16_t cookie : drawn)
            ASSERT_EQ(cookie_of(cookie == 65535 ? 32767 : cookie / 2u), cookie);
        holders.clear();
        EXPECT_EQ(login_cookies_free(), COOKIE_VALUES - each.used);
    }
}

// The oldest used cookie comes back once USED_COOKIES_REMEMBERED newer ones were used; an
// unanswered one, or one answered wrongly, comes back at once.
TEST_F(login_cookies_test, the_oldest_used_cookie_is_forgotten_first) {
    g_next = 12345;  // not the first value, which a draw past the end would meet
    uint16_t first = use_one();
    for (uint32_t i = 1; i < USED_COOKIES_REMEMBERED; ++i)
        use_one();
    std::vector<uint16_t> remembered = exported();
    ASSERT_EQ(remembered.size(), USED_COOKIES_REMEMBERED);
    EXPECT_EQ(remembered.front(), first);
    use_one();
    remembered = exported();
    EXPECT_EQ(std::count(remembered.begin(), remembered.end(), first), 0);
    EXPECT_EQ(login_cookies_free(), COOKIE_VALUES - USED_COOKIES_REMEMBERED);
    std::set<uint16_t> drawn;  // one draw for each value free: the forgotten one among them
    for (g_next = 0; g_next < login_cookies_free();)
        drawn.insert(held_cookie().value());
    EXPECT_EQ(drawn.count(first), 1u);
    { held_cookie unanswered; }
    EXPECT_EQ(login_cookies_free(), COOKIE_VALUES - USED_COOKIES_REMEMBERED);
}

// What was exported comes back whole, oldest first, into an empty memory; a list that cannot
// be such a record comes back as nothing at all; a memory that already holds cookies keeps
// its own.
TEST_F(login_cookies_test, a_restore_takes_only_a_whole_record) {
    std::vector<uint16_t> record;
    for (int i = 0; i < 100; ++i)
        record.push_back(use_one());
    ASSERT_EQ(exported(), record);
    std::vector<uint16_t> too_many(USED_COOKIES_REMEMBERED + 1);
    for (uint32_t r = 0; r < too_many.size(); ++r)
        too_many[r] = cookie_of(r);
    const struct {
        const char* name;
        std::vector<uint16_t> stored;
        bool taken;
    } cases[] = {
        {"the record", record, true},
        {"a value no cookie can have", {cookie_of(5), 0x0001}, false},
        {"a cookie twice", {cookie_of(5), cookie_of(9), cookie_of(5)}, false},
        {"more than are remembered", too_many, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        login_cookies_reset();
        EXPECT_EQ(
            used_cookies_restore(each.stored.data(), static_cast<uint32_t>(each.stored.size())),
            each.taken);
        EXPECT_EQ(exported(), each.taken ? each.stored : std::vector<uint16_t>{});
    }
    uint16_t newer = use_one();
    EXPECT_TRUE(used_cookies_restore(record.data(), static_cast<uint32_t>(record.size())));
    EXPECT_EQ(exported().back(), newer);
}

}  // namespace
