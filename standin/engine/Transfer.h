// standin/engine/Transfer.h - pacing and measuring a download: a rate
// limit shared by the download threads, and the rate of the last seconds.

#ifndef BREVIK_STANDIN_TRANSFER_H
#define BREVIK_STANDIN_TRANSFER_H

#include <chrono>
#include <cstdint>
#include <deque>

#include <fund/win/monitor.h>

namespace standin {

typedef std::chrono::steady_clock TransferClock;

// Lets bytes through at no more than a set rate: each request is given the
// next free slot of time and waits for it.  A rate of 0 means no limit.
class RateLimiter {
public:
    explicit RateLimiter(uint32_t bytesPerSecond) : m_rate(bytesPerSecond) {}

    // Waits until `bytes` may go; false when Cancel came first.
    bool Acquire(uint32_t bytes);
    // Whether a rate is set.
    bool Limited() const { return m_rate != 0; }
    // Wakes every waiter for good.
    void Cancel();

private:
    const uint32_t m_rate;
    fund::win::monitor m_monitor;
    TransferClock::time_point m_next{};
    bool m_cancelled = false;
};

// Bytes per second over the last `window` of time.
class SpeedMeter {
public:
    explicit SpeedMeter(std::chrono::milliseconds window) : m_window(window) {}

    // The download starts: the rate counts from now (the first bytes come
    // a while later).
    void Begin();
    void Add(uint64_t bytes);
    uint32_t BytesPerSecond();

private:
    void Forget(TransferClock::time_point now);

    const std::chrono::milliseconds m_window;
    fund::win::monitor m_lock;
    std::deque<std::pair<TransferClock::time_point, uint64_t>> m_samples;
    uint64_t m_inWindow = 0;
    TransferClock::time_point m_first{};
    bool m_started = false;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_TRANSFER_H
