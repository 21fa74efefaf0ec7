// The platform's manual-reset event: polls, timed waits and waiters released from another
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/thread.h"
#include "tests/support/server_fixture.h"

TEST(ManualEvent, PollFollowsSetAndResetAndATimedWaitRunsOut) {
    platform::manual_event event(false);
    ASSERT_TRUE(event.valid());
    EXPECT_FALSE(event.wait(0));
    EXPECT_FALSE(event.wait(30));
    event.set();
    EXPECT_TRUE(event.wait(0));
    EXPECT_TRUE(event.wait(0));  // manual reset: it stays set
    EXPECT_TRUE(event.wait(platform::WAIT_FOREVER));
    event.reset();
    EXPECT_FALSE(event.wait(0));
    platform::manual_event initially_set(true);
    EXPECT_TRUE(initially_set.wait(0));
}

// Waiters without a limit and with a long one, both asleep in their wait, are released by one
// set. They share the event with the test: one that is never released keeps it.
TEST(ManualEvent, SetReleasesEveryWaiter) {
    struct shared {
        platform::manual_event event{false};
        std::atomic<int> released{0};
    };
    auto state = std::make_shared<shared>();
    for (uint32_t limit : {platform::WAIT_FOREVER, 60000u}) {
        std::thread([state, limit] {
            if (state->event.wait(limit))
                ++state->released;
        }).detach();
    }
    ASSERT_TRUE(poll_until([&] { return state->event.waiters() == 2; }, 10000));
    state->event.set();
    EXPECT_TRUE(poll_until([&] { return state->released.load() == 2; }, 10000));
}
