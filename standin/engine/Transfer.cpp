// standin/engine/Transfer.cpp - the rate limit and the speed meter.

#include "Transfer.h"

#include <algorithm>

namespace standin {

bool RateLimiter::Acquire(uint32_t bytes) {
    fund::win::monitor_lock hold(m_monitor);
    if (m_cancelled) return false;
    if (m_rate == 0) return true;
    // The bytes pay for their time before they go, so that no stretch of
    // time ever sees more than the rate.
    m_next = std::max(m_next, TransferClock::now()) +
             std::chrono::duration_cast<TransferClock::duration>(
                 std::chrono::duration<double>(double(bytes) / m_rate));
    const TransferClock::time_point slot = m_next;
    m_monitor.wait_until(slot, [this] { return m_cancelled; });
    return !m_cancelled;
}

void RateLimiter::Cancel() {
    fund::win::monitor_lock hold(m_monitor);
    m_cancelled = true;
    m_monitor.notify_all();
}

void SpeedMeter::Forget(TransferClock::time_point now) {
    while (!m_samples.empty() && now - m_samples.front().first > m_window) {
        m_inWindow -= m_samples.front().second;
        m_samples.pop_front();
    }
}

void SpeedMeter::Begin() {
    fund::win::monitor_lock hold(m_lock);
    if (m_started) return;
    m_started = true;
    m_first = TransferClock::now();
}

void SpeedMeter::Add(uint64_t bytes) {
    fund::win::monitor_lock hold(m_lock);
    const TransferClock::time_point now = TransferClock::now();
    if (!m_started) {
        m_started = true;
        m_first = now;
    }
    m_samples.emplace_back(now, bytes);
    m_inWindow += bytes;
    Forget(now);
}

uint32_t SpeedMeter::BytesPerSecond() {
    fund::win::monitor_lock hold(m_lock);
    if (!m_started) return 0;
    const TransferClock::time_point now = TransferClock::now();
    Forget(now);
    // Until a whole window has passed, the rate is over the time so far (at
    // least a tenth of a second, so that the first piece shows no spike).
    const auto since = std::max<TransferClock::duration>(now - m_first, std::chrono::milliseconds(100));
    const double seconds = std::chrono::duration<double>(std::min<TransferClock::duration>(since, m_window)).count();
    const double rate = double(m_inWindow) / seconds;
    return rate >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(rate);
}

}  // namespace standin
