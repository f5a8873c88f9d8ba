// test_plan.cpp - the arithmetic of a plan: pieces, runs of adjacent
// pieces, and the waits between attempts.

#include <gtest/gtest.h>

#include "Coalesce.h"
#include "PieceLayout.h"
#include "RetryPolicy.h"

namespace brevik {
namespace repair {
namespace {

using std::chrono::milliseconds;

TEST(PieceLayoutTest, PiecesCoverTheArchive) {
    PieceLayout layout;
    ASSERT_TRUE(PieceLayout::Make(3 * 4096 + 5, 4096, &layout));
    EXPECT_EQ(layout.pieceCount, 4u);
    EXPECT_EQ(layout.Length(0), 4096u);
    EXPECT_EQ(layout.Length(3), 5u);
    EXPECT_EQ(layout.Position(3), 3u * 4096);
    ASSERT_TRUE(PieceLayout::Make(2 * 4096, 4096, &layout));
    EXPECT_EQ(layout.pieceCount, 2u);
    EXPECT_EQ(layout.Length(1), 4096u);
    EXPECT_FALSE(PieceLayout::Make(100, 0, &layout));
    EXPECT_FALSE(PieceLayout::Make(UINT64_MAX, 1, &layout));  // more than 2^32 - 1 pieces

    ASSERT_TRUE(PieceLayout::Make(10 * 100 + 50, 100, &layout));
    uint32_t first = 0, count = 0;
    layout.Cover(150, 100, &first, &count);  // bytes 150..249: pieces 1 and 2
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(count, 2u);
    layout.Cover(200, 100, &first, &count);  // exactly piece 2
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(count, 1u);
    layout.Cover(1000, UINT64_MAX, &first, &count);  // clipped to the last piece
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(count, 1u);
    layout.Cover(1050, 10, &first, &count);  // past the archive
    EXPECT_EQ(count, 0u);
    layout.Cover(0, 0, &first, &count);
    EXPECT_EQ(count, 0u);
}

TEST(CoalesceTest, JoinsAdjacentPiecesUpToTheBound) {
    PieceLayout layout;
    ASSERT_TRUE(PieceLayout::Make(20 * 1000 + 10, 1000, &layout));  // 21 pieces, the last of 10 bytes
    const std::vector<PieceRun> runs = CoalescePieces({0, 1, 2, 5, 6, 7, 8, 9, 12, 19, 20, 99}, layout, 3000);
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_EQ(runs[0].first, 0u);
    EXPECT_EQ(runs[0].count, 3u);
    EXPECT_EQ(runs[0].position, 0u);
    EXPECT_EQ(runs[0].length, 3000u);
    EXPECT_EQ(runs[1].first, 5u);  // 5..9 is five pieces: 5..7, then 8..9
    EXPECT_EQ(runs[1].count, 3u);
    EXPECT_EQ(runs[2].first, 8u);
    EXPECT_EQ(runs[2].count, 2u);
    EXPECT_EQ(runs[3].first, 12u);
    EXPECT_EQ(runs[3].count, 1u);
    EXPECT_EQ(runs[4].first, 19u);  // the short last piece joins; 99 is no piece
    EXPECT_EQ(runs[4].count, 2u);
    EXPECT_EQ(runs[4].length, 1010u);
    // A piece larger than the bound is a run of its own.
    const std::vector<PieceRun> big = CoalescePieces({3, 4}, layout, 500);
    ASSERT_EQ(big.size(), 2u);
    EXPECT_EQ(big[0].length, 1000u);
    EXPECT_TRUE(CoalescePieces({}, layout, 3000).empty());
}

TEST(CoalesceTest, TenThousandPiecesMakeFewRequests) {
    PieceLayout layout;
    ASSERT_TRUE(PieceLayout::Make(20000ull * 32768, 32768, &layout));
    std::vector<uint32_t> pieces;
    for (uint32_t p = 0; p < 20000; p += 2) pieces.push_back(p);  // none adjacent
    EXPECT_EQ(CoalescePieces(pieces, layout, 8u << 20).size(), 10000u);
    pieces.clear();
    for (uint32_t p = 5000; p < 15000; ++p) pieces.push_back(p);  // all adjacent
    const std::vector<PieceRun> runs = CoalescePieces(pieces, layout, 8u << 20);
    EXPECT_EQ(runs.size(), 40u);  // 256 pieces of 32 KiB per 8 MiB request
    for (const PieceRun& run : runs) EXPECT_LE(run.length, 8u << 20);
}

TEST(RetryPolicyTest, BackOffDoublesUpToItsBoundAndTheServerIsHeard) {
    RetryPolicy policy;
    const milliseconds none(-1);
    EXPECT_EQ(policy.Delay(1, none), milliseconds(500));
    EXPECT_EQ(policy.Delay(2, none), milliseconds(1000));
    EXPECT_EQ(policy.Delay(3, none), milliseconds(2000));
    EXPECT_EQ(policy.Delay(4, none), milliseconds(4000));
    EXPECT_EQ(policy.Delay(5, none), milliseconds(8000));
    EXPECT_EQ(policy.Delay(60, none), milliseconds(8000));
    EXPECT_EQ(policy.Delay(1000000, none), milliseconds(8000));
    // Retry-After replaces the back-off, up to 30 s.
    EXPECT_EQ(policy.Delay(1, milliseconds(3000)), milliseconds(3000));
    EXPECT_EQ(policy.Delay(4, milliseconds(0)), milliseconds(0));
    EXPECT_EQ(policy.Delay(1, milliseconds(86400000)), milliseconds(30000));
    EXPECT_EQ(policy.attempts, 5u);
}

}  // namespace
}  // namespace repair
}  // namespace brevik
