// fund/win/monitor.h - a lock with a condition variable (a critical section
// and a CONDITION_VARIABLE of the system), for threads that wait until
// something holds.  Not recursive.

#ifndef FUND_WIN_MONITOR_H
#define FUND_WIN_MONITOR_H

#include <windows.h>

#include <chrono>

namespace fund {
namespace win {

class monitor {
public:
    monitor() noexcept {
        ::InitializeCriticalSection(&m_section);
        ::InitializeConditionVariable(&m_condition);
    }
    ~monitor() { ::DeleteCriticalSection(&m_section); }
    monitor(const monitor&) = delete;
    monitor& operator=(const monitor&) = delete;

    void enter() noexcept { ::EnterCriticalSection(&m_section); }
    void leave() noexcept { ::LeaveCriticalSection(&m_section); }

    // Wake waiting threads; they test their condition again once they hold
    // the lock.
    void notify_one() noexcept { ::WakeConditionVariable(&m_condition); }
    void notify_all() noexcept { ::WakeAllConditionVariable(&m_condition); }

    // Entered: waits (leaving the lock meanwhile) until `done()` holds.
    template <class Pred>
    void wait(Pred done) {
        while (!done()) ::SleepConditionVariableCS(&m_condition, &m_section, INFINITE);
    }

    // Entered: waits until `done()` holds or `deadline` passes; answers
    // `done()`'s last answer.
    template <class Pred>
    bool wait_until(std::chrono::steady_clock::time_point deadline, Pred done) {
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return false;
            ::SleepConditionVariableCS(&m_condition, &m_section, sleep_ms(left));
        }
        return true;
    }

    template <class Pred>
    bool wait_for(std::chrono::milliseconds timeout, Pred done) {
        return wait_until(std::chrono::steady_clock::now() + timeout, done);
    }

private:
    // Rounded up, so that a wait never ends just before its deadline, and
    // kept below INFINITE.
    static DWORD sleep_ms(std::chrono::steady_clock::duration left) noexcept {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
        const long long longest = INFINITE - 1;
        return static_cast<DWORD>(ms < longest ? ms : longest);
    }

    CRITICAL_SECTION m_section;
    CONDITION_VARIABLE m_condition;
};

// Holds a monitor for its scope.
class monitor_lock {
public:
    explicit monitor_lock(monitor& held) noexcept : m_monitor(held) { m_monitor.enter(); }
    ~monitor_lock() { m_monitor.leave(); }
    monitor_lock(const monitor_lock&) = delete;
    monitor_lock& operator=(const monitor_lock&) = delete;

private:
    monitor& m_monitor;
};

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_MONITOR_H
