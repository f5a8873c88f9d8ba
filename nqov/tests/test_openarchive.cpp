// Creating, opening, flushing and closing archives (QOVOpenArchive): the
// header search, header digests, table positions, the piece-table check at
// open, read-only files, creation parameters, the layout the table writer
// leaves, and what a flush does and does not write.

#include "read/QOVRead.h"
#include "write/QOVWrite.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using testutil::Bytes;
namespace hdr = testutil::hdr;

namespace {

TNQOVArchive* const kSentinel = reinterpret_cast<TNQOVArchive*>(0x1234);

class OpenArchiveTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("test.qov"); }

    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    // Writes a small archive with a few files and closes it.
    void WriteArchive(uint64_t headerOffset = 0, uint32_t pieceSize = 4096) {
        remove(path.c_str());
        TNQOVArchive* created = testutil::CreateArchive(path, 64, 3, pieceSize, 0, headerOffset);
        ASSERT_NE(created, nullptr) << QOVGetLastError();
        files = {{"readme.txt", testutil::TextBytes(5000, 1)},
                 {"Data\\plain.bin", testutil::RandomBytes(9000, 2)},
                 {"Data\\packed.txt", testutil::TextBytes(20000, 3)}};
        ASSERT_TRUE(testutil::AddBytes(created, files[0].first, files[0].second));
        ASSERT_TRUE(testutil::AddBytes(created, files[1].first, files[1].second, 0));
        ASSERT_TRUE(testutil::AddBytes(created, files[2].first, files[2].second,
                                       NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_SECTOR_CRC));
        ASSERT_TRUE(SFileCloseArchive(created, true)) << QOVGetLastError();
    }

    void ExpectFilesRead(TNQOVArchive* archive, bool checkPieces = true) {
        for (const auto& file : files) {
            Bytes data;
            EXPECT_TRUE(testutil::ReadWhole(archive, file.first, &data, checkPieces)) << file.first;
            EXPECT_EQ(data, file.second) << file.first;
        }
    }

    // Opens `path` and expects failure with `error` and a null handle.
    void ExpectOpenFails(uint32_t error) {
        TNQOVArchive* opened = kSentinel;
        EXPECT_FALSE(SFileOpenArchive(path.c_str(), &opened, 0));
        EXPECT_EQ(QOVGetLastError(), error);
        EXPECT_EQ(opened, nullptr);
        if (opened != nullptr && opened != kSentinel) SFileCloseArchive(opened, false);
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
    std::vector<std::pair<std::string, Bytes>> files;
};

}  // namespace

//-----------------------------------------------------------------------------
// Opening.

TEST_F(OpenArchiveTest, NoSignatureOnTheGrid) {
    Bytes data = testutil::RandomBytes(3000, 1);
    for (size_t at : {100u, 1000u, 2990u}) memcpy(&data[at], "nqov", 4);  // all off the 512 grid
    for (size_t at = 0; at < data.size(); at += 512) data[at] = 'x';
    ASSERT_TRUE(testutil::WriteFile(path, data));
    ExpectOpenFails(ERROR_BAD_FORMAT);

    ASSERT_TRUE(testutil::WriteFile(path, Bytes()));
    ExpectOpenFails(ERROR_BAD_FORMAT);
    ASSERT_TRUE(testutil::WriteFile(path, std::string("nqo")));
    ExpectOpenFails(ERROR_BAD_FORMAT);
}

TEST_F(OpenArchiveTest, MissingFileAndBadParameters) {
    ExpectOpenFails(ERROR_FILE_NOT_FOUND);
    TNQOVArchive* opened = kSentinel;
    EXPECT_FALSE(SFileOpenArchive(nullptr, &opened, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(opened, nullptr);
    opened = kSentinel;
    EXPECT_FALSE(SFileOpenArchive("", &opened, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(opened, nullptr);
    WriteArchive();
    EXPECT_FALSE(SFileOpenArchive(path.c_str(), nullptr, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST_F(OpenArchiveTest, WrittenArchiveOpensAndReads) {
    WriteArchive();
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    ExpectFilesRead(ha);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.dwArchiveFlags & (NQOV_FLAG_READ_ONLY | NQOV_FLAG_CHANGED), 0u);
}

TEST_F(OpenArchiveTest, WrongPieceTableDigestFailsTheOpen) {
    WriteArchive();
    Bytes header = testutil::ReadRange(path, 0, NQOV_HEADER_SIZE);
    const uint64_t tablePos = ReadLE64(&header[hdr::kMD5TablePos]);
    const uint64_t tableSize = ReadLE64(&header[hdr::kMD5TableSize]);
    ASSERT_TRUE(testutil::FlipByte(path, tablePos + tableSize - 1));
    ExpectOpenFails(ERROR_FILE_CORRUPT);

    // A digest of one piece changed while the last digest still matches the
    // old table is caught the same way.
    WriteArchive();
    ASSERT_TRUE(testutil::FlipByte(path, tablePos));
    ExpectOpenFails(ERROR_FILE_CORRUPT);
}

TEST_F(OpenArchiveTest, HeaderDigestDependsOnTheVersion) {
    WriteArchive();
    const Bytes pristine = testutil::ReadFileOrEmpty(path);

    // Version 0 with a wrong digest is refused.
    ASSERT_TRUE(testutil::FlipByte(path, hdr::kDigest + 3));
    ExpectOpenFails(ERROR_FILE_CORRUPT);

    // Version 1: the digest (now also wrong for the changed version) is not checked.
    ASSERT_TRUE(testutil::WriteFile(path, pristine));
    ASSERT_TRUE(testutil::PatchLE16(path, hdr::kFormatVersion, 1));
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    ExpectFilesRead(ha, false);  // the header lies in piece 0, which no longer matches
    SFileCloseArchive(ha, false);
    ha = nullptr;

    // Version 0 with an all-zero digest skips the check.
    ASSERT_TRUE(testutil::WriteFile(path, pristine));
    ASSERT_TRUE(testutil::PatchFile(path, hdr::kDigest, Bytes(16, 0)));
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    SFileCloseArchive(ha, false);
    ha = nullptr;

    // A changed field under a resealed digest opens again: the check is the digest.
    ASSERT_TRUE(testutil::WriteFile(path, pristine));
    ASSERT_TRUE(testutil::PatchLE16(path, hdr::kFormatVersion, 0));
    ASSERT_TRUE(testutil::PatchFile(path, 92, Bytes(16, 0xAB)));  // the patch base tag
    ExpectOpenFails(ERROR_FILE_CORRUPT);
    ASSERT_TRUE(testutil::ResealHeader(path));
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
}

TEST_F(OpenArchiveTest, HeaderAt1024BehindGarbage) {
    WriteArchive(1024);
    Bytes garbage = testutil::RandomBytes(1024, 77);
    memcpy(&garbage[100], "nqov", 4);  // off the grid: ignored
    garbage[0] = garbage[512] = 'g';
    ASSERT_TRUE(testutil::PatchFile(path, 0, garbage));

    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.HeaderOffset, 1024u);
    // Table positions are relative to the header, the piece table's absolute.
    const Bytes header = testutil::ReadRange(path, 1024, NQOV_HEADER_SIZE);
    EXPECT_EQ(info.HetTablePos64, ReadLE64(&header[hdr::kHetPos]));
    EXPECT_EQ(info.MD5TablePos64, ReadLE64(&header[hdr::kMD5TablePos]));
    EXPECT_EQ(info.MD5TablePos64 % 4096, 0u);
    EXPECT_EQ(info.BitmapPos64 + info.BitmapSize64, testutil::FileSize(path));
    ExpectFilesRead(ha, false);

    // The garbage lies in piece 0 and only that piece fails.
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    for (uint32_t i = 0; i < mapSize; i++) EXPECT_EQ(map[i], i == 0 ? 2 : 1) << i;

    // A rewrite keeps the bytes before the header and covers them again.
    ASSERT_TRUE(testutil::AddBytes(ha, "later.txt", testutil::TextBytes(300, 9)));
    ASSERT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    EXPECT_EQ(testutil::ReadRange(path, 0, 1024), garbage);
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    ExpectFilesRead(ha);
}

// The header search reads the file in blocks; headers next to a block
// boundary are found like any other.
TEST_F(OpenArchiveTest, HeaderNearBlockBoundaries) {
    for (uint64_t offset : {65024u, 65536u, 66048u, 131072u}) {
        WriteArchive(offset);
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << offset << " " << QOVGetLastError();
        QOV_ARCHIVE_INFO info;
        ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
        EXPECT_EQ(info.HeaderOffset, offset);
        ExpectFilesRead(ha);
        EXPECT_TRUE(SFileVerifyAll(ha, nullptr)) << offset;
        SFileCloseArchive(ha, false);
        ha = nullptr;
    }
}

TEST_F(OpenArchiveTest, TablePositionsBeyondTheFile) {
    WriteArchive();
    const Bytes pristine = testutil::ReadFileOrEmpty(path);
    const uint64_t size = pristine.size();
    for (uint64_t field : {hdr::kHetPos, hdr::kBetPos}) {
        // One byte beyond the end of the file is a bad format ...
        ASSERT_TRUE(testutil::WriteFile(path, pristine));
        ASSERT_TRUE(testutil::PatchLE64(path, field, size + 1));
        ASSERT_TRUE(testutil::ResealHeader(path));
        ExpectOpenFails(ERROR_BAD_FORMAT);
        // ... far beyond too (no overflow in header offset + position) ...
        ASSERT_TRUE(testutil::PatchLE64(path, field, ~0ull - 10));
        ASSERT_TRUE(testutil::ResealHeader(path));
        ExpectOpenFails(ERROR_BAD_FORMAT);
        // ... while a table right at the end cannot be read: corrupt.
        ASSERT_TRUE(testutil::PatchLE64(path, field, size));
        ASSERT_TRUE(testutil::ResealHeader(path));
        ExpectOpenFails(ERROR_FILE_CORRUPT);
    }
}

TEST_F(OpenArchiveTest, DamagedTablesAreCorrupt) {
    WriteArchive();
    const Bytes pristine = testutil::ReadFileOrEmpty(path);
    const uint64_t hetPos = ReadLE64(&pristine[hdr::kHetPos]);
    const uint64_t betPos = ReadLE64(&pristine[hdr::kBetPos]);
    for (uint64_t at : {hetPos, betPos, betPos + 12}) {  // signatures, BET body size
        ASSERT_TRUE(testutil::WriteFile(path, pristine));
        ASSERT_TRUE(testutil::FlipByte(path, at));
        ExpectOpenFails(ERROR_FILE_CORRUPT);
    }
    // No HET table at all.
    ASSERT_TRUE(testutil::WriteFile(path, pristine));
    ASSERT_TRUE(testutil::PatchLE64(path, hdr::kHetPos, 0));
    ASSERT_TRUE(testutil::ResealHeader(path));
    ExpectOpenFails(ERROR_FILE_CORRUPT);
}

// A record whose stored bytes run past the end of the file is refused.
TEST_F(OpenArchiveTest, RecordBeyondTheFile) {
    for (uint64_t beyond : {0u, 1u}) {
        WriteArchive();
        const uint64_t size = testutil::FileSize(path);
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
        const int index = testutil::FindRecordIndex(ha, "readme.txt");
        ASSERT_GE(index, 0);
        // The tables go where they were; only the record's size changes.
        DataAreaEnd(Impl(ha));
        TFileEntryImpl& entry = Impl(ha)->Records[index];
        entry.dwStoredSize = static_cast<uint32_t>(size - entry.StoredOffset + beyond);
        Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
        ASSERT_TRUE(SFileCloseArchive(ha, true));
        ha = nullptr;
        ASSERT_EQ(testutil::FileSize(path), size);
        if (beyond == 0) {
            ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << "ending at the end of the file is fine";
            SFileCloseArchive(ha, false);
            ha = nullptr;
        } else {
            ExpectOpenFails(ERROR_FILE_CORRUPT);
        }
    }
}

// A record whose parent hash names no record breaks the directory tree; the
// open fails and, as this library chooses, says why with 1392.
TEST_F(OpenArchiveTest, BrokenDirectoryTree) {
    WriteArchive();
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    const int index = testutil::FindRecordIndex(ha, "Data\\plain.bin");
    ASSERT_GE(index, 0);
    Impl(ha)->Records[index].ParentNameHash = 0x8000000000001234ull;
    Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
    ASSERT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    ExpectOpenFails(ERROR_FILE_CORRUPT);
}

//-----------------------------------------------------------------------------
// Closing and flushing.

TEST_F(OpenArchiveTest, CloseAndFlushOfNothing) {
    EXPECT_TRUE(SFileCloseArchive(nullptr, true));
    EXPECT_TRUE(SFileCloseArchive(nullptr, false));
    EXPECT_FALSE(SFileFlushArchive(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    // An object without a header is no archive.
    TNQOVArchiveImpl empty;
    EXPECT_FALSE(SFileFlushArchive(&empty));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    QOV_ARCHIVE_INFO info;
    EXPECT_FALSE(SFileGetArchiveInfo(&empty, &info));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SFileGetRecordCount(nullptr), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

// The repair tool's pass: open, read, verify, close with flush.  Nothing was
// added, so nothing is written, not even the changed piece-state map.
TEST_F(OpenArchiveTest, ReadAndVerifyThenCloseWithFlushWritesNothing) {
    WriteArchive();
    ASSERT_TRUE(testutil::FlipByte(path, 3000));  // inside a stored file, piece 0
    const Bytes before = testutil::ReadFileOrEmpty(path);
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    for (const auto& file : files) {
        Bytes data;
        testutil::ReadWhole(ha, file.first, &data, false);
    }
    VerifyFile(ha, "readme.txt");
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    uint32_t mapSize = 0;
    ASSERT_EQ(SFileGetBitmap(ha, &mapSize)[0], 2);
    EXPECT_TRUE(SFileFlushArchive(ha));
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), before);
}

TEST_F(OpenArchiveTest, SecondFlushChangesNothing) {
    WriteArchive();
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ASSERT_TRUE(testutil::AddBytes(ha, "new.txt", testutil::TextBytes(7000, 5)));
    ASSERT_TRUE(SFileFlushArchive(ha));
    const Bytes afterFirst = testutil::ReadFileOrEmpty(path);
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.dwArchiveFlags & (NQOV_FLAG_CHANGED | NQOV_FLAG_LISTFILE_CHANGED), 0u);
    ASSERT_TRUE(SFileFlushArchive(ha));
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), afterFirst);
    files.push_back({"new.txt", testutil::TextBytes(7000, 5)});
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ExpectFilesRead(ha);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

//-----------------------------------------------------------------------------
// Read-only files and read-only opens.

TEST_F(OpenArchiveTest, OpenArchiveIfWritable) {
    WriteArchive();
    TNQOVArchive* given = kSentinel;
    EXPECT_FALSE(OpenArchiveIfWritable(&given, path.c_str()));
    EXPECT_EQ(given, kSentinel) << "a non-null handle is left alone";
    EXPECT_FALSE(OpenArchiveIfWritable(nullptr, path.c_str()));

    ASSERT_TRUE(OpenArchiveIfWritable(&ha, path.c_str())) << QOVGetLastError();
    ASSERT_NE(ha, nullptr);
    ExpectFilesRead(ha);
    SFileCloseArchive(ha, false);
    ha = nullptr;

    TNQOVArchive* missing = nullptr;
    EXPECT_FALSE(OpenArchiveIfWritable(&missing, dir.File("missing.qov").c_str()));
    EXPECT_EQ(missing, nullptr);
}

TEST_F(OpenArchiveTest, FileWithoutWritePermissionIsReadOnly) {
    WriteArchive();
    const Bytes before = testutil::ReadFileOrEmpty(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);

    TNQOVArchive* given = nullptr;
    EXPECT_FALSE(OpenArchiveIfWritable(&given, path.c_str()));
    EXPECT_EQ(given, nullptr);
    if (given != nullptr) SFileCloseArchive(given, false);

    // A write open is refused like a read-only file on Windows.
    ExpectOpenFails(ERROR_ACCESS_DENIED);

    // A read-only open works; writing through it is refused.
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_NE(info.dwArchiveFlags & NQOV_FLAG_READ_ONLY, 0u);
    ExpectFilesRead(ha);
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "new.txt", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(hf, nullptr);
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    chmod(path.c_str(), 0644);
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), before);
}

TEST_F(OpenArchiveTest, ReadOnlyOpenOfAWritableFile) {
    WriteArchive();
    const Bytes before = testutil::ReadFileOrEmpty(path);
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "new.txt", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), before);
}

//-----------------------------------------------------------------------------
// Creating.

TEST_F(OpenArchiveTest, CreateParameterChecks) {
    QOV_CREATE_PARAMS good;
    SFileInitCreateParams(&good, 16);
    EXPECT_EQ(good.wSectorSize, 3);
    EXPECT_EQ(good.dwMD5PieceSize, 1024u * 1024u);
    EXPECT_EQ(good.dwRawChunkSize, 0u);
    EXPECT_EQ(good.qwHeaderOffset, 0u);

    struct Case {
        const char* what;
        void (*edit)(QOV_CREATE_PARAMS*);
    } cases[] = {
        {"capacity 0", [](QOV_CREATE_PARAMS* p) { p->dwMaxFileCount = 0; }},
        {"capacity above the maximum",
         [](QOV_CREATE_PARAMS* p) { p->dwMaxFileCount = NQOV_MAX_FILE_COUNT + 1; }},
        {"sector shift 23", [](QOV_CREATE_PARAMS* p) { p->wSectorSize = 23; }},
        {"piece size 0", [](QOV_CREATE_PARAMS* p) { p->dwMD5PieceSize = 0; }},
        {"header offset 100", [](QOV_CREATE_PARAMS* p) { p->qwHeaderOffset = 100; }},
        {"header offset 513", [](QOV_CREATE_PARAMS* p) { p->qwHeaderOffset = 513; }},
    };
    for (const Case& test : cases) {
        QOV_CREATE_PARAMS params = good;
        test.edit(&params);
        TNQOVArchive* created = kSentinel;
        EXPECT_FALSE(SFileCreateArchive(path.c_str(), &params, &created)) << test.what;
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER)) << test.what;
        EXPECT_EQ(created, nullptr) << test.what;
        EXPECT_FALSE(testutil::FileExists(path)) << test.what;
    }
    TNQOVArchive* created = kSentinel;
    EXPECT_FALSE(SFileCreateArchive(nullptr, &good, &created));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileCreateArchive("", &good, &created));
    EXPECT_FALSE(SFileCreateArchive(path.c_str(), nullptr, &created));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileCreateArchive(path.c_str(), &good, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(testutil::FileExists(path));

    // The largest values accepted.
    QOV_CREATE_PARAMS edge = good;
    edge.dwMaxFileCount = 1;
    edge.wSectorSize = 0;
    edge.dwMD5PieceSize = 1;
    ASSERT_TRUE(SFileCreateArchive(path.c_str(), &edge, &ha)) << QOVGetLastError();
}

TEST_F(OpenArchiveTest, CreateRefusesAnExistingFile) {
    ASSERT_TRUE(testutil::WriteFile(path, std::string("precious")));
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 16);
    TNQOVArchive* created = kSentinel;
    EXPECT_FALSE(SFileCreateArchive(path.c_str(), &params, &created));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(testutil::ReadText(path), "precious");
}

// The layout the table writer leaves in a new, empty archive.
TEST_F(OpenArchiveTest, LayoutOfANewArchive) {
    ha = testutil::CreateArchive(path, 10, 3, 4096);
    ASSERT_NE(ha, nullptr);
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.HeaderSize, NQOV_HEADER_SIZE);
    EXPECT_EQ(info.HetTablePos64, NQOV_HEADER_SIZE) << "the tables follow the header";
    EXPECT_EQ(info.BetTablePos64, info.HetTablePos64 + info.HetTableSize64);
    EXPECT_EQ(info.dwMaxFileCount, 10u);
    EXPECT_EQ(info.dwHashTableSize, 13u);
    EXPECT_EQ(info.dwFileTableSize, 0u);
    EXPECT_EQ(info.ArchieveSize % 4096, 0u);
    EXPECT_EQ(info.MD5TablePos64, info.ArchieveSize);
    const uint64_t pieces = info.ArchieveSize / 4096;
    EXPECT_EQ(info.MD5TableSize64, (pieces + 1) * 16);
    EXPECT_EQ(info.BitmapPos64, info.MD5TablePos64 + info.MD5TableSize64);
    EXPECT_EQ(info.BitmapSize64, pieces);
    EXPECT_EQ(testutil::FileSize(path), info.BitmapPos64 + info.BitmapSize64);
    // The bytes between the tables and the piece table are zero; the map is all 1.
    const Bytes data = testutil::ReadFileOrEmpty(path);
    const uint64_t tablesEnd = info.BetTablePos64 + info.BetTableSize64;
    for (uint64_t i = tablesEnd; i < info.MD5TablePos64; i++) ASSERT_EQ(data[i], 0) << i;
    for (uint64_t i = info.BitmapPos64; i < data.size(); i++) EXPECT_EQ(data[i], 1) << i;
    // The stored header matches the in-memory one and carries its digest.
    EXPECT_EQ(ReadLE32(&data[0]), NQOV_HEADER_SIGNATURE);
    EXPECT_EQ(testutil::Md5Hex(data.data(), 156), testutil::Hex(&data[156], 16));
    EXPECT_EQ(testutil::Hex(info.MD5_QOVHeader, 16), testutil::Hex(&data[156], 16));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    SFileCloseArchive(ha, true);
    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    EXPECT_EQ(SFileGetRecordCount(ha), 0u);
}

TEST_F(OpenArchiveTest, CreateCloseOpenKeepsEveryParameter) {
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 100);
    params.wSectorSize = 0;
    params.wFormatVersion = 1;
    params.dwMD5PieceSize = 3000;
    params.dwRawChunkSize = 1024;
    params.qwHeaderOffset = 1024;
    ASSERT_TRUE(SFileCreateArchive(path.c_str(), &params, &ha)) << QOVGetLastError();
    files = {{"a.txt", testutil::TextBytes(4000, 1)},
             {"b\\c.bin", testutil::RandomBytes(2500, 2)},
             {"b\\d.txt", testutil::TextBytes(600, 3)}};
    ASSERT_TRUE(testutil::AddBytes(ha, files[0].first, files[0].second));
    ASSERT_TRUE(testutil::AddBytes(ha, files[1].first, files[1].second, 0));
    ASSERT_TRUE(testutil::AddBytes(ha, files[2].first, files[2].second,
                                   NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC | NQOV_FILE_ENCRYPTED));
    ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    ha = nullptr;
    EXPECT_EQ(testutil::ReadRange(path, 0, 1024), Bytes(1024, 0));

    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.HeaderOffset, 1024u);
    EXPECT_EQ(info.wSectorSize, 0);
    EXPECT_EQ(info.dwSectorBytes, 512u);
    EXPECT_EQ(info.wFormatVersion, 1);
    EXPECT_EQ(info.dwMD5PieceSize, 3000u);
    EXPECT_EQ(info.dwRawChunkSize, 1024u);
    EXPECT_EQ(info.dwMaxFileCount, 100u);
    EXPECT_EQ(info.ArchieveSize % 3000, 0u);
    ExpectFilesRead(ha);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    for (const auto& file : files)
        EXPECT_EQ(VerifyFile(ha, file.first.c_str()), VERIFY_MD5_PRESENT) << file.first;
}

// Sector shift 22 gives 2 GiB sectors; only the empty archive is written.
TEST_F(OpenArchiveTest, LargestSectorShift) {
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 4);
    params.wSectorSize = 22;
    params.dwMD5PieceSize = 4096;
    ASSERT_TRUE(SFileCreateArchive(path.c_str(), &params, &ha)) << QOVGetLastError();
    ASSERT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    EXPECT_EQ(info.wSectorSize, 22);
    EXPECT_EQ(info.dwSectorBytes, 0x80000000u);
}
