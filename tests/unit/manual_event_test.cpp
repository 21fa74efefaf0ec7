// The platform's manual-reset event: polls, timed waits and waiters released from another
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

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
// set. A waiter that is never released keeps the shared state alive and fails the join.
TEST(ManualEvent, SetReleasesEveryWaiter) {
    struct shared {
        platform::manual_event event{false};
        std::atomic<int> released{0};
    };
    struct waiter {
        std::shared_ptr<shared> state;
        uint32_t limit;
    };
    auto state = std::make_shared<shared>();
    auto body = [](void* argument) -> unsigned {
        std::unique_ptr<waiter> own(static_cast<waiter*>(argument));
        if (own->state->event.wait(own->limit))
            ++own->state->released;
        return 0;
    };
    platform::thread_handle threads[2];
    uint32_t limits[2] = {platform::WAIT_FOREVER, 60000};
    for (int i = 0; i < 2; ++i) {
        threads[i] = platform::thread_start(body, new waiter{state, limits[i]});
        ASSERT_TRUE(threads[i]);
    }
    ASSERT_TRUE(poll_until([&] { return state->event.waiters() == 2; }, 10000));
    EXPECT_EQ(state->released.load(), 0);
    state->event.set();
    for (platform::thread_handle& thread : threads)
        EXPECT_TRUE(thread.wait(10000));
    EXPECT_EQ(state->released.load(), 2);
}
