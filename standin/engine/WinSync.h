// standin/engine/WinSync.h - a lock with a condition and a worker thread on
// the system's own primitives.  The plug-in loads and frees morl.dll again
// and again; threads of the C++ library leave handles behind when their
// module goes, these do not.

#ifndef BREVIK_STANDIN_WINSYNC_H
#define BREVIK_STANDIN_WINSYNC_H

#include <windows.h>

#include <chrono>
#include <functional>

namespace standin {

// A critical section with a condition variable.
class Monitor {
public:
    Monitor() {
        InitializeCriticalSection(&m_section);
        InitializeConditionVariable(&m_condition);
    }
    ~Monitor() { DeleteCriticalSection(&m_section); }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }
    void WakeAll() { WakeAllConditionVariable(&m_condition); }

    // With the monitor entered: waits until `done` holds, or until
    // `deadline`; returns `done`'s last answer.
    template <typename Predicate>
    bool WaitUntil(std::chrono::steady_clock::time_point deadline, Predicate done) {
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return false;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
            SleepConditionVariableCS(&m_condition, &m_section, ms < 0x7FFFFFFF ? static_cast<DWORD>(ms) : 0x7FFFFFFF);
        }
        return true;
    }
    template <typename Predicate>
    void Wait(Predicate done) {
        while (!done()) SleepConditionVariableCS(&m_condition, &m_section, INFINITE);
    }

private:
    CRITICAL_SECTION m_section;
    CONDITION_VARIABLE m_condition;
};

// Holds a monitor for its scope.
class Entered {
public:
    explicit Entered(Monitor& monitor) : m_monitor(monitor) { m_monitor.Enter(); }
    ~Entered() { m_monitor.Leave(); }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    Monitor& m_monitor;
};

// A thread that runs one function; joined (and its handle closed) by Join
// or the destructor.
class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread() { Join(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // False when the thread cannot be created (or one runs already).
    bool Start(std::function<void()> body);
    void Join();
    bool Started() const { return m_handle != nullptr; }

private:
    static DWORD WINAPI Main(void* self);

    std::function<void()> m_body;
    HANDLE m_handle = nullptr;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_WINSYNC_H
