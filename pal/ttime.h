// pal/ttime.h - wall-clock time with microseconds, and alertable sleeps.

#ifndef PAL_TTIME_H
#define PAL_TTIME_H

#include <cstdint>

struct TimeValue {
    uint32_t seconds = 0;       // since 1970-01-01 00:00 UTC
    uint32_t microseconds = 0;  // 0 to 999999
};

// Fills *now from the system clock.
void TimeNow(TimeValue* now);

// The system clock's reading at 1970-01-01 00:00 UTC.
constexpr uint64_t kClockAt1970 = 116444736000000000ULL;

// Converts a system clock reading (100-nanosecond units since 1601) the way
// TimeNow does.  A reading before 1970 gives 0 seconds.
inline TimeValue TimeFromSystemClock(uint64_t clock) {
    TimeValue value;
    value.microseconds = static_cast<uint32_t>((clock / 10) % 1000000);
    value.seconds = clock < kClockAt1970 ? 0 : static_cast<uint32_t>((clock - kClockAt1970) / 10000000);
    return value;
}

// Sleeps n / 1000 milliseconds, alertable.
void SleepMicroseconds(uint32_t n);

#endif  // PAL_TTIME_H
