// StopFlag.h - the stop request of a repair: a flag the transfers poll, and
// waits (back-off, throttle) that end as soon as it is set.

#ifndef BREVIK_REPAIR_STOPFLAG_H
#define BREVIK_REPAIR_STOPFLAG_H

#include <atomic>
#include <chrono>

#include "CoreThreads.h"

namespace brevik {
namespace repair {

class StopFlag {
public:
    void Set() {
        m_flag = true;
        Entered hold(m_monitor);
        m_monitor.NotifyAll();
    }
    bool IsSet() const { return m_flag; }
    const std::atomic<bool>& Flag() const { return m_flag; }

    // Waits `duration`; false when the stop came first.
    bool Sleep(std::chrono::milliseconds duration) { return SleepUntil(Clock::now() + duration); }
    bool SleepUntil(Clock::time_point deadline) {
        Entered hold(m_monitor);
        m_monitor.WaitUntil(deadline, [this] { return m_flag.load(); });
        return !m_flag;
    }

private:
    std::atomic<bool> m_flag{false};
    Monitor m_monitor;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_STOPFLAG_H
