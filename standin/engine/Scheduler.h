// standin/engine/Scheduler.h - runs actions after a delay on a thread of
// its own, in time order (actions due at the same time in the order they
// were given).
//
// Built on the system's own thread, event and critical section: the DLL is
// loaded and freed again and again by the plug-in's tests, and the C++
// library's threads leave handles behind when their module goes.

#ifndef BREVIK_STANDIN_SCHEDULER_H
#define BREVIK_STANDIN_SCHEDULER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>

namespace standin {

// A critical section and a scope that holds it.
class Lock {
public:
    Lock() { InitializeCriticalSection(&m_section); }
    ~Lock() { DeleteCriticalSection(&m_section); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

class Hold {
public:
    explicit Hold(Lock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~Hold() { m_lock.Leave(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Lock& m_lock;
};

class Scheduler {
public:
    Scheduler();
    // Drops what is not yet due and ends the thread.
    ~Scheduler();

    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void At(uint32_t delayMs, std::function<void()> action);
    void Stop();

private:
    static DWORD WINAPI ThreadMain(void* self);
    void Run();

    Lock m_lock;
    HANDLE m_wake;  // auto-reset: something was added, or stop
    // Due time (milliseconds of GetTickCount64) -> action.
    std::multimap<ULONGLONG, std::function<void()>> m_due;
    bool m_stopping = false;
    HANDLE m_thread;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_SCHEDULER_H
