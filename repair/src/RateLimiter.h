// RateLimiter.h - a limit on the bytes per second all download workers
// receive together.  A worker asks before it takes bytes in; while it waits
// the transfer is not read, so the server is slowed down by the connection
// itself.

#ifndef BREVIK_REPAIR_RATELIMITER_H
#define BREVIK_REPAIR_RATELIMITER_H

#include <cstdint>

#include "CoreThreads.h"

namespace brevik {
namespace repair {

class RateLimiter {
public:
    // 0: no limit.
    explicit RateLimiter(uint64_t bytesPerSecond) : m_rate(bytesPerSecond) {}

    bool Limited() const { return m_rate != 0; }
    // Waits until `bytes` may go; false when Cancel came first.
    bool Acquire(uint64_t bytes);
    // Ends every wait, for good.
    void Cancel();

private:
    const uint64_t m_rate;
    Monitor m_monitor;
    Clock::time_point m_next{};
    bool m_cancelled = false;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_RATELIMITER_H
