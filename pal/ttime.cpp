// pal/ttime.cpp - wall-clock time from the system clock.

#include <windows.h>

#include "palassert.h"
#include "ttime.h"

void TimeNow(TimeValue* now) {
    PAL_ASSERT(now != nullptr, "pal\\ttime");
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t clock = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    *now = TimeFromSystemClock(clock);
}

void SleepMicroseconds(uint32_t n) { SleepEx(n / 1000, TRUE); }
