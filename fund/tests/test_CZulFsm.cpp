// The state machine template: lookup, action order, self-loops, replacement.

#include "fund/CZulFsm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum State { S_A = 0, S_B = 1, S_C = 2 };
enum Event { E_GO = 0, E_STAY = 1, E_BACK = 2, E_NONE = 3 };

class Owner {
public:
    Owner() : fsm(this) {}

    bool Pre(uint32_t p1, uint32_t p2) {
        log.push_back("pre " + std::to_string(fsm.GetState()) + " " + std::to_string(p1) + " " +
                      std::to_string(p2));
        return false;  // the machine ignores results
    }
    bool Post(uint32_t p1, uint32_t p2) {
        log.push_back("post " + std::to_string(fsm.GetState()) + " " + std::to_string(p1) + " " +
                      std::to_string(p2));
        return true;
    }

    CZulFsm<Owner, State, Event> fsm;
    std::vector<std::string> log;
};

TEST(CZulFsm, StartsInStateZeroWithAnEmptyTable) {
    Owner o;
    EXPECT_EQ(S_A, o.fsm.GetState());
    EXPECT_EQ(0u, o.fsm.TransitionCount());
    EXPECT_FALSE(o.fsm.ProcessEvent(E_GO, 1, 2));
    EXPECT_EQ(S_A, o.fsm.GetState());
}

TEST(CZulFsm, PreRunsInTheOldStateAndPostInTheNewOne) {
    Owner o;
    o.fsm.AddTransition(S_A, E_GO, S_B, &Owner::Pre, &Owner::Post);
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 7, 9));
    EXPECT_EQ(S_B, o.fsm.GetState());
    ASSERT_EQ(2u, o.log.size());
    EXPECT_EQ("pre 0 7 9", o.log[0]);
    EXPECT_EQ("post 1 7 9", o.log[1]);
}

TEST(CZulFsm, AnEventWithoutARecordChangesNothing) {
    Owner o;
    o.fsm.AddTransition(S_A, E_GO, S_B, nullptr, &Owner::Post)
        .AddTransition(S_B, E_BACK, S_A, nullptr, nullptr);
    // E_BACK is known, but not in S_A.
    EXPECT_FALSE(o.fsm.ProcessEvent(E_BACK, 0, 0));
    EXPECT_FALSE(o.fsm.ProcessEvent(E_NONE, 0, 0));
    EXPECT_EQ(S_A, o.fsm.GetState());
    EXPECT_TRUE(o.log.empty());
}

TEST(CZulFsm, SelfLoopRunsItsActionEachTime) {
    Owner o;
    o.fsm.AddTransition(S_A, E_STAY, S_A, &Owner::Pre, nullptr);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(o.fsm.ProcessEvent(E_STAY, i, 0));
    EXPECT_EQ(S_A, o.fsm.GetState());
    EXPECT_EQ(3u, o.log.size());
    EXPECT_EQ("pre 0 2 0", o.log[2]);
}

TEST(CZulFsm, RegisteringAPairAgainReplacesItsRecord) {
    Owner o;
    o.fsm.AddTransition(S_A, E_GO, S_B, &Owner::Pre, nullptr);
    o.fsm.AddTransition(S_A, E_GO, S_C, nullptr, &Owner::Post);
    EXPECT_EQ(1u, o.fsm.TransitionCount());
    const auto* t = o.fsm.FindTransition(S_A, E_GO);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(S_C, t->next);
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 1, 1));
    EXPECT_EQ(S_C, o.fsm.GetState());
    ASSERT_EQ(1u, o.log.size());
    EXPECT_EQ("post 2 1 1", o.log[0]);
}

TEST(CZulFsm, PairsAreKeyedByStateAndEventTogether) {
    Owner o;
    // The same event leads elsewhere from each state; the same state reacts
    // to each event differently.
    o.fsm.AddTransition(S_A, E_GO, S_B, nullptr, nullptr)
        .AddTransition(S_B, E_GO, S_C, nullptr, nullptr)
        .AddTransition(S_C, E_GO, S_A, nullptr, nullptr)
        .AddTransition(S_B, E_BACK, S_A, nullptr, nullptr);
    EXPECT_TRUE(o.fsm.HasTransition(S_B, E_BACK));
    EXPECT_FALSE(o.fsm.HasTransition(S_A, E_BACK));
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 0, 0));
    EXPECT_EQ(S_B, o.fsm.GetState());
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 0, 0));
    EXPECT_EQ(S_C, o.fsm.GetState());
    EXPECT_FALSE(o.fsm.ProcessEvent(E_BACK, 0, 0));
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 0, 0));
    EXPECT_TRUE(o.fsm.ProcessEvent(E_GO, 0, 0));
    EXPECT_TRUE(o.fsm.ProcessEvent(E_BACK, 0, 0));
    EXPECT_EQ(S_A, o.fsm.GetState());
}

// An action may feed the machine another event (the second runs to the end
// inside the first's post-action).
class Chain {
public:
    Chain() : fsm(this) {}
    bool Again(unsigned long, unsigned long) {
        ++calls;
        fsm.ProcessEvent(E_GO, 0, 0);
        return true;
    }
    CZulFsm<Chain, State, Event, unsigned long, unsigned long> fsm;
    int calls = 0;
};

TEST(CZulFsm, AnActionMayRaiseTheNextEvent) {
    Chain c;
    c.fsm.AddTransition(S_A, E_GO, S_B, nullptr, &Chain::Again)
        .AddTransition(S_B, E_GO, S_C, nullptr, nullptr);
    EXPECT_TRUE(c.fsm.ProcessEvent(E_GO, 0, 0));
    EXPECT_EQ(1, c.calls);
    EXPECT_EQ(S_C, c.fsm.GetState());
}

}  // namespace
