// RateLimiter.cpp - each request is given the next free slot of time.

#include "RateLimiter.h"

#include <algorithm>

namespace brevik {
namespace repair {

bool RateLimiter::Acquire(uint64_t bytes) {
    Entered hold(m_monitor);
    if (m_cancelled) return false;
    if (m_rate == 0) return true;
    // The bytes pay for their time before they go, so that no stretch of
    // time ever sees more than the rate.
    m_next =
        std::max(m_next, Clock::now()) + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(double(bytes) / double(m_rate)));
    const Clock::time_point slot = m_next;
    m_monitor.WaitUntil(slot, [this] { return m_cancelled; });
    return !m_cancelled;
}

void RateLimiter::Cancel() {
    Entered hold(m_monitor);
    m_cancelled = true;
    m_monitor.NotifyAll();
}

}  // namespace repair
}  // namespace brevik
