// Download figures: 64-bit average above 4 GiB, tick wrap, zero duration.

#include "DownloadStatistics.h"

#include <gtest/gtest.h>

namespace {

TEST(DownloadStatistics, SmallDownload) {
    const DownloadFigures f = ComputeDownloadFigures(1000, 3000, 2 * 1024 * 1024);
    EXPECT_EQ(2000u, f.elapsedMs);
    EXPECT_EQ(2048u, f.kilobytes);
    EXPECT_EQ(1024u, f.averageSpeed);
}

TEST(DownloadStatistics, AverageAboveFourGibDoesNotOverflow) {
    // 5 GiB in 100 s: 5242880 KB * 1000 passes 2^32 and would have wrapped
    // to 925 KB/s in 32-bit arithmetic.
    const uint64_t bytes = 5ull * 1024 * 1024 * 1024;
    const DownloadFigures f = ComputeDownloadFigures(0x10000, 0x10000 + 100000, bytes);
    EXPECT_EQ(5242880u, f.kilobytes);
    EXPECT_EQ(52428u, f.averageSpeed);
}

TEST(DownloadStatistics, TickCountWrapStillGivesTheDuration) {
    const DownloadFigures f = ComputeDownloadFigures(0xFFFFFC18u, 1000, 4096 * 1024);
    EXPECT_EQ(2000u, f.elapsedMs);
    EXPECT_EQ(2048u, f.averageSpeed);
}

TEST(DownloadStatistics, ZeroDurationCountsAsOneMillisecond) {
    const DownloadFigures f = ComputeDownloadFigures(500, 500, 10 * 1024);
    EXPECT_EQ(0u, f.elapsedMs);
    EXPECT_EQ(10000u, f.averageSpeed);
    EXPECT_EQ(0u, ComputeDownloadFigures(7, 7, 0).averageSpeed);
}

TEST(DownloadStatistics, HugeAverageSaturates) {
    const DownloadFigures f = ComputeDownloadFigures(0, 1, 1ull << 50);
    EXPECT_EQ(0xFFFFFFFFu, f.averageSpeed);
    EXPECT_EQ(0u, f.kilobytes);  // 2^40 KB cut to 32 bits
}

}  // namespace
