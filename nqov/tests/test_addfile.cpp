// Writing files (QOVAddFile): the flags small files lose, what is stored on
// disk (sector offset table, checksum block, cipher, chunk digests), name
// and state checks, incomplete and overlong writes, one writer at a time,
// and adding disk files.

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

using testutil::Bytes;

namespace {

uint32_t Adler32FromZero(const uint8_t* data, size_t size) {
    uint32_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < size; i++) {
        s1 = (s1 + data[i]) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    return (s2 << 16) | s1;
}

std::string Md5Hex(const uint8_t* data, size_t size) { return testutil::Md5Hex(data, size); }

class AddFileTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("add.qov"); }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    void Create(uint32_t chunkSize = 0, uint16_t sectorShift = 0) {
        ha = testutil::CreateArchive(path, 64, sectorShift, 4096, chunkSize);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
    }

    void Reopen() {
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    }

    QOV_RECORD_INFO Info(const std::string& name) {
        QOV_RECORD_INFO info = {};
        const int index = testutil::FindRecordIndex(ha, name);
        EXPECT_GE(index, 0) << name;
        if (index >= 0) SFileGetRecordInfo(ha, static_cast<uint32_t>(index), &info);
        return info;
    }

    Bytes Stored(const QOV_RECORD_INFO& info) {
        return testutil::ReadRange(path, info.StoredOffset, info.dwStoredSize);
    }

    uint32_t OpenError(const std::string& name) {
        TNQOVFile* hf = nullptr;
        if (NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_PATCHED, &hf)) {
            SFileCloseFile(hf);
            return 0;
        }
        return QOVGetLastError();
    }

    uint32_t CreateError(const char* name, uint32_t size = 100) {
        TNQOVFile* hf = reinterpret_cast<TNQOVFile*>(0x1);
        if (SFileCreateFile(ha, name, size, &hf)) {
            SFileFinishFile(hf);
            return 0;
        }
        EXPECT_EQ(hf, nullptr) << (name ? name : "(null)");
        return QOVGetLastError();
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
};

}  // namespace

//-----------------------------------------------------------------------------
// Flags and stored bytes.

TEST_F(AddFileTest, SmallFilesLoseTheirCipherAndCompression) {
    Create();
    const Bytes three = {'a', 'b', 'c'};
    const Bytes four = {'w', 'x', 'y', 'z'};
    const Bytes twenty = testutil::TextBytes(20, 1);
    const Bytes small31 = Bytes(31, 'a');
    const Bytes min32 = Bytes(32, 'a');
    const uint32_t all = NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY | NQOV_FILE_SECTOR_CRC;
    ASSERT_TRUE(testutil::AddBytes(ha, "three.bin", three, NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY));
    ASSERT_TRUE(testutil::AddBytes(ha, "four.bin", four, NQOV_FILE_ENCRYPTED));
    ASSERT_TRUE(testutil::AddBytes(ha, "twenty.bin", twenty, all));
    ASSERT_TRUE(testutil::AddBytes(ha, "small31.bin", small31, all));
    ASSERT_TRUE(testutil::AddBytes(ha, "min32.bin", min32, all));
    Reopen();

    QOV_RECORD_INFO info = Info("three.bin");
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS);
    EXPECT_EQ(Stored(info), three) << "stored as it is";
    info = Info("four.bin");
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED);
    Bytes four_stored = Stored(info);
    EXPECT_NE(four_stored, four);
    DecryptQOVBlock(four_stored.data(), 4, QOVFileKey("four.bin", 0, 0, false));
    EXPECT_EQ(four_stored, four);
    info = Info("twenty.bin");
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY);
    EXPECT_EQ(info.dwStoredSize, 20u) << "no offset table, no checksums, no compression";
    Bytes twenty_stored = Stored(info);
    DecryptQOVBlock(twenty_stored.data(), 20, QOVFileKey("twenty.bin", info.StoredOffset, 20, true));
    EXPECT_EQ(twenty_stored, twenty);
    EXPECT_EQ(Info("small31.bin").dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY);
    EXPECT_EQ(Info("small31.bin").dwStoredSize, 31u);
    EXPECT_EQ(Info("min32.bin").dwFlags, NQOV_FILE_EXISTS | all);

    for (const auto& file : {std::make_pair("three.bin", three), std::make_pair("four.bin", four),
                             std::make_pair("twenty.bin", twenty), std::make_pair("small31.bin", small31),
                             std::make_pair("min32.bin", min32)}) {
        Bytes data;
        EXPECT_TRUE(testutil::ReadWhole(ha, file.first, &data, true)) << file.first;
        EXPECT_EQ(data, file.second) << file.first;
        EXPECT_EQ(VerifyFile(ha, file.first), VERIFY_MD5_PRESENT) << file.first;
    }
}

TEST_F(AddFileTest, ChecksumsNeedCompression) {
    Create();
    ASSERT_TRUE(testutil::AddBytes(ha, "a.bin", testutil::RandomBytes(2000, 1),
                                   NQOV_FILE_SECTOR_CRC | NQOV_FILE_ENCRYPTED));
    ASSERT_TRUE(testutil::AddBytes(ha, "b.bin", testutil::TextBytes(2000, 2),
                                   NQOV_FILE_SECTOR_CRC | NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS));
    EXPECT_EQ(Info("a.bin").dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED);
    EXPECT_EQ(Info("a.bin").dwStoredSize, 2000u);
    EXPECT_EQ(Info("b.bin").dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS);
    Reopen();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "a.bin", &data, true));
    EXPECT_EQ(data, testutil::RandomBytes(2000, 1));
    EXPECT_TRUE(testutil::ReadWhole(ha, "b.bin", &data, true));
    EXPECT_EQ(data, testutil::TextBytes(2000, 2));
}

// The stored bytes of a compressed, checksummed file, taken apart by hand:
// offset table, sectors, checksum block, and the record's MD5.
TEST_F(AddFileTest, StoredLayoutOfACompressedFile) {
    Create();
    Bytes content = testutil::TextBytes(1800, 1);  // 4 sectors of 512
    const Bytes noise = testutil::RandomBytes(512, 2);
    std::copy(noise.begin(), noise.end(), content.begin() + 512);  // sector 1 does not compress
    for (bool encrypted : {false, true}) {
        const std::string name = encrypted ? "Dir\\enc.txt" : "plain.txt";
        uint32_t flags = NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC;
        if (encrypted) flags |= NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY;
        ASSERT_TRUE(testutil::AddBytes(ha, name, content, flags));
        const QOV_RECORD_INFO info = Info(name);
        ASSERT_EQ(info.dwFlags, NQOV_FILE_EXISTS | flags);
        const uint32_t key = encrypted ? QOVFileKey(name.c_str(), info.StoredOffset, 1800, true) : 0;
        Bytes stored = Stored(info);
        ASSERT_EQ(stored.size(), info.dwStoredSize);

        const uint32_t sectors = 4, entries = sectors + 2;
        Bytes table(stored.begin(), stored.begin() + entries * 4);
        if (encrypted) DecryptQOVBlock(table.data(), table.size(), key - 1);
        std::vector<uint32_t> offsets;
        for (uint32_t i = 0; i < entries; i++) offsets.push_back(ReadLE32(&table[i * 4]));
        EXPECT_EQ(offsets[0], entries * 4) << name;
        EXPECT_EQ(offsets[entries - 1], info.dwStoredSize) << name;

        Bytes plain;
        std::vector<uint32_t> checksums;
        for (uint32_t i = 0; i < sectors; i++) {
            Bytes sector(stored.begin() + offsets[i], stored.begin() + offsets[i + 1]);
            if (encrypted) DecryptQOVBlock(sector.data(), sector.size(), key + i);
            checksums.push_back(Adler32FromZero(sector.data(), sector.size()));
            const uint32_t length = std::min<uint32_t>(512, 1800 - i * 512);
            if (sector.size() == length) {
                plain.insert(plain.end(), sector.begin(), sector.end());
                continue;
            }
            EXPECT_EQ(sector[0], NQOV_COMPRESSION_ZLIB) << name << " sector " << i;
            Bytes out(length);
            uint32_t produced = length;
            ASSERT_TRUE(
                DecompressBlock(out.data(), &produced, sector.data(), static_cast<uint32_t>(sector.size())));
            ASSERT_EQ(produced, length);
            plain.insert(plain.end(), out.begin(), out.end());
        }
        EXPECT_EQ(offsets[2] - offsets[1], 512u) << "the random sector is stored as it is";
        EXPECT_EQ(plain, content) << name;

        // The checksum block: Adler-32 from 0 of each stored (deciphered) sector.
        Bytes block(stored.begin() + offsets[sectors], stored.begin() + offsets[sectors + 1]);
        Bytes values(sectors * 4);
        uint32_t produced = sectors * 4;
        ASSERT_TRUE(
            DecompressBlock(values.data(), &produced, block.data(), static_cast<uint32_t>(block.size())));
        for (uint32_t i = 0; i < sectors; i++) EXPECT_EQ(ReadLE32(&values[i * 4]), checksums[i]) << i;
        EXPECT_EQ(testutil::Hex(info.ContentMD5, 16), Md5Hex(content.data(), content.size()));
    }
    // Files follow one another.
    EXPECT_EQ(Info("plain.txt").StoredOffset, NQOV_HEADER_SIZE);
    EXPECT_EQ(Info("Dir\\enc.txt").StoredOffset, NQOV_HEADER_SIZE + Info("plain.txt").dwStoredSize);
    Reopen();
    Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
    EXPECT_EQ(VerifyFile(ha, "plain.txt"), VERIFY_MD5_PRESENT);
    EXPECT_EQ(VerifyFile(ha, "dir/ENC.TXT"), VERIFY_MD5_PRESENT);
}

TEST_F(AddFileTest, UncompressedEncryptedSectorsUseTheKeyPlusTheIndex) {
    Create();
    const Bytes content = testutil::RandomBytes(1300, 3);
    ASSERT_TRUE(testutil::AddBytes(ha, "x\\y.bin", content, NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY));
    const QOV_RECORD_INFO info = Info("x\\y.bin");
    ASSERT_EQ(info.dwStoredSize, 1300u);
    const uint32_t key = QOVFileKey("y.bin", info.StoredOffset, 1300, true);
    Bytes stored = Stored(info);
    for (uint32_t i = 0; i < 3; i++) {
        const size_t start = i * 512, length = std::min<size_t>(512, 1300 - start);
        DecryptQOVBlock(stored.data() + start, length, key + i);
    }
    EXPECT_EQ(stored, content);
}

// Writing in any pieces gives the same stored bytes as writing at once.
TEST_F(AddFileTest, WritePiecesDoNotMatter) {
    Create();
    const Bytes content = testutil::TextBytes(5000, 4);
    ASSERT_TRUE(testutil::AddBytes(ha, "whole.txt", content, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC));
    ASSERT_TRUE(testutil::AddBytes(ha, "bytes.txt", content, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC, 1));
    ASSERT_TRUE(testutil::AddBytes(ha, "odd.txt", content, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC, 513));
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFileEx(ha, "empty.txt", 0, NQOV_FILE_COMPRESS, &hf));
    EXPECT_TRUE(SFileWriteFile(hf, nullptr, 0));
    EXPECT_TRUE(SFileWriteFile(hf, content.data(), 0));
    EXPECT_TRUE(SFileFinishFile(hf));
    const Bytes whole = Stored(Info("whole.txt"));
    EXPECT_EQ(Stored(Info("bytes.txt")), whole);
    EXPECT_EQ(Stored(Info("odd.txt")), whole);
    EXPECT_EQ(Info("empty.txt").dwStoredSize, 0u);
    Reopen();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "odd.txt", &data, true));
    EXPECT_EQ(data, content);
    EXPECT_TRUE(testutil::ReadWhole(ha, "empty.txt", &data, true));
    EXPECT_TRUE(data.empty());
}

TEST_F(AddFileTest, SingleUnitFiles) {
    Create();
    const Bytes text = testutil::TextBytes(3000, 5);
    const Bytes noise = testutil::RandomBytes(3000, 6);
    ASSERT_TRUE(testutil::AddBytes(ha, "su.txt", text,
                                   NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, 1000));
    ASSERT_TRUE(testutil::AddBytes(ha, "su.bin", noise, NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS));
    QOV_RECORD_INFO info = Info("su.txt");
    EXPECT_LT(info.dwStoredSize, 3000u);
    Bytes stored = Stored(info);
    DecryptQOVBlock(stored.data(), stored.size(), QOVFileKey("su.txt", 0, 0, false));
    EXPECT_EQ(stored[0], NQOV_COMPRESSION_ZLIB) << "one block, no offset table";
    EXPECT_EQ(Info("su.bin").dwStoredSize, 3000u) << "incompressible: stored as it is";
    EXPECT_EQ(Stored(Info("su.bin")), noise);
    Reopen();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "su.txt", &data));
    EXPECT_EQ(data, text);
    EXPECT_TRUE(testutil::ReadWhole(ha, "su.bin", &data));
    EXPECT_EQ(data, noise);
}

//-----------------------------------------------------------------------------
// Archives with chunk digests.

TEST_F(AddFileTest, ChunkDigestsFollowEveryStoredBlob) {
    Create(1024);
    const Bytes text = testutil::TextBytes(9000, 1);
    const Bytes noise = testutil::RandomBytes(2500, 2);
    ASSERT_TRUE(testutil::AddBytes(ha, "crc.txt", text, NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC));
    ASSERT_TRUE(testutil::AddBytes(ha, "plain.bin", noise, 0));
    ASSERT_TRUE(testutil::AddBytes(ha, "enc.txt", text,
                                   NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_SECTOR_CRC));
    Reopen();

    const Bytes file = testutil::ReadFileOrEmpty(path);
    uint64_t expectedOffset = NQOV_HEADER_SIZE;
    for (const char* name : {"crc.txt", "plain.bin", "enc.txt"}) {
        const QOV_RECORD_INFO info = Info(name);
        EXPECT_EQ(info.StoredOffset, expectedOffset) << name << ": the next file starts after the digests";
        const uint32_t chunks = (info.dwStoredSize + 1023) / 1024;
        for (uint32_t i = 0; i < chunks; i++) {
            const size_t start = info.StoredOffset + i * 1024;
            const size_t length = std::min<size_t>(1024, info.dwStoredSize - i * 1024);
            EXPECT_EQ(Md5Hex(&file[start], length),
                      testutil::Hex(&file[info.StoredOffset + info.dwStoredSize + i * 16], 16))
                << name << " chunk " << i;
        }
        expectedOffset = info.StoredOffset + info.dwStoredSize + chunks * 16;
    }
    // The checksum block of a file in such an archive is empty.
    const QOV_RECORD_INFO crc = Info("crc.txt");
    const uint32_t sectors = (9000 + 511) / 512;
    const Bytes table = testutil::ReadRange(path, crc.StoredOffset, (sectors + 2) * 4);
    EXPECT_EQ(ReadLE32(&table[0]), (sectors + 2) * 4);
    EXPECT_EQ(ReadLE32(&table[(sectors + 1) * 4]), ReadLE32(&table[sectors * 4]));
    EXPECT_EQ(ReadLE32(&table[(sectors + 1) * 4]), crc.dwStoredSize);

    // The list file comes last, then the tables, each with its digests.
    const QOV_RECORD_INFO list = Info("(listfile)");
    EXPECT_EQ(list.StoredOffset, expectedOffset);
    QOV_ARCHIVE_INFO archive;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &archive));
    EXPECT_EQ(archive.HetTablePos64,
              list.StoredOffset + list.dwStoredSize + 16 * ((list.dwStoredSize + 1023) / 1024));
    const uint64_t hetDigests = 16 * ((archive.HetTableSize64 + 1023) / 1024);
    EXPECT_EQ(archive.BetTablePos64, archive.HetTablePos64 + archive.HetTableSize64 + hetDigests);
    EXPECT_EQ(Md5Hex(&file[archive.HetTablePos64], std::min<size_t>(1024, archive.HetTableSize64)),
              testutil::Hex(&file[archive.HetTablePos64 + archive.HetTableSize64], 16));

    Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
    for (const char* name : {"crc.txt", "plain.bin", "enc.txt"}) {
        Bytes data;
        EXPECT_TRUE(testutil::ReadWhole(ha, name, &data, true)) << name << " " << QOVGetLastError();
        EXPECT_EQ(VerifyFile(ha, name), VERIFY_MD5_PRESENT) << name;
    }
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

//-----------------------------------------------------------------------------
// Names and states.

TEST_F(AddFileTest, ExistingNames) {
    Create();
    const Bytes content = testutil::TextBytes(1000, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "Data\\a.txt", content));
    const uint32_t count = SFileGetRecordCount(ha);
    for (const char* name : {"Data\\a.txt", "data/A.TXT", "Data"}) {
        EXPECT_EQ(CreateError(name), static_cast<uint32_t>(ERROR_ALREADY_EXISTS)) << name;
    }
    EXPECT_EQ(SFileGetRecordCount(ha), count);
    Reopen();
    EXPECT_EQ(CreateError("DATA\\a.txt"), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "Data\\a.txt", &data, true));
    EXPECT_EQ(data, content) << "the refused write left the file alone";
}

TEST_F(AddFileTest, ReservedAndUnlistableNames) {
    Create();
    EXPECT_EQ(CreateError("(listfile)"), static_cast<uint32_t>(ERROR_QOV_INTERNAL_FILE_NAME));
    EXPECT_EQ(CreateError("(LISTFILE)"), static_cast<uint32_t>(ERROR_QOV_INTERNAL_FILE_NAME));
    EXPECT_EQ(CreateError("(ListFile)"), static_cast<uint32_t>(ERROR_QOV_INTERNAL_FILE_NAME));
    EXPECT_EQ(CreateError(".File123."), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError(".file5.xxx"), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError(""), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError(nullptr), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // Names the list file could not give back.
    EXPECT_EQ(CreateError(std::string(260, 'n').c_str()), static_cast<uint32_t>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(CreateError("tab\there.txt"), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError("line\nbreak.txt"), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError("patch.txt~P1"), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateError("a~P"), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SFileGetRecordCount(ha), 0u) << "no refused name left a record";
    // Near misses are fine.
    EXPECT_EQ(CreateError("(listfile).txt"), 0u);
    EXPECT_EQ(CreateError(".File.txt"), 0u);
    EXPECT_EQ(CreateError(".File123"), 0u);
    EXPECT_EQ(CreateError("a~p1"), 0u);
    EXPECT_EQ(CreateError("a~P1~Q"), 0u);
    EXPECT_EQ(CreateError(std::string(259, 'n').c_str()), 0u);
    EXPECT_FALSE(SFileCreateFile(ha, "x.txt", 10, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(nullptr, "x.txt", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileCreateFileEx(ha, "x.txt", 10, NQOV_FILE_DIRECTORY, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileCreateFileEx(ha, "x.txt", 10, 0x00080000, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(hf, nullptr);
}

// Every check runs; the last failing one gives the error.
TEST_F(AddFileTest, LastFailingCheckWins) {
    Create();
    ASSERT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY));
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "a.txt", 10, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SFileCreateFile(ha, ".File1.", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileCreateFile(ha, "(listfile)", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_QOV_INTERNAL_FILE_NAME));
    EXPECT_FALSE(SFileCreateFile(nullptr, "", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST_F(AddFileTest, IncompleteFileIsDiscarded) {
    Create();
    ASSERT_TRUE(testutil::AddBytes(ha, "keep.txt", testutil::TextBytes(700, 1)));
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "short.txt", 2000, &hf));
    const Bytes part = testutil::TextBytes(1500, 2);
    ASSERT_TRUE(SFileWriteFile(hf, part.data(), 1500));
    EXPECT_FALSE(SFileFinishFile(hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_CAN_NOT_COMPLETE));
    auto listText = [&]() {
        TNQOVFile* list = nullptr;
        EXPECT_TRUE(NQOVOpenFileEx(ha, "(listfile)", QOV_OPEN_FROM_ARCHIVE, &list));
        if (list == nullptr) return std::string();
        Bytes text(SFileGetFileSize(list));
        uint32_t read = 0;
        EXPECT_TRUE(SFileReadFile(list, text.data(), static_cast<uint32_t>(text.size()), &read, false));
        SFileCloseFile(list);
        return std::string(text.begin(), text.end());
    };
    Reopen();
    EXPECT_EQ(listText(), "keep.txt\r\n") << "the discarded file is not listed";
    EXPECT_EQ(OpenError("keep.txt"), 0u);

    // What is left is a delete marker: it opens only as an empty file (a
    // delete marker's flags are openable ones), and asking for it by name
    // does not bring the name back into the list file.
    TNQOVFile* marker = nullptr;
    ASSERT_TRUE(NQOVOpenFileEx(ha, "short.txt", QOV_OPEN_FROM_ARCHIVE, &marker));
    EXPECT_EQ(SFileGetFileSize(marker), 0u);
    EXPECT_EQ(Impl(marker)->pFileEntry->dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
    SFileCloseFile(marker);
    ASSERT_TRUE(testutil::AddBytes(ha, "more.txt", testutil::TextBytes(10, 3)));
    Reopen();
    EXPECT_EQ(listText(), "keep.txt\r\nmore.txt\r\n");
}

TEST_F(AddFileTest, WritingPastTheAnnouncedSize) {
    Create();
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "over.txt", 100, &hf));
    const Bytes data = testutil::TextBytes(101, 1);
    ASSERT_TRUE(SFileWriteFile(hf, data.data(), 60));
    EXPECT_FALSE(SFileWriteFile(hf, data.data() + 60, 41));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    // The failure was reported by the write; the finish discards the file.
    EXPECT_TRUE(SFileFinishFile(hf));
    const int index = testutil::FindRecordIndex(ha, "over.txt");
    if (index >= 0) {
        QOV_RECORD_INFO info;
        ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
        EXPECT_NE(info.dwFlags & NQOV_FILE_DELETE_MARKER, 0u);
    }
    // A complete file followed by one more byte is discarded as well.
    ASSERT_TRUE(SFileCreateFile(ha, "exact.txt", 100, &hf));
    ASSERT_TRUE(SFileWriteFile(hf, data.data(), 100));
    EXPECT_FALSE(SFileWriteFile(hf, data.data(), 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    SFileFinishFile(hf);
    Reopen();
    EXPECT_EQ(testutil::FindRecordIndex(ha, "over.txt"), -1) << "not listed";
    EXPECT_EQ(testutil::FindRecordIndex(ha, "exact.txt"), -1) << "not listed";
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

TEST_F(AddFileTest, OneWriterAtATime) {
    Create();
    TNQOVFile* first = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "first.txt", 10, &first));
    TNQOVFile* second = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "second.txt", 10, &second));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_BUSY));
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(SFileFlushArchive(ha));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_BUSY));
    ASSERT_TRUE(SFileWriteFile(first, "0123456789", 10));
    ASSERT_TRUE(SFileCloseFile(first)) << "closing a written file finishes it";
    ASSERT_TRUE(SFileCreateFile(ha, "second.txt", 10, &second));
    ASSERT_TRUE(SFileWriteFile(second, "abcdefghij", 10));
    ASSERT_TRUE(SFileFinishFile(second));
    ASSERT_TRUE(SFileFlushArchive(ha));
    Reopen();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "first.txt", &data, true));
    EXPECT_EQ(std::string(data.begin(), data.end()), "0123456789");
    EXPECT_TRUE(testutil::ReadWhole(ha, "second.txt", &data, true));
    EXPECT_EQ(std::string(data.begin(), data.end()), "abcdefghij");
}

TEST_F(AddFileTest, WriteAndFinishNeedAWritingHandle) {
    Create();
    ASSERT_TRUE(testutil::AddBytes(ha, "a.txt", testutil::TextBytes(100, 1)));
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(NQOVOpenFileEx(ha, "a.txt", QOV_OPEN_FROM_ARCHIVE, &hf));
    EXPECT_FALSE(SFileWriteFile(hf, "x", 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileFinishFile(hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(SFileCloseFile(hf));
    EXPECT_FALSE(SFileWriteFile(nullptr, "x", 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SFileFinishFile(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

// Rewriting a name after a failed write must not land on the bytes of
// files written in between.
TEST_F(AddFileTest, NewFilesNeverOverlapStoredOnes) {
    Create();
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "b.txt", 3000, &hf));
    const Bytes half = testutil::RandomBytes(1500, 1);
    ASSERT_TRUE(SFileWriteFile(hf, half.data(), 1500));
    EXPECT_FALSE(SFileFinishFile(hf));
    const Bytes c = testutil::RandomBytes(2000, 2);
    ASSERT_TRUE(testutil::AddBytes(ha, "c.txt", c, 0));
    const Bytes b = testutil::RandomBytes(3000, 3);
    ASSERT_TRUE(testutil::AddBytes(ha, "b.txt", b, 0));
    EXPECT_GE(Info("b.txt").StoredOffset, Info("c.txt").StoredOffset + 2000);
    Reopen();
    const Bytes d = testutil::TextBytes(4000, 4);
    ASSERT_TRUE(testutil::AddBytes(ha, "d.txt", d, NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED));
    Reopen();
    for (const auto& file :
         {std::make_pair("b.txt", b), std::make_pair("c.txt", c), std::make_pair("d.txt", d)}) {
        Bytes data;
        EXPECT_TRUE(testutil::ReadWhole(ha, file.first, &data, true)) << file.first;
        EXPECT_EQ(data, file.second) << file.first;
    }
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

//-----------------------------------------------------------------------------
// Adding disk files.

TEST_F(AddFileTest, AddDiskFiles) {
    Create(0, 3);
    const Bytes big = testutil::TextBytes(200000, 1);  // several 64 KiB blocks
    ASSERT_TRUE(testutil::WriteFile(dir.File("big.txt"), big));
    ASSERT_TRUE(testutil::WriteFile(dir.File("empty.txt"), Bytes()));
    ASSERT_TRUE(SFileAddFileEx(ha, dir.File("big.txt").c_str(), "docs\\big.txt")) << QOVGetLastError();
    ASSERT_TRUE(SFileAddFileEx(ha, dir.File("empty.txt").c_str(), "empty.txt")) << QOVGetLastError();

    EXPECT_FALSE(SFileAddFileEx(ha, dir.File("missing.txt").c_str(), "missing.txt"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SFileAddFileEx(ha, "", "x.txt"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileAddFileEx(ha, nullptr, "x.txt"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileAddFileEx(ha, dir.File("big.txt").c_str(), "docs\\big.txt"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(SFileAddFileEx(ha, dir.File("big.txt").c_str(), "(listfile)"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_QOV_INTERNAL_FILE_NAME));
    EXPECT_EQ(testutil::FindRecordIndex(ha, "missing.txt"), -1);

    Reopen();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "docs/big.txt", &data, true));
    EXPECT_EQ(data, big);
    EXPECT_EQ(VerifyFile(ha, "docs\\big.txt"), VERIFY_MD5_PRESENT);
    // An empty disk file gets the MD5 of no bytes.
    EXPECT_EQ(testutil::Hex(Info("empty.txt").ContentMD5, 16), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(VerifyFile(ha, "empty.txt"), VERIFY_MD5_PRESENT);
    EXPECT_EQ(Info("docs\\big.txt").dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS);
}
