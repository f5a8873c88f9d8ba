// The shared pointer and locks the plug-in's threads share tasks with.

#include "fund/lock.h"
#include "fund/mtshared_ptr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_deletions{0};

struct Counted {
    explicit Counted(int v) : value(v) {}
    ~Counted() { g_deletions++; }
    int value;
};

class MtSharedPtrTest : public testing::Test {
protected:
    void SetUp() override { g_deletions = 0; }
};

TEST_F(MtSharedPtrTest, CopiesShareOneObjectAndTheLastReleaseDeletesIt) {
    {
        fund::mtshared_ptr<Counted> first(new Counted(7));
        EXPECT_EQ(first.use_count(), 1);
        {
            fund::mtshared_ptr<Counted> second = first;
            fund::mtshared_ptr<Counted> third;
            third = second;
            EXPECT_EQ(first.use_count(), 3);
            EXPECT_EQ(third->value, 7);
            EXPECT_EQ(third.get(), first.get());
            EXPECT_TRUE(third == first);
        }
        EXPECT_EQ(first.use_count(), 1);
        EXPECT_EQ(g_deletions, 0);
    }
    EXPECT_EQ(g_deletions, 1);
}

TEST_F(MtSharedPtrTest, NullMovesResetAndSelfAssignment) {
    fund::mtshared_ptr<Counted> empty;
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.use_count(), 0);
    fund::mtshared_ptr<Counted> copyOfEmpty = empty;
    EXPECT_EQ(copyOfEmpty.get(), nullptr);

    fund::mtshared_ptr<Counted> owner(new Counted(1));
    owner = owner;  // self-assignment keeps the object
    EXPECT_EQ(owner.use_count(), 1);
    fund::mtshared_ptr<Counted> moved(std::move(owner));
    EXPECT_FALSE(owner);
    EXPECT_EQ(moved.use_count(), 1);
    moved.reset(new Counted(2));
    EXPECT_EQ(g_deletions, 1);
    EXPECT_EQ(moved->value, 2);
    moved.reset();
    EXPECT_EQ(g_deletions, 2);
    EXPECT_FALSE(moved);
}

TEST_F(MtSharedPtrTest, OrderedByAddressInSets) {
    fund::mtshared_ptr<Counted> a(new Counted(1)), b(new Counted(2));
    std::set<fund::mtshared_ptr<Counted>> tasks{a, b, a};
    EXPECT_EQ(tasks.size(), 2u);
    EXPECT_EQ(a.use_count(), 2);
    tasks.erase(a);
    EXPECT_EQ(a.use_count(), 1);
}

// Copies made and dropped on many threads at once end with exactly one
// deletion, when the last copy goes.
TEST_F(MtSharedPtrTest, ManyThreadsCopyAndReleaseWithOneDeletion) {
    const int kThreads = 8;
    const int kRounds = 20000;
    for (int trial = 0; trial < 5; trial++) {
        g_deletions = 0;
        fund::mtshared_ptr<Counted> shared(new Counted(trial));
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([shared, &go] {  // each thread starts with its own copy
                while (!go) std::this_thread::yield();
                std::vector<fund::mtshared_ptr<Counted>> held;
                for (int i = 0; i < kRounds; i++) {
                    held.push_back(shared);
                    if (held.size() > 16) held.erase(held.begin(), held.begin() + 8);
                    fund::mtshared_ptr<Counted> temporary(held.back());
                    temporary = held.front();
                }
            });
        }
        shared.reset();  // the threads' copies now keep the object alive
        go = true;
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(g_deletions, 1) << "trial " << trial;
    }
}

TEST(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
    fund::lock::critical_section section;
    int counter = 0;
    {
        fund::lock::scoped_lock outer(section);
        fund::lock::scoped_lock inner(section);  // the holder may enter again
        counter++;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; i++) {
                fund::lock::scoped_lock hold(section);
                counter++;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 1 + 4 * 50000);
}

}  // namespace
