// Pieces and the piece-state map (verify/): piece arithmetic, verifying,
// reading and writing single pieces, whole-archive verification (also on
// several threads), the pieces of one file, and what reaches the disk.

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

using testutil::Bytes;
namespace hdr = testutil::hdr;

namespace {

class RecordingCallback : public sfile_verify_piece_callback {
public:
    void OnPieceVerified(uint32_t count, uint32_t index) override { calls.push_back({count, index}); }
    std::vector<std::pair<uint32_t, uint32_t>> calls;
};

std::vector<std::pair<uint32_t, uint32_t>> InOrder(uint32_t count) {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    for (uint32_t i = 0; i < count; i++) calls.push_back({count, i});
    return calls;
}

class PiecesTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("pieces.qov"); }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    // Writes an archive holding `big` (uncompressed, first after the header)
    // and a small compressed file, then closes it.
    void Write(uint32_t pieceSize, size_t bigSize, uint32_t chunkSize = 0, uint64_t headerOffset = 0) {
        TNQOVArchive* created = testutil::CreateArchive(path, 64, 3, pieceSize, chunkSize, headerOffset);
        ASSERT_NE(created, nullptr) << QOVGetLastError();
        big = testutil::RandomBytes(bigSize, 1);
        ASSERT_TRUE(testutil::AddBytes(created, "big.bin", big, 0));
        ASSERT_TRUE(testutil::AddBytes(created, "small.txt", testutil::TextBytes(300, 2)));
        ASSERT_TRUE(SFileCloseArchive(created, true)) << QOVGetLastError();
    }

    void Open(uint32_t flags = 0) {
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, flags)) << QOVGetLastError();
    }

    void Counts(uint32_t* last, uint32_t* count, uint32_t* size) {
        ASSERT_TRUE(SFileGetPieceCount(ha, last, count, size));
    }

    std::vector<uint8_t> Map() {
        uint32_t size = 0;
        const uint8_t* map = SFileGetBitmap(ha, &size);
        return map == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(map, map + size);
    }

    // Gives the archive a new ArchieveSize and a piece table and map for it
    // (in place of the old ones, at the old table position).
    void Recut(uint64_t archiveSize) {
        const Bytes header = testutil::ReadRange(path, 0, NQOV_HEADER_SIZE);
        const uint32_t pieceSize = ReadLE32(&header[hdr::kPieceSize]);
        const uint64_t tablePos = ReadLE64(&header[hdr::kMD5TablePos]);
        ASSERT_LE(archiveSize, tablePos);
        const uint64_t pieces = (archiveSize + pieceSize - 1) / pieceSize;
        ASSERT_TRUE(testutil::PatchLE64(path, hdr::kArchieveSize, archiveSize));
        ASSERT_TRUE(testutil::PatchLE64(path, hdr::kMD5TableSize, (pieces + 1) * 16));
        ASSERT_TRUE(testutil::PatchLE64(path, hdr::kBitmapPos, tablePos + (pieces + 1) * 16));
        ASSERT_TRUE(testutil::PatchLE64(path, hdr::kBitmapSize, pieces));
        ASSERT_TRUE(testutil::ResealHeader(path));
        Bytes file = testutil::ReadFileOrEmpty(path);
        file.resize(tablePos);
        Bytes table;
        for (uint64_t i = 0; i < pieces; i++) {
            const size_t start = i * pieceSize;
            const size_t length = std::min<uint64_t>(pieceSize, archiveSize - start);
            uint8_t digest[16];
            QOVMD5(&file[start], length, digest);
            table.insert(table.end(), digest, digest + 16);
        }
        uint8_t digest[16];
        QOVMD5(table.data(), table.size(), digest);
        table.insert(table.end(), digest, digest + 16);
        file.insert(file.end(), table.begin(), table.end());
        file.insert(file.end(), pieces, 1);
        ASSERT_TRUE(testutil::WriteFile(path, file));
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
    Bytes big;
};

}  // namespace

TEST_F(PiecesTest, ExactlyThreeFullPieces) {
    Write(4096, 9000);
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(last, 4096u);
    EXPECT_EQ(Map(), Bytes(3, 1));
    RecordingCallback callback;
    EXPECT_TRUE(SFileVerifyAll(ha, &callback));
    EXPECT_EQ(callback.calls, InOrder(3));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

TEST_F(PiecesTest, ShortLastPiece) {
    Write(4096, 12000);
    Recut(3 * 4096 + 5);
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(last, 5u);
    const Bytes file = testutil::ReadFileOrEmpty(path);
    const uint8_t* piece1 = &file[4096];
    const uint8_t* piece3 = &file[3 * 4096];

    EXPECT_TRUE(SFileVerifyPiece(ha, 3, piece3, 5));
    EXPECT_TRUE(SFileVerifyPiece(ha, 1, piece1, 4096));
    EXPECT_FALSE(SFileVerifyPiece(ha, 4, piece3, 5));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SFileVerifyPiece(ha, 3, piece3, 4096));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(SFileVerifyPiece(ha, 1, piece1, 100));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_INVALID));
    EXPECT_FALSE(SFileVerifyPiece(ha, 1, piece1, 4097));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_INVALID));
    // Wrong bytes of the right length: false with no error.
    Bytes wrong(piece1, piece1 + 4096);
    wrong[100] ^= 1;
    QOVSetLastError(4242);
    EXPECT_FALSE(SFileVerifyPiece(ha, 1, wrong.data(), 4096));
    EXPECT_EQ(QOVGetLastError(), 0u);
    EXPECT_FALSE(SFileVerifyPiece(ha, 1, nullptr, 4096));

    Bytes buffer(4096);
    EXPECT_TRUE(SFileReadPieceVerified(ha, 3, buffer.data(), 5));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), Bytes(piece3, piece3 + 5));
    EXPECT_FALSE(SFileReadPieceVerified(ha, 3, buffer.data(), 4096));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(SFileReadPieceVerified(ha, 0, buffer.data(), 5));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_INVALID));
    EXPECT_FALSE(SFileReadPieceVerified(ha, 4, buffer.data(), 5));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Map(), Bytes(4, 1)) << "refused requests record nothing";

    RecordingCallback callback;
    EXPECT_TRUE(SFileVerifyAll(ha, &callback));
    EXPECT_EQ(callback.calls, InOrder(4));
}

// An archive whose ArchieveSize is 0 has no pieces.
TEST_F(PiecesTest, NoPieces) {
    Write(65536, 1000);
    ASSERT_TRUE(testutil::PatchLE64(path, hdr::kArchieveSize, 0));
    ASSERT_TRUE(testutil::ResealHeader(path));
    Open();
    uint32_t last = 0, count = 9, size = 0;
    Counts(&last, &count, &size);
    EXPECT_EQ(count, 0u);
    RecordingCallback callback;
    EXPECT_TRUE(SFileVerifyAll(ha, &callback));
    EXPECT_TRUE(callback.calls.empty());
    Bytes buffer(65536);
    EXPECT_FALSE(SFileVerifyPiece(ha, 0, buffer.data(), 65536));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

// A piece table whose size is no multiple of 16 is refused when loaded.
TEST_F(PiecesTest, PieceTableOf24Bytes) {
    Write(65536, 1000);
    // With no pieces the open's own check of 32 bytes still passes.
    ASSERT_TRUE(testutil::PatchLE64(path, hdr::kArchieveSize, 0));
    ASSERT_TRUE(testutil::PatchLE64(path, hdr::kMD5TableSize, 24));
    ASSERT_TRUE(testutil::ResealHeader(path));
    Open();
    EXPECT_FALSE(SFileLoadMd5(ha));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // Loading is tried again next time, with the same answer.
    EXPECT_FALSE(SFileLoadMd5(ha));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileLoadMd5(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(PiecesTest, DamagedPieceSeven) {
    Write(4096, 40000);
    const Bytes pristine = testutil::ReadFileOrEmpty(path);
    ASSERT_TRUE(testutil::FlipByte(path, 7 * 4096 + 123));
    const Bytes damaged = testutil::ReadFileOrEmpty(path);
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    ASSERT_GE(count, 10u);

    RecordingCallback callback;
    EXPECT_FALSE(SFileVerifyAll(ha, &callback));
    EXPECT_EQ(callback.calls, InOrder(count));
    std::vector<uint8_t> expected(count, 1);
    expected[7] = 2;
    EXPECT_EQ(Map(), expected);

    // The file's own pieces: 0 .. 9, of which 7 is bad.
    uint32_t first = 99, pieces = 99;
    ASSERT_TRUE(SFilePathToPieceIndex(ha, "big.bin", &first, &pieces));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(pieces, (172u + 40000u - 1) / 4096 + 1);
    EXPECT_FALSE(SFileVerifyFilePieceMD5(ha, "big.bin"));
    EXPECT_TRUE(SFileVerifyFilePieceMD5(ha, "small.txt"));

    Bytes buffer(4096);
    QOVSetLastError(4242);
    EXPECT_FALSE(SFileReadPieceVerified(ha, 7, buffer.data(), 4096));
    EXPECT_EQ(QOVGetLastError(), 0u) << "a digest mismatch carries no error";
    EXPECT_EQ(buffer, Bytes(damaged.begin() + 7 * 4096, damaged.begin() + 8 * 4096));
    EXPECT_TRUE(SFileReadPieceVerified(ha, 6, buffer.data(), 4096));

    // Nothing was changed, so closing with flush writes nothing.
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), damaged);

    // Writing the good piece repairs the file.
    Open();
    const Bytes good(pristine.begin() + 7 * 4096, pristine.begin() + 8 * 4096);
    Bytes bad = good;
    bad[0] ^= 0x55;
    EXPECT_FALSE(SFileWritePieceVerified(ha, 6, bad.data(), 4096));
    EXPECT_EQ(Map()[6], 2);
    EXPECT_FALSE(SFileWritePieceVerified(ha, 7, good.data(), 100));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_INVALID));
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), damaged) << "refused pieces are not written";
    EXPECT_TRUE(SFileWritePieceVerified(ha, 7, good.data(), 4096));
    EXPECT_EQ(Map()[7], 1);
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), pristine);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    EXPECT_EQ(Map(), std::vector<uint8_t>(count, 1));
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "big.bin", &data, true));
    EXPECT_EQ(data, big);
}

TEST_F(PiecesTest, MapReachesTheDiskOnlyWhenWritten) {
    Write(4096, 40000);
    ASSERT_TRUE(testutil::FlipByte(path, 5 * 4096 + 1));
    Open();
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    ASSERT_TRUE(SFileWriteBitmap(ha));
    SFileCloseArchive(ha, false);
    ha = nullptr;
    Open();
    const std::vector<uint8_t> map = Map();
    ASSERT_GT(map.size(), 5u);
    for (size_t i = 0; i < map.size(); i++) EXPECT_EQ(map[i], i == 5 ? 2 : 1) << i;
    EXPECT_FALSE(SFileWriteBitmap(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(PiecesTest, ReadOnlyArchiveRefusesPieceWrites) {
    Write(4096, 20000);
    const Bytes before = testutil::ReadFileOrEmpty(path);
    Open(NQOV_OPEN_READ_ONLY);
    QOVSetLastError(0);
    EXPECT_FALSE(SFileWritePieceVerified(ha, 1, &before[4096], 4096));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Map()[1], 2);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    SFileCloseArchive(ha, true);
    ha = nullptr;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), before);
}

// A file's last piece includes its chunk digests.
TEST_F(PiecesTest, FilePiecesIncludeChunkDigests) {
    Write(4096, 4096 - 172 - 8, 1024);  // the data ends 8 bytes before piece 1; its digests do not
    Open();
    uint32_t first = 99, pieces = 99;
    ASSERT_TRUE(SFilePathToPieceIndex(ha, "big.bin", &first, &pieces));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(pieces, 2u);
    EXPECT_TRUE(SFileVerifyFilePieceMD5(ha, "big.bin"));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));

    EXPECT_FALSE(SFilePathToPieceIndex(ha, "", &first, &pieces));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFilePathToPieceIndex(ha, "missing.bin", &first, &pieces));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SFilePathToPieceIndex(nullptr, "big.bin", &first, &pieces));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileVerifyFilePieceMD5(ha, "missing.bin"));
}

// Piece positions are absolute: a header at 8192 puts the first file in piece 2.
TEST_F(PiecesTest, PiecesCountFromTheStartOfTheFile) {
    Write(4096, 5000, 0, 8192);
    Open();
    uint32_t first = 99, pieces = 99;
    ASSERT_TRUE(SFilePathToPieceIndex(ha, "big.bin", &first, &pieces));
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(pieces, (8192u + 172u + 5000u - 1) / 4096 - 2 + 1);
    EXPECT_TRUE(SFileVerifyFilePieceMD5(ha, "big.bin"));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

// Whole-archive verification on several threads gives exactly what piece
// after piece gives, with callbacks in order.
TEST_F(PiecesTest, ParallelVerificationMatchesPieceByPiece) {
    Write(1024, 70000);
    const std::set<uint32_t> damaged = {3, 4, 17, 29, 30, 31, 50, 67};
    for (uint32_t piece : damaged) ASSERT_TRUE(testutil::FlipByte(path, piece * 1024 + 511));
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    ASSERT_GE(count, 70u);

    TNQOVArchive* other = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &other, NQOV_OPEN_READ_ONLY));
    std::vector<uint8_t> oneByOne(count);
    Bytes buffer(1024);
    for (uint32_t i = 0; i < count; i++)
        oneByOne[i] = SFileReadPieceVerified(other, i, buffer.data(), i + 1 == count ? last : 1024) ? 1 : 2;
    SFileCloseArchive(other, false);
    for (uint32_t i = 0; i < count; i++) ASSERT_EQ(oneByOne[i], damaged.count(i) ? 2 : 1) << i;

    for (int round = 0; round < 3; round++) {
        uint32_t mapSize = 0;
        uint8_t* map = SFileGetBitmap(ha, &mapSize);
        ASSERT_EQ(mapSize, count);
        std::fill(map, map + mapSize, 0);
        RecordingCallback callback;
        EXPECT_FALSE(SFileVerifyAll(ha, &callback));
        EXPECT_EQ(callback.calls, InOrder(count));
        EXPECT_EQ(Map(), oneByOne) << "round " << round;
    }
}

// A stop asked for during a whole-archive verification ends it within a
// piece: nothing after the piece being reported is reported or recorded,
// and the pass fails with ERROR_CANCELLED.  Asked for from the callback, as
// another thread would, at several moments of the pass, with pieces small
// (verified in batches on several threads) and large (one after the other).
TEST_F(PiecesTest, AStopEndsTheVerificationWithinAPiece) {
    struct StoppingCallback : sfile_verify_piece_callback {
        void OnPieceVerified(uint32_t, uint32_t index) override {
            calls.push_back(index);
            if (index == stopAfter) stop = true;
        }
        std::vector<uint32_t> calls;
        uint32_t stopAfter = 0;
        std::atomic<bool> stop{false};
    };
    const struct {
        uint32_t pieceSize;
        size_t bigSize;
    } layouts[] = {{1024, 200000}, {32u << 20, (64u << 20) + 5000}};  // 16 MiB and more: one after the other
    for (const auto& layout : layouts) {
        path = dir.File("stop-" + std::to_string(layout.pieceSize) + ".qov");
        Write(layout.pieceSize, layout.bigSize);
        Open();
        uint32_t last = 0, count = 0, size = 0;
        Counts(&last, &count, &size);
        ASSERT_GE(count, 3u);
        std::set<uint32_t> stops = {0u, 1u, count / 2, count - 2};  // each before the last piece
        for (const uint32_t stopAfter : stops) {
            uint32_t mapSize = 0;
            uint8_t* map = SFileGetBitmap(ha, &mapSize);
            ASSERT_EQ(mapSize, count);
            std::fill(map, map + mapSize, 0);
            StoppingCallback callback;
            callback.stopAfter = stopAfter;
            EXPECT_FALSE(SFileVerifyAllUntil(ha, &callback, &callback.stop));
            EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_CANCELLED));
            std::vector<uint32_t> expected;
            for (uint32_t i = 0; i <= stopAfter; i++) expected.push_back(i);
            EXPECT_EQ(callback.calls, expected) << count << " pieces, stopped after " << stopAfter;
            const std::vector<uint8_t> states = Map();
            for (uint32_t i = 0; i < count; i++)
                EXPECT_EQ(states[i], i <= stopAfter ? 1 : 0) << "piece " << i << " of " << count;
        }
        // Not stopped: the whole pass, as SFileVerifyAll.
        RecordingCallback all;
        const std::atomic<bool> never{false};
        EXPECT_TRUE(SFileVerifyAllUntil(ha, &all, &never));
        EXPECT_EQ(all.calls, InOrder(count));
        SFileCloseArchive(ha, false);
        ha = nullptr;
    }
}

// Runs of pieces read and hashed together give what piece after piece
// gives: the same states in the caller's array and in the map.
TEST_F(PiecesTest, PieceRunsMatchPieceByPiece) {
    Write(1024, 70000);
    const std::set<uint32_t> damaged = {0, 15, 16, 17, 40, 63};
    for (uint32_t piece : damaged) ASSERT_TRUE(testutil::FlipByte(path, piece * 1024 + 700));
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    ASSERT_GE(count, 70u);

    const struct {
        uint32_t first, pieces;
    } ranges[] = {{0, count}, {1, 14}, {16, 1}, {18, 22}, {41, count - 41}, {count - 1, 1}, {5, 0}};
    for (const auto& range : ranges) {
        SCOPED_TRACE("pieces " + std::to_string(range.first) + " + " + std::to_string(range.pieces));
        uint32_t mapSize = 0;
        uint8_t* map = SFileGetBitmap(ha, &mapSize);
        ASSERT_EQ(mapSize, count);
        std::fill(map, map + mapSize, 0);
        std::vector<uint8_t> states(range.pieces + 1, 0xEE);
        bool anyBad = false;
        for (uint32_t n = 0; n < range.pieces; n++) anyBad |= damaged.count(range.first + n) != 0;
        QOVSetLastError(4242);
        EXPECT_EQ(SFileVerifyPieces(ha, range.first, range.pieces, states.data()), !anyBad);
        if (anyBad) {
            EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
        }
        const std::vector<uint8_t> after = Map();
        for (uint32_t i = 0; i < count; i++) {
            const bool inside = i >= range.first && i - range.first < range.pieces;
            const uint8_t expected = !inside ? 0 : damaged.count(i) ? NQOV_PIECE_BAD : NQOV_PIECE_GOOD;
            EXPECT_EQ(after[i], expected) << "map, piece " << i;
            if (inside) {
                EXPECT_EQ(states[i - range.first], expected) << "states, piece " << i;
            }
        }
        EXPECT_EQ(states[range.pieces], 0xEE) << "nothing written past the range";
    }
    // Without an array of states the map alone records them.
    EXPECT_FALSE(SFileVerifyPieces(ha, 10, 10, nullptr));
    EXPECT_EQ(Map()[15], NQOV_PIECE_BAD);
    EXPECT_TRUE(SFileVerifyPieces(ha, 18, 10, nullptr));
}

// Pieces larger than a run are hashed from the file in chunks, one by one.
TEST_F(PiecesTest, PieceRunsOfLargePieces) {
    const uint32_t kPiece = 17 * 1024 * 1024;
    Write(kPiece, kPiece + 4096);
    ASSERT_TRUE(testutil::FlipByte(path, kPiece + 1000));
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    ASSERT_EQ(count, 2u);
    uint8_t states[2] = {};
    EXPECT_FALSE(SFileVerifyPieces(ha, 0, 2, states));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_EQ(states[0], NQOV_PIECE_GOOD);
    EXPECT_EQ(states[1], NQOV_PIECE_BAD);
    EXPECT_TRUE(SFileVerifyPieces(ha, 0, 1, states));
}

// The pieces at hand written together: each verified against the table and
// written, or refused, on its own.
TEST_F(PiecesTest, WritingPiecesAtHandTogether) {
    Write(1024, 40000);
    const Bytes pristine = testutil::ReadFileOrEmpty(path);
    for (uint32_t piece : {3u, 4u, 17u, 30u}) ASSERT_TRUE(testutil::FlipByte(path, piece * 1024 + 9));
    const Bytes damaged = testutil::ReadFileOrEmpty(path);
    Open();
    uint32_t last = 0, count = 0, size = 0;
    Counts(&last, &count, &size);
    const auto piece = [&](const Bytes& from, uint32_t index) { return from.data() + size_t(index) * 1024; };

    Bytes wrong(piece(pristine, 4), piece(pristine, 5));
    wrong[100] ^= 1;
    QOV_PIECE_WRITE writes[] = {
        {3, 1024, piece(pristine, 3), 99, 99},          // written
        {4, 1024, wrong.data(), 99, 99},                // does not match
        {17, 1000, piece(pristine, 17), 99, 99},        // wrong length
        {count + 5, 1024, piece(pristine, 3), 99, 99},  // no such piece
        {30, 1024, nullptr, 99, 99},                    // no bytes
        {17, 1024, piece(pristine, 17), 99, 99},        // written
    };
    EXPECT_FALSE(SFileWritePiecesVerified(ha, writes, 6));
    const uint32_t results[] = {QOV_PIECE_WRITTEN, QOV_PIECE_BAD_DIGEST, QOV_PIECE_FAILED,
                                QOV_PIECE_FAILED,  QOV_PIECE_FAILED,     QOV_PIECE_WRITTEN};
    const uint32_t errors[] = {ERROR_SUCCESS,       ERROR_SUCCESS,           ERROR_FILE_INVALID,
                               ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER, ERROR_SUCCESS};
    for (size_t n = 0; n < 6; n++) {
        EXPECT_EQ(writes[n].dwResult, results[n]) << "piece " << n;
        EXPECT_EQ(writes[n].dwError, errors[n]) << "piece " << n;
    }
    const std::vector<uint8_t> map = Map();
    EXPECT_EQ(map[3], NQOV_PIECE_GOOD);
    EXPECT_EQ(map[4], NQOV_PIECE_BAD);
    EXPECT_EQ(map[17], NQOV_PIECE_GOOD);
    EXPECT_EQ(map[30], NQOV_PIECE_BAD);
    Bytes expected = damaged;
    std::copy(piece(pristine, 3), piece(pristine, 4), expected.begin() + 3 * 1024);
    std::copy(piece(pristine, 17), piece(pristine, 18), expected.begin() + 17 * 1024);
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), expected) << "only the verified pieces are written";

    // More pieces than lanes, all good: every one written.
    std::vector<QOV_PIECE_WRITE> all;
    for (uint32_t index = 0; index < count; index++)
        all.push_back({index, index + 1 == count ? last : 1024, piece(pristine, index), 99, 99});
    EXPECT_TRUE(SFileWritePiecesVerified(ha, all.data(), static_cast<uint32_t>(all.size())));
    for (const QOV_PIECE_WRITE& write : all) EXPECT_EQ(write.dwResult, QOV_PIECE_WRITTEN) << write.dwIndex;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), pristine);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    EXPECT_TRUE(SFileWritePiecesVerified(ha, nullptr, 0));

    // A read-only archive refuses every write.
    SFileCloseArchive(ha, false);
    ha = nullptr;
    Open(NQOV_OPEN_READ_ONLY);
    QOV_PIECE_WRITE refused = {3, 1024, piece(pristine, 3), 99, 99};
    EXPECT_FALSE(SFileWritePiecesVerified(ha, &refused, 1));
    EXPECT_EQ(refused.dwResult, QOV_PIECE_FAILED);
    EXPECT_EQ(refused.dwError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

TEST_F(PiecesTest, InvalidHandlesAndParameters) {
    uint32_t last = 0, count = 0, size = 0;
    EXPECT_FALSE(SFileGetPieceCount(nullptr, &last, &count, &size));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileVerifyAll(nullptr, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    uint32_t mapSize = 77;
    EXPECT_EQ(SFileGetBitmap(nullptr, &mapSize), nullptr);
    EXPECT_EQ(mapSize, 0u);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    Bytes buffer(16);
    EXPECT_FALSE(SFileVerifyPiece(nullptr, 0, buffer.data(), 16));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileReadPieceVerified(nullptr, 0, buffer.data(), 16));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileWritePieceVerified(nullptr, 0, buffer.data(), 16));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileVerifyPieces(nullptr, 0, 1, buffer.data()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    QOV_PIECE_WRITE write = {0, 16, buffer.data(), 0, 0};
    EXPECT_FALSE(SFileWritePiecesVerified(nullptr, &write, 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    const char* names[] = {"a"};
    uint32_t results[1] = {};
    EXPECT_FALSE(VerifyFiles(nullptr, names, 1, results, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));

    Write(4096, 1000);
    Open();
    EXPECT_FALSE(SFileGetPieceCount(ha, nullptr, &count, &size));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileReadPieceVerified(ha, 0, nullptr, 4096));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // Pieces outside the archive: nothing is checked.
    Counts(&last, &count, &size);
    std::vector<uint8_t> states(4, 0xEE);
    for (const auto& range : {std::make_pair(count, 1u), std::make_pair(0u, count + 1),
                              std::make_pair(count - 1, 0xFFFFFFFFu), std::make_pair(0xFFFFFFFFu, 2u)}) {
        EXPECT_FALSE(SFileVerifyPieces(ha, range.first, range.second, states.data()));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(states, std::vector<uint8_t>(4, 0xEE));
    EXPECT_FALSE(SFileWritePiecesVerified(ha, nullptr, 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(VerifyFiles(ha, nullptr, 1, results, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(VerifyFiles(ha, nullptr, 0, nullptr, true));
}
