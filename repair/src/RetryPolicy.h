// RetryPolicy.h - how often, and after how long, a range that failed is
// asked for again.

#ifndef BREVIK_REPAIR_RETRYPOLICY_H
#define BREVIK_REPAIR_RETRYPOLICY_H

#include <chrono>
#include <cstdint>

namespace brevik {
namespace repair {

struct RetryPolicy {
    // Attempts per range and source, the first included.
    uint32_t attempts = 5;
    // The wait after the first failed attempt; it doubles with each further
    // one up to `longestBackOff`.
    std::chrono::milliseconds firstBackOff{500};
    std::chrono::milliseconds longestBackOff{8000};
    // A server's Retry-After is waited for up to this long.
    std::chrono::milliseconds longestRetryAfter{30000};

    // The wait before the next attempt after `failures` failed attempts (1
    // or more) in a row.  `retryAfter` is the server's Retry-After, or a
    // negative value when it sent none: the server's word replaces the
    // back-off, up to its bound.
    std::chrono::milliseconds Delay(uint32_t failures, std::chrono::milliseconds retryAfter) const;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_RETRYPOLICY_H
