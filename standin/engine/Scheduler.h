// standin/engine/Scheduler.h - runs actions after a delay on a thread of
// its own, in time order (actions due at the same time in the order they
// were given).

#ifndef BREVIK_STANDIN_SCHEDULER_H
#define BREVIK_STANDIN_SCHEDULER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

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
    typedef std::chrono::steady_clock Clock;

    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::multimap<Clock::time_point, std::function<void()>> m_due;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_SCHEDULER_H
