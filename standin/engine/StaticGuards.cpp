// standin/engine/StaticGuards.cpp - the guards of function-local statics in
// morl.dll, on the system's slim lock and condition variable.
//
// The C++ run-time is linked into the DLL.  Its own guards wake waiters
// through a condition variable of the thread library that is made on first
// use and never destroyed: two semaphores stay behind each time the plug-in
// frees the DLL.  The link (CMakeLists.txt, --wrap) sends every guard of the
// DLL here instead; a slim lock and a condition variable hold no handle.
//
// A guard's first byte is set once the static is made (the compiler reads
// it before it calls in); the second marks a construction under way.

#include <windows.h>

#include <cstdint>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_constructed = CONDITION_VARIABLE_INIT;

char* Done(uint64_t* guard) { return reinterpret_cast<char*>(guard); }
char* UnderWay(uint64_t* guard) { return reinterpret_cast<char*>(guard) + 1; }

}  // namespace

// 1: the caller constructs the static; 0: it is made already.
extern "C" int __wrap___cxa_guard_acquire(uint64_t* guard) {
    if (__atomic_load_n(Done(guard), __ATOMIC_ACQUIRE) != 0) return 0;
    AcquireSRWLockExclusive(&g_lock);
    while (*UnderWay(guard) != 0) SleepConditionVariableSRW(&g_constructed, &g_lock, INFINITE, 0);
    const bool mine = *Done(guard) == 0;
    if (mine) *UnderWay(guard) = 1;
    ReleaseSRWLockExclusive(&g_lock);
    return mine ? 1 : 0;
}

extern "C" void __wrap___cxa_guard_release(uint64_t* guard) {
    AcquireSRWLockExclusive(&g_lock);
    *UnderWay(guard) = 0;
    __atomic_store_n(Done(guard), 1, __ATOMIC_RELEASE);
    ReleaseSRWLockExclusive(&g_lock);
    WakeAllConditionVariable(&g_constructed);
}

// The construction threw: another thread may try.
extern "C" void __wrap___cxa_guard_abort(uint64_t* guard) {
    AcquireSRWLockExclusive(&g_lock);
    *UnderWay(guard) = 0;
    ReleaseSRWLockExclusive(&g_lock);
    WakeAllConditionVariable(&g_constructed);
}
