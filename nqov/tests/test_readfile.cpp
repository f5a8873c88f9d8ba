// Reading files (QOVReadFile): short reads at the end, the file pointer,
// the sector cache, refused flags, keys found from content for unnamed
// records, piece-checked reads of damaged files, reads at every position and
// length around sector boundaries, extraction and whole-file verification
// (also of many files at once).

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

using testutil::Bytes;

namespace {

class ReadFileTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("read.qov"); }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    // A new archive with 512-byte sectors and 4096-byte pieces.
    void Create(uint32_t pieceSize = 4096) {
        ha = testutil::CreateArchive(path, 64, 0, pieceSize);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
    }

    void Add(const std::string& name, const Bytes& data, uint32_t flags) {
        ASSERT_TRUE(testutil::AddBytes(ha, name, data, flags)) << name << " " << QOVGetLastError();
        contents[name] = data;
    }

    void Close() {
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        ha = nullptr;
    }

    void Open() { ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError(); }

    TNQOVFile* OpenFile(const std::string& name, uint32_t scope = QOV_OPEN_FROM_ARCHIVE) {
        TNQOVFile* hf = nullptr;
        EXPECT_TRUE(NQOVOpenFileEx(ha, name.c_str(), scope, &hf)) << name << " " << QOVGetLastError();
        return hf;
    }

    QOV_RECORD_INFO Info(const std::string& name) {
        QOV_RECORD_INFO info = {};
        const int index = testutil::FindRecordIndex(ha, name);
        EXPECT_GE(index, 0) << name;
        if (index >= 0) SFileGetRecordInfo(ha, static_cast<uint32_t>(index), &info);
        return info;
    }

    // Absolute position of a record's stored bytes (header at 0).
    uint64_t StoredAt(const std::string& name) { return Info(name).StoredOffset; }

    // The sector offset table of an unencrypted compressed record, from disk.
    std::vector<uint32_t> OffsetTable(const std::string& name, uint32_t entries) {
        const Bytes raw = testutil::ReadRange(path, StoredAt(name), entries * 4);
        std::vector<uint32_t> table;
        for (uint32_t i = 0; i < entries; i++) table.push_back(ReadLE32(&raw[i * 4]));
        return table;
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
    std::map<std::string, Bytes> contents;
};

// Stream reads of the archive, counted through a replaced read operation.
int g_streamReads = 0;
STREAM_READ g_originalRead = nullptr;
bool CountingRead(TFileStream* stream, uint64_t* position, void* buffer, uint32_t length) {
    g_streamReads++;
    return g_originalRead(stream, position, buffer, length);
}

// Content whose first sector is text and whose later sectors alternate
// between random (stored plain when compressed) and text.
Bytes MixedContent(size_t size, uint64_t seed) {
    Bytes data = testutil::TextBytes(size, seed);
    const Bytes noise = testutil::RandomBytes(size, seed + 100);
    for (size_t i = 0; i < size; i++)
        if ((i / 512) % 2 == 1) data[i] = noise[i];
    return data;
}

}  // namespace

//-----------------------------------------------------------------------------
// Reads at the end and the file pointer.

TEST_F(ReadFileTest, ShortReadAtTheEnd) {
    Create();
    Add("twelve.bin", testutil::RandomBytes(12, 1), 0);
    Close();  // piece-checked reads need the piece table of the flush
    Open();
    TNQOVFile* hf = OpenFile("twelve.bin");
    ASSERT_NE(hf, nullptr);
    EXPECT_EQ(SFileGetFileSize(hf), 12u);
    ASSERT_EQ(SFileSetFilePointer(hf, 5, NQOV_FILE_BEGIN), 5u);
    Bytes buffer(10, 0xEE);
    uint32_t read = 99;
    EXPECT_FALSE(SFileReadFile(hf, buffer.data(), 10, &read, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
    EXPECT_EQ(read, 7u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7),
              Bytes(contents["twelve.bin"].begin() + 5, contents["twelve.bin"].end()));
    EXPECT_EQ(buffer[7], 0xEE) << "nothing is written beyond the bytes read";
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 12u);

    // At the end: nothing asked is success, anything asked is the end of file.
    EXPECT_TRUE(SFileReadFile(hf, buffer.data(), 0, &read, true));
    EXPECT_EQ(read, 0u);
    EXPECT_FALSE(SFileReadFile(hf, buffer.data(), 1, &read, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
    EXPECT_EQ(read, 0u);
    EXPECT_FALSE(SFileReadFile(hf, buffer.data(), 1, nullptr, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
    EXPECT_TRUE(SFileCloseFile(hf));
}

TEST_F(ReadFileTest, FilePointer) {
    Create();
    Add("data.bin", testutil::RandomBytes(1000, 1), NQOV_FILE_COMPRESS);
    TNQOVFile* hf = OpenFile("data.bin");
    ASSERT_NE(hf, nullptr);
    EXPECT_EQ(SFileSetFilePointer(hf, -1, NQOV_FILE_BEGIN), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 0u);

    ASSERT_EQ(SFileSetFilePointer(hf, 5, NQOV_FILE_BEGIN), 5u);
    EXPECT_EQ(SFileSetFilePointer(hf, -6, NQOV_FILE_CURRENT), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 5u) << "a refused move leaves the position";
    EXPECT_EQ(SFileSetFilePointer(hf, -5, NQOV_FILE_CURRENT), 0u);
    EXPECT_EQ(SFileSetFilePointer(hf, -1000, NQOV_FILE_END), 0u);
    EXPECT_EQ(SFileSetFilePointer(hf, -1001, NQOV_FILE_END), NQOV_INVALID_SIZE);
    EXPECT_EQ(SFileSetFilePointer(hf, 1, 3), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));

    // Beyond the end is accepted; reading there gives nothing.
    ASSERT_EQ(SFileSetFilePointer(hf, 100, NQOV_FILE_END), 1100u);
    Bytes buffer(10);
    uint32_t read = 99;
    EXPECT_FALSE(SFileReadFile(hf, buffer.data(), 10, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 1100u);

    // The position is 32-bit: moving past 0xFFFFFFFF is refused.
    ASSERT_EQ(SFileSetFilePointer(hf, 0x7FFFFFFF, NQOV_FILE_BEGIN), 0x7FFFFFFFu);
    ASSERT_EQ(SFileSetFilePointer(hf, 0x7FFFFFFF, NQOV_FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_EQ(SFileSetFilePointer(hf, 2, NQOV_FILE_CURRENT), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 0xFFFFFFFEu);
    EXPECT_FALSE(SFileReadFile(hf, buffer.data(), 10, &read, false));
    EXPECT_EQ(read, 0u);
    SFileCloseFile(hf);
    EXPECT_EQ(SFileSetFilePointer(nullptr, 0, NQOV_FILE_BEGIN), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(ReadFileTest, SectorCacheServesReadsInsideOneSector) {
    Create();
    Add("packed.txt", testutil::TextBytes(1500, 1), NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED);
    Close();
    Open();
    TNQOVFile* hf = OpenFile("packed.txt");
    ASSERT_NE(hf, nullptr);
    g_streamReads = 0;
    g_originalRead = Impl(ha)->pStream->StreamRead;
    Impl(ha)->pStream->StreamRead = CountingRead;
    const Bytes& content = contents["packed.txt"];
    Bytes buffer(10);
    auto readAt = [&](uint32_t position) {
        SFileSetFilePointer(hf, static_cast<int32_t>(position), NQOV_FILE_BEGIN);
        uint32_t read = 0;
        EXPECT_TRUE(SFileReadFile(hf, buffer.data(), 10, &read, true));
        EXPECT_EQ(buffer, Bytes(content.begin() + position, content.begin() + position + 10)) << position;
    };
    readAt(0);
    const int first = g_streamReads;
    EXPECT_GE(first, 1);
    readAt(10);
    readAt(500);
    EXPECT_EQ(g_streamReads, first) << "the cached sector is not read again";
    readAt(600);  // sector 1: one read, the offset table is kept
    EXPECT_EQ(g_streamReads, first + 1);
    readAt(700);
    EXPECT_EQ(g_streamReads, first + 1);
    readAt(20);  // back to sector 0
    EXPECT_EQ(g_streamReads, first + 2);
    Impl(ha)->pStream->StreamRead = g_originalRead;
    SFileCloseFile(hf);
}

//-----------------------------------------------------------------------------
// Opening.

TEST_F(ReadFileTest, RefusedFlagsAndDirectories) {
    Create();
    Add("a.txt", testutil::TextBytes(100, 1), NQOV_FILE_COMPRESS);
    Add("flags.txt", testutil::TextBytes(100, 2), NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_20 | NQOV_FILE_FLAG_30);
    Add("dir\\b.txt", testutil::TextBytes(100, 3), NQOV_FILE_COMPRESS);
    Close();
    Open();
    // Bits 20 and 30 are accepted and carried.
    TNQOVFile* hf = OpenFile("flags.txt");
    EXPECT_NE(hf, nullptr);
    SFileCloseFile(hf);
    EXPECT_EQ(Info("flags.txt").dwFlags,
              NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_20 | NQOV_FILE_FLAG_30);

    TFileEntryImpl& entry = Impl(ha)->Records[testutil::FindRecordIndex(ha, "a.txt")];
    const uint32_t flags = entry.dwFlags;
    for (uint32_t extra : {0x00080000u, 0x00000001u, 0x00040000u, NQOV_FILE_DIRECTORY, 0x10000000u}) {
        entry.dwFlags = flags | extra;
        hf = reinterpret_cast<TNQOVFile*>(0x1);
        EXPECT_FALSE(NQOVOpenFileEx(ha, "a.txt", QOV_OPEN_FROM_ARCHIVE, &hf)) << std::hex << extra;
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED)) << std::hex << extra;
        EXPECT_EQ(hf, nullptr);
    }
    entry.dwFlags = flags & ~NQOV_FILE_EXISTS;
    EXPECT_FALSE(NQOVOpenFileEx(ha, "a.txt", QOV_OPEN_FROM_ARCHIVE, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

    // The same from a written table.
    entry.dwFlags = flags | 0x00080000u;
    Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
    Close();
    Open();
    EXPECT_FALSE(NQOVOpenFileEx(ha, "a.txt", QOV_OPEN_PATCHED, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(NQOVOpenFileEx(ha, "dir", QOV_OPEN_FROM_ARCHIVE, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
}

TEST_F(ReadFileTest, OpenParameterChecks) {
    Create();
    Add("a.txt", testutil::TextBytes(100, 1), NQOV_FILE_COMPRESS);
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(NQOVOpenFileEx(ha, "a.txt", QOV_OPEN_FROM_ARCHIVE, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(NQOVOpenFileEx(nullptr, "a.txt", QOV_OPEN_FROM_ARCHIVE, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    for (uint32_t scope : {QOV_OPEN_FROM_ARCHIVE, QOV_OPEN_PATCHED, QOV_OPEN_TABLE_ONLY}) {
        EXPECT_FALSE(NQOVOpenFileEx(ha, "", scope, &hf)) << scope;
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER)) << scope;
        EXPECT_FALSE(NQOVOpenFileEx(ha, nullptr, scope, &hf)) << scope;
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER)) << scope;
        EXPECT_FALSE(NQOVOpenFileEx(ha, "b.txt", scope, &hf)) << scope;
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND)) << scope;
    }
    EXPECT_FALSE(NQOVOpenFileEx(ha, "a.txt", 2, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // A name hash, when given, is what is looked up.
    const uint64_t hash = QOVNameHash("a.txt") | (1ull << 63);
    ASSERT_TRUE(NQOVOpenFileEx(ha, nullptr, QOV_OPEN_FROM_ARCHIVE, &hf, hash));
    SFileCloseFile(hf);
    ASSERT_TRUE(NQOVOpenFileEx(ha, "whatever", QOV_OPEN_TABLE_ONLY, &hf, hash));
    SFileCloseFile(hf);
    // The table-only scope does not parse pseudo names.
    const std::string pseudo = MakePseudoFileName(hash);
    EXPECT_FALSE(NQOVOpenFileEx(ha, pseudo.c_str(), QOV_OPEN_TABLE_ONLY, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    ASSERT_TRUE(NQOVOpenFileEx(ha, pseudo.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf));
    SFileCloseFile(hf);

    hf = OpenFile("a.txt");
    Bytes buffer(10);
    EXPECT_FALSE(SFileReadFile(hf, nullptr, 10, nullptr, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileReadFile(nullptr, buffer.data(), 10, nullptr, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(SFileCloseFile(hf));
    EXPECT_FALSE(SFileCloseFile(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(SFileGetFileSize(nullptr), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileGetFileName(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

// A record that lost its name (no list-file line) is opened by its pseudo
// name; an enciphered one then finds its key from its first sector's known
// content, or from the sector offset table when it is compressed.
TEST_F(ReadFileTest, UnnamedEncryptedRecordsFindTheirKey) {
    Create();
    Bytes riff = testutil::RandomBytes(300, 1);
    memcpy(&riff[0], "RIFF", 4);
    WriteLE32(&riff[4], 300 - 8);
    memcpy(&riff[8], "WAVE", 4);
    Bytes exe = testutil::RandomBytes(1200, 2);
    memcpy(&exe[0], "MZ\x90\x00\x03\x00\x00\x00", 8);
    const std::string xmlText = "<?xml version=\"1.0\"?><root>" + std::string(200, 'x') + "</root>";
    const Bytes xml(xmlText.begin(), xmlText.end());
    const uint32_t enc = NQOV_FILE_ENCRYPTED;
    Add("sound.wav", riff, enc);
    Add("fixed.wav", riff, enc | NQOV_FILE_FIX_KEY);
    Add("tool.exe", exe, enc);
    Add("doc.xml", xml, enc | NQOV_FILE_FIX_KEY);
    Add("packed.bin", MixedContent(2000, 3), enc | NQOV_FILE_COMPRESS | NQOV_FILE_FIX_KEY);
    Add("noise.bin", testutil::RandomBytes(700, 4), enc);
    Close();
    Open();
    std::map<std::string, std::string> pseudo;
    for (const auto& file : contents) {
        const int index = testutil::FindRecordIndex(ha, file.first);
        ASSERT_GE(index, 0);
        Impl(ha)->Records[index].szFileName.reset();  // as if the list file did not name it
        pseudo[file.first] = MakePseudoFileName(Impl(ha)->Records[index].NameHash64);
    }
    for (const auto& file : contents) {
        if (file.first == "noise.bin") continue;
        for (uint32_t scope : {QOV_OPEN_FROM_ARCHIVE, QOV_OPEN_PATCHED}) {
            TNQOVFile* hf = OpenFile(pseudo[file.first], scope);
            ASSERT_NE(hf, nullptr) << file.first;
            Bytes data(file.second.size());
            uint32_t read = 0;
            EXPECT_TRUE(SFileReadFile(hf, data.data(), static_cast<uint32_t>(data.size()), &read, true))
                << file.first << " " << QOVGetLastError();
            EXPECT_EQ(data, file.second) << file.first;
            EXPECT_FALSE(Impl(hf)->pFileEntry->HasRealName()) << "a pseudo name is not stored as a name";
            SFileCloseFile(hf);
        }
        EXPECT_EQ(VerifyFile(ha, pseudo[file.first].c_str()), VERIFY_MD5_PRESENT) << file.first;
    }
    // Content that matches no known start: the open works, the read cannot.
    TNQOVFile* hf = OpenFile(pseudo["noise.bin"]);
    ASSERT_NE(hf, nullptr);
    Bytes data(700);
    uint32_t read = 0;
    EXPECT_FALSE(SFileReadFile(hf, data.data(), 700, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_QOV_FILE_KEY));
    EXPECT_EQ(read, 0u);
    SFileCloseFile(hf);
    EXPECT_EQ(VerifyFile(ha, pseudo["noise.bin"].c_str()), VERIFY_READ_ERROR);
    // Opened by its real name the key comes from the name.
    Bytes byName;
    EXPECT_TRUE(testutil::ReadWhole(ha, "noise.bin", &byName, true));
    EXPECT_EQ(byName, contents["noise.bin"]);
}

// The key found from a later sector is that sector's key; the file key is
// derived from it, so the earlier sectors read right too.
TEST_F(ReadFileTest, KeyFoundInALaterSector) {
    Create();
    Bytes content = testutil::RandomBytes(1536, 5);
    memcpy(&content[1024], "RIFF", 4);
    WriteLE32(&content[1028], 512 - 8);
    memcpy(&content[1032], "WAVE", 4);
    Add("late.wav", content, NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY);
    Close();
    Open();
    const int index = testutil::FindRecordIndex(ha, "late.wav");
    ASSERT_GE(index, 0);
    Impl(ha)->Records[index].szFileName.reset();
    TNQOVFile* hf = OpenFile(MakePseudoFileName(Impl(ha)->Records[index].NameHash64));
    ASSERT_NE(hf, nullptr);
    Bytes data(512);
    uint32_t read = 0;
    ASSERT_EQ(SFileSetFilePointer(hf, 1024, NQOV_FILE_BEGIN), 1024u);
    EXPECT_TRUE(SFileReadFile(hf, data.data(), 512, &read, true)) << QOVGetLastError();
    EXPECT_EQ(data, Bytes(content.begin() + 1024, content.end()));
    Bytes whole(1536);
    ASSERT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN), 0u);
    EXPECT_TRUE(SFileReadFile(hf, whole.data(), 1536, &read, true)) << QOVGetLastError();
    EXPECT_EQ(whole, content);
    SFileCloseFile(hf);
}

TEST_F(ReadFileTest, PseudoNameOfAnUnnamedRecord) {
    Create();
    Add("named.txt", testutil::TextBytes(100, 1), NQOV_FILE_COMPRESS);
    Close();
    Open();
    const int index = testutil::FindRecordIndex(ha, "named.txt");
    Impl(ha)->Records[index].szFileName.reset();
    const std::string pseudo = MakePseudoFileName(Impl(ha)->Records[index].NameHash64);
    QOV_RECORD_INFO info;
    ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
    EXPECT_EQ(std::string(info.szFileName), pseudo);
    EXPECT_FALSE(info.bNamed);
    // Opening by the real name gives the record its name back.
    TNQOVFile* hf = OpenFile("named.txt");
    ASSERT_NE(hf, nullptr);
    EXPECT_TRUE(SFileGetFileName(hf));
    SFileCloseFile(hf);
    ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
    EXPECT_STREQ(info.szFileName, "named.txt");
    EXPECT_TRUE(info.bNamed);
}

//-----------------------------------------------------------------------------
// Piece checks and damage.

TEST_F(ReadFileTest, DamagedUncompressedFileFailsOnlyWithPieceChecks) {
    Create();
    Add("plain.bin", testutil::RandomBytes(9000, 1), 0);
    Add("packed.txt", testutil::TextBytes(3000, 2), NQOV_FILE_COMPRESS);
    Close();
    const uint64_t stored = 172;                           // the first file follows the header
    ASSERT_TRUE(testutil::FlipByte(path, stored + 5000));  // piece 1
    Open();
    ASSERT_EQ(StoredAt("plain.bin"), stored);
    Bytes data;
    EXPECT_FALSE(testutil::ReadWhole(ha, "plain.bin", &data, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_LE(data.size(), 5000u) << "no damaged byte is delivered";

    EXPECT_TRUE(testutil::ReadWhole(ha, "plain.bin", &data, false));
    Bytes expected = contents["plain.bin"];
    expected[5000] = static_cast<uint8_t>(~expected[5000]);
    EXPECT_EQ(data, expected);

    // Ranges inside intact pieces still pass the check.
    TNQOVFile* hf = OpenFile("plain.bin");
    Bytes head(100);
    uint32_t read = 0;
    EXPECT_TRUE(SFileReadFile(hf, head.data(), 100, &read, true));
    EXPECT_EQ(head, Bytes(contents["plain.bin"].begin(), contents["plain.bin"].begin() + 100));
    SFileSetFilePointer(hf, 8900, NQOV_FILE_BEGIN);
    EXPECT_TRUE(SFileReadFile(hf, head.data(), 100, &read, true));
    EXPECT_EQ(head, Bytes(contents["plain.bin"].begin() + 8900, contents["plain.bin"].end()));
    SFileCloseFile(hf);
    EXPECT_EQ(VerifyFile(ha, "plain.bin"), VERIFY_READ_ERROR);
    EXPECT_EQ(VerifyFile(ha, "packed.txt"), VERIFY_MD5_PRESENT);
}

// Long reads cover many pieces at once; a damaged piece anywhere in them
// stops the read before the damaged bytes.
TEST_F(ReadFileTest, LongReadsAcrossManyPieces) {
    Create();
    Add("long.bin", testutil::RandomBytes(300000, 7), 0);
    Close();
    Open();
    const Bytes& content = contents["long.bin"];
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "long.bin", &data, true)) << QOVGetLastError();
    EXPECT_EQ(data, content);
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(path, 172 + 200000));
    Open();
    EXPECT_FALSE(testutil::ReadWhole(ha, "long.bin", &data, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    ASSERT_LE(data.size(), (172u + 200000u) / 4096 * 4096 - 172u) << "nothing of the damaged piece";
    EXPECT_EQ(data, Bytes(content.begin(), content.begin() + data.size()));
}

TEST_F(ReadFileTest, ListFileIsNeverPieceChecked) {
    Create(65536);
    Add("plain.bin", testutil::RandomBytes(2000, 1), 0);
    Impl(ha)->dwFileFlags1 = NQOV_FILE_EXISTS;  // a plain list file, stored as it reads
    Close();
    Open();
    const QOV_RECORD_INFO list = Info("(listfile)");
    ASSERT_EQ(list.dwFlags, NQOV_FILE_EXISTS);
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(path, list.StoredOffset + list.dwFileSize - 1));  // the last '\n'
    Open();
    TNQOVFile* hf = OpenFile("(listfile)");
    ASSERT_NE(hf, nullptr);
    Bytes data(list.dwFileSize);
    uint32_t read = 0;
    EXPECT_TRUE(SFileReadFile(hf, data.data(), list.dwFileSize, &read, true)) << QOVGetLastError();
    EXPECT_EQ(std::string(data.begin(), data.end() - 1), "plain.bin\r");
    SFileCloseFile(hf);
    // The same piece fails for any other file.
    EXPECT_FALSE(testutil::ReadWhole(ha, "plain.bin", &data, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
}

TEST_F(ReadFileTest, FailedSectorStillReportsTheBytesBeforeIt) {
    Create();
    Add("packed.txt", testutil::TextBytes(2048, 1), NQOV_FILE_COMPRESS);
    Close();
    Open();
    const std::vector<uint32_t> offsets = OffsetTable("packed.txt", 5);
    ASSERT_EQ(offsets[0], 20u);
    ASSERT_LT(offsets[3] - offsets[2], 512u) << "sector 2 is compressed";
    const uint64_t at = StoredAt("packed.txt") + (offsets[2] + offsets[3]) / 2;
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(path, at));
    Open();
    TNQOVFile* hf = OpenFile("packed.txt");
    Bytes data(2048);
    uint32_t read = 0;
    EXPECT_FALSE(SFileReadFile(hf, data.data(), 2048, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_EQ(read, 1024u);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 1024),
              Bytes(contents["packed.txt"].begin(), contents["packed.txt"].begin() + 1024));
    EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), 1024u);
    // The handle stays usable: the sector after the damaged one reads.
    SFileSetFilePointer(hf, 1536, NQOV_FILE_BEGIN);
    EXPECT_TRUE(SFileReadFile(hf, data.data(), 512, &read, false));
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 512),
              Bytes(contents["packed.txt"].begin() + 1536, contents["packed.txt"].end()));
    SFileCloseFile(hf);
}

//-----------------------------------------------------------------------------
// Every position and length around sector boundaries.

TEST_F(ReadFileTest, ReadsAroundSectorBoundariesMatchTheSource) {
    Create();
    const uint32_t kinds[] = {
        0,
        NQOV_FILE_COMPRESS,
        NQOV_FILE_ENCRYPTED,
        NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
        NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED,
        NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY | NQOV_FILE_SECTOR_CRC,
        NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC,
        NQOV_FILE_SINGLE_UNIT,
        NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED,
        NQOV_FILE_SINGLE_UNIT | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
    };
    std::vector<std::string> names;
    for (uint32_t kind = 0; kind < sizeof(kinds) / sizeof(kinds[0]); kind++) {
        for (uint32_t size : {511u, 1024u, 1025u, 1027u, 1636u}) {
            const std::string name = "k" + std::to_string(kind) + "_" + std::to_string(size);
            Add(name, MixedContent(size, kind * 10 + size), kinds[kind]);
            names.push_back(name);
        }
    }
    Close();
    Open();
    const uint32_t positions[] = {0, 1, 511, 512, 513, 1023, 1024, 1025, 1535, 1536, 1600, 1635, 1636, 1637};
    const uint32_t lengths[] = {0, 1, 2, 100, 511, 512, 513, 1023, 1024, 1025, 1536, 1636, 2000};
    for (bool checksums : {false, true}) {
        if (checksums) Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
        for (const std::string& name : names) {
            const Bytes& content = contents[name];
            const uint32_t size = static_cast<uint32_t>(content.size());
            TNQOVFile* hf = OpenFile(name);
            ASSERT_NE(hf, nullptr);
            int turn = 0;
            for (uint32_t position : positions) {
                if (position > size + 1) continue;
                for (uint32_t length : lengths) {
                    if (++turn % 7 == 0) {  // a fresh handle now and then: an empty cache
                        SFileCloseFile(hf);
                        hf = OpenFile(name);
                    }
                    ASSERT_EQ(SFileSetFilePointer(hf, static_cast<int32_t>(position), NQOV_FILE_BEGIN),
                              position);
                    Bytes buffer(length + 1, 0xEE);
                    uint32_t read = 0xFFFF;
                    const bool ok = SFileReadFile(hf, buffer.data(), length, &read, true);
                    const uint32_t expected = position >= size ? 0 : std::min(length, size - position);
                    ASSERT_EQ(ok, expected == length)
                        << name << " at " << position << " for " << length << " error " << QOVGetLastError();
                    ASSERT_EQ(read, expected) << name << " at " << position << " for " << length;
                    ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + read),
                              Bytes(content.begin() + std::min(position, size),
                                    content.begin() + std::min(position, size) + read))
                        << name << " at " << position << " for " << length;
                    ASSERT_EQ(buffer[read], 0xEE) << name << " wrote past the bytes read";
                    ASSERT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), position + read);
                }
            }
            // Reading through in uneven steps gives the whole file.
            SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN);
            Bytes whole;
            const uint32_t steps[] = {1, 3, 510, 513, 7, 512, 1024, 99};
            for (uint32_t i = 0; whole.size() < size; i++) {
                Bytes part(steps[i % 8]);
                uint32_t read = 0;
                SFileReadFile(hf, part.data(), static_cast<uint32_t>(part.size()), &read, true);
                ASSERT_GT(read, 0u) << name;
                whole.insert(whole.end(), part.begin(), part.begin() + read);
            }
            EXPECT_EQ(whole, content) << name;
            SFileCloseFile(hf);
            EXPECT_EQ(VerifyFile(ha, name.c_str()), VERIFY_MD5_PRESENT) << name;
        }
    }
}

//-----------------------------------------------------------------------------
// Extraction.

TEST_F(ReadFileTest, ExtractToNestedFolders) {
    Create();
    Add("a\\b\\c.txt", testutil::TextBytes(300000, 1), NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED);
    Add("empty.dat", Bytes(), 0);
    const std::string target = dir.Path() + "/out\\x/y/z.bin";
    ASSERT_TRUE(SFileExtractFile(ha, "A/B/C.TXT", target.c_str())) << QOVGetLastError();
    const std::string native = dir.Path() + "/out/x/y/z.bin";
    EXPECT_EQ(testutil::ReadFileOrEmpty(native), contents["a\\b\\c.txt"]);
    EXPECT_FALSE(testutil::FileExists(native + ".part"));

    // An existing file is replaced.
    ASSERT_TRUE(testutil::WriteFile(native, std::string("old content")));
    ASSERT_TRUE(SFileExtractFile(ha, "a\\b\\c.txt", native.c_str()));
    EXPECT_EQ(testutil::ReadFileOrEmpty(native), contents["a\\b\\c.txt"]);

    ASSERT_TRUE(SFileExtractFile(ha, "empty.dat", dir.File("empty.out").c_str())) << QOVGetLastError();
    EXPECT_TRUE(testutil::FileExists(dir.File("empty.out")));
    EXPECT_EQ(testutil::FileSize(dir.File("empty.out")), 0u);
}

// Any target a file stream can create (263 bytes of name) can be extracted to.
TEST_F(ReadFileTest, ExtractToTheLongestTargetName) {
    Create();
    Add("a.txt", testutil::TextBytes(1000, 1), NQOV_FILE_COMPRESS);
    const std::string prefix = dir.Path() + "/";
    const std::string target = prefix + std::string(263 - prefix.size(), 't');
    ASSERT_EQ(target.size(), 263u);
    ASSERT_TRUE(SFileExtractFile(ha, "a.txt", target.c_str())) << QOVGetLastError();
    EXPECT_EQ(testutil::ReadFileOrEmpty(target), contents["a.txt"]);
}

TEST_F(ReadFileTest, FailedExtractionLeavesTheTargetAlone) {
    Create();
    Add("plain.bin", testutil::RandomBytes(9000, 1), 0);
    Close();
    ASSERT_TRUE(testutil::FlipByte(path, 172 + 8000));  // piece 1, the file's second piece
    Open();
    const std::string target = dir.File("target.bin");
    ASSERT_TRUE(testutil::WriteFile(target, std::string("keep me")));
    EXPECT_FALSE(SFileExtractFile(ha, "plain.bin", target.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_EQ(testutil::ReadText(target), "keep me");
    EXPECT_FALSE(testutil::FileExists(target + ".part"));

    const std::string fresh = dir.File("fresh.bin");
    EXPECT_FALSE(SFileExtractFile(ha, "plain.bin", fresh.c_str()));
    EXPECT_FALSE(testutil::FileExists(fresh));
    EXPECT_FALSE(testutil::FileExists(fresh + ".part"));

    EXPECT_FALSE(SFileExtractFile(ha, "missing.bin", fresh.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(testutil::FileExists(fresh));
    EXPECT_FALSE(SFileExtractFile(ha, "", fresh.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileExtractFile(ha, "plain.bin", ""));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileExtractFile(ha, nullptr, fresh.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileExtractFile(ha, "plain.bin", nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

// An archive may hold "a" and "a.part", and the target folder may hold
// files of its own: the temporary file of an extraction never takes the name
// of another file, whatever the order, and is gone afterwards.
TEST_F(ReadFileTest, ExtractionNeverWritesOverAnotherFile) {
    Create();
    Add("a", testutil::RandomBytes(5000, 1), NQOV_FILE_COMPRESS);
    Add("a.part", testutil::RandomBytes(7000, 2), 0);
    Add("b", testutil::TextBytes(3000, 3), NQOV_FILE_COMPRESS);
    Close();
    Open();
    const std::vector<std::string> orders[] = {
        {"a", "a.part", "b"}, {"a.part", "a", "b"}, {"b", "a.part", "a"}};
    int round = 0;
    for (const std::vector<std::string>& order : orders) {
        const std::string out = dir.Path() + "/out" + std::to_string(round++);
        ASSERT_TRUE(testutil::MakeFolder(out));
        // Files that were there before: never touched.
        ASSERT_TRUE(testutil::WriteFile(out + "/b.part", std::string("unrelated")));
        ASSERT_TRUE(testutil::WriteFile(out + "/b.tmp", std::string("unrelated too")));
        for (const std::string& name : order)
            ASSERT_TRUE(SFileExtractFile(ha, name.c_str(), (out + "/" + name).c_str()))
                << name << " " << QOVGetLastError();
        const std::vector<std::string> expected = {"a", "a.part", "b", "b.part", "b.tmp"};
        EXPECT_EQ(testutil::ListNames(out), expected) << order[0];
        for (const char* name : {"a", "a.part", "b"})
            EXPECT_EQ(testutil::ReadFileOrEmpty(out + "/" + name), contents[name])
                << name << " after " << order[0];
        EXPECT_EQ(testutil::ReadText(out + "/b.part"), "unrelated");
        EXPECT_EQ(testutil::ReadText(out + "/b.tmp"), "unrelated too");
    }
}

// The same on two threads at once, each with its own handle, as several
// jobs of `qov extract` do.
TEST_F(ReadFileTest, ConcurrentExtractionsKeepEachFilesContent) {
    Create();
    // "a" takes long to write, so that "a.part" is done while it is written.
    Add("a", testutil::RandomBytes(3 << 20, 1), 0);
    Add("a.part", testutil::RandomBytes(1000, 2), 0);
    Close();
    TNQOVArchive* handles[2] = {nullptr, nullptr};
    for (TNQOVArchive*& handle : handles)
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &handle, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    const char* names[2] = {"a", "a.part"};
    for (int round = 0; round < 8; ++round) {
        const std::string out = dir.Path() + "/out" + std::to_string(round);
        bool done[2] = {false, false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; ++i)
            threads.emplace_back(
                [&, i] { done[i] = SFileExtractFile(handles[i], names[i], (out + "/" + names[i]).c_str()); });
        for (std::thread& thread : threads) thread.join();
        EXPECT_TRUE(done[0] && done[1]) << "round " << round;
        EXPECT_EQ(testutil::ListNames(out), std::vector<std::string>({"a", "a.part"})) << "round " << round;
        for (const char* name : names)
            EXPECT_EQ(testutil::ReadFileOrEmpty(out + "/" + name), contents[name])
                << name << " round " << round;
    }
    for (TNQOVArchive* handle : handles) SFileCloseArchive(handle, false);
}

//-----------------------------------------------------------------------------
// Whole-file verification.

TEST_F(ReadFileTest, VerifyFileFlags) {
    Create();
    Add("clean.txt", testutil::TextBytes(3000, 1), NQOV_FILE_COMPRESS);
    // Sector 0 text (compressed), sector 1 random (stored as it is).
    Add("mixed.bin", MixedContent(1024, 2), NQOV_FILE_COMPRESS);
    Bytes crc = testutil::TextBytes(1500, 3);
    Add("crc.txt", crc, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC);
    Add("dir\\x.txt", testutil::TextBytes(100, 4), NQOV_FILE_COMPRESS);
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "empty.txt", 0, &hf));
    ASSERT_TRUE(SFileFinishFile(hf));
    Close();
    Open();
    EXPECT_EQ(VerifyFile(ha, "clean.txt"), VERIFY_MD5_PRESENT);
    EXPECT_EQ(VerifyFile(ha, "missing.txt"), VERIFY_CANNOT_OPEN);
    EXPECT_EQ(VerifyFile(ha, "dir"), VERIFY_CANNOT_OPEN);
    EXPECT_EQ(VerifyFile(nullptr, "clean.txt"), VERIFY_CANNOT_OPEN);
    // An empty file verifies clean, with or without the digest of no bytes.
    EXPECT_EQ(VerifyFile(ha, "empty.txt") & ~VERIFY_MD5_PRESENT, 0u);

    // A changed stored MD5.
    TFileEntryImpl& clean = Impl(ha)->Records[testutil::FindRecordIndex(ha, "clean.txt")];
    clean.ContentMD5[7] ^= 0x10;
    EXPECT_EQ(VerifyFile(ha, "clean.txt"), VERIFY_MD5_PRESENT | VERIFY_FILE_MD5_ERROR);
    clean.ContentMD5[7] ^= 0x10;

    const std::vector<uint32_t> mixed = OffsetTable("mixed.bin", 3);
    ASSERT_EQ(mixed[2] - mixed[1], 512u) << "the random sector is stored as it is";
    const uint64_t mixedAt = StoredAt("mixed.bin") + mixed[1] + 100;
    const std::vector<uint32_t> crcTable = OffsetTable("crc.txt", 5);
    ASSERT_EQ(crcTable[0], 20u);
    ASSERT_LT(crcTable[2] - crcTable[1], 512u);
    const uint64_t crcAt = StoredAt("crc.txt") + crcTable[1] + (crcTable[2] - crcTable[1]) / 2;
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(path, mixedAt));
    ASSERT_TRUE(testutil::FlipByte(path, crcAt));
    Open();

    // A damaged byte in a sector stored as it is reads without complaint;
    // only the MD5 tells.
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "mixed.bin", &data, true));
    EXPECT_EQ(VerifyFile(ha, "mixed.bin"), VERIFY_MD5_PRESENT | VERIFY_FILE_MD5_ERROR);

    // A damaged compressed sector: with sector checksums checked the checksum
    // says so, without them the sector does not decompress.
    EXPECT_EQ(VerifyFile(ha, "crc.txt"), VERIFY_READ_ERROR);
    Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
    EXPECT_EQ(VerifyFile(ha, "crc.txt"), VERIFY_READ_ERROR | VERIFY_FILE_SECTOR_CRC_ERROR);
    TNQOVFile* crcFile = OpenFile("crc.txt");
    Bytes buffer(1500);
    uint32_t read = 0;
    EXPECT_FALSE(SFileReadFile(crcFile, buffer.data(), 1500, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_QOV_SECTOR_CHECKSUM));
    EXPECT_EQ(read, 512u);
    SFileCloseFile(crcFile);
    EXPECT_EQ(VerifyFile(ha, "clean.txt"), VERIFY_MD5_PRESENT);
}

// Many files verified together (a block of each at a time, hashed at once)
// give what each gives alone: more files than the engine has lanes, of
// every size around the block size, every form, damaged ones among them.
TEST_F(ReadFileTest, VerifyFilesTogetherMatchEachAlone) {
    Create();
    const size_t sizes[] = {0, 1, 511, 512, 4096, 262143, 262144, 262145, 600000};
    const uint32_t forms[] = {0, NQOV_FILE_COMPRESS, NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED,
                              NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC};
    std::vector<std::string> names;
    uint64_t seed = 10;
    for (size_t size : sizes) {
        for (uint32_t form : forms) {
            const std::string name = "f" + std::to_string(names.size()) + ".bin";
            Add(name, seed % 2 ? testutil::RandomBytes(size, seed) : testutil::TextBytes(size, seed), form);
            names.push_back(name);
            seed++;
        }
    }
    Bytes crc = testutil::TextBytes(1500, 3);
    Add("crc.txt", crc, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC);
    Add("dir\\x.txt", testutil::TextBytes(100, 4), NQOV_FILE_COMPRESS);
    Close();
    Open();
    const std::string plain = names[4 * 7];  // 262145 random bytes stored as they are
    const uint64_t plainAt = StoredAt(plain) + 100000;
    const std::vector<uint32_t> crcTable = OffsetTable("crc.txt", 5);
    const uint64_t crcAt = StoredAt("crc.txt") + crcTable[1] + (crcTable[2] - crcTable[1]) / 2;
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(path, plainAt));
    ASSERT_TRUE(testutil::FlipByte(path, crcAt));
    Open();
    Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
    names.insert(names.begin() + 5, "crc.txt");
    names.insert(names.begin() + 9, "missing.txt");
    names.insert(names.begin() + 20, "dir");

    std::vector<uint32_t> alone;
    for (const std::string& name : names) alone.push_back(VerifyFile(ha, name.c_str()));
    EXPECT_EQ(alone[5], static_cast<uint32_t>(VERIFY_READ_ERROR | VERIFY_FILE_SECTOR_CRC_ERROR));
    EXPECT_EQ(alone[9], static_cast<uint32_t>(VERIFY_CANNOT_OPEN));
    const size_t damagedIndex =
        static_cast<size_t>(std::find(names.begin(), names.end(), plain) - names.begin());
    EXPECT_EQ(alone[damagedIndex], static_cast<uint32_t>(VERIFY_READ_ERROR));

    std::vector<const char*> pointers;
    for (const std::string& name : names) pointers.push_back(name.c_str());
    std::vector<uint32_t> together(names.size(), 0xFFFFFFFFu);
    ASSERT_TRUE(
        VerifyFiles(ha, pointers.data(), static_cast<uint32_t>(pointers.size()), together.data(), true));
    EXPECT_EQ(together, alone);

    // Without the piece check the damaged plain file reads whole, and its
    // MD5 tells; every other file is as before.
    std::fill(together.begin(), together.end(), 0xFFFFFFFFu);
    ASSERT_TRUE(
        VerifyFiles(ha, pointers.data(), static_cast<uint32_t>(pointers.size()), together.data(), false));
    std::vector<uint32_t> expected = alone;
    expected[damagedIndex] = VERIFY_MD5_PRESENT | VERIFY_FILE_MD5_ERROR;
    EXPECT_EQ(together, expected);

    // One file alone, and a file named twice.
    const char* twice[] = {"crc.txt", pointers[0], "crc.txt"};
    uint32_t results[3] = {};
    ASSERT_TRUE(VerifyFiles(ha, twice, 3, results, true));
    EXPECT_EQ(results[0], alone[5]);
    EXPECT_EQ(results[1], alone[0]);
    EXPECT_EQ(results[2], alone[5]);
}
