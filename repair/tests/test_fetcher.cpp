// test_fetcher.cpp - what a repair that works file by file uses (the engine
// stand-in's syncs): pieces fetched on request (stored, retried, given up,
// cancelled, stopped), the map written back, the archive's files, the
// mirror archive as a source, and the rate limit and speed meter.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "ArchiveHeader.h"
#include "MirrorFileSource.h"
#include "PieceWriter.h"
#include "RateLimiter.h"
#include "SourceProbe.h"
#include "SpeedMeter.h"
#include "TestArchive.h"
#include "repair/ArchiveFiles.h"
#include "repair/Repair.h"

namespace brevik {
namespace repair {
namespace {

using repairtest::Bytes;
using repairtest::Reply;
using repairtest::ScriptedSource;
using repairtest::SourceScript;

const uint32_t kPiece = 4096;
const auto kLongWait = std::chrono::seconds(20);

// What a fetcher told, and a way to wait for it.
class Outcomes : public PieceListener {
public:
    void PieceStored(uint32_t piece, uint32_t) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        stored.insert(piece);
        m_changed.notify_all();
    }
    void PiecesFailed(const std::vector<uint32_t>& pieces, const std::string& why) override {
        std::lock_guard<std::mutex> hold(m_mutex);
        failed.insert(pieces.begin(), pieces.end());
        reasons.push_back(why);
        m_changed.notify_all();
    }
    // Waits until `count` pieces have ended.
    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, kLongWait, [&] { return stored.size() + failed.size() >= count; });
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return stored.size() + failed.size();
    }

    std::set<uint32_t> stored;
    std::set<uint32_t> failed;
    std::vector<std::string> reasons;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

// Holds a request until the test lets it go on.
class Gate {
public:
    void Arrive() {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_arrived = true;
        m_changed.notify_all();
        m_changed.wait_for(hold, kLongWait, [&] { return m_open; });
    }
    bool WaitForArrival() {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_changed.wait_for(hold, kLongWait, [&] { return m_arrived; });
    }
    void Open() {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_arrived = false;
    bool m_open = false;
};

class FetcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        mirror = repairtest::MakeMirror(dir.File("mirror.qov"), 12, 30000, 7);
        ASSERT_GT(mirror.pieceCount, 60u);
        local = dir.File("local.qov");
        repairtest::WriteAll(local, mirror.bytes);
    }

    SourceScript* AddSource() {
        script = std::make_shared<SourceScript>("mirror", mirror.bytes);
        sources.emplace_back(new ScriptedSource(script));
        return script.get();
    }

    RepairOptions Options() {
        RepairOptions options;
        options.archive = local;
        options.connections = 1;
        options.maxRequestBytes = kPiece;  // a request per piece
        options.firstBackOff = std::chrono::milliseconds(1);
        options.longestBackOff = std::chrono::milliseconds(4);
        return options;
    }

    // Requests for piece `piece`.
    size_t RequestsFor(uint32_t piece) {
        const auto requests = script->Requests();
        return static_cast<size_t>(std::count_if(requests.begin(), requests.end(), [&](const auto& request) {
            return request.first == uint64_t(piece) * kPiece;
        }));
    }

    std::vector<uint8_t> MapOnDisk() {
        TNQOVArchive* archive = nullptr;
        EXPECT_TRUE(SFileOpenArchive(local.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        if (archive == nullptr) return {};
        uint32_t size = 0;
        const uint8_t* map = SFileGetBitmap(archive, &size);
        std::vector<uint8_t> states(map, map + (map != nullptr ? size : 0));
        SFileCloseArchive(archive, false);
        return states;
    }

    // The pieces a file's bytes lie in.
    std::vector<uint32_t> PiecesOf(const std::string& name) {
        std::string error;
        std::unique_ptr<ArchiveFiles> files = ArchiveFiles::Open(local, &error);
        EXPECT_TRUE(files != nullptr) << error;
        std::vector<uint32_t> pieces;
        if (!files) return pieces;
        const ArchiveFile* file = files->File(files->FileId(name));
        EXPECT_NE(file, nullptr) << name;
        for (uint32_t n = 0; file != nullptr && n < file->pieceCount; ++n)
            pieces.push_back(file->firstPiece + n);
        return pieces;
    }

    repairtest::TempDir dir;
    repairtest::MirrorArchive mirror;
    std::string local;
    std::vector<std::unique_ptr<PieceSource>> sources;
    std::shared_ptr<SourceScript> script;
};

TEST_F(FetcherTest, PiecesAreStoredRetriedGivenUpOrCancelled) {
    repairtest::DamagePieces(local, kPiece, {5, 6, 7, 8, 20, 21, 22});
    AddSource();
    Gate firstRequest;
    std::mutex mutex;
    std::map<uint64_t, int> asked;
    script->script = [&](uint64_t position, uint64_t, int) {
        Reply reply;
        int times;
        {
            std::lock_guard<std::mutex> hold(mutex);
            times = ++asked[position];
        }
        if (position == 5 * kPiece && times == 1) firstRequest.Arrive();
        const bool fails = (position == 6 * kPiece && times <= 2) || position == 7 * kPiece;
        if (fails) {
            reply.status = FetchStatus::kRetry;
            reply.deliver = 0;
        }
        return reply;
    };
    RepairOptions options = Options();
    options.attempts = 3;
    ArchiveRepair repair(options, std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    EXPECT_EQ(repair.Plan().pieces, (std::vector<uint32_t>{5, 6, 7, 8, 20, 21, 22}));
    Outcomes outcomes;
    std::unique_ptr<PieceFetcher> fetcher = repair.StartFetcher(outcomes);
    ASSERT_NE(fetcher, nullptr) << repair.Result().error;
    fetcher->Fetch({5, 6, 7, 8});
    fetcher->Fetch({20, 21, 22});
    // While the only worker is held on piece 5, the last three are dropped.
    ASSERT_TRUE(firstRequest.WaitForArrival());
    fetcher->Cancel({20, 21, 22});
    firstRequest.Open();
    ASSERT_TRUE(outcomes.WaitFor(4));
    fetcher.reset();
    EXPECT_EQ(outcomes.stored, (std::set<uint32_t>{5, 6, 8}));
    EXPECT_EQ(outcomes.failed, std::set<uint32_t>{7});
    // Pieces 5 and 8 once, piece 6 three times (in at the third), piece 7
    // three times (the attempts); nothing for the dropped ones.
    EXPECT_EQ(RequestsFor(5), 1u);
    EXPECT_EQ(RequestsFor(6), 3u);
    EXPECT_EQ(RequestsFor(7), 3u);
    EXPECT_EQ(RequestsFor(8), 1u);
    for (uint32_t piece : {20u, 21u, 22u}) EXPECT_EQ(RequestsFor(piece), 0u) << piece;
    EXPECT_EQ(repairtest::PiecesUnlike(local, mirror), (std::vector<uint32_t>{7, 20, 21, 22}));
}

TEST_F(FetcherTest, BytesThatDoNotVerifyAreFetchedAgainThenGivenUp) {
    repairtest::DamagePieces(local, kPiece, {9});
    const Bytes before = repairtest::ReadAll(local);
    AddSource();
    script->script = [](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 9 * kPiece) reply.flipAt = 10;
        return reply;
    };
    RepairOptions options = Options();
    options.attempts = 2;
    ArchiveRepair repair(options, std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    Outcomes outcomes;
    std::unique_ptr<PieceFetcher> fetcher = repair.StartFetcher(outcomes);
    ASSERT_NE(fetcher, nullptr);
    fetcher->Fetch({9});
    ASSERT_TRUE(outcomes.WaitFor(1));
    fetcher.reset();
    EXPECT_EQ(outcomes.failed, std::set<uint32_t>{9});
    EXPECT_TRUE(outcomes.stored.empty());
    // Asked for twice; both answers went to the verified write, which took
    // neither.
    EXPECT_EQ(RequestsFor(9), 2u);
    EXPECT_EQ(repair.Progress().bytesReceived, 2u * kPiece);
    EXPECT_EQ(repair.Progress().bytesStored, 0u);
    EXPECT_EQ(repairtest::ReadAll(local), before);
}

TEST_F(FetcherTest, StopEndsAThrottledFetcherWithPiecesQueued) {
    std::vector<uint32_t> damaged;
    for (uint32_t piece = 5; piece < 55; ++piece) damaged.push_back(piece);
    repairtest::DamagePieces(local, kPiece, damaged);
    AddSource();
    RepairOptions options = Options();
    options.connections = 2;
    options.bytesPerSecond = 1;  // a byte a second: hours a piece
    ArchiveRepair repair(options, std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    Outcomes outcomes;
    std::unique_ptr<PieceFetcher> fetcher = repair.StartFetcher(outcomes);
    ASSERT_NE(fetcher, nullptr);
    fetcher->Fetch(damaged);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto started = std::chrono::steady_clock::now();
    repair.Stop();
    fetcher.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    // A stop ends pieces without a word: the engine is going away.
    EXPECT_EQ(outcomes.Count(), 0u);
    EXPECT_EQ(repairtest::PiecesUnlike(local, mirror).size(), damaged.size());
}

TEST_F(FetcherTest, AChangingMirrorFailsWhatIsQueuedAndWhatComesLater) {
    repairtest::DamagePieces(local, kPiece, {10, 30, 40});
    AddSource();
    script->script = [](uint64_t position, uint64_t, int) {
        Reply reply;
        if (position == 10 * kPiece) {
            reply.status = FetchStatus::kChanged;
            reply.deliver = 0;
            reply.message = "mirror changed";
        }
        return reply;
    };
    ArchiveRepair repair(Options(), std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    Outcomes outcomes;
    std::unique_ptr<PieceFetcher> fetcher = repair.StartFetcher(outcomes);
    ASSERT_NE(fetcher, nullptr);
    fetcher->Fetch({10, 30});
    ASSERT_TRUE(outcomes.WaitFor(2));
    fetcher->Fetch({40});
    ASSERT_TRUE(outcomes.WaitFor(3));
    EXPECT_EQ(outcomes.failed, (std::set<uint32_t>{10, 30, 40}));
    EXPECT_NE(outcomes.reasons.front().find("mirror changed"), std::string::npos) << outcomes.reasons.front();
}

TEST_F(FetcherTest, StoredPiecesGoIntoTheMapWhichIsWrittenBack) {
    const std::vector<uint32_t> damaged = PiecesOf("data\\file1.bin");
    ASSERT_FALSE(damaged.empty());
    const uint32_t piece = damaged[damaged.size() / 2];
    repairtest::DamagePieces(local, kPiece, {piece, 50});
    AddSource();
    ArchiveRepair repair(Options(), std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    // Written before anything was fetched: the damaged pieces say so.
    std::string error;
    ASSERT_TRUE(repair.WriteMap(&error)) << error;
    std::vector<uint8_t> map = MapOnDisk();
    ASSERT_EQ(map.size(), mirror.pieceCount);
    for (uint32_t n = 0; n < map.size(); ++n) EXPECT_EQ(map[n], n == piece || n == 50 ? 2 : 1) << n;

    Outcomes outcomes;
    std::unique_ptr<PieceFetcher> fetcher = repair.StartFetcher(outcomes);
    ASSERT_NE(fetcher, nullptr);
    fetcher->Fetch({piece});
    ASSERT_TRUE(outcomes.WaitFor(1));
    ASSERT_TRUE(repair.WriteMap(&error)) << error;
    map = MapOnDisk();
    for (uint32_t n = 0; n < map.size(); ++n) EXPECT_EQ(map[n], n == 50 ? 2 : 1) << n;
    fetcher->Fetch({50});
    ASSERT_TRUE(outcomes.WaitFor(2));
    fetcher.reset();
    ASSERT_TRUE(repair.WriteMap(&error)) << error;
    map = MapOnDisk();
    EXPECT_EQ(std::count(map.begin(), map.end(), 1), static_cast<long>(mirror.pieceCount));
    TNQOVArchive* archive = nullptr;
    ASSERT_TRUE(SFileOpenArchive(local.c_str(), &archive, NQOV_OPEN_READ_ONLY));
    EXPECT_TRUE(SFileVerifyAll(archive, nullptr));
    SFileCloseArchive(archive, false);
}

TEST_F(FetcherTest, TheFilesOfADamagedArchiveAndAVerifiedWrite) {
    const std::vector<uint32_t> pieces = PiecesOf("data\\file1.bin");  // compressed
    ASSERT_FALSE(pieces.empty());
    const uint32_t damaged = pieces[pieces.size() / 2];
    repairtest::DamagePieces(local, kPiece, {damaged});
    AddSource();
    ArchiveRepair repair(Options(), std::move(sources));
    ASSERT_TRUE(repair.Prepare());
    EXPECT_EQ(repair.Plan().pieces, std::vector<uint32_t>{damaged});
    EXPECT_EQ(repair.Plan().files, std::vector<std::string>{"data\\file1.bin"});

    std::string error;
    std::unique_ptr<ArchiveFiles> files = ArchiveFiles::Open(local, &error);
    ASSERT_NE(files, nullptr) << error;
    EXPECT_EQ(files->PieceCount(), mirror.pieceCount);
    const uint32_t id = files->FileId("data\\file1.bin");
    ASSERT_NE(id, ArchiveFiles::kNoFile);
    EXPECT_EQ(files->FileId("nowhere.dat"), ArchiveFiles::kNoFile);
    EXPECT_EQ(files->File(ArchiveFiles::kNoFile), nullptr);
    const ArchiveFile* file = files->File(id);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->name, "data\\file1.bin");
    EXPECT_EQ(file->size, 30000u);
    EXPECT_TRUE(file->hasMd5);
    EXPECT_LE(file->firstPiece, damaged);
    EXPECT_GT(file->firstPiece + file->pieceCount, damaged);
    // The damaged piece holds file data: no structure piece is damaged.
    // The list file's pieces are structure: the names come from there.
    const std::vector<uint32_t> structure = files->StructurePieces();
    EXPECT_FALSE(std::binary_search(structure.begin(), structure.end(), damaged));
    const ArchiveFile* list = files->File(files->FileId(NQOV_LISTFILE_NAME));
    ASSERT_NE(list, nullptr);
    ASSERT_GT(list->pieceCount, 0u);
    for (uint32_t n = 0; n < list->pieceCount; ++n) {
        EXPECT_TRUE(std::binary_search(structure.begin(), structure.end(), list->firstPiece + n));
    }
    for (const char* whole : {"data\\file0.bin", "data\\file2.bin"}) {
        const ArchiveFile* other = files->File(files->FileId(whole));
        ASSERT_NE(other, nullptr) << whole;
        EXPECT_TRUE(damaged < other->firstPiece || damaged >= other->firstPiece + other->pieceCount) << whole;
    }

    // Wrong bytes are refused and change nothing; the mirror's are taken.
    std::unique_ptr<PieceWriter> writer = PieceWriter::Open(local, &error);
    ASSERT_NE(writer, nullptr) << error;
    Bytes piece(mirror.bytes.begin() + damaged * kPiece, mirror.bytes.begin() + (damaged + 1) * kPiece);
    Bytes wrong = piece;
    wrong[7] ^= 1;
    uint32_t code = 0;
    EXPECT_EQ(writer->Write(damaged, wrong.data(), kPiece, &code), PieceWriter::Outcome::kBadDigest);
    EXPECT_EQ(repairtest::PiecesUnlike(local, mirror), std::vector<uint32_t>{damaged});
    EXPECT_EQ(writer->Write(damaged, piece.data(), kPiece, &code), PieceWriter::Outcome::kStored);
    EXPECT_TRUE(repairtest::PiecesUnlike(local, mirror).empty());

    uint32_t extractError = 0;
    const std::string target = dir.File("out/file1.bin");
    ASSERT_TRUE(files->Extract(id, target, &extractError)) << extractError;
    EXPECT_EQ(repairtest::ReadAll(target), repairtest::RandomBytes(30000, 8));
    EXPECT_FALSE(files->Extract(ArchiveFiles::kNoFile, target, &extractError));
}

TEST_F(FetcherTest, ArchivesAndMirrorsThatCannotServeAreRefused) {
    std::string error;
    uint32_t code = 0;
    EXPECT_EQ(ArchiveFiles::Open(dir.File("missing.qov"), &error, &code), nullptr);
    EXPECT_NE(code, 0u);
    EXPECT_NE(error.find("missing.qov"), std::string::npos) << error;
    // A damaged header: the archive does not open.
    Bytes bytes = mirror.bytes;
    bytes[20] ^= 0xFF;
    repairtest::WriteAll(dir.File("broken.qov"), bytes);
    EXPECT_EQ(ArchiveFiles::Open(dir.File("broken.qov"), &error), nullptr);

    EXPECT_EQ(OpenSource(dir.File("missing.qov"), SourceSettings(), &error), nullptr);
    EXPECT_NE(error.find("missing.qov"), std::string::npos) << error;
    EXPECT_EQ(OpenSource("", SourceSettings(), &error), nullptr);
    EXPECT_EQ(OpenSource("ftp://127.0.0.1/game.qov", SourceSettings(), &error), nullptr);

    // Nothing prepared: no map is written, no fetcher started.
    AddSource();
    ArchiveRepair repair(Options(), std::move(sources));
    EXPECT_FALSE(repair.WriteMap(&error));
    Outcomes outcomes;
    EXPECT_EQ(repair.StartFetcher(outcomes), nullptr);
}

TEST_F(FetcherTest, TheMirrorTellsItsLayoutAndServesRangesUpToItsEnd) {
    std::string error;
    std::unique_ptr<PieceSource> source = MakeMirrorFileSource(mirror.path, &error);
    ASSERT_NE(source, nullptr) << error;
    std::atomic<bool> stop{false};
    std::unique_ptr<SourceConnection> connection = source->Connect(stop, &error);
    ASSERT_NE(connection, nullptr) << error;
    StopFlag stopFlag;
    SourceIdentity identity;
    const FetchResult probe =
        ProbeSource(*connection, source->Name(), RetryPolicy(), stopFlag, nullptr, &identity);
    ASSERT_EQ(probe.status, FetchStatus::kComplete) << probe.message;
    EXPECT_EQ(identity.fileSize, mirror.bytes.size());
    EXPECT_EQ(identity.layout.pieceSize, kPiece);
    EXPECT_EQ(identity.layout.archiveSize, mirror.info.ArchieveSize);
    EXPECT_EQ(identity.layout.pieceCount, mirror.pieceCount);
    EXPECT_EQ(std::memcmp(identity.header.digest, mirror.info.MD5_QOVHeader, 16), 0) << "the version";
    // The header, the HET and the BET table; the piece table lies after
    // the pieces, up to the file's end.
    const std::vector<ByteRange> structure = StructureRanges(identity.header);
    ASSERT_EQ(structure.size(), 3u);
    EXPECT_EQ(structure.front().position, mirror.info.HeaderOffset);
    EXPECT_GE(identity.header.pieceTablePos, identity.layout.archiveSize);
    EXPECT_LE(identity.header.pieceTablePos + identity.header.pieceTableSize, identity.fileSize);

    std::vector<uint8_t> bytes;
    ASSERT_EQ(FetchOnce(*connection, kPiece, kPiece, identity.Expect(), &bytes).status,
              FetchStatus::kComplete);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), mirror.bytes.begin() + kPiece));
    // Past the end: answered up to the end, or not at all.
    const uint64_t size = mirror.bytes.size();
    const FetchResult tail = FetchOnce(*connection, size - 10, 11, identity.Expect(), &bytes);
    EXPECT_EQ(tail.status, FetchStatus::kComplete);
    EXPECT_EQ(bytes.size(), 10u);
    EXPECT_EQ(FetchOnce(*connection, size, 11, identity.Expect(), &bytes).status, FetchStatus::kFailed);
    EXPECT_EQ(FetchOnce(*connection, ~0ull - 5, 11, identity.Expect(), &bytes).status, FetchStatus::kFailed);
}

TEST(TransferTest, NoLimitLetsEverythingThroughAndTheMeterStartsAtZero) {
    RateLimiter open(0);
    for (int n = 0; n < 1000; ++n) ASSERT_TRUE(open.Acquire(1u << 30));
    SpeedMeter meter(std::chrono::milliseconds(3000));
    EXPECT_EQ(meter.BytesPerSecond(), 0u);
    meter.Begin();
    meter.Add(5000);
    EXPECT_GT(meter.BytesPerSecond(), 0u);
    EXPECT_LE(meter.BytesPerSecond(), 50000u);  // 5000 bytes over at least 0.1 s
}

TEST(TransferTest, ACancelledLimitLetsNothingThrough) {
    RateLimiter limiter(1);
    limiter.Cancel();
    EXPECT_FALSE(limiter.Acquire(1));
}

}  // namespace
}  // namespace repair
}  // namespace brevik
