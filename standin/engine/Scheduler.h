// standin/engine/Scheduler.h - runs actions after a delay on a thread of
// its own, in time order (actions due at the same time in the order they
// were given).
//
// Built on the system's own thread, event and critical section (through
// fund): the DLL is loaded and freed again and again by the plug-in's
// tests, and the C++ library's threads leave handles behind when their
// module goes.

#ifndef BREVIK_STANDIN_SCHEDULER_H
#define BREVIK_STANDIN_SCHEDULER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>

#include <fund/lock.h>
#include <fund/win/handle.h>
#include <fund/win/thread.h>

namespace standin {

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
    void Run();

    fund::lock::critical_section m_lock;
    fund::win::unique_handle m_wake;  // auto-reset: something was added, or stop
    // Due time (milliseconds of GetTickCount64) -> action.
    std::multimap<ULONGLONG, std::function<void()>> m_due;
    bool m_stopping = false;
    fund::win::thread m_thread;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_SCHEDULER_H
