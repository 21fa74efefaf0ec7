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

// Waiters without a limit and with a long one, both already waiting, are released by one
// set: the set comes only after both have announced their wait and a timed wait of the test's
// own has run out, so the waiters are blocked in the wait, not about to enter it.
TEST(ManualEvent, SetReleasesEveryWaiter) {
    platform::manual_event event(false);
    std::atomic<int> waiting{0};
    std::atomic<int> released{0};
    auto waiter = [&](uint32_t limit) {
        return std::thread([&, limit] {
            ++waiting;
            if (event.wait(limit))
                ++released;
        });
    };
    std::thread forever = waiter(platform::WAIT_FOREVER);
    std::thread timed = waiter(60000);
    while (waiting.load() < 2)
        std::this_thread::yield();
    EXPECT_FALSE(event.wait(100));
    EXPECT_EQ(released.load(), 0);  // nobody leaves before the set
    event.set();
    forever.join();
    timed.join();
    EXPECT_EQ(released.load(), 2);
}
