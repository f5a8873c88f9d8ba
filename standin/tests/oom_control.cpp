// oom_control.cpp - the allocation switch of the stand-ins' test builds
// (standin/tests/CMakeLists.txt): every allocation of the DLL's C++ code
// fails while it is on.

#include "AllocationCounter.h"

extern "C" __declspec(dllexport) void BrevikTestFailAllocations(int on) {
    if (on != 0)
        FailAllAllocations(AllocatingThreads::Any);
    else
        StopFailingAllocations();
}

extern "C" __declspec(dllexport) long long BrevikTestFailedAllocations() { return FailedAllocations(); }
