// File table and name lookup (QOVFileTable): HET probing, full tables,
// case and slash variants, capacity limits, delete markers and their reuse,
// folder records and the directory tree, and the tables written back.

#include "read/QOVRead.h"
#include "write/QOVWrite.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

using testutil::Bytes;

namespace {

class FileTableTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("table.qov"); }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    void Create(uint32_t capacity) {
        ha = testutil::CreateArchive(path, capacity, 3, 4096);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
    }

    void Reopen() {
        SFileCloseArchive(ha, true);
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    }

    TFileEntryImpl& Record(const std::string& name) {
        const uint32_t index = FindSlotByName(Impl(ha), name.c_str());
        EXPECT_NE(index, QOV_NO_RECORD) << name;
        return Impl(ha)->Records[index == QOV_NO_RECORD ? 0 : index];
    }

    uint32_t OpenError(const std::string& name) {
        TNQOVFile* hf = nullptr;
        if (NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf)) {
            SFileCloseFile(hf);
            return 0;
        }
        EXPECT_EQ(hf, nullptr);
        return QOVGetLastError();
    }

    std::vector<uint32_t> Children(const TFileEntryImpl& entry) {
        std::vector<uint32_t> children;
        for (uint32_t child = entry.FirstChild; child != QOV_NO_RECORD;
             child = Impl(ha)->Records[child].NextSibling)
            children.push_back(child);
        return children;
    }

    // A name whose first probed slot is `slot`, not among `avoid`.
    std::string NameForSlot(uint32_t slot, const std::vector<std::string>& avoid = {}) {
        const THetTable& het = *Impl(ha)->pHetTable;
        for (int i = 0;; i++) {
            const std::string name = "name" + std::to_string(i) + ".txt";
            if (std::find(avoid.begin(), avoid.end(), name) != avoid.end()) continue;
            if (het.MaskHash(QOVNameHash(name.c_str())) % het.dwHashTableSize == slot) return name;
        }
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
};

}  // namespace

//-----------------------------------------------------------------------------
// Lookup.

TEST_F(FileTableTest, LookupInAFullHashTableStops) {
    Create(2);
    ASSERT_EQ(Impl(ha)->pHetTable->dwHashTableSize, 2u) << "2 * 4 / 3 slots";
    ASSERT_TRUE(testutil::AddBytes(ha, "a.txt", testutil::TextBytes(50, 1)));
    ASSERT_TRUE(testutil::AddBytes(ha, "b.txt", testutil::TextBytes(50, 2)));
    for (uint8_t slotByte : Impl(ha)->pHetTable->SlotBytes) ASSERT_NE(slotByte, HET_SLOT_FREE);
    EXPECT_EQ(FindSlotByName(Impl(ha), "missing.txt"), QOV_NO_RECORD);
    EXPECT_EQ(FindSlotByHash(Impl(ha), 0x123456789ull), QOV_NO_RECORD);
    EXPECT_EQ(OpenError("missing.txt"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError("a.txt"), 0u);
    EXPECT_EQ(OpenError("b.txt"), 0u);

    // Written and opened again (the open looks for the list file, which
    // found no room): still full, lookups still end.
    Reopen();
    EXPECT_EQ(OpenError("missing.txt"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError(".File12345."), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "b.txt", &data, true));
    EXPECT_EQ(data, testutil::TextBytes(50, 2));
}

TEST_F(FileTableTest, ProbingPassesSlotsOfOtherRecords) {
    Create(64);
    const Bytes content = testutil::TextBytes(100, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "target.txt", content));
    THetTable& het = *Impl(ha)->pHetTable;
    const uint32_t target = FindSlotByName(Impl(ha), "target.txt");
    ASSERT_NE(target, QOV_NO_RECORD);
    const uint32_t start = Impl(ha)->Records[target].dwHetIndex;
    ASSERT_LT(start + 3, het.dwHashTableSize) << "the test needs no wrap-around";
    const std::string otherName = NameForSlot((start + 10) % het.dwHashTableSize, {"target.txt"});
    ASSERT_TRUE(testutil::AddBytes(ha, otherName, testutil::TextBytes(10, 2)));
    const uint32_t other = FindSlotByName(Impl(ha), otherName.c_str());
    ASSERT_NE(other, QOV_NO_RECORD);
    const uint8_t slotByte = het.SlotBytes[start];

    // start:   the right hash byte, an index beyond the file table
    // start+1: another hash byte, the right index
    // start+2: the right hash byte, a record with another name hash
    // start+3: the record itself
    het.SetIndex(start, 100);
    het.SlotBytes[start + 1] = static_cast<uint8_t>(slotByte ^ 0x01);
    het.SetIndex(start + 1, target);
    het.SlotBytes[start + 2] = slotByte;
    het.SetIndex(start + 2, other);
    het.SlotBytes[start + 3] = slotByte;
    het.SetIndex(start + 3, target);
    Impl(ha)->Records[target].dwHetIndex = start + 3;

    EXPECT_EQ(FindSlotByName(Impl(ha), "target.txt"), target);
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "target.txt", &data));
    EXPECT_EQ(data, content);
    EXPECT_EQ(FindSlotByName(Impl(ha), otherName.c_str()), other);
}

// A stored slot whose index lies beyond the BET records is ignored when the
// table is built and passed over by lookups.
TEST_F(FileTableTest, StoredSlotBeyondTheRecordsIsIgnored) {
    Create(64);
    const Bytes content = testutil::TextBytes(100, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "target.txt", content));
    THetTable& het = *Impl(ha)->pHetTable;
    const uint32_t target = FindSlotByName(Impl(ha), "target.txt");
    const uint32_t start = Impl(ha)->Records[target].dwHetIndex;
    ASSERT_LT(start + 1, het.dwHashTableSize);
    // The list file record (index 2 after the flush) must not sit on start + 1.
    ASSERT_TRUE(SFileFlushArchive(ha));
    ASSERT_EQ(het.SlotBytes[start + 1], HET_SLOT_FREE) << "pick another name for this test";
    het.SlotBytes[start + 1] = het.SlotBytes[start];
    het.SetIndex(start + 1, target);
    het.SetIndex(start, 120);
    Impl(ha)->Records[target].dwHetIndex = start + 1;
    Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
    Reopen();
    EXPECT_EQ(Impl(ha)->Records[target].dwHetIndex, start + 1);
    EXPECT_EQ(Impl(ha)->Records[target].NameHash64, QOVNameHash("target.txt") | (1ull << 63));
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "target.txt", &data, true));
    EXPECT_EQ(data, content);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

TEST_F(FileTableTest, CaseAndSlashVariantsFindTheSameRecord) {
    Create(16);
    const Bytes content = testutil::TextBytes(6000, 4);
    ASSERT_TRUE(
        testutil::AddBytes(ha, "Data\\Sub\\File.TXT", content, NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED));
    for (int pass = 0; pass < 2; pass++) {
        for (const char* variant : {"Data\\Sub\\File.TXT", "data/sub/file.txt", "DATA\\SUB/FILE.TXT"}) {
            Bytes data;
            EXPECT_TRUE(testutil::ReadWhole(ha, variant, &data)) << variant << " " << QOVGetLastError();
            EXPECT_EQ(data, content) << variant;
        }
        EXPECT_EQ(OpenError("Data\\Sub\\File.TXT."), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(OpenError("Data\\Sub\\File.TX"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(OpenError("Data\\\\Sub\\File.TXT"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
        // The record keeps the name it was written with.
        EXPECT_GE(testutil::FindRecordIndex(ha, "Data\\Sub\\File.TXT"), 0);
        // Folders are found the same way.
        EXPECT_EQ(OpenError("data/SUB"), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        if (pass == 0) Reopen();
    }
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "data/sub/file.txt", 10, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
}

//-----------------------------------------------------------------------------
// Capacity, delete markers and reuse.

TEST_F(FileTableTest, FullFileTable) {
    Create(1);
    const Bytes first = testutil::TextBytes(3000, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "first.txt", first));
    TNQOVFile* hf = nullptr;
    EXPECT_FALSE(SFileCreateFile(ha, "second.txt", 100, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(hf, nullptr);
    EXPECT_EQ(SFileGetRecordCount(ha), 1u);
    // The same name is no new record and so still fits.
    EXPECT_FALSE(SFileCreateFile(ha, "first.txt", 100, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    // A file in a folder needs a folder record too.
    EXPECT_FALSE(SFileCreateFile(ha, "dir\\third.txt", 100, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));

    // The list file finds no room either: the flush reports that, and writes
    // the tables all the same.
    EXPECT_FALSE(SFileCloseArchive(ha, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));
    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    EXPECT_EQ(SFileGetRecordCount(ha), 1u);
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "first.txt", &data, true));
    EXPECT_EQ(data, first);
    EXPECT_EQ(OpenError("second.txt"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

// A file whose writing failed leaves a delete marker; the name can be
// written again and takes the marker's record.
TEST_F(FileTableTest, DeleteMarkerIsReused) {
    Create(16);
    const Bytes a = testutil::TextBytes(5000, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "a.txt", a));
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "b.txt", 5000, &hf));
    ASSERT_TRUE(SFileWriteFile(hf, a.data(), 4096));
    EXPECT_FALSE(SFileFinishFile(hf));
    const uint32_t marker = FindSlotByName(Impl(ha), "b.txt");
    ASSERT_NE(marker, QOV_NO_RECORD);
    EXPECT_EQ(Impl(ha)->Records[marker].dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
    EXPECT_EQ(Impl(ha)->Records[marker].dwFileSize, 0u);
    EXPECT_EQ(Impl(ha)->Records[marker].dwStoredSize, 0u);
    const uint32_t count = SFileGetRecordCount(ha);

    const Bytes b = testutil::RandomBytes(7000, 2);
    ASSERT_TRUE(testutil::AddBytes(ha, "b.txt", b, 0)) << QOVGetLastError();
    EXPECT_EQ(FindSlotByName(Impl(ha), "b.txt"), marker);
    EXPECT_EQ(SFileGetRecordCount(ha), count);

    // A marker that was written to disk is reused the same way.
    ASSERT_TRUE(SFileCreateFile(ha, "c.txt", 100, &hf));
    ASSERT_TRUE(SFileFinishFile(hf) == false);
    Reopen();
    const uint32_t storedMarker = FindSlotByName(Impl(ha), "c.txt");
    ASSERT_NE(storedMarker, QOV_NO_RECORD);
    QOV_RECORD_INFO info;
    ASSERT_TRUE(SFileGetRecordInfo(ha, storedMarker, &info));
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
    EXPECT_FALSE(info.bNamed) << "a delete marker is not listed";
    const uint32_t storedCount = SFileGetRecordCount(ha);
    const Bytes c = testutil::TextBytes(900, 3);
    ASSERT_TRUE(testutil::AddBytes(ha, "c.txt", c));
    EXPECT_EQ(SFileGetRecordCount(ha), storedCount);
    EXPECT_EQ(FindSlotByName(Impl(ha), "c.txt"), storedMarker);

    Reopen();
    for (const auto& file :
         {std::make_pair("a.txt", a), std::make_pair("b.txt", b), std::make_pair("c.txt", c)}) {
        Bytes data;
        EXPECT_TRUE(testutil::ReadWhole(ha, file.first, &data, true)) << file.first;
        EXPECT_EQ(data, file.second) << file.first;
    }
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

// Dropping a record leaves its slot reusable but still part of the probe
// chain, so records after it stay findable and a new record takes the slot.
TEST_F(FileTableTest, DroppedRecordKeepsTheProbeChain) {
    Create(64);
    const std::string first = NameForSlot(5);
    const std::string second = NameForSlot(5, {first});
    TFileEntry* a = ClaimRecord(Impl(ha), first.c_str());
    ASSERT_NE(a, nullptr);
    Impl(a)->dwFlags = NQOV_FILE_EXISTS;
    TFileEntry* b = ClaimRecord(Impl(ha), second.c_str());
    ASSERT_NE(b, nullptr);
    Impl(b)->dwFlags = NQOV_FILE_EXISTS;
    EXPECT_EQ(Impl(a)->dwHetIndex, 5u);
    EXPECT_EQ(Impl(b)->dwHetIndex, 6u);
    const uint32_t bIndex = Impl(b)->dwIndex;

    DropRecord(Impl(ha), Impl(a));
    EXPECT_EQ(Impl(ha)->pHetTable->SlotBytes[5], HET_SLOT_REUSABLE);
    EXPECT_EQ(Impl(ha)->pHetTable->GetIndex(5), Impl(ha)->pHetTable->AllOnesIndex());
    EXPECT_EQ(FindSlotByName(Impl(ha), first.c_str()), QOV_NO_RECORD);
    EXPECT_EQ(FindSlotByName(Impl(ha), second.c_str()), bIndex);

    const std::string third = NameForSlot(5, {first, second});
    TFileEntry* c = ClaimRecord(Impl(ha), third.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Impl(c)->dwHetIndex, 5u);
    EXPECT_EQ(FindSlotByName(Impl(ha), third.c_str()), Impl(c)->dwIndex);
    EXPECT_EQ(FindSlotByName(Impl(ha), second.c_str()), bIndex);
}

//-----------------------------------------------------------------------------
// Folders and the directory tree.

TEST_F(FileTableTest, FolderRecordsAndTheirLinks) {
    Create(32);
    ASSERT_TRUE(testutil::AddBytes(ha, "a\\b\\c.txt", testutil::TextBytes(100, 1)));
    const uint32_t file = FindSlotByName(Impl(ha), "a\\b\\c.txt");
    const uint32_t a = FindSlotByName(Impl(ha), "a");
    const uint32_t ab = FindSlotByName(Impl(ha), "a\\b");
    ASSERT_NE(a, QOV_NO_RECORD);
    ASSERT_NE(ab, QOV_NO_RECORD);
    // The file's record first, then the folders top-down.
    EXPECT_EQ(file, 0u);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(ab, 2u);
    ASSERT_TRUE(testutil::AddBytes(ha, "a\\d.txt", testutil::TextBytes(100, 2)));
    const uint32_t d = FindSlotByName(Impl(ha), "a\\d.txt");
    EXPECT_EQ(SFileGetRecordCount(ha), 4u) << "the folder a is not made twice";
    ASSERT_TRUE(testutil::AddBytes(ha, "x/y/z.txt", testutil::TextBytes(100, 3)));

    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "as written" : "after reopening");
        for (uint32_t folder : {a, ab}) {
            EXPECT_EQ(Impl(ha)->Records[folder].dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DIRECTORY);
            EXPECT_EQ(Impl(ha)->Records[folder].dwFileSize, 0u);
        }
        EXPECT_EQ(Impl(ha)->Records[a].ParentNameHash, 0u);
        EXPECT_EQ(Impl(ha)->Records[ab].ParentNameHash, Impl(ha)->Records[a].NameHash64);
        EXPECT_EQ(Impl(ha)->Records[file].ParentNameHash, Impl(ha)->Records[ab].NameHash64);
        EXPECT_EQ(Impl(ha)->Records[d].ParentNameHash, Impl(ha)->Records[a].NameHash64);
        EXPECT_EQ(Children(Impl(ha)->Records[a]), (std::vector<uint32_t>{ab, d}));
        EXPECT_EQ(Children(Impl(ha)->Records[ab]), (std::vector<uint32_t>{file}));
        EXPECT_EQ(Impl(ha)->Records[file].ParentIndex, ab);
        EXPECT_TRUE(Children(Impl(ha)->Records[file]).empty());
        // Folders keep the caller's separators in their names.
        EXPECT_GE(testutil::FindRecordIndex(ha, "x/y"), 0);
        EXPECT_GE(testutil::FindRecordIndex(ha, "x"), 0);
        // Folders are not files.
        EXPECT_EQ(OpenError("a"), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(OpenError("a\\b"), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(OpenError("x\\y"), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(VerifyFile(ha, "a\\b"), VERIFY_CANNOT_OPEN);
        if (pass == 0) Reopen();
    }
}

// A folder whose name was left as a delete marker by a failed write still
// gets a directory record when a file is written into it.
TEST_F(FileTableTest, FolderOverADeleteMarker) {
    Create(16);
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "dir", 100, &hf));
    EXPECT_FALSE(SFileFinishFile(hf));
    ASSERT_TRUE(testutil::AddBytes(ha, "dir\\file.txt", testutil::TextBytes(100, 1)));
    const uint32_t folder = FindSlotByName(Impl(ha), "dir");
    ASSERT_NE(folder, QOV_NO_RECORD);
    EXPECT_EQ(Impl(ha)->Records[folder].dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DIRECTORY)
        << "the delete marker was taken as the folder record";
    EXPECT_EQ(OpenError("dir"), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
}

TEST_F(FileTableTest, RecordInfoOfEveryRecord) {
    Create(16);
    const Bytes content = testutil::TextBytes(5000, 1);
    ASSERT_TRUE(testutil::AddBytes(ha, "d\\f.txt", content));
    Reopen();
    const uint32_t count = SFileGetRecordCount(ha);
    ASSERT_EQ(count, 3u) << "file, folder, list file";
    QOV_RECORD_INFO info;
    ASSERT_TRUE(SFileGetRecordInfo(ha, 0, &info));
    EXPECT_STREQ(info.szFileName, "d\\f.txt");
    EXPECT_TRUE(info.bNamed);
    EXPECT_EQ(info.NameHash64, QOVNameHash("d\\f.txt") | (1ull << 63));
    EXPECT_EQ(info.dwFileSize, 5000u);
    EXPECT_EQ(info.StoredOffset, NQOV_HEADER_SIZE);
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS);
    EXPECT_EQ(testutil::Hex(info.ContentMD5, 16), testutil::Md5Hex(content));
    EXPECT_EQ(info.ParentNameHash, QOVNameHash("d") | (1ull << 63));
    EXPECT_EQ(Impl(ha)->pHetTable->SlotBytes[info.dwHetIndex], static_cast<uint8_t>(info.NameHash64 >> 56));
    ASSERT_TRUE(SFileGetRecordInfo(ha, 2, &info));
    EXPECT_STREQ(info.szFileName, "(listfile)");

    EXPECT_FALSE(SFileGetRecordInfo(ha, count, &info));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileGetRecordInfo(ha, 0, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileGetRecordInfo(nullptr, 0, &info));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

// The BET table is written with the narrowest widths that hold every value.
TEST_F(FileTableTest, WrittenFieldWidthsFitTheLargestValues) {
    Create(16);
    ASSERT_TRUE(testutil::AddBytes(ha, "one.bin", testutil::RandomBytes(70000, 1), 0));
    ASSERT_TRUE(testutil::AddBytes(ha, "two.txt", testutil::TextBytes(300, 2)));
    Reopen();
    uint64_t maxOffset = 0, maxSize = 0, maxStored = 0;
    for (uint32_t i = 0; i < Impl(ha)->dwFileTableSize; i++) {
        maxOffset = std::max<uint64_t>(maxOffset, Impl(ha)->Records[i].StoredOffset);
        maxSize = std::max<uint64_t>(maxSize, Impl(ha)->Records[i].dwFileSize);
        maxStored = std::max<uint64_t>(maxStored, Impl(ha)->Records[i].dwStoredSize);
    }
    EXPECT_EQ(maxSize, 70000u);
    EXPECT_EQ(Impl(ha)->BetWidths.pos, QOVBitCount(maxOffset));
    EXPECT_EQ(Impl(ha)->BetWidths.size, 17u);
    EXPECT_EQ(Impl(ha)->BetWidths.stored, QOVBitCount(maxStored));
    EXPECT_EQ(Impl(ha)->BetWidths.flags, 32u);
    EXPECT_EQ(Impl(ha)->BetWidths.md5, 128u);
    EXPECT_EQ(Impl(ha)->BetWidths.parent, 64u);
    EXPECT_EQ(Impl(ha)->BetWidths.record, Impl(ha)->BetWidths.pos + 17 + Impl(ha)->BetWidths.stored + 224);
}
