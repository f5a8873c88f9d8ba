// CoreThreads.h - the repair core's threads and locks, behind one seam.
//
// Natively they are the C++ library's.  In the Windows flavour they are the
// Win32 kit's (fund::win::thread and fund::win::monitor): threads of the C++
// library leave handles behind when a DLL that started them is unloaded, and
// the engine stand-in loads and frees the core with morl.dll.
//
// Monitor: a lock with one condition.  Wait and WaitUntil are called with
// the monitor entered (hold an Entered for the scope).

#ifndef BREVIK_REPAIR_CORETHREADS_H
#define BREVIK_REPAIR_CORETHREADS_H

#include <chrono>
#include <functional>

#if defined(_WIN32)
#include <windows.h>

#include "fund/win/monitor.h"
#include "fund/win/thread.h"
#else
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace brevik {
namespace repair {

typedef std::chrono::steady_clock Clock;

#if defined(_WIN32)

class Thread {
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False when no thread could be started.
    bool Start(std::function<void()> body) { return m_thread.start(std::move(body)); }
    void Join() { m_thread.join(); }

private:
    fund::win::thread m_thread;
};

class Monitor {
public:
    void Enter() { m_monitor.enter(); }
    void Leave() { m_monitor.leave(); }
    void NotifyAll() { m_monitor.notify_all(); }
    template <class Done>
    void Wait(Done done) {
        m_monitor.wait(done);
    }
    // False when the deadline came first.
    template <class Done>
    bool WaitUntil(Clock::time_point deadline, Done done) {
        return m_monitor.wait_until(deadline, done);
    }

private:
    fund::win::monitor m_monitor;
};

#else

class Thread {
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    bool Start(std::function<void()> body) {
        if (m_thread.joinable()) return false;
        try {
            m_thread = std::thread(std::move(body));
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    std::thread m_thread;
};

class Monitor {
public:
    void Enter() { m_mutex.lock(); }
    void Leave() { m_mutex.unlock(); }
    void NotifyAll() { m_condition.notify_all(); }
    template <class Done>
    void Wait(Done done) {
        std::unique_lock<std::mutex> lock(m_mutex, std::adopt_lock);
        m_condition.wait(lock, done);
        lock.release();  // still entered: the caller leaves
    }
    template <class Done>
    bool WaitUntil(Clock::time_point deadline, Done done) {
        std::unique_lock<std::mutex> lock(m_mutex, std::adopt_lock);
        const bool met = m_condition.wait_until(lock, deadline, done);
        lock.release();
        return met;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
};

#endif

#if defined(_WIN32)
inline unsigned ProcessorCount() { return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS); }
#else
inline unsigned ProcessorCount() { return std::thread::hardware_concurrency(); }
#endif

// Holds a monitor entered for a scope.
class Entered {
public:
    explicit Entered(Monitor& monitor) : m_monitor(monitor) { m_monitor.Enter(); }
    ~Entered() { m_monitor.Leave(); }
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;

private:
    Monitor& m_monitor;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_CORETHREADS_H
