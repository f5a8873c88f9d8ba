// fund/lock.h - the locks shared by the plug-in's threads: a recursive
// critical section and a scope that holds it.

#ifndef FUND_LOCK_H
#define FUND_LOCK_H

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace fund {
namespace lock {

// A recursive lock of the system (a Windows critical section; a recursive
// pthread mutex elsewhere).  The thread that holds it may enter it again.
class critical_section {
public:
    critical_section();
    ~critical_section();
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void enter();
    void leave();

private:
#if defined(_WIN32)
    CRITICAL_SECTION m_section;
#else
    pthread_mutex_t m_mutex;
#endif
};

// Holds a critical section for the lifetime of a scope.
class scoped_lock {
public:
    explicit scoped_lock(critical_section& section) : m_section(section) { m_section.enter(); }
    ~scoped_lock() { m_section.leave(); }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

private:
    critical_section& m_section;
};

}  // namespace lock
}  // namespace fund

#endif  // FUND_LOCK_H
