// The test equipment that makes a system call fail on demand: the call goes
// to the test's function while the patch lives, and to the system again
// afterwards.

#include <gtest/gtest.h>

#include "ImportPatch.h"

namespace {

DWORD WINAPI FixedProcessId() { return 4242; }

// Calls through the import table each time (within one function the
// compiler may load the table's entry once for several calls).
__attribute__((noinline)) DWORD ProcessId() { return GetCurrentProcessId(); }

TEST(ImportPatch, RedirectsTheProgramsCallsWhileItLives) {
    const DWORD real = ProcessId();
    ASSERT_NE(4242u, real);
    {
        fundtest::ImportPatch patch("GetCurrentProcessId", reinterpret_cast<void*>(&FixedProcessId));
        ASSERT_TRUE(patch.active());
        EXPECT_EQ(4242u, ProcessId());
        EXPECT_EQ(real, patch.original<DWORD(WINAPI*)()>()());
    }
    EXPECT_EQ(real, ProcessId());
}

TEST(ImportPatch, AFunctionTheProgramDoesNotImportIsNotPatched) {
    fundtest::ImportPatch patch("NoSuchFunctionAnywhere", reinterpret_cast<void*>(&FixedProcessId));
    EXPECT_FALSE(patch.active());
}

}  // namespace
