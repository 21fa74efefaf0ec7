// The platform's manual-reset event: polls, timed waits and waiters released from another
// thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/event.h"
#include "platform/thread.h"

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

// Waiters without a limit and with a long one are both released by one set.
TEST(ManualEvent, SetReleasesEveryWaiter) {
    platform::manual_event event(false);
    std::atomic<int> released{0};
    std::thread forever([&] {
        if (event.wait(platform::WAIT_FOREVER))
            ++released;
    });
    std::thread timed([&] {
        if (event.wait(60000))
            ++released;
    });
    event.set();
    forever.join();
    timed.join();
    EXPECT_EQ(released.load(), 2);
}
