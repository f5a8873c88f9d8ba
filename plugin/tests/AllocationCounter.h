// AllocationCounter.h - the test program's global operator new and delete
// count the live allocations of every C++ object, the plug-in's included
// (it is linked into the program statically).

#ifndef BREVIK_PLUGIN_TESTS_ALLOCATIONCOUNTER_H
#define BREVIK_PLUGIN_TESTS_ALLOCATIONCOUNTER_H

#include <cstddef>

struct AllocationFigures {
    long long blocks;  // live blocks
    long long bytes;   // live bytes
};

AllocationFigures LiveAllocations();

#endif  // BREVIK_PLUGIN_TESTS_ALLOCATIONCOUNTER_H
