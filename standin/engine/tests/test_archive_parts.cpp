// The archive-backed engine's parts on real archives: the game archive under
// its lock (piece states, verified writes, a download thread's own handle,
// the map written back), the mirror source, the download threads (retries,
// failures, skipped pieces) and the rate limit.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DownloadPool.h"
#include "GameArchive.h"
#include "MORLEngineApi.h"
#include "MirrorSource.h"
#include "QOVLib.h"
#include "Transfer.h"

namespace standin {
namespace {

typedef std::vector<uint8_t> Bytes;
const uint32_t kPiece = 4096;

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(rng());
    return data;
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

struct Stored {
    std::string name;
    uint32_t flags;
    size_t size;
};

// A mirror of plain, compressed and encrypted files in 4 KiB pieces, and the
// game: a copy with one byte flipped in the middle of "comp\b.dat".
class ArchivePartsTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string prefix = testing::UnitTest::GetInstance()->current_test_info()->name();
        mirror = prefix + "-mirror.qov";
        game = prefix + "-game.qov";
        std::remove(mirror.c_str());
        QOV_CREATE_PARAMS params;
        SFileInitCreateParams(&params, 64);
        params.dwMD5PieceSize = kPiece;
        TNQOVArchive* archive = nullptr;
        ASSERT_TRUE(SFileCreateArchive(mirror.c_str(), &params, &archive));
        const Stored files[] = {{"plain\\a.dat", 0, 10000},
                                {"comp\\b.dat", NQOV_FILE_COMPRESS, 20000},
                                {"enc\\c.dat", NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, 9000},
                                {"plain\\d.dat", 0, 5000}};
        uint32_t seed = 1;
        for (const Stored& file : files) {
            contents[file.name] = RandomBytes(file.size, seed++);
            TNQOVFile* handle = nullptr;
            ASSERT_TRUE(SFileCreateFileEx(archive, file.name.c_str(), static_cast<uint32_t>(file.size), file.flags,
                                          &handle));
            ASSERT_TRUE(SFileWriteFile(handle, contents[file.name].data(), static_cast<uint32_t>(file.size)));
            ASSERT_TRUE(SFileFinishFile(handle));
        }
        ASSERT_TRUE(SFileCloseArchive(archive, true));

        Bytes bytes = ReadAll(mirror);
        ASSERT_TRUE(SFileOpenArchive(mirror.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        TFileEntry* entry = archive->RecordByName("comp\\b.dat");
        ASSERT_NE(entry, nullptr);
        flipped = entry->GetFilePosition() + entry->GetCompressedSize() / 2;
        SFileCloseArchive(archive, false);
        bytes[flipped] ^= 0x5A;
        WriteAll(game, bytes);
    }

    uint32_t FlippedPiece() const { return static_cast<uint32_t>(flipped / kPiece); }

    Bytes MirrorPiece(GameArchive& archive, uint32_t piece) {
        Bytes bytes = ReadAll(mirror);
        const uint64_t start = archive.PiecePosition(piece);
        return Bytes(bytes.begin() + static_cast<long>(start),
                     bytes.begin() + static_cast<long>(start + archive.PieceLength(piece)));
    }

    std::string mirror, game;
    std::map<std::string, Bytes> contents;
    uint64_t flipped = 0;
};

TEST_F(ArchivePartsTest, CheckFindsTheDamagedFileAndAVerifiedWriteMendsIt) {
    GameArchive archive;
    uint32_t error = 0;
    ASSERT_TRUE(archive.Open(game, &error)) << error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(archive.CheckPieces(stop));
    EXPECT_EQ(archive.BadPieceCount(), 1u);
    EXPECT_TRUE(archive.UnownedBadPieces().empty());

    const uint32_t damaged = archive.FileId("comp\\b.dat");
    ASSERT_NE(damaged, NQOV_INVALID_FILE_ID);
    EXPECT_EQ(archive.FileId("nowhere.dat"), NQOV_INVALID_FILE_ID);
    EXPECT_FALSE(archive.FileComplete(damaged));
    EXPECT_EQ(archive.FileBadPieces(damaged), std::vector<uint32_t>{FlippedPiece()});
    EXPECT_EQ(archive.FileFetchBytes(damaged), archive.PieceLength(FlippedPiece()));
    for (const char* whole : {"plain\\a.dat", "enc\\c.dat"}) {
        EXPECT_TRUE(archive.FileComplete(archive.FileId(whole))) << whole;
        EXPECT_EQ(archive.FileFetchBytes(archive.FileId(whole)), 0u) << whole;
    }
    uint32_t size = 0;
    ASSERT_TRUE(archive.FileSize(damaged, &size));
    EXPECT_EQ(size, 20000u);
    EXPECT_STREQ(archive.FileName(damaged), "comp\\b.dat");

    // Wrong bytes are refused and change nothing; the mirror's are taken.
    Bytes piece = MirrorPiece(archive, FlippedPiece());
    Bytes wrong = piece;
    wrong[7] ^= 1;
    EXPECT_FALSE(archive.WritePiece(FlippedPiece(), wrong.data(), static_cast<uint32_t>(wrong.size())));
    EXPECT_FALSE(archive.FileComplete(damaged));
    EXPECT_TRUE(archive.WritePiece(FlippedPiece(), piece.data(), static_cast<uint32_t>(piece.size())));
    EXPECT_TRUE(archive.FileComplete(damaged));
    // What a sync of the file fetched stays its download size.
    EXPECT_EQ(archive.FileFetchBytes(damaged), piece.size());

    EXPECT_TRUE(archive.Extract(damaged, "out\\b.dat", &error)) << error;
    EXPECT_EQ(ReadAll("out\\b.dat"), contents["comp\\b.dat"]);
}

TEST_F(ArchivePartsTest, AWritersOwnHandleMarksTheSharedMapWhichIsWrittenBack) {
    GameArchive archive;
    uint32_t error = 0;
    ASSERT_TRUE(archive.Open(game, &error)) << error;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(archive.CheckPieces(stop));
    const Bytes piece = MirrorPiece(archive, FlippedPiece());
    {
        std::unique_ptr<GameArchiveWriter> writer = archive.OpenWriter();
        ASSERT_NE(writer, nullptr);
        EXPECT_TRUE(writer->Write(FlippedPiece(), piece.data(), static_cast<uint32_t>(piece.size())));
    }
    EXPECT_TRUE(archive.FileComplete(archive.FileId("comp\\b.dat")));
    archive.Close();

    // The archive now equals the mirror but for the map; the map says good.
    TNQOVArchive* reopened = nullptr;
    ASSERT_TRUE(SFileOpenArchive(game.c_str(), &reopened, NQOV_OPEN_READ_ONLY));
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(reopened, &mapSize);
    ASSERT_NE(map, nullptr);
    for (uint32_t n = 0; n < mapSize; ++n) EXPECT_EQ(map[n], 1) << n;
    EXPECT_TRUE(SFileVerifyAll(reopened, nullptr));
    SFileCloseArchive(reopened, false);
}

TEST_F(ArchivePartsTest, ADamagedPieceLeftAloneIsMarkedDamagedOnDisk) {
    {
        GameArchive archive;
        uint32_t error = 0;
        ASSERT_TRUE(archive.Open(game, &error)) << error;
        std::atomic<bool> stop{false};
        ASSERT_TRUE(archive.CheckPieces(stop));
    }  // closed: the map goes back
    TNQOVArchive* reopened = nullptr;
    ASSERT_TRUE(SFileOpenArchive(game.c_str(), &reopened, NQOV_OPEN_READ_ONLY));
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(reopened, &mapSize);
    ASSERT_NE(map, nullptr);
    for (uint32_t n = 0; n < mapSize; ++n) EXPECT_EQ(map[n], n == FlippedPiece() ? 2 : 1) << n;
    SFileCloseArchive(reopened, false);
}

TEST_F(ArchivePartsTest, ArchivesThatCannotServeAreRefused) {
    GameArchive archive;
    uint32_t error = 0;
    EXPECT_FALSE(archive.Open("missing.qov", &error));
    EXPECT_NE(error, 0u);
    EXPECT_EQ(archive.FileId("plain\\a.dat"), NQOV_INVALID_FILE_ID);
    EXPECT_FALSE(archive.WriteMap(&error));

    // Damaged tables: the header no longer verifies.
    Bytes bytes = ReadAll(game);
    bytes[20] ^= 0xFF;
    WriteAll("broken.qov", bytes);
    EXPECT_FALSE(archive.Open("broken.qov", &error));

    std::string reason;
    EXPECT_EQ(OpenMirrorSource("missing.qov", &reason), nullptr);
    EXPECT_NE(reason.find("missing.qov"), std::string::npos);
    EXPECT_EQ(OpenMirrorSource("http://mirror.invalid/game.qov", &reason), nullptr);
    EXPECT_EQ(OpenMirrorSource("", &reason), nullptr);
}

TEST_F(ArchivePartsTest, TheMirrorTellsItsLayoutAndServesRangesInsideIt) {
    std::string reason;
    std::unique_ptr<MirrorSource> source = OpenMirrorSource(mirror, &reason);
    ASSERT_NE(source, nullptr) << reason;
    const MirrorLayout& layout = source->Layout();
    const Bytes bytes = ReadAll(mirror);
    EXPECT_EQ(layout.fileSize, bytes.size());
    EXPECT_EQ(layout.pieceSize, kPiece);
    EXPECT_EQ(layout.archiveSize % kPiece, 0u);
    // Header, HET, BET, list file and the part after the pieces.
    ASSERT_EQ(layout.structure.size(), 5u);
    EXPECT_EQ(layout.structure.front().position, 0u);
    EXPECT_EQ(layout.structure.back().position, layout.archiveSize);
    EXPECT_EQ(layout.structure.back().position + layout.structure.back().length, layout.fileSize);

    GameArchive archive;
    uint32_t error = 0;
    ASSERT_TRUE(archive.Open(game, &error));
    EXPECT_TRUE(archive.HasHeaderDigest(layout.headerDigest));

    Bytes piece(kPiece);
    ASSERT_TRUE(source->Read(kPiece, piece.data(), kPiece));
    EXPECT_EQ(0, std::memcmp(piece.data(), bytes.data() + kPiece, kPiece));
    EXPECT_FALSE(source->Read(layout.fileSize - 10, piece.data(), 11));
    EXPECT_FALSE(source->Read(~0ull - 5, piece.data(), 11));
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// One life of morl.dll as the plug-in gives it: loaded, the engine made,
// initialised, one file synced, uninitialised, released, freed.
void EngineLife(const std::wstring& dll) {
    HMODULE module = LoadLibraryW(dll.c_str());
    ASSERT_NE(module, nullptr);
    auto get = reinterpret_cast<PFN_GetResourceManagerII>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MORL_EXPORT_GET_RESOURCE_MANAGER)));
    auto release = reinterpret_cast<PFN_ReleaseResourceManagerII>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, MORL_EXPORT_RELEASE_RESOURCE_MANAGER)));
    ASSERT_TRUE(get != nullptr && release != nullptr);
    IResourceManager* engine = get();
    ASSERT_NE(engine, nullptr);
    EXPECT_TRUE(engine->Initialize("test"));
    const uint32_t index = engine->GetFileIndex("comp\\b.dat");
    uint32_t sync = MORL_INVALID_SYNC_ID;
    for (int n = 0; n < 1000 && sync == MORL_INVALID_SYNC_ID; ++n) {
        sync = engine->StartSync(index, nullptr, 50, MORL_SYNC_ANY, 0);
        if (sync == MORL_INVALID_SYNC_ID) Sleep(5);
    }
    ASSERT_NE(sync, MORL_INVALID_SYNC_ID);
    SyncResult result{};
    for (int n = 0; n < 1000 && result.status != MORL_SYNC_STATUS_SYNCED; ++n) {
        ASSERT_TRUE(engine->GetSyncResult(sync, &result));
        if (result.status != MORL_SYNC_STATUS_SYNCED) Sleep(5);
    }
    EXPECT_EQ(result.status, MORL_SYNC_STATUS_SYNCED);
    EXPECT_TRUE(engine->IsFileComplete(index));
    EXPECT_TRUE(engine->Uninitialize());
    release(engine);
    FreeLibrary(module);
}

TEST_F(ArchivePartsTest, LoadingAndFreeingTheEngineLeavesNoHandles) {
    const std::wstring folder = L"engine-life";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\morl.dll").c_str(), (folder + L"\\morl.dll").c_str(), FALSE));
    WriteAll("engine-life\\morl_script.ini",
             [&] {
                 const std::string text = "[Engine]\r\nBehaviour=archive\r\n[Archive]\r\nGame=game.qov\r\nMirror=..\\" +
                                          mirror + "\r\n";
                 return Bytes(text.begin(), text.end());
             }());
    const Bytes damaged = ReadAll(game);
    const std::wstring dll = folder + L"\\morl.dll";
    WriteAll("engine-life\\game.qov", damaged);
    EngineLife(dll);  // the first life loads what stays (the C run-time's own)
    DWORD before = 0, after = 0;
    GetProcessHandleCount(GetCurrentProcess(), &before);
    for (int life = 0; life < 10; ++life) {
        WriteAll("engine-life\\game.qov", damaged);
        EngineLife(dll);
    }
    GetProcessHandleCount(GetCurrentProcess(), &after);
    EXPECT_LE(after, before + 2) << before << " handles before, " << after << " after";
}

//-----------------------------------------------------------------------------
// The download threads, with a source and a sink of our own.

class ScriptedSource : public MirrorSource {
public:
    // Reads of piece p fail for its first failures[p] attempts.
    std::map<uint64_t, uint32_t> failures;
    std::atomic<uint32_t> reads{0};

    bool Read(uint64_t position, void* buffer, uint32_t length) override {
        ++reads;
        std::lock_guard<std::mutex> hold(m_mutex);
        uint32_t& left = failures[position];
        if (left > 0) {
            --left;
            return false;
        }
        std::memset(buffer, static_cast<int>(position & 0xFF), length);
        return true;
    }
    const MirrorLayout& Layout() const override { return m_layout; }
    std::string Describe() const override { return "scripted"; }

private:
    std::mutex m_mutex;
    MirrorLayout m_layout;
};

class RecordingSink : public PieceSink {
public:
    std::set<uint32_t> unwanted;  // sync ids
    std::mutex mutex;
    std::map<uint32_t, PieceOutcome> outcomes;  // by piece
    std::atomic<uint32_t> stores{0};

    bool Wanted(const PieceJob& job) override {
        std::lock_guard<std::mutex> hold(mutex);
        return unwanted.count(job.syncId) == 0;
    }
    std::unique_ptr<PieceWriter> OpenWriter() override {
        struct Writer : PieceWriter {
            explicit Writer(RecordingSink& sink) : sink(sink) {}
            bool Store(const PieceJob& job, const uint8_t* data) override {
                ++sink.stores;
                return data[0] == static_cast<uint8_t>(job.position & 0xFF);
            }
            RecordingSink& sink;
        };
        return std::unique_ptr<PieceWriter>(new Writer(*this));
    }
    void Done(const PieceJob& job, PieceOutcome outcome) override {
        std::lock_guard<std::mutex> hold(mutex);
        outcomes[job.piece] = outcome;
    }
    size_t Count() {
        std::lock_guard<std::mutex> hold(mutex);
        return outcomes.size();
    }
};

std::vector<PieceJob> Jobs(uint32_t syncId, uint32_t first, uint32_t count) {
    std::vector<PieceJob> jobs;
    for (uint32_t piece = first; piece < first + count; ++piece) {
        PieceJob job;
        job.syncId = syncId;
        job.piece = piece;
        job.position = uint64_t(piece) * 100;
        job.length = 100;
        jobs.push_back(job);
    }
    return jobs;
}

void WaitFor(RecordingSink& sink, size_t count) {
    for (int n = 0; n < 2000 && sink.Count() < count; ++n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(DownloadPoolTest, PiecesAreStoredRetriedFailedOrSkipped) {
    ScriptedSource source;
    source.failures[100] = 2;   // piece 1: in at the third attempt
    source.failures[200] = 99;  // piece 2: never
    RecordingSink sink;
    sink.unwanted.insert(9);
    RateLimiter limiter(0);
    {
        DownloadPool pool(source, sink, limiter, 3, 2);
        pool.Add(Jobs(1, 0, 4));
        pool.Add(Jobs(9, 10, 3));
        WaitFor(sink, 7);
    }
    ASSERT_EQ(sink.outcomes.size(), 7u);
    EXPECT_EQ(sink.outcomes[0], PieceOutcome::kStored);
    EXPECT_EQ(sink.outcomes[1], PieceOutcome::kStored);
    EXPECT_EQ(sink.outcomes[2], PieceOutcome::kFailed);
    EXPECT_EQ(sink.outcomes[3], PieceOutcome::kStored);
    for (uint32_t piece = 10; piece < 13; ++piece) EXPECT_EQ(sink.outcomes[piece], PieceOutcome::kSkipped);
    // Piece 0 and 3 once, piece 1 three times, piece 2 three times (one try
    // and two retries); nothing for the unwanted ones.
    EXPECT_EQ(source.reads.load(), 8u);
    EXPECT_EQ(sink.stores.load(), 3u);
}

TEST(DownloadPoolTest, BytesThatDoNotVerifyAreFetchedAgainThenFail) {
    struct WrongSource : ScriptedSource {
        bool Read(uint64_t, void* buffer, uint32_t length) override {
            ++reads;
            std::memset(buffer, 0xEE, length);
            return true;
        }
    } source;
    RecordingSink sink;
    RateLimiter limiter(0);
    {
        DownloadPool pool(source, sink, limiter, 2, 1);
        pool.Add(Jobs(1, 1, 1));
        WaitFor(sink, 1);
    }
    EXPECT_EQ(sink.outcomes[1], PieceOutcome::kFailed);
    EXPECT_EQ(source.reads.load(), 2u);
    EXPECT_EQ(sink.stores.load(), 2u);
}

TEST(DownloadPoolTest, StopEndsAThrottledPoolWithPiecesQueued) {
    ScriptedSource source;
    RecordingSink sink;
    RateLimiter limiter(1);  // a byte a second: 100 seconds a piece
    DownloadPool pool(source, sink, limiter, 2, 0);
    pool.Add(Jobs(1, 0, 50));
    limiter.Cancel();
    pool.Stop();
    EXPECT_LE(sink.Count(), 2u);  // at most the pieces the threads held
    for (const auto& outcome : sink.outcomes) EXPECT_EQ(outcome.second, PieceOutcome::kSkipped);
    EXPECT_FALSE(limiter.Acquire(1));
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

}  // namespace
}  // namespace standin
