// DownloadStatistics.cpp - duration, size and average speed of a download.

#include "DownloadStatistics.h"

#include <algorithm>
#include <limits>

DownloadFigures ComputeDownloadFigures(uint32_t startTick, uint32_t nowTick, uint64_t downloadedBytes) {
    DownloadFigures figures;
    figures.elapsedMs = nowTick - startTick;
    const uint64_t kilobytes = downloadedBytes / 1024;
    figures.kilobytes = static_cast<uint32_t>(kilobytes);
    const uint64_t divisor = std::max<uint32_t>(figures.elapsedMs, 1);
    // kilobytes < 2^54, so kilobytes * 1000 < 2^64.
    const uint64_t average = kilobytes * 1000 / divisor;
    figures.averageSpeed =
        static_cast<uint32_t>(std::min<uint64_t>(average, std::numeric_limits<uint32_t>::max()));
    return figures;
}
