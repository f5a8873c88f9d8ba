// test_core.cpp - the repair core end to end on archives made with the
// library, over scripted in-memory sources: what is fetched, in which
// requests, what is written and what never is, retries, the next source,
// stops, rebuilds and the refusals.

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "TestArchive.h"
#include "repair/Repair.h"

namespace brevik {
namespace repair {
namespace {

using repairtest::Bytes;
using repairtest::Reply;
using repairtest::ScriptedSource;
using repairtest::SourceScript;

const uint32_t kPiece = 4096;

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        mirror = repairtest::MakeMirror(dir.File("mirror.qov"), 12, 30000, 7);
        ASSERT_GT(mirror.pieceCount, 60u);
        local = dir.File("local.qov");
        repairtest::WriteAll(local, mirror.bytes);
    }

    // A source for the next run; the test keeps its script, to set it up
    // and to read its requests.
    SourceScript* AddSource(const std::string& name, const Bytes& bytes) {
        scripts.push_back(std::make_shared<SourceScript>(name, bytes));
        sources.emplace_back(new ScriptedSource(scripts.back()));
        return scripts.back().get();
    }
    SourceScript* AddSource(const std::string& name = "mirror") { return AddSource(name, mirror.bytes); }

    RepairOptions Options() {
        RepairOptions options;
        options.archive = local;
        options.connections = 1;
        options.firstBackOff = std::chrono::milliseconds(1);
        options.longestBackOff = std::chrono::milliseconds(4);
        options.onNote = [this](const std::string& line) { notes.push_back(line); };
        return options;
    }

    // Prepares and executes; the plan in `plan`.
    RepairResult Run(RepairOptions options) {
        ArchiveRepair repair(std::move(options), std::move(sources));
        if (!repair.Prepare()) return repair.Result();
        plan = repair.Plan();
        return repair.Execute();
    }
    RepairResult Run() { return Run(Options()); }

    // Ranges asked for besides the probe's (the header window, the piece
    // table), in piece numbers: {first piece, pieces}.
    std::vector<std::pair<uint64_t, uint64_t>> DataRequests(SourceScript* source) {
        std::vector<std::pair<uint64_t, uint64_t>> data;
        for (const auto& request : source->Requests()) {
            if (request.first == 0 || request.first >= mirror.info.ArchieveSize) continue;
            data.emplace_back(request.first / kPiece, request.second / kPiece);
        }
        return data;
    }

    void ExpectRepaired(const RepairResult& result) {
        EXPECT_EQ(result.outcome, RepairOutcome::kRepaired) << result.error;
        EXPECT_TRUE(repairtest::PiecesUnlike(local, mirror).empty());
        TNQOVArchive* archive = nullptr;
        ASSERT_TRUE(SFileOpenArchive(local.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        EXPECT_TRUE(SFileVerifyAll(archive, nullptr));
        uint32_t size = 0;
        const uint8_t* map = SFileGetBitmap(archive, &size);
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(std::count(map, map + size, 1), static_cast<long>(mirror.pieceCount))
            << "the map says good";
        SFileCloseArchive(archive, false);
    }

    repairtest::TempDir dir;
    repairtest::MirrorArchive mirror;
    std::string local;
    std::vector<std::unique_ptr<PieceSource>> sources;
    std::vector<std::shared_ptr<SourceScript>> scripts;
    RepairPlan plan;
    std::vector<std::string> notes;
};

TEST_F(CoreTest, FetchesOnlyDamagedPiecesInRunsOfAdjacentOnes) {
    repairtest::DamagePieces(local, kPiece, {3, 4, 5, 10, 20});
    SourceScript* source = AddSource();
    RepairOptions options = Options();
    options.maxRequestBytes = 2 * kPiece;
    const RepairResult result = Run(options);
    ExpectRepaired(result);
    EXPECT_EQ(plan.pieces, (std::vector<uint32_t>{3, 4, 5, 10, 20}));
    EXPECT_EQ(plan.bytes, 5u * kPiece);
    EXPECT_TRUE(plan.filesKnown);
    EXPECT_FALSE(plan.files.empty());
    EXPECT_FALSE(plan.rebuild);
    EXPECT_EQ(result.piecesStored, 5u);
    EXPECT_EQ(result.bytesStored, 5u * kPiece);
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {{3, 2}, {5, 1}, {10, 1}, {20, 1}};
    EXPECT_EQ(DataRequests(source), expected);
}

TEST_F(CoreTest, TheMapOnDiskIsOnlyAHint) {
    repairtest::DamagePieces(local, kPiece, {8, 9});
    // The map says every piece is good although two are not...
    TNQOVArchive* archive = nullptr;
    ASSERT_TRUE(SFileOpenArchive(local.c_str(), &archive, 0));
    uint32_t size = 0;
    uint8_t* map = SFileGetBitmap(archive, &size);
    ASSERT_NE(map, nullptr);
    std::fill(map, map + size, 1);
    ASSERT_TRUE(SFileWriteBitmap(archive));
    SFileCloseArchive(archive, false);
    AddSource();
    ExpectRepaired(Run());
    EXPECT_EQ(plan.pieces, (std::vector<uint32_t>{8, 9}));
    // ...and that every piece is bad although all are good.
    ASSERT_TRUE(SFileOpenArchive(local.c_str(), &archive, 0));
    map = SFileGetBitmap(archive, &size);
    std::fill(map, map + size, 2);
    ASSERT_TRUE(SFileWriteBitmap(archive));
    SFileCloseArchive(archive, false);
    SourceScript* source = AddSource();
    ExpectRepaired(Run());
    EXPECT_TRUE(plan.pieces.empty());
    EXPECT_TRUE(DataRequests(source).empty());
}

TEST_F(CoreTest, PiecesAreWrittenTheMomentTheirBytesAreIn) {
    repairtest::DamagePieces(local, kPiece, {30, 31, 32, 33, 34, 35});
    SourceScript* source = AddSource();
    bool firstTwoOnDiskMidway = false;
    source->afterChunk = [&](uint64_t delivered) {
        // Two pieces of the six-piece request are in, the rest not yet.
        if (delivered != 2 * kPiece) return;
        const std::vector<uint32_t> unlike = repairtest::PiecesUnlike(local, mirror);
        firstTwoOnDiskMidway = unlike == std::vector<uint32_t>{32, 33, 34, 35};
    };
    ExpectRepaired(Run());
    EXPECT_TRUE(firstTwoOnDiskMidway);
    EXPECT_EQ(DataRequests(source).size(), 1u);
}

// Chunks holding several whole pieces and parts of others: the pieces a
// chunk completes are written together, each only when it verifies, and
// none waits for the next chunk.
TEST_F(CoreTest, PiecesCompletedByOneChunkAreWrittenTogether) {
    repairtest::DamagePieces(local, kPiece, {20, 21, 22, 23, 24, 25, 26, 27, 28, 29});
    SourceScript* source = AddSource();
    source->chunk = 3 * kPiece + kPiece / 2;
    bool flipped = false;
    source->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 20 * kPiece && !flipped) {
            flipped = true;
            reply.flipAt = 5 * kPiece + 7;  // piece 25, inside the second chunk
        }
        return reply;
    };
    // The damaged pieces left after each chunk that changed them (the
    // probe's chunks change nothing).
    const std::vector<uint32_t> damaged = repairtest::PiecesUnlike(local, mirror);
    std::vector<std::vector<uint32_t>> unlikeAfterChunk;
    source->afterChunk = [&](uint64_t) {
        const std::vector<uint32_t> unlike = repairtest::PiecesUnlike(local, mirror);
        if (unlike != damaged) unlikeAfterChunk.push_back(unlike);
    };
    ExpectRepaired(Run());
    // After the first chunk (3.5 pieces) 20 to 22 are in; after the second
    // (7 pieces) 23, 24 and 26 too, 25 did not verify.
    ASSERT_GE(unlikeAfterChunk.size(), 2u);
    EXPECT_EQ(unlikeAfterChunk[0], (std::vector<uint32_t>{23, 24, 25, 26, 27, 28, 29}));
    EXPECT_EQ(unlikeAfterChunk[1], (std::vector<uint32_t>{25, 27, 28, 29}));
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {{20, 10}, {25, 1}};
    EXPECT_EQ(DataRequests(source), expected);
}

TEST_F(CoreTest, BytesThatDoNotVerifyNeverReachTheArchive) {
    repairtest::DamagePieces(local, kPiece, {12, 40, 41});
    const Bytes before = repairtest::ReadAll(local);
    SourceScript* source = AddSource();
    // Piece 12 comes with a flipped byte every time, piece 41 the first time.
    bool flipped41 = false;
    source->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 12 * kPiece) reply.flipAt = 100;
        if (position == 40 * kPiece && !flipped41) {
            flipped41 = true;
            reply.flipAt = kPiece + 5;
        }
        return reply;
    };
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kIncomplete);
    EXPECT_EQ(result.piecesLeft, std::vector<uint32_t>{12});
    EXPECT_EQ(repairtest::PiecesUnlike(local, mirror), std::vector<uint32_t>{12});
    const Bytes after = repairtest::ReadAll(local);
    EXPECT_TRUE(
        std::equal(before.begin() + 12 * kPiece, before.begin() + 13 * kPiece, after.begin() + 12 * kPiece))
        << "piece 12 holds what it held";
    // Piece 12 was asked for five times; piece 40 came with the first
    // answer, 41 was asked for again alone.
    const auto requests = DataRequests(source);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), std::make_pair<uint64_t, uint64_t>(12, 1)), 5);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), std::make_pair<uint64_t, uint64_t>(40, 2)), 1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), std::make_pair<uint64_t, uint64_t>(41, 1)), 1);
}

TEST_F(CoreTest, ACutTransferKeepsItsWholePiecesAndAsksForTheRest) {
    repairtest::DamagePieces(local, kPiece, {50, 51, 52, 53});
    SourceScript* source = AddSource();
    bool cut = false;
    source->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 50 * kPiece && !cut) {
            cut = true;
            reply.deliver = kPiece + kPiece / 2;  // a piece and a half, then a reset
        }
        return reply;
    };
    ExpectRepaired(Run());
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {{50, 4}, {51, 3}};
    EXPECT_EQ(DataRequests(source), expected);
}

TEST_F(CoreTest, AFinalFailureMovesTheRangesToTheNextSource) {
    repairtest::DamagePieces(local, kPiece, {15, 25, 35});
    SourceScript* first = AddSource("first");
    SourceScript* second = AddSource("second");
    first->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position != 0 && position < mirror.info.ArchieveSize) {
            reply.status = FetchStatus::kFailed;
            reply.deliver = 0;
        }
        return reply;
    };
    ExpectRepaired(Run());
    EXPECT_EQ(DataRequests(first).size(), 1u) << "the first source is not asked again";
    EXPECT_EQ(DataRequests(second).size(), 3u);
}

TEST_F(CoreTest, EachSourceGetsItsAttemptsThenTheRangeIsGivenUp) {
    repairtest::DamagePieces(local, kPiece, {44});
    const auto busy = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 44 * kPiece) {
            reply.status = FetchStatus::kRetry;
            reply.deliver = 0;
        }
        return reply;
    };
    SourceScript* first = AddSource("first");
    SourceScript* second = AddSource("second");
    first->script = busy;
    second->script = busy;
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kIncomplete);
    EXPECT_EQ(result.piecesLeft, std::vector<uint32_t>{44});
    EXPECT_FALSE(result.filesLeft.empty());
    EXPECT_EQ(DataRequests(first).size(), 5u);
    EXPECT_EQ(DataRequests(second).size(), 5u);
}

TEST_F(CoreTest, RetryAfterIsWaitedForUpToItsBound) {
    repairtest::DamagePieces(local, kPiece, {46});
    SourceScript* source = AddSource();
    bool once = false;
    source->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 46 * kPiece && !once) {
            once = true;
            reply.status = FetchStatus::kRetry;
            reply.deliver = 0;
            reply.retryAfterMs = 300;
        }
        return reply;
    };
    const auto started = std::chrono::steady_clock::now();
    ExpectRepaired(Run());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
}

TEST_F(CoreTest, StopEndsASlowTransferAndKeepsWhatIsStored) {
    std::vector<uint32_t> damaged;
    for (uint32_t piece = 5; piece < 45; ++piece) damaged.push_back(piece);
    repairtest::DamagePieces(local, kPiece, damaged);
    const Bytes before = repairtest::ReadAll(local);
    SourceScript* source = AddSource();
    RepairOptions options = Options();
    options.connections = 2;
    ArchiveRepair repair(options, std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    // A slow transfer: a kilobyte every 20 ms.
    source->chunk = 1024;
    source->afterChunk = [](uint64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        repair.Stop();
    });
    const auto started = std::chrono::steady_clock::now();
    const RepairResult result = repair.Execute();
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_EQ(result.outcome, RepairOutcome::kStopped);
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_GT(result.piecesStored, 0u);
    const std::vector<uint32_t> left = repairtest::PiecesUnlike(local, mirror);
    EXPECT_EQ(left.size(), damaged.size() - result.piecesStored);
    EXPECT_EQ(result.piecesLeft, left);
    const Bytes after = repairtest::ReadAll(local);
    for (uint32_t piece : left) {
        EXPECT_TRUE(std::equal(before.begin() + piece * kPiece, before.begin() + (piece + 1) * kPiece,
                               after.begin() + piece * kPiece));
    }
}

TEST_F(CoreTest, AMirrorThatChangesStopsTheRepairKeepingItsPieces) {
    repairtest::DamagePieces(local, kPiece, {16, 26, 36});
    SourceScript* source = AddSource();
    source->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 26 * kPiece) {
            reply.status = FetchStatus::kChanged;
            reply.deliver = 0;
            reply.message = "changed";
        }
        return reply;
    };
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("changed"), std::string::npos);
    EXPECT_EQ(repairtest::PiecesUnlike(local, mirror), (std::vector<uint32_t>{26, 36}));
}

TEST_F(CoreTest, ARateLimitSlowsTheDownload) {
    std::vector<uint32_t> damaged;
    for (uint32_t piece = 5; piece < 55; ++piece) damaged.push_back(piece);  // 200 KiB
    repairtest::DamagePieces(local, kPiece, damaged);
    AddSource();
    RepairOptions options = Options();
    options.bytesPerSecond = 400 * 1024;
    options.connections = 4;
    const auto started = std::chrono::steady_clock::now();
    ExpectRepaired(Run(options));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
}

//-----------------------------------------------------------------------------
// Rebuilds and refusals.

TEST_F(CoreTest, UnreadableTablesAreRebuiltOnlyFromASourceThatChecksOut) {
    // The HET table damaged: the library cannot open the archive.
    Bytes damaged = mirror.bytes;
    for (size_t n = 0; n < 64; ++n) damaged[mirror.info.HetTablePos64 + 16 + n] ^= 0xFF;
    repairtest::WriteAll(local, damaged);
    TNQOVArchive* archive = nullptr;
    ASSERT_FALSE(SFileOpenArchive(local.c_str(), &archive, NQOV_OPEN_READ_ONLY));
    // A source whose table pieces come broken every time: nothing changes.
    SourceScript* broken = AddSource("broken");
    broken->script = [&](uint64_t position, uint64_t length, int) {
        Reply reply;
        const uint64_t het = mirror.info.HetTablePos64;
        if (position != 0 && position <= het && het < position + length) reply.flipAt = het - position + 20;
        return reply;
    };
    RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("header and tables"), std::string::npos) << result.error;
    EXPECT_EQ(repairtest::ReadAll(local), damaged);
    // A good one.
    AddSource();
    result = Run();
    ExpectRepaired(result);
    EXPECT_TRUE(plan.rebuild);
}

TEST_F(CoreTest, AMissingTailIsRebuilt) {
    Bytes cut(mirror.bytes.begin(), mirror.bytes.begin() + mirror.bytes.size() / 3);
    repairtest::WriteAll(local, cut);
    AddSource();
    ExpectRepaired(Run());
    EXPECT_TRUE(plan.rebuild);
    EXPECT_FALSE(plan.archiveMissing);
    EXPECT_EQ(repairtest::ReadAll(local).size(), mirror.bytes.size());
}

TEST_F(CoreTest, AMissingArchiveIsMadeButNotFromABrokenSource) {
    std::filesystem::remove(local);
    SourceScript* broken = AddSource("broken");
    broken->script = [&](uint64_t position, uint64_t length, int) {
        Reply reply;
        const uint64_t het = mirror.info.HetTablePos64;
        if (position != 0 && position <= het && het < position + length) reply.flipAt = het - position + 20;
        return reply;
    };
    RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_FALSE(std::filesystem::exists(local));
    AddSource();
    result = Run();
    ExpectRepaired(result);
    EXPECT_TRUE(plan.archiveMissing);
    EXPECT_EQ(plan.bytes, mirror.info.ArchieveSize + mirror.info.MD5TableSize64);
}

TEST_F(CoreTest, AnotherFileIsRebuiltOnlyWithForce) {
    const Bytes other = repairtest::RandomBytes(12345, 99);
    repairtest::WriteAll(local, other);
    AddSource();
    RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("--force"), std::string::npos);
    EXPECT_EQ(repairtest::ReadAll(local), other);
    AddSource();
    RepairOptions options = Options();
    options.force = true;
    ExpectRepaired(Run(options));
}

TEST_F(CoreTest, AnotherVersionIsRefusedBeforeAnythingIsWritten) {
    const repairtest::MirrorArchive other = repairtest::MakeMirror(dir.File("other.qov"), 12, 30000, 8);
    repairtest::WriteAll(local, other.bytes);
    AddSource();
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("another version"), std::string::npos);
    EXPECT_EQ(repairtest::ReadAll(local), other.bytes);
    // Also when its tables cannot be read: its header still tells.
    Bytes damaged = other.bytes;
    for (size_t n = 0; n < 64; ++n) damaged[other.info.HetTablePos64 + 16 + n] ^= 0xFF;
    repairtest::WriteAll(local, damaged);
    AddSource();
    EXPECT_EQ(Run().outcome, RepairOutcome::kUnusable);
    EXPECT_EQ(repairtest::ReadAll(local), damaged);
}

TEST_F(CoreTest, AnArchiveAnotherRepairHoldsIsRefused) {
    repairtest::DamagePieces(local, kPiece, {7});
    AddSource();
    ArchiveRepair first(Options(), std::move(sources));
    ASSERT_TRUE(first.Prepare());
    sources.clear();
    AddSource();
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("in use"), std::string::npos) << result.error;
    // A look that writes nothing waits for no one but a writer.
    sources.clear();
    AddSource();
    ArchiveRepair look(Options(), std::move(sources));
    EXPECT_FALSE(look.Prepare(true));
    EXPECT_EQ(first.Execute().outcome, RepairOutcome::kRepaired);
}

#if !defined(_WIN32)
TEST_F(CoreTest, AnArchiveAnotherProgramLocksIsRefused) {
    const int held = open(local.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    AddSource();
    const RepairResult result = Run();
    close(held);
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("in use"), std::string::npos);
}
#endif

TEST_F(CoreTest, APlanForReadingOnlyWritesNothing) {
    repairtest::DamagePieces(local, kPiece, {7});
    const Bytes before = repairtest::ReadAll(local);
    SourceScript* source = AddSource();
    ArchiveRepair repair(Options(), std::move(sources));
    ASSERT_TRUE(repair.Prepare(true));
    EXPECT_EQ(repair.Plan().pieces, std::vector<uint32_t>{7});
    EXPECT_EQ(repair.Execute().outcome, RepairOutcome::kUnusable);
    EXPECT_EQ(repairtest::ReadAll(local), before);
    EXPECT_TRUE(DataRequests(source).empty());
}

TEST_F(CoreTest, SourcesThatCannotBeUsedAreNamed) {
    Bytes notAnArchive = repairtest::RandomBytes(50000, 5);
    AddSource("random", notAnArchive);
    AddSource("empty", Bytes());
    const RepairResult result = Run();
    EXPECT_EQ(result.outcome, RepairOutcome::kUnusable);
    EXPECT_NE(result.error.find("random holds no archive"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("empty"), std::string::npos) << result.error;
}

}  // namespace
}  // namespace repair
}  // namespace brevik
