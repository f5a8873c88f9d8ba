// fund::win::thread: runs its body on a thread of its own, tells its id,
// joins (by join, the destructor or a move onto it) and refuses a second
// start.

#include "fund/win/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>

namespace {

using fund::win::thread;

TEST(Thread, RunsItsBodyOnAThreadWithItsId) {
    std::atomic<DWORD> ranOn{0};
    thread worker;
    EXPECT_FALSE(worker.joinable());
    EXPECT_EQ(worker.id(), 0u);
    EXPECT_EQ(worker.native_handle(), nullptr);

    ASSERT_TRUE(worker.start([&] { ranOn = GetCurrentThreadId(); }));
    EXPECT_TRUE(worker.joinable());
    EXPECT_NE(worker.native_handle(), nullptr);
    const unsigned id = worker.id();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(worker.native_handle()), id);

    worker.join();
    EXPECT_EQ(ranOn.load(), id);
    EXPECT_FALSE(worker.joinable());
    EXPECT_EQ(worker.id(), 0u);
    worker.join();  // nothing left: no effect
}

TEST(Thread, TheDestructorWaitsForTheBody) {
    std::atomic<bool> finished{false};
    {
        thread worker;
        ASSERT_TRUE(worker.start([&] {
            Sleep(50);
            finished = true;
        }));
    }
    EXPECT_TRUE(finished);
}

TEST(Thread, JoinableUntilJoinedEvenWhenTheBodyEnded) {
    thread worker;
    ASSERT_TRUE(worker.start([] {}));
    ASSERT_EQ(WaitForSingleObject(worker.native_handle(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(worker.joinable());
    worker.join();
    EXPECT_FALSE(worker.joinable());
}

TEST(Thread, ASecondStartIsRefusedUntilJoined) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    std::atomic<int> runs{0};
    thread worker;
    ASSERT_TRUE(worker.start([&] {
        ++runs;
        WaitForSingleObject(release, INFINITE);
    }));
    const unsigned id = worker.id();

    SetLastError(0);
    EXPECT_FALSE(worker.start([&] { runs += 100; }));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(worker.id(), id);  // the first thread is kept

    SetEvent(release);
    worker.join();
    EXPECT_EQ(runs.load(), 1);

    ASSERT_TRUE(worker.start([&] { ++runs; }));  // joined: may start again
    worker.join();
    EXPECT_EQ(runs.load(), 2);
    CloseHandle(release);
}

TEST(Thread, AnEmptyBodyDoesNotStart) {
    thread worker;
    SetLastError(0);
    EXPECT_FALSE(worker.start(std::function<void()>()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(worker.joinable());
    EXPECT_EQ(worker.id(), 0u);
}

TEST(Thread, TheBodyAndWhatItHoldsAreFreedWhenItEnds) {
    auto held = std::make_shared<int>(7);
    std::weak_ptr<int> watch = held;
    thread worker;
    ASSERT_TRUE(worker.start([held] { EXPECT_EQ(*held, 7); }));
    held.reset();
    worker.join();
    EXPECT_TRUE(watch.expired());
}

TEST(Thread, MovesCarryTheThread) {
    std::atomic<int> runs{0};
    thread first;
    ASSERT_TRUE(first.start([&] { ++runs; }));
    const unsigned id = first.id();

    thread second(std::move(first));
    EXPECT_FALSE(first.joinable());
    EXPECT_EQ(first.id(), 0u);
    EXPECT_EQ(second.id(), id);

    // Moving onto a thread object joins the thread it held.
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(release, nullptr);
    std::atomic<bool> slowEnded{false};
    thread third;
    ASSERT_TRUE(third.start([&] {
        WaitForSingleObject(release, INFINITE);
        slowEnded = true;
    }));
    SetEvent(release);
    third = std::move(second);
    EXPECT_TRUE(slowEnded);
    EXPECT_EQ(third.id(), id);
    third.join();
    EXPECT_EQ(runs.load(), 1);
    CloseHandle(release);
}

TEST(Thread, AnExceptionEndsTheBodyNotTheProcess) {
    for (int kind = 0; kind < 2; ++kind) {
        thread worker;
        ASSERT_TRUE(worker.start([kind] {
            if (kind == 0) throw std::bad_alloc();
            throw 42;
        }));
        HANDLE handle = worker.native_handle();
        ASSERT_EQ(WaitForSingleObject(handle, 5000), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(handle, &code));
        EXPECT_EQ(code, 1u);
    }
}

TEST(Thread, ADetachedThreadRunsOnByItself) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(go, nullptr);
    thread worker;
    ASSERT_TRUE(worker.start([done, go] {
        WaitForSingleObject(go, INFINITE);
        *done = true;
    }));
    worker.detach();  // does not wait: the body waits for `go`
    EXPECT_FALSE(worker.joinable());
    EXPECT_EQ(worker.id(), 0u);
    SetEvent(go);
    for (int i = 0; i < 500 && !*done; ++i) Sleep(10);
    EXPECT_TRUE(*done);
    CloseHandle(go);  // the body is past its wait
}

}  // namespace
