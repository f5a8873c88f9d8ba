// AllocationCounter.h - test equipment: the test program's global operator
// new and delete count the live allocations of every C++ object, the code
// under test included (it is linked into the program statically), and fail
// on demand, as an exhausted heap would (std::bad_alloc, or null from the
// nothrow forms).  Link it into a test program to replace the operators.

#ifndef FUND_TESTS_WIN_ALLOCATIONCOUNTER_H
#define FUND_TESTS_WIN_ALLOCATIONCOUNTER_H

#include <cstddef>

struct AllocationFigures {
    long long blocks;  // live blocks
    long long bytes;   // live bytes
};

AllocationFigures LiveAllocations();

// Which threads' allocations a fault applies to.
enum class AllocatingThreads {
    This,    // the thread that sets the fault
    Others,  // every thread but that one
    Any,
};

// Fails the nth allocation (1: the next) of the chosen threads, counted
// from now, and only that one.
void FailNthAllocation(long long nth, AllocatingThreads threads);
// Fails every allocation of the chosen threads until StopFailingAllocations.
void FailAllAllocations(AllocatingThreads threads);
void StopFailingAllocations();
// Allocations failed since the program started.
long long FailedAllocations();
// Allocations of the chosen threads counted since the last Fail... call.
long long CountedAllocations();

// Leak hunting: while tracking is on, each new block records a sequence
// number, its thread and its call stack; PrintTrackedAllocations lists the
// tracked blocks still alive that were made after the sequence number
// `after` (with module-relative return addresses, for addr2line) and
// returns their number.
void TrackAllocations(bool on);
long long AllocationSequence();
long long PrintTrackedAllocations(long long after);

#endif  // FUND_TESTS_WIN_ALLOCATIONCOUNTER_H
