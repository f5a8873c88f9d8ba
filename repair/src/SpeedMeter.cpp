// SpeedMeter.cpp - samples of the last window.

#include "SpeedMeter.h"

#include <algorithm>

namespace brevik {
namespace repair {

void SpeedMeter::Forget(Clock::time_point now) {
    while (!m_samples.empty() && now - m_samples.front().first > m_window) {
        m_inWindow -= m_samples.front().second;
        m_samples.pop_front();
    }
}

void SpeedMeter::Begin() {
    Entered hold(m_lock);
    if (m_started) return;
    m_started = true;
    m_first = Clock::now();
}

void SpeedMeter::Add(uint64_t bytes) {
    Entered hold(m_lock);
    const Clock::time_point now = Clock::now();
    if (!m_started) {
        m_started = true;
        m_first = now;
    }
    // Samples closer than a tenth of the window are merged, so that a fast
    // download keeps few of them.
    if (!m_samples.empty() && now - m_samples.back().first < m_window / 10) {
        m_samples.back().second += bytes;
    } else {
        m_samples.emplace_back(now, bytes);
    }
    m_inWindow += bytes;
    Forget(now);
}

uint64_t SpeedMeter::BytesPerSecond() {
    Entered hold(m_lock);
    if (!m_started) return 0;
    const Clock::time_point now = Clock::now();
    Forget(now);
    // Until a whole window has passed, the rate is over the time so far (at
    // least a tenth of a second, so that the first piece shows no spike).
    const Clock::duration since = std::max<Clock::duration>(now - m_first, std::chrono::milliseconds(100));
    const double seconds = std::chrono::duration<double>(std::min<Clock::duration>(since, m_window)).count();
    return static_cast<uint64_t>(double(m_inWindow) / seconds);
}

}  // namespace repair
}  // namespace brevik
