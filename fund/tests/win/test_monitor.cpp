// fund::win::monitor: waits that end when their condition holds (after a
// notification) or at their deadline, and a lock that excludes.

#include "fund/win/monitor.h"
#include "fund/win/thread.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using fund::win::monitor;
using fund::win::monitor_lock;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Monitor, WaitEndsWhenAnotherThreadMakesTheConditionTrue) {
    monitor m;
    bool ready = false;
    fund::win::thread setter;
    ASSERT_TRUE(setter.start([&] {
        Sleep(20);
        monitor_lock hold(m);
        ready = true;
        m.notify_all();
    }));
    {
        monitor_lock hold(m);
        m.wait([&] { return ready; });
        EXPECT_TRUE(ready);
    }
    setter.join();
}

TEST(Monitor, WaitUntilAnswersTheConditionAtTheDeadline) {
    monitor m;
    monitor_lock hold(m);
    // Already past: the condition decides at once.
    EXPECT_FALSE(m.wait_until(steady_clock::now() - milliseconds(1), [] { return false; }));
    EXPECT_TRUE(m.wait_until(steady_clock::now() - milliseconds(1), [] { return true; }));

    // Never true: the wait ends at its deadline, not before.
    const auto deadline = steady_clock::now() + milliseconds(60);
    int asked = 0;
    EXPECT_FALSE(m.wait_until(deadline, [&] {
        ++asked;
        return false;
    }));
    EXPECT_GE(steady_clock::now(), deadline);
    EXPECT_GE(asked, 1);
}

TEST(Monitor, WaitForTimesOutOrSeesTheNotification) {
    monitor m;
    int value = 0;
    {
        monitor_lock hold(m);
        const auto begun = steady_clock::now();
        EXPECT_FALSE(m.wait_for(milliseconds(40), [&] { return value == 1; }));
        EXPECT_GE(steady_clock::now() - begun, milliseconds(40));
    }
    fund::win::thread setter;
    ASSERT_TRUE(setter.start([&] {
        monitor_lock hold(m);
        value = 1;
        m.notify_one();
    }));
    {
        monitor_lock hold(m);
        EXPECT_TRUE(m.wait_for(milliseconds(60000), [&] { return value == 1; }));
    }
    setter.join();
}

TEST(Monitor, NotifyOneLetsOneWaiterTakeEachToken) {
    monitor m;
    int tokens = 0;
    int taken = 0;
    auto waiter = [&] {
        monitor_lock hold(m);
        m.wait([&] { return tokens > 0; });
        --tokens;
        ++taken;
        m.notify_all();  // the test thread counts what was taken
    };
    fund::win::thread a, b;
    ASSERT_TRUE(a.start(waiter));
    ASSERT_TRUE(b.start(waiter));
    for (int round = 1; round <= 2; ++round) {
        {
            monitor_lock hold(m);
            ++tokens;
            m.notify_one();
        }
        monitor_lock hold(m);
        EXPECT_TRUE(m.wait_for(milliseconds(60000), [&] { return taken == round; }));
        EXPECT_EQ(tokens, 0);
    }
    a.join();
    b.join();
    EXPECT_EQ(taken, 2);
}

TEST(Monitor, TheLockExcludesOtherThreads) {
    monitor m;
    long counter = 0;
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            monitor_lock hold(m);
            const long seen = counter;
            counter = seen + 1;
        }
    };
    fund::win::thread a, b;
    ASSERT_TRUE(a.start(add));
    ASSERT_TRUE(b.start(add));
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
