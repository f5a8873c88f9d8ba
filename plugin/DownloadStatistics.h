// DownloadStatistics.h - the figures taken once at the end of a download
// (success, failure, or the user's stop) for the statistics report.

#ifndef BREVIK_PLUGIN_DOWNLOADSTATISTICS_H
#define BREVIK_PLUGIN_DOWNLOADSTATISTICS_H

#include <cstdint>

struct DownloadFigures {
    uint32_t elapsedMs;     // duration of the download
    uint32_t kilobytes;     // bytes downloaded / 1024, cut to 32 bits
    uint32_t averageSpeed;  // kilobytes per second over the whole download
};

// `startTick` and `nowTick` are system tick counts in milliseconds (the
// difference is taken modulo 2^32, so a tick count that wrapped in between
// still gives the duration).  The average is computed in 64 bits: the
// product of kilobytes and 1000 passes 32 bits above 4 GiB.  A duration
// under a millisecond counts as one; an average beyond 32 bits saturates.
DownloadFigures ComputeDownloadFigures(uint32_t startTick, uint32_t nowTick, uint64_t downloadedBytes);

#endif  // BREVIK_PLUGIN_DOWNLOADSTATISTICS_H
