// Patch archives and what builds on them: chains attached with tag checks,
// lookups over a chain with and without the merged index, the file-id table
// and its forms (opening, extracting, verifying, piece checks, reading from a
// record), the directory listers, Clear with its progress hook, and the
// piece-state map mapped from the archive file.
//
// The chains are written here: base.qov, then p1.qov whose base tag is the
// version of base.qov, then p2.qov on top of p1.qov.  The version of an
// archive written by this library is its header digest (MD5_PatchedTag stays
// zero), which every flush changes, so each version is read back from the
// closed file.

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#endif

using testutil::Bytes;

namespace {

typedef std::vector<uint8_t> Tag;

const uint32_t kPieceSize = 2048;

struct StoredFile {
    std::string name;
    Bytes data;
    uint32_t flags;
};

// The version an archive file stands for: its patched tag, or its header
// digest when that tag is all zero.
Tag VersionOf(const std::string& path) {
    TNQOVArchive* ha = nullptr;
    if (!SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) {
        ADD_FAILURE() << "cannot open " << path << ": " << QOVGetLastError();
        return Tag();
    }
    QOV_ARCHIVE_INFO info;
    Tag tag;
    if (SFileGetArchiveInfo(ha, &info)) {
        const uint8_t* version = IsZeroDigest(info.MD5_PatchedTag) ? info.MD5_QOVHeader : info.MD5_PatchedTag;
        tag.assign(version, version + 16);
    }
    SFileCloseArchive(ha, false);
    return tag;
}

// Writes an archive holding the files (and, for a patch, the base tag) and
// returns its version.
Tag WriteArchive(const std::string& path, const std::vector<StoredFile>& files, const Tag& baseTag,
                 uint32_t capacity, uint32_t pieceSize = kPieceSize) {
    TNQOVArchive* ha = testutil::CreateArchive(path, capacity, 3, pieceSize);
    if (ha == nullptr) {
        ADD_FAILURE() << "cannot create " << path << ": " << QOVGetLastError();
        return Tag();
    }
    for (const StoredFile& file : files)
        if (!testutil::AddBytes(ha, file.name, file.data, file.flags))
            ADD_FAILURE() << "cannot add " << file.name << ": " << QOVGetLastError();
    if (!baseTag.empty()) ha->SetPatchBaseTag(baseTag.data());
    if (!SFileCloseArchive(ha, true)) ADD_FAILURE() << "cannot close " << path << ": " << QOVGetLastError();
    return VersionOf(path);
}

QOV_ARCHIVE_INFO InfoOf(TNQOVArchive* ha) {
    QOV_ARCHIVE_INFO info = {};
    EXPECT_TRUE(SFileGetArchiveInfo(ha, &info));
    return info;
}

Tag TagAt(const uint8_t* p) { return p == nullptr ? Tag() : Tag(p, p + 16); }

// Opens a name with a scope and reads it whole; the archive it came from
// goes to *pFrom.  False with the last error when it does not open or read.
bool ReadScoped(TNQOVArchive* ha, const std::string& name, uint32_t scope, Bytes* pData,
                TNQOVArchive** pFrom = nullptr) {
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name.c_str(), scope, &hf)) return false;
    if (pFrom != nullptr) *pFrom = hf->GetArchive();
    const uint32_t size = SFileGetFileSize(hf);
    pData->assign(size, 0);
    uint32_t read = 0;
    const bool ok = size == 0 || SFileReadFile(hf, pData->data(), size, &read, false);
    const uint32_t error = QOVGetLastError();
    SFileCloseFile(hf);
    pData->resize(size == 0 ? 0 : read);
    QOVSetLastError(error);
    return ok;
}

// Reads an open file to its end.
Bytes ReadOpen(TNQOVFile* hf) {
    const uint32_t size = SFileGetFileSize(hf);
    Bytes data(size);
    uint32_t read = 0;
    if (size > 0) {
        EXPECT_TRUE(SFileReadFile(hf, data.data(), size, &read, true)) << QOVGetLastError();
    }
    data.resize(size > 0 ? read : 0);
    return data;
}

// The key a name is indexed under (the masked 64-bit name hash).
uint64_t KeyOf(const std::string& name) { return NameLookupKey(name.c_str(), nullptr); }

std::string Upper(std::string text) {
    for (char& ch : text) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return text;
}

#if defined(__linux__)
size_t OpenDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) count++;
        closedir(dir);
    }
    return count;
}
#endif

//-----------------------------------------------------------------------------
// A chain of three archives.

class ChainTest : public testing::Test {
protected:
    // Which archive of the chain holds the newest copy of a name.
    struct Expected {
        Bytes data;
        int level;  // 0 base, 1 p1, 2 p2
    };

    void SetUp() override {
        basePath = dir.File("base.qov");
        p1Path = dir.File("p1.qov");
        p2Path = dir.File("p2.qov");
        levels = {
            {
                {"common.txt", testutil::TextBytes(5000, 10), NQOV_FILE_COMPRESS},
                {"base_only.txt", testutil::TextBytes(3000, 11), NQOV_FILE_COMPRESS},
                {"dir\\a.txt", testutil::TextBytes(2000, 12), NQOV_FILE_COMPRESS},
                {"dir\\b.txt", testutil::TextBytes(1500, 13), NQOV_FILE_COMPRESS},
                {"single.bin", testutil::TextBytes(6000, 14), NQOV_FILE_COMPRESS | NQOV_FILE_SINGLE_UNIT},
                {"plain.bin", testutil::RandomBytes(9000, 15), 0},
                {"dir\\hidden.txt", testutil::TextBytes(700, 16), NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_30},
                {"secret.bin", testutil::TextBytes(10000, 17), NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED},
                {"big.txt", testutil::TextBytes(20000, 18), NQOV_FILE_COMPRESS},
            },
            {
                {"common.txt", testutil::TextBytes(5200, 20), NQOV_FILE_COMPRESS},
                {"p1_only.bin", testutil::RandomBytes(9000, 21), 0},
                {"dir\\c.txt", testutil::TextBytes(1800, 22), NQOV_FILE_COMPRESS},
                {"dir\\sub\\d.txt", testutil::TextBytes(900, 23), NQOV_FILE_COMPRESS},
            },
            {
                {"common.txt", testutil::TextBytes(5400, 30), NQOV_FILE_COMPRESS},
                {"dir\\a.txt", testutil::TextBytes(2100, 31), NQOV_FILE_COMPRESS},
            },
        };
        baseTag = WriteArchive(basePath, levels[0], Tag(), 64);
        p1Tag = WriteArchive(p1Path, levels[1], baseTag, 32);
        p2Tag = WriteArchive(p2Path, levels[2], p1Tag, 16);
        ASSERT_EQ(baseTag.size(), 16u);
        ASSERT_EQ(p1Tag.size(), 16u);
        ASSERT_EQ(p2Tag.size(), 16u);
        ASSERT_NE(baseTag, p1Tag);
        ASSERT_NE(p1Tag, p2Tag);
    }

    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
        for (TNQOVArchive* other : others) SFileCloseArchive(other, false);
    }

    void OpenBase(uint32_t flags = 0) {
        ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, flags)) << QOVGetLastError();
    }

    // base + p1 + p2, oldest first.
    void OpenChain() {
        ASSERT_NO_FATAL_FAILURE(OpenBase());
        ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
        ASSERT_TRUE(SFileOpenPatchArchive(p2Path.c_str(), ha, 0)) << QOVGetLastError();
        ASSERT_EQ(ha->GetArchiveCount(), 3u);
    }

    // The archive of the chain at a level (0 base, 1 p1, 2 p2).
    TNQOVArchive* Level(int level) {
        const std::string* paths[] = {&basePath, &p1Path, &p2Path};
        return ha->FindArchiveByFileName(paths[level]->c_str());
    }

    // Name -> newest content over levels 0 .. top.
    std::map<std::string, Expected> Newest(int top = 2) const {
        std::map<std::string, Expected> newest;
        for (int level = 0; level <= top; level++)
            for (const StoredFile& file : levels[level]) newest[file.name] = {file.data, level};
        return newest;
    }

    const StoredFile& File(int level, const std::string& name) const {
        for (const StoredFile& file : levels[level])
            if (file.name == name) return file;
        static StoredFile none;
        ADD_FAILURE() << "no file " << name << " at level " << level;
        return none;
    }

    // Every name of the chain opens with `scope` from the newest archive
    // holding it, with that archive's content.
    void ExpectNewestEverywhere(uint32_t scope) {
        for (const auto& item : Newest()) {
            SCOPED_TRACE(item.first);
            Bytes data;
            TNQOVArchive* from = nullptr;
            ASSERT_TRUE(ReadScoped(ha, item.first, scope, &data, &from)) << QOVGetLastError();
            EXPECT_EQ(from, Level(item.second.level));
            EXPECT_TRUE(data == item.second.data) << "content of level " << item.second.level << " expected";
        }
    }

    // Distinct name hashes of the existing records of every archive of the chain.
    std::set<uint64_t> ChainHashes() {
        std::set<uint64_t> hashes;
        for (int level = 0; level < static_cast<int>(ha->GetArchiveCount()); level++) {
            TNQOVArchive* archive = Level(level);
            const uint32_t count = SFileGetRecordCount(archive);
            for (uint32_t i = 0; i < count; i++) {
                QOV_RECORD_INFO info;
                if (SFileGetRecordInfo(archive, i, &info) && (info.dwFlags & NQOV_FILE_EXISTS))
                    hashes.insert(info.NameHash64);
            }
        }
        return hashes;
    }

    // Absolute position and stored size of a file in one archive file.
    void StoredRange(const std::string& path, const std::string& name, uint64_t* pPosition, uint32_t* pSize) {
        TNQOVArchive* archive = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        const int index = testutil::FindRecordIndex(archive, name);
        QOV_RECORD_INFO info = {};
        const bool found = index >= 0 && SFileGetRecordInfo(archive, static_cast<uint32_t>(index), &info);
        SFileCloseArchive(archive, false);
        ASSERT_TRUE(found) << name;
        *pPosition = info.StoredOffset;  // the header is at 0
        *pSize = info.dwStoredSize;
    }

    testutil::TempDir dir;
    std::string basePath, p1Path, p2Path;
    std::vector<std::vector<StoredFile>> levels;
    Tag baseTag, p1Tag, p2Tag;
    TNQOVArchive* ha = nullptr;
    std::vector<TNQOVArchive*> others;
};

//-----------------------------------------------------------------------------
// Attaching and looking up.

TEST_F(ChainTest, NewestArchiveWinsWithoutAndWithTheMergedIndex) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_NE(Level(1), nullptr);
    ASSERT_NE(Level(2), nullptr);

    // Without the index: the patched scope walks the chain; scope 0 is this
    // archive alone.
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
    Bytes data;
    TNQOVArchive* from = nullptr;
    ASSERT_TRUE(ReadScoped(ha, "common.txt", QOV_OPEN_FROM_ARCHIVE, &data, &from));
    EXPECT_EQ(from, ha);
    EXPECT_TRUE(data == File(0, "common.txt").data);
    EXPECT_FALSE(ReadScoped(ha, "p1_only.bin", QOV_OPEN_FROM_ARCHIVE, &data));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ReadScoped(ha, "missing.txt", QOV_OPEN_PATCHED, &data));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

    // With it: both scopes answer with the chain-wide winner.
    ASSERT_TRUE(ha->RebuildHashTable());
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
    ExpectNewestEverywhere(QOV_OPEN_FROM_ARCHIVE);
    EXPECT_FALSE(ReadScoped(ha, "missing.txt", QOV_OPEN_PATCHED, &data));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ReadScoped(ha, "missing.txt", QOV_OPEN_FROM_ARCHIVE, &data));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

    // A second rebuild changes nothing.
    ASSERT_TRUE(ha->RebuildHashTable());
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);

    // Records looked up by name or hash are the winners too.
    for (const auto& item : Newest()) {
        SCOPED_TRACE(item.first);
        TFileEntry* entry = ha->RecordByName(item.first.c_str());
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->GetArchive(), Level(item.second.level));
        EXPECT_EQ(ha->RecordByHash(KeyOf(item.first)), entry);
        EXPECT_EQ(entry->GetFileSize(), item.second.data.size());
        EXPECT_TRUE(ha->HasFile(item.first.c_str()));
        EXPECT_TRUE(ha->IsFile(item.first.c_str()));
        EXPECT_FALSE(ha->IsDirectory(item.first.c_str()));
    }
    EXPECT_TRUE(ha->IsDirectory("dir"));
    EXPECT_TRUE(ha->IsDirectory("dir\\sub"));
    EXPECT_FALSE(ha->IsFile("dir\\sub"));
    EXPECT_FALSE(ha->HasFile("missing.txt"));
    EXPECT_EQ(ha->RecordByName("missing.txt"), nullptr);
}

TEST_F(ChainTest, ScopeZeroWithoutTheIndexStaysInItsArchive) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    // Scope 0 on a patch's handle reads that patch only.
    TNQOVArchive* p1 = Level(1);
    ASSERT_NE(p1, nullptr);
    Bytes data;
    TNQOVArchive* from = nullptr;
    ASSERT_TRUE(ReadScoped(p1, "common.txt", QOV_OPEN_FROM_ARCHIVE, &data, &from));
    EXPECT_EQ(from, p1);
    EXPECT_TRUE(data == File(1, "common.txt").data);
    EXPECT_FALSE(ReadScoped(p1, "base_only.txt", QOV_OPEN_FROM_ARCHIVE, &data));
    // The patched scope from a patch's handle walks the whole chain.
    ASSERT_TRUE(ReadScoped(p1, "common.txt", QOV_OPEN_PATCHED, &data, &from));
    EXPECT_EQ(from, Level(2));
    EXPECT_TRUE(data == File(2, "common.txt").data);
    ASSERT_TRUE(ReadScoped(p1, "base_only.txt", QOV_OPEN_PATCHED, &data, &from));
    EXPECT_EQ(from, ha);
    // The table-only scope never leaves the archive, index or not.
    ASSERT_TRUE(ha->RebuildHashTable());
    ASSERT_TRUE(ReadScoped(ha, "common.txt", QOV_OPEN_TABLE_ONLY, &data, &from));
    EXPECT_EQ(from, ha);
    EXPECT_TRUE(data == File(0, "common.txt").data);
    EXPECT_FALSE(ReadScoped(ha, "p1_only.bin", QOV_OPEN_TABLE_ONLY, &data));
}

TEST_F(ChainTest, TheIndexFollowsAPatchAttachedAfterIt) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
    ASSERT_TRUE(ha->RebuildHashTable());
    Bytes data;
    TNQOVArchive* from = nullptr;
    ASSERT_TRUE(ReadScoped(ha, "common.txt", QOV_OPEN_FROM_ARCHIVE, &data, &from));
    EXPECT_TRUE(data == File(1, "common.txt").data);

    ASSERT_TRUE(SFileOpenPatchArchive(p2Path.c_str(), ha, 0)) << QOVGetLastError();
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
    ExpectNewestEverywhere(QOV_OPEN_FROM_ARCHIVE);
}

TEST_F(ChainTest, ArchivesOfTheChain) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    EXPECT_EQ(ha->GetArchiveCount(), 1u);
    EXPECT_EQ(TagAt(ha->GetCurrentTag()), baseTag);
    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
    EXPECT_EQ(ha->GetArchiveCount(), 2u);
    EXPECT_EQ(TagAt(ha->GetCurrentTag()), p1Tag);
    ASSERT_TRUE(ha->OpenPatchArchive(p2Path.c_str(), 0)) << QOVGetLastError();
    EXPECT_EQ(ha->GetArchiveCount(), 3u);
    EXPECT_EQ(TagAt(ha->GetCurrentTag()), p2Tag);
    // The header digest getter is this archive's own.
    EXPECT_EQ(TagAt(ha->GetHeaderMD5()), baseTag);

    TNQOVArchive* base = ha;
    TNQOVArchive* p1 = Level(1);
    TNQOVArchive* p2 = Level(2);
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p2, nullptr);
    EXPECT_NE(p1, p2);
    EXPECT_NE(p1, base);
    EXPECT_EQ(ha->FindArchiveByFileName(basePath.c_str()), base);
    EXPECT_EQ(ha->FindArchiveByFileName(Upper(p1Path).c_str()), p1) << "names compare without case";
    EXPECT_EQ(ha->FindArchiveByFileName(dir.File("other.qov").c_str()), nullptr);
    EXPECT_EQ(p1->FindArchiveByFileName(p2Path.c_str()), p2) << "a patch's handle sees the whole chain";
    EXPECT_EQ(ha->FindStreamByArchiveName(p1Path.c_str()), p1->GetStream());
    EXPECT_EQ(ha->GetArchiveFileSize(p2Path.c_str()), testutil::FileSize(p2Path));
    EXPECT_EQ(ha->GetArchiveFileSize(dir.File("other.qov").c_str()), 0u);
    EXPECT_STREQ(p1->GetArchiveFileName(), p1Path.c_str());

    // The first archive of the chain (newest first) that holds a name.
    EXPECT_EQ(ha->FindArchiveOfName("common.txt"), p2);
    EXPECT_EQ(ha->FindArchiveOfName("dir\\a.txt"), p2);
    EXPECT_EQ(ha->FindArchiveOfName("dir\\c.txt"), p1);
    EXPECT_EQ(ha->FindArchiveOfName("p1_only.bin"), p1);
    EXPECT_EQ(ha->FindArchiveOfName("base_only.txt"), base);
    EXPECT_EQ(ha->FindArchiveOfName("DIR/B.TXT"), base) << "names compare without case and separator";
    EXPECT_EQ(ha->FindArchiveOfName("missing.txt"), nullptr);
    EXPECT_EQ(p2->FindArchiveOfName("base_only.txt"), base);

    // Every archive of a chain answers for the chain.
    EXPECT_EQ(p1->GetArchiveCount(), 3u);
    EXPECT_EQ(TagAt(p1->GetCurrentTag()), p2Tag);

    // Capacities in chain order (newest first).
    uint32_t sizes[3] = {0, 0, 0};
    ASSERT_TRUE(ha->GetArchiveTableSize(sizes, 3));
    EXPECT_EQ(sizes[0], 16u);
    EXPECT_EQ(sizes[1], 32u);
    EXPECT_EQ(sizes[2], 64u);
    uint32_t untouched[4] = {7, 7, 7, 7};
    EXPECT_FALSE(ha->GetArchiveTableSize(untouched, 2));
    EXPECT_FALSE(ha->GetArchiveTableSize(untouched, 4));
    for (uint32_t value : untouched) EXPECT_EQ(value, 7u) << "a refused call fills nothing";
    EXPECT_FALSE(ha->GetArchiveTableSize(nullptr, 3));

    // The open parameter of each archive.
    EXPECT_EQ(ha->GetOpenParameter(), 0u);
    EXPECT_EQ(p1->GetOpenParameter(), 0u);
}

TEST_F(ChainTest, OpenFlagsOfAPatchAreKept) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    TNQOVArchive* p1 = Level(1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1->GetOpenParameter(), NQOV_OPEN_READ_ONLY);
    // Opened read-only: writing into it is refused.
    EXPECT_NE(InfoOf(p1).dwArchiveFlags & NQOV_FLAG_READ_ONLY, 0u);
}

TEST_F(ChainTest, MismatchedPatchesAreRefusedAndLeaveTheChain) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    const uint32_t baseCapacity = InfoOf(ha).dwMaxFileCount;
    auto expectChain = [&](uint32_t count, const Tag& tag) {
        EXPECT_EQ(ha->GetArchiveCount(), count);
        EXPECT_EQ(TagAt(ha->GetCurrentTag()), tag);
    };

    // p2 applies to p1's version, not to the base's.
    QOVSetLastError(0);
    EXPECT_FALSE(SFileOpenPatchArchive(p2Path.c_str(), ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    expectChain(1, baseTag);
    Bytes data;
    ASSERT_TRUE(ReadScoped(ha, "common.txt", QOV_OPEN_PATCHED, &data));
    EXPECT_TRUE(data == File(0, "common.txt").data);

    // Missing, null and empty names.
    EXPECT_FALSE(SFileOpenPatchArchive(dir.File("missing.qov").c_str(), ha, 0));
    EXPECT_NE(QOVGetLastError(), 0u);
    expectChain(1, baseTag);
    EXPECT_FALSE(SFileOpenPatchArchive(nullptr, ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileOpenPatchArchive("", ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileOpenPatchArchive(p1Path.c_str(), nullptr, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    expectChain(1, baseTag);

    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
    expectChain(2, p1Tag);

    // p1 again: its base tag is the base's version, the chain is at p1's.
    EXPECT_FALSE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    expectChain(2, p1Tag);
    // The base itself is no patch of anything.
    EXPECT_FALSE(SFileOpenPatchArchive(basePath.c_str(), ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    expectChain(2, p1Tag);

    ASSERT_TRUE(SFileOpenPatchArchive(p2Path.c_str(), ha, 0)) << QOVGetLastError();
    expectChain(3, p2Tag);
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
    uint32_t sizes[3] = {};
    ASSERT_TRUE(ha->GetArchiveTableSize(sizes, 3));
    EXPECT_EQ(sizes[2], baseCapacity);
}

TEST_F(ChainTest, NoPatchAfterTheFileIdTable) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
    ASSERT_TRUE(SFileBuildFileIdTable(ha)) << QOVGetLastError();
    const uint32_t count = ha->GetFileCount();
    ASSERT_GT(count, 0u);
    const uint32_t commonId = ha->GetFileId("common.txt");

    QOVSetLastError(0);
    EXPECT_FALSE(SFileOpenPatchArchive(p2Path.c_str(), ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SAME_DEVICE));
    EXPECT_EQ(ha->GetArchiveCount(), 2u);
    EXPECT_EQ(TagAt(ha->GetCurrentTag()), p1Tag);
    EXPECT_EQ(ha->GetFileCount(), count);
    EXPECT_EQ(ha->GetFileId("common.txt"), commonId);
    Bytes data;
    ASSERT_TRUE(ReadScoped(ha, "common.txt", QOV_OPEN_PATCHED, &data));
    EXPECT_TRUE(data == File(1, "common.txt").data);
    // Through a patch's handle and through the interface as well.
    EXPECT_FALSE(SFileOpenPatchArchive(p2Path.c_str(), Level(1), 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SAME_DEVICE));
    EXPECT_FALSE(ha->OpenPatchArchive(p2Path.c_str(), 0));
    EXPECT_EQ(ha->GetArchiveCount(), 2u);
    // Building again is allowed and gives the same ids.
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    EXPECT_EQ(ha->GetFileCount(), count);
    EXPECT_EQ(ha->GetFileId("common.txt"), commonId);
}

TEST_F(ChainTest, APatchAttachedThroughAPatchJoinsTheOwnersChain) {
    ASSERT_NO_FATAL_FAILURE(OpenBase());
    ASSERT_TRUE(SFileOpenPatchArchive(p1Path.c_str(), ha, 0)) << QOVGetLastError();
    TNQOVArchive* p1 = ha->FindArchiveOfName("p1_only.bin");
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p1, ha);
    ASSERT_TRUE(SFileOpenPatchArchive(p2Path.c_str(), p1, 0)) << QOVGetLastError();
    EXPECT_EQ(ha->GetArchiveCount(), 3u);
    EXPECT_EQ(p1->GetArchiveCount(), 3u);
    EXPECT_EQ(TagAt(ha->GetCurrentTag()), p2Tag);
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
    // A patch is closed with its base, never by itself.
    EXPECT_FALSE(SFileCloseArchive(p1, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ha->GetArchiveCount(), 3u);
    ExpectNewestEverywhere(QOV_OPEN_PATCHED);
}

TEST_F(ChainTest, ClosingTheBaseReleasesThePatches) {
#if defined(__linux__)
    const size_t before = OpenDescriptors();
#endif
    for (int round = 0; round < 3; round++) {
        ASSERT_NO_FATAL_FAILURE(OpenChain());
        ASSERT_TRUE(ha->RebuildHashTable());
        ASSERT_TRUE(SFileBuildFileIdTable(ha));
        TNQOVFile* hf = ha->OpenFile_i("common.txt");
        ASSERT_NE(hf, nullptr);
        EXPECT_TRUE(ha->CloseFile(hf));
#if defined(__linux__)
        EXPECT_EQ(OpenDescriptors(), before + 3) << "one file per archive of the chain";
#endif
        EXPECT_TRUE(SFileCloseArchive(ha, false));
        ha = nullptr;
#if defined(__linux__)
        EXPECT_EQ(OpenDescriptors(), before) << "the patch archives' files are closed with the base";
#endif
    }
    // The files can be written again: nothing holds them.
    TNQOVArchive* p1 = nullptr;
    ASSERT_TRUE(SFileOpenArchive(p1Path.c_str(), &p1, 0)) << QOVGetLastError();
    EXPECT_TRUE(SFileCloseArchive(p1, false));
}

TEST_F(ChainTest, AChainOfFivePatches) {
    const std::string basePath5 = dir.File("five_base.qov");
    std::vector<std::vector<StoredFile>> chain(6);
    chain[0] = {{"common.txt", testutil::TextBytes(4000, 100), NQOV_FILE_COMPRESS},
                {"keep.txt", testutil::TextBytes(3000, 101), NQOV_FILE_COMPRESS},
                {"dir\\x.txt", testutil::TextBytes(1000, 102), NQOV_FILE_COMPRESS}};
    std::vector<std::string> paths{basePath5};
    std::vector<Tag> tags{WriteArchive(basePath5, chain[0], Tag(), 32)};
    for (int n = 1; n <= 5; n++) {
        chain[n] = {
            {"common.txt", testutil::TextBytes(4000 + 100 * n, 100 + 10 * n), NQOV_FILE_COMPRESS},
            {"p" + std::to_string(n) + ".txt", testutil::TextBytes(500 + n, 200 + n), NQOV_FILE_COMPRESS}};
        if (n % 2 == 0)
            chain[n].push_back({"dir\\x.txt", testutil::TextBytes(1000 + n, 300 + n), NQOV_FILE_COMPRESS});
        paths.push_back(dir.File("five_p" + std::to_string(n) + ".qov"));
        tags.push_back(WriteArchive(paths.back(), chain[n], tags.back(), 16));
        ASSERT_EQ(tags.back().size(), 16u);
    }

    ASSERT_TRUE(SFileOpenArchive(basePath5.c_str(), &ha, 0)) << QOVGetLastError();
    for (int n = 1; n <= 5; n++) {
        ASSERT_TRUE(SFileOpenPatchArchive(paths[n].c_str(), ha, 0)) << n << ": " << QOVGetLastError();
        EXPECT_EQ(TagAt(ha->GetCurrentTag()), tags[n]);
    }
    EXPECT_EQ(ha->GetArchiveCount(), 6u);
    // An old patch does not fit at the end.
    EXPECT_FALSE(SFileOpenPatchArchive(paths[3].c_str(), ha, 0));
    EXPECT_EQ(ha->GetArchiveCount(), 6u);

    std::map<std::string, std::pair<Bytes, int>> newest;
    for (int n = 0; n <= 5; n++)
        for (const StoredFile& file : chain[n]) newest[file.name] = {file.data, n};
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "without the index" : "with the index");
        for (const auto& item : newest) {
            SCOPED_TRACE(item.first);
            Bytes data;
            TNQOVArchive* from = nullptr;
            ASSERT_TRUE(ReadScoped(ha, item.first, QOV_OPEN_PATCHED, &data, &from)) << QOVGetLastError();
            EXPECT_TRUE(data == item.second.first);
            EXPECT_EQ(from, ha->FindArchiveByFileName(paths[item.second.second].c_str()));
            EXPECT_EQ(ha->FindArchiveOfName(item.first.c_str()), from);
        }
        ASSERT_TRUE(ha->RebuildHashTable());
    }
    uint32_t sizes[6] = {};
    ASSERT_TRUE(ha->GetArchiveTableSize(sizes, 6));
    for (int i = 0; i < 5; i++) EXPECT_EQ(sizes[i], 16u);
    EXPECT_EQ(sizes[5], 32u);

    // The directory lists the children of every archive once.
    TNQOVDirWalker* walker = ha->CreateDirWalker();
    ASSERT_NE(walker, nullptr);
    ASSERT_TRUE(walker->List("dir"));
    ASSERT_EQ(walker->GetCount(), 1u);
    EXPECT_EQ(walker->GetItem(0), KeyOf("dir\\x.txt"));
    ha->ReleaseDirWalker(walker);
}

//-----------------------------------------------------------------------------
// The file-id table and its forms.

TEST_F(ChainTest, FileIdsAreInNameHashOrderAndStandForTheWinners) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    EXPECT_EQ(ha->GetFileCount(), 0u);
    EXPECT_EQ(ha->GetFileEntry(0), nullptr);
    EXPECT_FALSE(ha->HasFileId(0));
    EXPECT_EQ(ha->GetFileId("common.txt"), NQOV_INVALID_FILE_ID);

    ASSERT_TRUE(SFileBuildFileIdTable(ha)) << QOVGetLastError();
    const std::set<uint64_t> hashes = ChainHashes();
    const uint32_t count = ha->GetFileCount();
    ASSERT_EQ(count, hashes.size()) << "one id per name hash of the chain";
    EXPECT_EQ(Level(1)->GetFileCount(), count) << "a patch's handle sees the owner's table";

    uint64_t previous = 0;
    auto hash = hashes.begin();
    for (uint32_t id = 0; id < count; id++, ++hash) {
        SCOPED_TRACE("id " + std::to_string(id));
        TFileEntry* entry = ha->GetFileEntry(id);
        ASSERT_NE(entry, nullptr);
        const uint64_t nameHash = Impl(entry)->NameHash64;
        EXPECT_EQ(nameHash, *hash);
        if (id > 0) {
            EXPECT_GT(nameHash, previous) << "ascending name hashes";
        }
        previous = nameHash;
        EXPECT_EQ(entry->GetFileId(), id);
        EXPECT_TRUE(ha->HasFileId(id));
        // The winner of its hash: the record the chain lookup finds.
        EXPECT_EQ(ha->RecordByHash(nameHash), entry);
        EXPECT_EQ(ha->GetArchiveOfFile(id), entry->GetArchive());
    }
    for (const auto& item : Newest()) {
        SCOPED_TRACE(item.first);
        const uint32_t id = ha->GetFileId(item.first.c_str());
        if (item.first == "dir\\hidden.txt") {
            EXPECT_EQ(id, NQOV_INVALID_FILE_ID) << "FLAG_30 files have no id for their name";
            TFileEntry* hidden = ha->RecordByName(item.first.c_str());
            ASSERT_NE(hidden, nullptr);
            EXPECT_LT(hidden->GetFileId(), count) << "but the record is numbered";
            EXPECT_EQ(ha->IsFlag30ById(hidden->GetFileId()), 1u);
            continue;
        }
        ASSERT_LT(id, count);
        EXPECT_EQ(ha->GetArchiveOfFile(id), Level(item.second.level));
        EXPECT_EQ(ha->GetFileEntry(id), ha->RecordByName(item.first.c_str()));
        EXPECT_STREQ(ha->GetFileName(id), item.first.c_str());
        EXPECT_EQ(ha->GetFileEntry(id)->GetFileSize(), item.second.data.size());
        EXPECT_TRUE(ha->IsFile(id));
        EXPECT_FALSE(ha->IsDirectory(id));
        EXPECT_EQ(ha->IsFlag30ById(id), 0u);
    }
    const uint32_t dirId = ha->GetFileId("dir");
    ASSERT_LT(dirId, count);
    EXPECT_TRUE(ha->IsDirectory(dirId));
    EXPECT_FALSE(ha->IsFile(dirId));
    EXPECT_EQ(ha->GetArchiveOfFile(dirId), Level(2)) << "p2 holds dir\\a.txt, so its own dir record wins";
    EXPECT_EQ(ha->GetFileId("missing.txt"), NQOV_INVALID_FILE_ID);

    // Outside the table.
    for (uint32_t bad : {count, count + 1, NQOV_INVALID_FILE_ID}) {
        EXPECT_EQ(ha->GetFileEntry(bad), nullptr);
        EXPECT_FALSE(ha->HasFileId(bad));
        EXPECT_FALSE(ha->IsFile(bad));
        EXPECT_EQ(ha->GetArchiveOfFile(bad), nullptr);
        EXPECT_EQ(ha->IsFlag30ById(bad), 3u);
        EXPECT_STREQ(ha->GetFileName(bad), "Failed To Get Name");
    }
}

TEST_F(ChainTest, TheSameChainGivesTheSameIds) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    // A second copy of the same files, opened as a second chain.
    const std::string base2 = dir.File("copy_base.qov"), p12 = dir.File("copy_p1.qov"),
                      p22 = dir.File("copy_p2.qov");
    ASSERT_TRUE(testutil::CopyFile(basePath, base2));
    ASSERT_TRUE(testutil::CopyFile(p1Path, p12));
    ASSERT_TRUE(testutil::CopyFile(p2Path, p22));
    TNQOVArchive* other = nullptr;
    ASSERT_TRUE(SFileOpenArchive(base2.c_str(), &other, NQOV_OPEN_READ_ONLY));
    others.push_back(other);
    ASSERT_TRUE(SFileOpenPatchArchive(p12.c_str(), other, NQOV_OPEN_READ_ONLY));
    ASSERT_TRUE(SFileOpenPatchArchive(p22.c_str(), other, NQOV_OPEN_READ_ONLY));
    ASSERT_TRUE(other->RebuildHashTable());  // the index does not change the ids
    ASSERT_TRUE(SFileBuildFileIdTable(other));

    ASSERT_EQ(other->GetFileCount(), ha->GetFileCount());
    for (uint32_t id = 0; id < ha->GetFileCount(); id++)
        EXPECT_EQ(Impl(other->GetFileEntry(id))->NameHash64, Impl(ha->GetFileEntry(id))->NameHash64) << id;
    for (const auto& item : Newest())
        EXPECT_EQ(other->GetFileId(item.first.c_str()), ha->GetFileId(item.first.c_str())) << item.first;
}

TEST_F(ChainTest, OpeningByIdReadsTheWinner) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    TNQOVFile* hf = nullptr;
    // No table yet: every id is invalid.
    EXPECT_FALSE(NQOVOpenFileEx(ha, 0u, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(hf, nullptr);

    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t count = ha->GetFileCount();
    for (const auto& item : Newest()) {
        SCOPED_TRACE(item.first);
        TFileEntry* entry = ha->RecordByName(item.first.c_str());
        ASSERT_NE(entry, nullptr);
        const uint32_t id = entry->GetFileId();
        ASSERT_LT(id, count);
        ASSERT_TRUE(NQOVOpenFileEx(ha, id, &hf)) << QOVGetLastError();
        EXPECT_EQ(hf->GetArchive(), Level(item.second.level));
        EXPECT_EQ(hf->GetFileEntry(), entry);
        EXPECT_TRUE(ReadOpen(hf) == item.second.data);
        EXPECT_TRUE(SFileCloseFile(hf));

        // The interface's forms of the same.
        TNQOVFile* viaInterface = ha->OpenFile(id);
        ASSERT_NE(viaInterface, nullptr);
        EXPECT_TRUE(ReadOpen(viaInterface) == item.second.data);
        EXPECT_TRUE(ha->CloseFile(viaInterface));
        Bytes part(100);
        uint32_t read = 0;
        ASSERT_TRUE(ha->ReadFileById(id, 50, part.data(), 100, &read)) << QOVGetLastError();
        EXPECT_EQ(read, 100u);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), item.second.data.begin() + 50));
    }

    // The encrypted and the single-unit file opened by id only, on a fresh
    // chain, so that no earlier open by name found their keys.
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    for (const char* name : {"secret.bin", "single.bin"}) {
        SCOPED_TRACE(name);
        uint32_t id = NQOV_INVALID_FILE_ID;
        for (uint32_t i = 0; i < ha->GetFileCount(); i++)
            if (Impl(ha->GetFileEntry(i))->NameHash64 == KeyOf(name)) id = i;
        ASSERT_NE(id, NQOV_INVALID_FILE_ID);
        ASSERT_TRUE(NQOVOpenFileEx(ha, id, &hf)) << QOVGetLastError();
        EXPECT_TRUE(ReadOpen(hf) == File(0, name).data);
        SFileCloseFile(hf);
    }

    // Invalid ids and arguments.
    for (uint32_t bad : {count, NQOV_INVALID_FILE_ID}) {
        hf = reinterpret_cast<TNQOVFile*>(&hf);
        EXPECT_FALSE(NQOVOpenFileEx(ha, bad, &hf));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(hf, nullptr);
        EXPECT_EQ(ha->OpenFile(bad), nullptr);
        uint32_t read = 5;
        uint8_t byte = 0;
        EXPECT_FALSE(ha->ReadFileById(bad, 0, &byte, 1, &read));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(read, 0u);
    }
    EXPECT_FALSE(NQOVOpenFileEx(ha, 0u, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(NQOVOpenFileEx(nullptr, 0u, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    // A directory is no file.
    const uint32_t dirId = ha->GetFileId("dir");
    EXPECT_FALSE(NQOVOpenFileEx(ha, dirId, &hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
    uint8_t byte = 0;
    EXPECT_FALSE(ha->ReadFileById(dirId, 0, &byte, 1, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
}

TEST_F(ChainTest, ExtractingById) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    int n = 0;
    for (const auto& item : Newest()) {
        SCOPED_TRACE(item.first);
        const uint32_t id = ha->RecordByName(item.first.c_str())->GetFileId();
        const std::string out = dir.File("out/" + std::to_string(n++) + "/file.bin");
        ASSERT_TRUE(SFileExtractFileFromFileIdTable(id, ha, out.c_str())) << QOVGetLastError();
        EXPECT_TRUE(testutil::ReadFileOrEmpty(out) == item.second.data);
        const std::string viaInterface = dir.File("iface" + std::to_string(n) + ".bin");
        ASSERT_TRUE(ha->ExtractFileById(id, viaInterface.c_str())) << QOVGetLastError();
        EXPECT_TRUE(testutil::ReadFileOrEmpty(viaInterface) == item.second.data);
    }

    const std::string out = dir.File("refused.bin");
    const uint32_t dirId = ha->GetFileId("dir");
    ASSERT_NE(dirId, NQOV_INVALID_FILE_ID);
    EXPECT_FALSE(SFileExtractFileFromFileIdTable(dirId, ha, out.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    for (uint32_t bad : {ha->GetFileCount(), NQOV_INVALID_FILE_ID}) {
        EXPECT_FALSE(SFileExtractFileFromFileIdTable(bad, ha, out.c_str()));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    }
    const uint32_t commonId = ha->GetFileId("common.txt");
    EXPECT_FALSE(SFileExtractFileFromFileIdTable(commonId, ha, nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileExtractFileFromFileIdTable(commonId, ha, ""));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileExtractFileFromFileIdTable(commonId, nullptr, out.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(testutil::FileExists(out)) << "a refused extraction writes nothing";
}

TEST_F(ChainTest, VerifyingById) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    EXPECT_EQ(VerifyFileFromFileIdTable(0, ha), static_cast<uint32_t>(VERIFY_CANNOT_OPEN)) << "no table yet";
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    for (const auto& item : Newest()) {
        SCOPED_TRACE(item.first);
        const uint32_t id = ha->RecordByName(item.first.c_str())->GetFileId();
        EXPECT_EQ(VerifyFileFromFileIdTable(id, ha), static_cast<uint32_t>(VERIFY_MD5_PRESENT));
        EXPECT_TRUE(ha->IsFileValidById(id));
        EXPECT_TRUE(SFileVerifyFilePieceMD5FromFileTable(ha, id));
        EXPECT_TRUE(ha->VerifyFilePiecesById(id));
        EXPECT_TRUE(ha->IsFileReady(id));
    }
    const uint32_t dirId = ha->GetFileId("dir");
    EXPECT_EQ(VerifyFileFromFileIdTable(dirId, ha), static_cast<uint32_t>(VERIFY_CANNOT_OPEN));
    EXPECT_FALSE(ha->IsFileValidById(dirId));
    EXPECT_FALSE(SFileVerifyFilePieceMD5FromFileTable(ha, dirId));
    EXPECT_FALSE(ha->IsFileReady(dirId)) << "a directory is not ready (and stops nothing)";
    EXPECT_FALSE(ha->IsFileReady("dir"));
    EXPECT_FALSE(ha->IsFileReady("missing.txt"));
    for (uint32_t bad : {ha->GetFileCount(), NQOV_INVALID_FILE_ID}) {
        EXPECT_EQ(VerifyFileFromFileIdTable(bad, ha), static_cast<uint32_t>(VERIFY_CANNOT_OPEN));
        EXPECT_FALSE(SFileVerifyFilePieceMD5FromFileTable(ha, bad));
        EXPECT_FALSE(ha->IsFileReady(bad));
    }
    EXPECT_EQ(VerifyFileFromFileIdTable(0, nullptr), static_cast<uint32_t>(VERIFY_CANNOT_OPEN));
    EXPECT_FALSE(SFileVerifyFilePieceMD5FromFileTable(nullptr, 0));
}

// Replaces the digest of one piece (and the table's own digest) in a closed
// archive file, so that changed bytes there pass the piece check.
void ResealPiece(const std::string& path, uint32_t piece) {
    const Bytes header = testutil::ReadRange(path, 0, NQOV_HEADER_SIZE);
    ASSERT_EQ(header.size(), NQOV_HEADER_SIZE);
    const uint64_t archiveSize = ReadLE64(&header[testutil::hdr::kArchieveSize]);
    const uint32_t pieceSize = ReadLE32(&header[testutil::hdr::kPieceSize]);
    const uint64_t tablePos = ReadLE64(&header[testutil::hdr::kMD5TablePos]);
    const uint64_t tableSize = ReadLE64(&header[testutil::hdr::kMD5TableSize]);
    const uint64_t start = static_cast<uint64_t>(piece) * pieceSize;
    const Bytes bytes = testutil::ReadRange(
        path, start, static_cast<size_t>(std::min<uint64_t>(pieceSize, archiveSize - start)));
    uint8_t digest[16];
    QOVMD5(bytes.data(), bytes.size(), digest);
    ASSERT_TRUE(testutil::PatchFile(path, tablePos + 16ull * piece, Bytes(digest, digest + 16)));
    Bytes table = testutil::ReadRange(path, tablePos, static_cast<size_t>(tableSize));
    ASSERT_EQ(table.size(), tableSize);
    QOVMD5(table.data(), table.size() - 16, digest);
    ASSERT_TRUE(testutil::PatchFile(path, tablePos + tableSize - 16, Bytes(digest, digest + 16)));
}

TEST_F(ChainTest, VerifyingByIdFindsChangedContent) {
    // One byte of p1_only.bin (stored as it is) changed in p1.qov, with the
    // piece table made to agree: only the content digest can tell.
    uint64_t position = 0;
    uint32_t stored = 0;
    ASSERT_NO_FATAL_FAILURE(StoredRange(p1Path, "p1_only.bin", &position, &stored));
    const uint64_t changed = position + 4321;
    ASSERT_TRUE(testutil::FlipByte(p1Path, changed));
    ASSERT_NO_FATAL_FAILURE(ResealPiece(p1Path, static_cast<uint32_t>(changed / kPieceSize)));

    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t id = ha->GetFileId("p1_only.bin");
    ASSERT_NE(id, NQOV_INVALID_FILE_ID);
    EXPECT_EQ(VerifyFileFromFileIdTable(id, ha),
              static_cast<uint32_t>(VERIFY_MD5_PRESENT | VERIFY_FILE_MD5_ERROR));
    EXPECT_EQ(VerifyFile(ha, "p1_only.bin"),
              static_cast<uint32_t>(VERIFY_MD5_PRESENT | VERIFY_FILE_MD5_ERROR));
    EXPECT_FALSE(ha->IsFileValidById(id));
    EXPECT_TRUE(SFileVerifyFilePieceMD5FromFileTable(ha, id)) << "the pieces agree with the table";
    // The other files are untouched.
    EXPECT_EQ(VerifyFileFromFileIdTable(ha->GetFileId("common.txt"), ha),
              static_cast<uint32_t>(VERIFY_MD5_PRESENT));
}

TEST_F(ChainTest, VerifyingByIdFindsADamagedPiece) {
    uint64_t position = 0;
    uint32_t stored = 0;
    ASSERT_NO_FATAL_FAILURE(StoredRange(p1Path, "p1_only.bin", &position, &stored));
    ASSERT_TRUE(testutil::FlipByte(p1Path, position + 100));
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t id = ha->GetFileId("p1_only.bin");
    const uint32_t flags = VerifyFileFromFileIdTable(id, ha);
    EXPECT_NE(flags & VERIFY_READ_ERROR, 0u) << "the piece check stops the read: " << flags;
    EXPECT_NE(flags, static_cast<uint32_t>(VERIFY_MD5_PRESENT));
    EXPECT_FALSE(ha->IsFileValidById(id));
}

TEST_F(ChainTest, PiecesOfAFileInAPatchAreThatPatchsPieces) {
    uint64_t position = 0;
    uint32_t stored = 0;
    ASSERT_NO_FATAL_FAILURE(StoredRange(p1Path, "p1_only.bin", &position, &stored));
    const uint32_t firstPiece = static_cast<uint32_t>(position / kPieceSize);
    const uint32_t lastPiece = static_cast<uint32_t>((position + stored - 1) / kPieceSize);
    ASSERT_GE(lastPiece, firstPiece + 2) << "the file spans several pieces";

    // The same places of the base are damaged: they belong to other files there.
    {
        TNQOVArchive* base = nullptr;
        ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &base, NQOV_OPEN_READ_ONLY));
        const QOV_ARCHIVE_INFO info = InfoOf(base);
        SFileCloseArchive(base, false);
        ASSERT_LT(position + stored, std::min(info.HetTablePos64, info.BetTablePos64))
            << "the range lies in the base's data area";
    }
    for (uint32_t piece = firstPiece; piece <= lastPiece; piece++)
        ASSERT_TRUE(testutil::FlipByte(basePath, std::max<uint64_t>(position, uint64_t(piece) * kPieceSize)));

    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t id = ha->GetFileId("p1_only.bin");
    ASSERT_NE(id, NQOV_INVALID_FILE_ID);
    TFileEntry* entry = ha->GetFileEntry(id);
    EXPECT_EQ(entry->GetFirstPiece(), firstPiece);
    EXPECT_EQ(entry->GetPieceCount(), lastPiece - firstPiece + 1);
    EXPECT_TRUE(SFileVerifyFilePieceMD5FromFileTable(ha, id)) << "p1's pieces are intact";
    EXPECT_TRUE(ha->IsFileReady(id));
    EXPECT_TRUE(ha->IsFileReady("p1_only.bin"));
    EXPECT_TRUE(SFileVerifyFilePieceMD5(ha, "p1_only.bin"));

    // The base's map was not touched by checking p1's pieces.
    uint32_t baseMapSize = 0;
    const uint8_t* baseMap = SFileGetBitmap(ha, &baseMapSize);
    ASSERT_NE(baseMap, nullptr);
    for (uint32_t i = 0; i < baseMapSize; i++) EXPECT_EQ(baseMap[i], 1) << "base piece " << i;
    SFileCloseArchive(ha, false);
    ha = nullptr;

    // Now p1 itself is damaged in its second piece of the file.
    const uint32_t badPiece = firstPiece + 1;
    ASSERT_TRUE(testutil::FlipByte(p1Path, uint64_t(badPiece) * kPieceSize + 7));
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    EXPECT_FALSE(SFileVerifyFilePieceMD5FromFileTable(ha, id));
    EXPECT_FALSE(ha->IsFileReady(id));
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(Level(1), &mapSize);
    ASSERT_NE(map, nullptr);
    ASSERT_GT(mapSize, lastPiece);
    for (uint32_t piece = firstPiece; piece <= lastPiece; piece++)
        EXPECT_EQ(map[piece], piece == badPiece ? 2 : 1) << "p1 piece " << piece;
    baseMap = SFileGetBitmap(ha, &baseMapSize);
    for (uint32_t i = 0; i < baseMapSize; i++) EXPECT_EQ(baseMap[i], 1) << "base piece " << i;
}

//-----------------------------------------------------------------------------
// Reading from a record.

TEST_F(ChainTest, ReadingFromARecordInSteps) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    for (const char* name : {"secret.bin", "big.txt", "plain.bin", "common.txt", "p1_only.bin"}) {
        SCOPED_TRACE(name);
        const Bytes expected = Newest().at(name).data;
        TFileEntry* entry = ha->GetFileEntry(ha->GetFileId(name));
        ASSERT_NE(entry, nullptr);
        Bytes data;
        uint32_t position = 0;
        const uint32_t step = 3000;
        for (;;) {
            Bytes part(step);
            uint32_t read = 12345;
            const uint32_t before = position;
            const bool ok = SFileReadFileFromEntry(entry, part.data(), &position, step, &read, true);
            EXPECT_EQ(position, before + read) << "the position advances by the bytes read";
            data.insert(data.end(), part.begin(), part.begin() + read);
            if (!ok) {
                EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
                EXPECT_LT(read, step);
                break;
            }
            EXPECT_EQ(read, step);
        }
        EXPECT_EQ(position, expected.size());
        EXPECT_TRUE(data == expected);
        // At the end: nothing more, and EOF again.
        uint8_t byte = 0;
        uint32_t read = 9;
        EXPECT_FALSE(SFileReadFileFromEntry(entry, &byte, &position, 1, &read, false));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
        EXPECT_EQ(read, 0u);
        EXPECT_EQ(position, expected.size());
        // Reading nothing succeeds; a read from the middle starts there.
        EXPECT_TRUE(SFileReadFileFromEntry(entry, &byte, &position, 0, &read, false));
        position = 1234;
        Bytes middle(10);
        ASSERT_TRUE(SFileReadFileFromEntry(entry, middle.data(), &position, 10, nullptr, false));
        EXPECT_TRUE(std::equal(middle.begin(), middle.end(), expected.begin() + 1234));
        EXPECT_EQ(position, 1244u);
    }
}

TEST_F(ChainTest, ReadingFromARecordIsRefusedWhereItCannotWork) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    TFileEntry* single = ha->RecordByName("single.bin");
    ASSERT_NE(single, nullptr);
    Bytes buffer(100);
    uint32_t position = 0, read = 7;
    EXPECT_FALSE(SFileReadFileFromEntry(single, buffer.data(), &position, 100, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(position, 0u);
    EXPECT_FALSE(SFileReadFileFromEntry(nullptr, buffer.data(), &position, 100, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    TFileEntry* common = ha->RecordByName("common.txt");
    ASSERT_NE(common, nullptr);
    EXPECT_FALSE(SFileReadFileFromEntry(common, nullptr, &position, 100, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SFileReadFileFromEntry(common, buffer.data(), nullptr, 100, &read, false));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    TFileEntry* directory = ha->RecordByName("dir");
    ASSERT_NE(directory, nullptr);
    EXPECT_FALSE(SFileReadFileFromEntry(directory, buffer.data(), &position, 100, &read, false));
    EXPECT_EQ(read, 0u);
}

TEST_F(ChainTest, ReadingFromARecordKeepsItsSectorOffsetTable) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    TFileEntry* entry = ha->RecordByName("big.txt");
    ASSERT_NE(entry, nullptr);
    const Bytes& expected = File(0, "big.txt").data;
    EXPECT_EQ(Impl(entry)->SectorOffsets, nullptr);
    Bytes data(expected.size());
    uint32_t position = 0;
    ASSERT_TRUE(SFileReadFileFromEntry(entry, data.data(), &position, 100, nullptr, false))
        << QOVGetLastError();
    ASSERT_NE(Impl(entry)->SectorOffsets, nullptr) << "the table stays with the record";
    const uint32_t* table = Impl(entry)->SectorOffsets.get();

    // The stored table is now spoilt on disk; the record's copy serves on.
    const uint64_t stored = entry->GetFilePosition();
    ASSERT_TRUE(testutil::PatchFile(basePath, stored, Bytes(8, 0xEE)));
    ASSERT_TRUE(SFileReadFileFromEntry(entry, data.data() + 100, &position,
                                       static_cast<uint32_t>(expected.size()) - 100, nullptr, false))
        << QOVGetLastError();
    EXPECT_TRUE(data == expected);
    EXPECT_EQ(Impl(entry)->SectorOffsets.get(), table) << "loaded once";
    // A new handle reads the table from the file and finds it spoilt.
    Bytes fresh;
    EXPECT_FALSE(ReadScoped(ha, "big.txt", QOV_OPEN_PATCHED, &fresh));
}

TEST_F(ChainTest, ReadingFromARecordChecksPiecesWhenAsked) {
    uint64_t position = 0;
    uint32_t stored = 0;
    ASSERT_NO_FATAL_FAILURE(StoredRange(basePath, "plain.bin", &position, &stored));
    ASSERT_TRUE(testutil::FlipByte(basePath, position + 10));
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    TFileEntry* entry = ha->RecordByName("plain.bin");
    ASSERT_NE(entry, nullptr);
    Bytes data(100);
    uint32_t at = 0, read = 0;
    EXPECT_FALSE(SFileReadFileFromEntry(entry, data.data(), &at, 100, &read, true));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_EQ(at, 0u);
    EXPECT_TRUE(SFileReadFileFromEntry(entry, data.data(), &at, 100, &read, false));
    EXPECT_EQ(read, 100u);
    EXPECT_EQ(at, 100u);
}

//-----------------------------------------------------------------------------
// Directory listers.

std::vector<uint64_t> Items(TNQOVDirWalker* walker) {
    std::vector<uint64_t> items;
    for (uint32_t i = 0; i < walker->GetCount(); i++) items.push_back(walker->GetItem(i));
    return items;
}

std::vector<uint32_t> Items(TNQOVDirWalkerById* walker) {
    std::vector<uint32_t> items;
    for (uint32_t i = 0; i < walker->GetCount(); i++) items.push_back(walker->GetItem(i));
    return items;
}

TEST_F(ChainTest, ListingADirectoryByNameMergesTheChain) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    const std::set<uint64_t> children{KeyOf("dir\\a.txt"), KeyOf("dir\\b.txt"), KeyOf("dir\\hidden.txt"),
                                      KeyOf("dir\\c.txt"), KeyOf("dir\\sub")};
    const std::vector<uint64_t> expected(children.begin(), children.end());
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "without the index" : "with the index");
        TNQOVDirWalker* walker = ha->CreateDirWalker();
        ASSERT_NE(walker, nullptr);
        ASSERT_TRUE(walker->List("dir"));
        EXPECT_EQ(Items(walker), expected) << "each child once, ascending";
        EXPECT_TRUE(walker->List("DIR"));
        EXPECT_EQ(Items(walker), expected);

        // A second List replaces the first result.
        ASSERT_TRUE(walker->List("dir\\sub"));
        EXPECT_EQ(Items(walker), std::vector<uint64_t>{KeyOf("dir\\sub\\d.txt")});
        ASSERT_TRUE(walker->List("dir/sub"));
        EXPECT_EQ(walker->GetCount(), 1u);
        ASSERT_TRUE(walker->List("dir"));
        EXPECT_EQ(Items(walker), expected);

        // Not directories.
        EXPECT_FALSE(walker->List("common.txt"));
        EXPECT_FALSE(walker->List("dir\\a.txt"));
        EXPECT_FALSE(walker->List("missing"));
        EXPECT_FALSE(walker->List(""));
        EXPECT_FALSE(walker->List(nullptr));
        ha->ReleaseDirWalker(walker);

        // A lister made by a patch's handle lists the same chain.
        TNQOVDirWalker* fromPatch = Level(1)->CreateDirWalker();
        ASSERT_NE(fromPatch, nullptr);
        ASSERT_TRUE(fromPatch->List("dir"));
        EXPECT_EQ(Items(fromPatch), expected);
        Level(1)->ReleaseDirWalker(fromPatch);

        ASSERT_TRUE(ha->RebuildHashTable());
    }
    ha->ReleaseDirWalker(nullptr);
}

TEST_F(ChainTest, ListingADirectoryById) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    EXPECT_EQ(ha->CreateDirWalkerById(), nullptr) << "no ids yet";
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t dirId = ha->GetFileId("dir");
    const uint32_t subId = ha->GetFileId("dir\\sub");
    ASSERT_NE(dirId, NQOV_INVALID_FILE_ID);
    ASSERT_NE(subId, NQOV_INVALID_FILE_ID);
    // The children without FLAG_30, by ascending name hash, as file ids.
    std::map<uint64_t, uint32_t> byHash;
    for (const char* child : {"dir\\a.txt", "dir\\b.txt", "dir\\c.txt", "dir\\sub"})
        byHash[KeyOf(child)] = ha->GetFileId(child);
    std::vector<uint32_t> expected;
    for (const auto& item : byHash) {
        ASSERT_NE(item.second, NQOV_INVALID_FILE_ID);
        expected.push_back(item.second);
    }

    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "without the index" : "with the index");
        TNQOVDirWalkerById* walker = ha->CreateDirWalkerById();
        ASSERT_NE(walker, nullptr);
        ASSERT_TRUE(walker->List(dirId));
        EXPECT_EQ(Items(walker), expected);
        for (uint32_t id : Items(walker)) EXPECT_EQ(ha->IsFlag30ById(id), 0u);
        // The ids stand for the winners: dir\a.txt from p2.
        EXPECT_EQ(ha->GetArchiveOfFile(ha->GetFileId("dir\\a.txt")), Level(2));

        ASSERT_TRUE(walker->List(subId));
        EXPECT_EQ(Items(walker), std::vector<uint32_t>{ha->GetFileId("dir\\sub\\d.txt")}) << "replaced";

        EXPECT_FALSE(walker->List(NQOV_INVALID_FILE_ID));
        EXPECT_FALSE(walker->List(ha->GetFileCount()));
        EXPECT_FALSE(walker->List(ha->GetFileId("common.txt")));
        ha->ReleaseDirWalkerById(walker);
        ASSERT_TRUE(ha->RebuildHashTable());
    }
}

//-----------------------------------------------------------------------------
// Clear.

struct HookLog {
    std::vector<uint64_t> positions;
};

void RecordPosition(uint64_t position, void* context) {
    static_cast<HookLog*>(context)->positions.push_back(position);
}

class ClearTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.File("clear.qov");
        TNQOVArchive* created = testutil::CreateArchive(path, 64, 3, 4096);
        ASSERT_NE(created, nullptr);
        ASSERT_TRUE(testutil::AddBytes(created, "u1.bin", testutil::RandomBytes(150000, 1), 0));
        ASSERT_TRUE(testutil::AddBytes(created, "c1.txt", testutil::TextBytes(50000, 2)));
        ASSERT_TRUE(SFileCloseArchive(created, true));
        // A second session: the first list file's bytes stay behind in the
        // data area, the new one follows the new files.
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &created, 0));
        ASSERT_TRUE(testutil::AddBytes(created, "u2.bin", testutil::RandomBytes(30000, 3), 0));
        ASSERT_TRUE(testutil::AddBytes(created, "dir\\c2.bin", testutil::RandomBytes(20000, 4)));
        ASSERT_TRUE(testutil::AddBytes(created, "c3.txt", testutil::TextBytes(40000, 5)));
        ASSERT_TRUE(SFileCloseArchive(created, true));
        original = testutil::ReadFileOrEmpty(path);
    }
    void TearDown() override {
        QOVSetClearProgressHook(nullptr, nullptr);
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    // The list file's stored bytes [start, end) in the file.
    void ListFileRange(uint64_t* pStart, uint64_t* pEnd) {
        TFileEntry* list = ha->RecordByName(NQOV_LISTFILE_NAME);
        ASSERT_NE(list, nullptr);
        *pStart = list->GetFilePosition();
        *pEnd = *pStart + list->GetCompressedSize();
    }

    Bytes ListFileContent() {
        Bytes data;
        EXPECT_TRUE(ReadScoped(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &data)) << QOVGetLastError();
        return data;
    }

    testutil::TempDir dir;
    std::string path;
    Bytes original;
    TNQOVArchive* ha = nullptr;
};

TEST_F(ClearTest, ZeroesTheDataAreaButTheListFile) {
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    const QOV_ARCHIVE_INFO info = InfoOf(ha);
    const uint64_t from = NQOV_HEADER_SIZE;
    const uint64_t to = std::min(info.HetTablePos64, info.BetTablePos64);
    uint64_t keepStart = 0, keepEnd = 0;
    ASSERT_NO_FATAL_FAILURE(ListFileRange(&keepStart, &keepEnd));
    ASSERT_GT(keepStart, from);
    ASSERT_LE(keepEnd, to);
    ASSERT_GT(to - from, 3u * 65536) << "several blocks to clear";
    const Bytes listBefore = ListFileContent();
    ASSERT_FALSE(listBefore.empty());

    HookLog log;
    QOVSetClearProgressHook(RecordPosition, &log);
    ha->Clear();

    const Bytes after = testutil::ReadFileOrEmpty(path);
    ASSERT_EQ(after.size(), original.size());
    size_t wrong = 0;
    for (uint64_t i = 0; i < after.size(); i++) {
        const bool kept = i < from || i >= to || (i >= keepStart && i < keepEnd);
        const uint8_t expected = kept ? original[i] : 0;
        if (after[i] != expected && wrong++ < 5)
            ADD_FAILURE() << "byte " << i << " is " << int(after[i]) << ", expected " << int(expected);
    }
    EXPECT_EQ(wrong, 0u) << "zero from the header's end to the first table, the list file kept";

    // One call per block, in order, from the end of the header; no block
    // enters the list file, none is longer than 64 KiB, and the last one
    // reaches the tables.
    ASSERT_FALSE(log.positions.empty());
    EXPECT_EQ(log.positions.front(), from);
    for (size_t i = 0; i < log.positions.size(); i++) {
        const uint64_t position = log.positions[i];
        EXPECT_TRUE(position < keepStart || position >= keepEnd) << position;
        EXPECT_LT(position, to);
        if (i + 1 < log.positions.size()) {
            const uint64_t next = log.positions[i + 1];
            EXPECT_GT(next, position);
            if (next != keepEnd) {
                EXPECT_LE(next - position, 65536u) << "block at " << position;
            }
            if (position < keepStart && next > keepStart) {
                EXPECT_EQ(next, keepEnd);
            }
        } else {
            const uint64_t end = position < keepStart ? std::min(keepStart, to) : to;
            EXPECT_LE(end - position, 65536u) << "the last block ends the area";
            if (keepEnd < to) {
                EXPECT_GE(position, keepEnd);
            }
        }
    }
    const uint64_t spanBefore = keepStart - from, spanAfter = to - keepEnd;
    const size_t blocks = (spanBefore + 65535) / 65536 + (spanAfter + 65535) / 65536;
    EXPECT_EQ(log.positions.size(), blocks);

    // The hook is gone: a second Clear does not call it.
    const size_t calls = log.positions.size();
    ha->Clear();
    EXPECT_EQ(log.positions.size(), calls);

    // The map is zero in memory; the file keeps its map until it is written.
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(mapSize, info.BitmapSize64);
    for (uint32_t i = 0; i < mapSize; i++) EXPECT_EQ(map[i], 0) << "map byte " << i;
    const Bytes diskMap = testutil::ReadRange(path, info.BitmapPos64, mapSize);
    EXPECT_TRUE(diskMap ==
                Bytes(original.begin() + info.BitmapPos64, original.begin() + info.BitmapPos64 + mapSize));
    ASSERT_TRUE(ha->WriteBitmap());
    EXPECT_TRUE(testutil::ReadRange(path, info.BitmapPos64, mapSize) == Bytes(mapSize, 0));

    // Verification: every piece whose bytes changed is bad, the rest good.
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    uint32_t lastSize = 0, pieces = 0, pieceSize = 0;
    ASSERT_TRUE(SFileGetPieceCount(ha, &lastSize, &pieces, &pieceSize));
    ASSERT_EQ(pieces, mapSize);
    uint32_t bad = 0;
    for (uint32_t piece = 0; piece < pieces; piece++) {
        const uint64_t start = uint64_t(piece) * pieceSize;
        const uint64_t end = std::min<uint64_t>(start + pieceSize, info.ArchieveSize);
        const bool changed =
            !std::equal(after.begin() + start, after.begin() + end, original.begin() + start);
        EXPECT_EQ(map[piece], changed ? 2 : 1) << "piece " << piece;
        if (changed) bad++;
        if (end <= to && (end <= keepStart || start >= keepEnd)) {
            EXPECT_EQ(map[piece], 2) << "piece " << piece;
        }
    }
    EXPECT_GE(bad, (keepStart - from) / pieceSize);

    // The list file still reads back whole.
    EXPECT_TRUE(ListFileContent() == listBefore);
    TNQOVFile* hf = nullptr;
    EXPECT_TRUE(NQOVOpenFileEx(ha, "u1.bin", QOV_OPEN_PATCHED, &hf)) << "the tables stay";
    if (hf != nullptr) SFileCloseFile(hf);
}

TEST_F(ClearTest, ARefilledArchiveVerifiesAgain) {
    // What a downloader does: clear, then write every piece back.
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ha->Clear();
    uint32_t lastSize = 0, pieces = 0, pieceSize = 0;
    ASSERT_TRUE(SFileGetPieceCount(ha, &lastSize, &pieces, &pieceSize));
    for (uint32_t piece = 0; piece < pieces; piece++) {
        const uint32_t length = piece + 1 == pieces ? lastSize : pieceSize;
        ASSERT_TRUE(ha->WritePieceVerified(piece, &original[size_t(piece) * pieceSize], length)) << piece;
    }
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    SFileCloseArchive(ha, false);
    ha = nullptr;
    const Bytes after = testutil::ReadFileOrEmpty(path);
    const QOV_ARCHIVE_INFO info = [&] {
        TNQOVArchive* reopened = nullptr;
        EXPECT_TRUE(SFileOpenArchive(path.c_str(), &reopened, NQOV_OPEN_READ_ONLY));
        QOV_ARCHIVE_INFO result = InfoOf(reopened);
        Bytes data;
        EXPECT_TRUE(testutil::ReadWhole(reopened, "u1.bin", &data, true));
        EXPECT_TRUE(data == testutil::RandomBytes(150000, 1));
        SFileCloseArchive(reopened, false);
        return result;
    }();
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + info.ArchieveSize, original.begin()));
}

TEST_F(ClearTest, OnAReadOnlyArchiveWritesNothing) {
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    HookLog log;
    QOVSetClearProgressHook(RecordPosition, &log);
    ha->Clear();
    EXPECT_TRUE(testutil::ReadFileOrEmpty(path) == original);
    EXPECT_TRUE(log.positions.empty()) << "no block was written";
    // The hook was removed all the same.
    ha->Clear();
    EXPECT_TRUE(log.positions.empty());
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "u1.bin", &data, true));
    EXPECT_TRUE(data == testutil::RandomBytes(150000, 1));
}

TEST_F(ChainTest, ClearOnAChainKeepsTheArchivesOwnListFile) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    Bytes listBefore;
    ASSERT_TRUE(ReadScoped(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &listBefore));
    const Bytes p1Before = testutil::ReadFileOrEmpty(p1Path);
    const Bytes p2Before = testutil::ReadFileOrEmpty(p2Path);
    ha->Clear();
    Bytes listAfter;
    ASSERT_TRUE(ReadScoped(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &listAfter)) << QOVGetLastError();
    EXPECT_TRUE(listAfter == listBefore);
    EXPECT_TRUE(testutil::ReadFileOrEmpty(p1Path) == p1Before) << "Clear empties this archive only";
    EXPECT_TRUE(testutil::ReadFileOrEmpty(p2Path) == p2Before);
}

TEST_F(ChainTest, ClearWithTheMergedIndexKeepsTheArchivesOwnListFile) {
    ASSERT_NO_FATAL_FAILURE(OpenChain());
    Bytes listBefore;
    ASSERT_TRUE(ReadScoped(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &listBefore));
    ASSERT_TRUE(ha->RebuildHashTable());
    ha->Clear();
    Bytes listAfter;
    const bool read = ReadScoped(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &listAfter);
    ASSERT_TRUE(read) << QOVGetLastError();
    EXPECT_TRUE(listAfter == listBefore);
}

//-----------------------------------------------------------------------------
// The piece-state map mapped from the archive file.

class MappedMapTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.File("mapped.qov");
        TNQOVArchive* created = testutil::CreateArchive(path, 64, 3, 4096);
        ASSERT_NE(created, nullptr);
        big = testutil::RandomBytes(40000, 41);
        small = testutil::TextBytes(3000, 42);
        ASSERT_TRUE(testutil::AddBytes(created, "big.bin", big, 0));
        ASSERT_TRUE(testutil::AddBytes(created, "small.txt", small));
        ASSERT_TRUE(SFileCloseArchive(created, true));
        TNQOVArchive* opened = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &opened, NQOV_OPEN_READ_ONLY));
        info = InfoOf(opened);
        SFileCloseArchive(opened, false);
        ASSERT_GT(info.BitmapSize64, 5u);
        badPiece = 3;
    }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    void Damage() { ASSERT_TRUE(testutil::FlipByte(path, uint64_t(badPiece) * 4096 + 11)); }
    Bytes DiskMap() {
        return testutil::ReadRange(path, info.BitmapPos64, static_cast<size_t>(info.BitmapSize64));
    }
    Bytes MemoryMap() {
        uint32_t size = 0;
        const uint8_t* map = SFileGetBitmap(ha, &size);
        return map == nullptr ? Bytes() : Bytes(map, map + size);
    }

    testutil::TempDir dir;
    std::string path;
    Bytes big, small;
    QOV_ARCHIVE_INFO info = {};
    uint32_t badPiece = 0;
    TNQOVArchive* ha = nullptr;
};

TEST_F(MappedMapTest, AReadOnlyMappingRecordsNothing) {
    ASSERT_NO_FATAL_FAILURE(Damage());
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    const Bytes diskBefore = DiskMap();
    ASSERT_TRUE(ha->InitBitMapByFileMapping(false)) << QOVGetLastError();
    EXPECT_TRUE(MemoryMap() == diskBefore) << "the map is the file's";
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr)) << "nothing is recorded, so nothing fails";
    EXPECT_TRUE(MemoryMap() == diskBefore);
    EXPECT_TRUE(DiskMap() == diskBefore);
    // Single pieces record nothing either.
    Bytes piece(4096);
    EXPECT_FALSE(SFileReadPieceVerified(ha, badPiece, piece.data(), 4096));
    EXPECT_TRUE(DiskMap() == diskBefore);
    uint8_t* map = nullptr;
    uint32_t count = 0, size = 0, last = 0;
    bool valid = false;
    ASSERT_TRUE(ha->GetBitmapInfo(&map, &count, &size, &last, &valid));
    EXPECT_EQ(count, info.BitmapSize64);
    EXPECT_TRUE(valid);
}

TEST_F(MappedMapTest, AWritableMappingWritesStatesStraightIntoTheFile) {
    ASSERT_NO_FATAL_FAILURE(Damage());
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    // Mark the map on disk "no data" first, so that every state seen below
    // was written by the verification.
    ASSERT_TRUE(
        testutil::PatchFile(path, info.BitmapPos64, Bytes(static_cast<size_t>(info.BitmapSize64), 0)));
    ASSERT_TRUE(ha->InitBitMapByFileMapping(true)) << QOVGetLastError();
    EXPECT_TRUE(MemoryMap() == Bytes(static_cast<size_t>(info.BitmapSize64), 0)) << "mapped from the file";
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));

    Bytes expected(static_cast<size_t>(info.BitmapSize64), 1);
    expected[badPiece] = 2;
    EXPECT_TRUE(DiskMap() == expected) << "written without SFileWriteBitmap";
    EXPECT_TRUE(MemoryMap() == expected);
    // A piece written back good is recorded at once as well.
    const Bytes file = testutil::ReadFileOrEmpty(path);
    Bytes piece(file.begin() + badPiece * 4096, file.begin() + (badPiece + 1) * 4096);
    piece[11] = static_cast<uint8_t>(~piece[11]);
    ASSERT_TRUE(SFileWritePieceVerified(ha, badPiece, piece.data(), 4096)) << QOVGetLastError();
    expected[badPiece] = 1;
    EXPECT_TRUE(DiskMap() == expected);

    SFileCloseArchive(ha, false);
    ha = nullptr;
    EXPECT_TRUE(DiskMap() == expected) << "closing without a flush keeps what the mapping wrote";
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY));
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

TEST_F(MappedMapTest, ASecondMappingIsRefused) {
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ASSERT_TRUE(ha->InitBitMapByFileMapping(true));
    EXPECT_FALSE(ha->InitBitMapByFileMapping(true));
    EXPECT_FALSE(ha->InitBitMapByFileMapping(false));
    EXPECT_FALSE(Impl(ha)->InitBitMapByFileMapping_i(true));
    // The first mapping still serves.
    ASSERT_NO_FATAL_FAILURE(Damage());
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    EXPECT_EQ(DiskMap()[badPiece], 2);
}

TEST_F(MappedMapTest, AFlushAfterMappingLeavesACorrectArchive) {
    for (bool writable : {true, false}) {
        SCOPED_TRACE(writable ? "writable mapping" : "read-only mapping");
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
        ASSERT_TRUE(ha->InitBitMapByFileMapping(writable)) << QOVGetLastError();
        EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
        const std::string name = writable ? "added1.txt" : "added2.txt";
        const Bytes added = testutil::TextBytes(500, writable ? 43 : 44);
        ASSERT_TRUE(testutil::AddBytes(ha, name, added)) << QOVGetLastError();
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        ha = nullptr;

        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        const QOV_ARCHIVE_INFO now = InfoOf(ha);
        EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
        Bytes data;
        ASSERT_TRUE(testutil::ReadWhole(ha, "big.bin", &data, true));
        EXPECT_TRUE(data == big);
        ASSERT_TRUE(testutil::ReadWhole(ha, "small.txt", &data, true));
        EXPECT_TRUE(data == small);
        ASSERT_TRUE(testutil::ReadWhole(ha, name, &data, true));
        EXPECT_TRUE(data == added);
        // Every piece verified good before the flush: the written map says so.
        const Bytes diskMap =
            testutil::ReadRange(path, now.BitmapPos64, static_cast<size_t>(now.BitmapSize64));
        EXPECT_TRUE(diskMap == Bytes(static_cast<size_t>(now.BitmapSize64), 1))
            << "map after the flush: " << testutil::Hex(diskMap.data(), diskMap.size());
        SFileCloseArchive(ha, false);
        ha = nullptr;
    }
}

TEST_F(MappedMapTest, AWritableMappingOfAReadOnlyArchiveFailsCleanly) {
    ASSERT_NO_FATAL_FAILURE(Damage());
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY));
    const Bytes diskBefore = DiskMap();
    QOVSetLastError(0);
    EXPECT_FALSE(ha->InitBitMapByFileMapping(true));
    EXPECT_NE(QOVGetLastError(), 0u);
    // The map read at open serves on, in memory.
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    const Bytes map = MemoryMap();
    ASSERT_EQ(map.size(), diskBefore.size());
    EXPECT_EQ(map[badPiece], 2);
    EXPECT_TRUE(DiskMap() == diskBefore);
    // A read-only mapping works there.
    EXPECT_TRUE(ha->InitBitMapByFileMapping(false)) << QOVGetLastError();
    EXPECT_TRUE(MemoryMap() == diskBefore);
}

TEST_F(MappedMapTest, EveryArchiveOfAChainIsMapped) {
    // A patch of mapped.qov with one file of its own.
    const Tag baseTag = VersionOf(path);
    const std::string patch = dir.File("patch.qov");
    const Tag patchTag =
        WriteArchive(patch, {{"extra.bin", testutil::RandomBytes(20000, 45), 0}}, baseTag, 16, 4096);
    ASSERT_EQ(patchTag.size(), 16u);
    uint64_t position = 0;
    {
        TNQOVArchive* p = nullptr;
        ASSERT_TRUE(SFileOpenArchive(patch.c_str(), &p, NQOV_OPEN_READ_ONLY));
        position = p->RecordByName("extra.bin")->GetFilePosition();
        SFileCloseArchive(p, false);
    }
    const uint32_t patchBad = static_cast<uint32_t>((position + 5000) / 4096);
    ASSERT_TRUE(testutil::FlipByte(patch, position + 5000));

    // Both maps say "no data" on disk: every state below is the mapping's.
    ASSERT_TRUE(
        testutil::PatchFile(path, info.BitmapPos64, Bytes(static_cast<size_t>(info.BitmapSize64), 0)));
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ASSERT_TRUE(SFileOpenPatchArchive(patch.c_str(), ha, 0)) << QOVGetLastError();
    {
        const QOV_ARCHIVE_INFO patchInfo = InfoOf(Impl(ha)->Chain.front());
        ASSERT_TRUE(testutil::PatchFile(patch, patchInfo.BitmapPos64,
                                        Bytes(static_cast<size_t>(patchInfo.BitmapSize64), 0)));
    }
    ASSERT_TRUE(ha->InitBitMapByFileMapping(true));
    TNQOVArchive* p = ha->FindArchiveByFileName(patch.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->InitBitMapByFileMapping(true)) << "already mapped through the chain";
    EXPECT_FALSE(SFileVerifyAll(p, nullptr));
    QOV_ARCHIVE_INFO patchInfo = InfoOf(p);
    const Bytes patchMap =
        testutil::ReadRange(patch, patchInfo.BitmapPos64, static_cast<size_t>(patchInfo.BitmapSize64));
    ASSERT_GT(patchMap.size(), patchBad);
    for (size_t i = 0; i < patchMap.size(); i++) EXPECT_EQ(patchMap[i], i == patchBad ? 2 : 1) << i;
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
    EXPECT_TRUE(DiskMap() == Bytes(static_cast<size_t>(info.BitmapSize64), 1));
}

TEST_F(MappedMapTest, ClearWithAReadOnlyMapping) {
    // Clear zeroes the map; a map mapped read-only cannot take the zeros, so
    // it becomes the archive's own copy and the file's map stays as it was.
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ASSERT_TRUE(ha->InitBitMapByFileMapping(false));
    const Bytes diskBefore = DiskMap();
    ha->Clear();
    EXPECT_TRUE(MemoryMap() == Bytes(static_cast<size_t>(info.BitmapSize64), 0));
    EXPECT_TRUE(DiskMap() == diskBefore);
    ASSERT_TRUE(SFileWriteBitmap(ha));
    EXPECT_TRUE(DiskMap() == Bytes(static_cast<size_t>(info.BitmapSize64), 0)) << "written when asked";
}

TEST_F(MappedMapTest, ClearWithAWritableMappingZeroesTheFilesMap) {
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    ASSERT_TRUE(ha->InitBitMapByFileMapping(true));
    ha->Clear();
    EXPECT_TRUE(DiskMap() == Bytes(static_cast<size_t>(info.BitmapSize64), 0));
}

}  // namespace
