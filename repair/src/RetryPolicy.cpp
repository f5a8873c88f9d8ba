// RetryPolicy.cpp - the back-off.

#include "RetryPolicy.h"

#include <algorithm>

namespace brevik {
namespace repair {

std::chrono::milliseconds RetryPolicy::Delay(uint32_t failures, std::chrono::milliseconds retryAfter) const {
    if (retryAfter.count() >= 0) return std::min(retryAfter, longestRetryAfter);
    std::chrono::milliseconds delay = firstBackOff;
    for (uint32_t n = 1; n < failures && delay < longestBackOff; ++n) delay *= 2;
    return std::min(delay, longestBackOff);
}

}  // namespace repair
}  // namespace brevik
