// The object interfaces as a host sees them: compiled against QOVLib.h only
// and called through pointers to the abstract classes.
//
// A host built with another copy of the header calls operations by their
// place in the virtual table, so the order is pinned twice: statically, by
// reading the table index out of a pointer to each member (Itanium C++ ABI,
// used by g++, clang and mingw-w64), and by calling every operation on a
// real chain (a base archive and a patch written here) where a neighbouring
// operation would give a different answer.  One case reaches into the
// library to damage a record in memory.

#include "read/QOVRead.h"  // only for the damaged record
#include "QOVLib.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using testutil::Bytes;

namespace {

//-----------------------------------------------------------------------------
// Slot order.

// With the Itanium ABI a pointer to a virtual member function holds the
// byte offset of its entry in the virtual table plus one, and a zero
// this-adjustment.  Returns the entry's index, or -1 when the pointer is not
// of that form (a non-virtual function, or another ABI).
template <typename Member>
long SlotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(uintptr_t), "an Itanium pointer to member function");
    uintptr_t words[2];
    memcpy(words, &member, sizeof(words));
    if (words[1] != 0 || (words[0] & 1) == 0) return -1;
    return static_cast<long>((words[0] - 1) / sizeof(void*));
}

bool ItaniumMemberPointers() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    return true;
#else
    return false;
#endif
}

#define REQUIRE_ITANIUM()                                                               \
    do {                                                                                \
        if (!ItaniumMemberPointers()) GTEST_SKIP() << "member pointers of another ABI"; \
    } while (0)

// Each interface has its virtual destructor last.  The Itanium ABI gives a
// virtual destructor two entries (complete and deleting), so a virtual
// function that a derived class adds lands two entries after the last
// operation: that pins both the destructor's place and the operation count.
struct ArchiveProbe : QOVArchiveInterface {
    virtual void Added() {}
};
struct FileProbe : QOVFileInterface {
    virtual void Added() {}
};
struct EntryProbe : QOVFileEntryInterface {
    virtual void Added() {}
};
struct ListerProbe : QOVDirListerInterface {
    virtual void Added() {}
};
struct ListerByIdProbe : QOVDirListerInterfaceByID {
    virtual void Added() {}
};
struct StreamProbe : QOVFileStreamInterface {
    virtual void Added() {}
};

const long kDestructorEntries = 2;

typedef QOVArchiveInterface Arch;
template <typename R>
using ById = R (Arch::*)(uint32_t);
template <typename R>
using ByName = R (Arch::*)(const char*);

TEST(InterfaceSlots, ArchiveInterface) {
    REQUIRE_ITANIUM();
    EXPECT_EQ(SlotOf(&Arch::GetSectorTableRange), 0);
    EXPECT_EQ(SlotOf(&Arch::GetFileDataRange), 1);
    EXPECT_EQ(SlotOf(&Arch::GetHetTableMD5), 2);
    EXPECT_EQ(SlotOf(&Arch::GetBetTableMD5), 3);
    EXPECT_EQ(SlotOf(&Arch::GetHeaderMD5), 4);
    EXPECT_EQ(SlotOf(&Arch::GetFileName), 5);
    EXPECT_EQ(SlotOf(&Arch::RebuildHashTable), 6);
    EXPECT_EQ(SlotOf(&Arch::ReadFileById), 7);
    EXPECT_EQ(SlotOf(&Arch::GetFileId), 8);
    EXPECT_EQ(SlotOf(&Arch::GetFileCount), 9);
    EXPECT_EQ(SlotOf(&Arch::GetStream), 10);
    EXPECT_EQ(SlotOf(&Arch::FindStreamByArchiveName), 11);
    EXPECT_EQ(SlotOf(&Arch::OpenFile), 12);
    EXPECT_EQ(SlotOf(&Arch::OpenFile_i), 13);
    EXPECT_EQ(SlotOf(&Arch::CloseFile), 14);
    EXPECT_EQ(SlotOf(&Arch::ReadPieceVerified), 15);
    EXPECT_EQ(SlotOf(&Arch::WritePieceVerified), 16);
    EXPECT_EQ(SlotOf(&Arch::ExtractFileById), 17);
    EXPECT_EQ(SlotOf(&Arch::ExtractFile), 18);
    EXPECT_EQ(SlotOf(&Arch::PathToPieceIndex), 19);
    EXPECT_EQ(SlotOf(&Arch::RecordByName), 20);
    EXPECT_EQ(SlotOf(&Arch::GetFileEntry), 21);
    EXPECT_EQ(SlotOf(&Arch::RecordByHash), 22);
    EXPECT_EQ(SlotOf(&Arch::GetBitmapInfo), 23);
    EXPECT_EQ(SlotOf(&Arch::GetArchiveFileSize), 24);
    EXPECT_EQ(SlotOf(&Arch::GetArchiveOfFile), 25);
    EXPECT_EQ(SlotOf(&Arch::FindArchiveByFileName), 26);
    EXPECT_EQ(SlotOf(&Arch::FindArchiveOfName), 27);
    EXPECT_EQ(SlotOf(&Arch::GetArchiveFileName), 28);
    EXPECT_EQ(SlotOf(&Arch::WriteBitmap), 29);
    EXPECT_EQ(SlotOf(&Arch::Clear), 30);
    EXPECT_EQ(SlotOf(&Arch::IsFileValidById), 31);
    EXPECT_EQ(SlotOf(&Arch::IsFileValid), 32);
    EXPECT_EQ(SlotOf(&Arch::VerifyFilePiecesById), 33);
    EXPECT_EQ(SlotOf(&Arch::VerifyFilePieces), 34);
    EXPECT_EQ(SlotOf(ById<bool>(&Arch::IsFileReady)), 35);
    EXPECT_EQ(SlotOf(ByName<bool>(&Arch::IsFileReady)), 36);
    EXPECT_EQ(SlotOf(&Arch::NotSupported37), 37);
    EXPECT_EQ(SlotOf(&Arch::NotSupported38), 38);
    EXPECT_EQ(SlotOf(ById<bool>(&Arch::IsFile)), 39);
    EXPECT_EQ(SlotOf(ByName<bool>(&Arch::IsFile)), 40);
    EXPECT_EQ(SlotOf(ById<bool>(&Arch::IsDirectory)), 41);
    EXPECT_EQ(SlotOf(ByName<bool>(&Arch::IsDirectory)), 42);
    EXPECT_EQ(SlotOf(&Arch::HasFileId), 43);
    EXPECT_EQ(SlotOf(&Arch::HasFile), 44);
    EXPECT_EQ(SlotOf(&Arch::CreateDirWalker), 45);
    EXPECT_EQ(SlotOf(&Arch::ReleaseDirWalker), 46);
    EXPECT_EQ(SlotOf(&Arch::CreateDirWalkerById), 47);
    EXPECT_EQ(SlotOf(&Arch::ReleaseDirWalkerById), 48);
    EXPECT_EQ(SlotOf(&Arch::GetArchiveCount), 49);
    EXPECT_EQ(SlotOf(&Arch::GetArchiveTableSize), 50);
    EXPECT_EQ(SlotOf(&Arch::GetSectorTableRangeByName), 51);
    EXPECT_EQ(SlotOf(&Arch::AddFile), 52);
    EXPECT_EQ(SlotOf(&Arch::OpenPatchArchive), 53);
    EXPECT_EQ(SlotOf(&Arch::GetOpenParameter), 54);
    EXPECT_EQ(SlotOf(&Arch::GetCurrentTag), 55);
    EXPECT_EQ(SlotOf(&Arch::SetPatchBaseTag), 56);
    EXPECT_EQ(SlotOf(&Arch::CompareTag), 57);
    EXPECT_EQ(SlotOf(&Arch::DumpHeader), 58);
    EXPECT_EQ(SlotOf(&Arch::GetLastError), 59);
    EXPECT_EQ(SlotOf(&Arch::NotSupported60), 60);
    EXPECT_EQ(SlotOf(&Arch::InitBitMapByFileMapping), 61);
    EXPECT_EQ(SlotOf(&Arch::NotSupported62), 62);
    EXPECT_EQ(SlotOf(&Arch::IsFlag30ById), 63);
    EXPECT_EQ(SlotOf(&Arch::IsFlag30OfFile), 64);
    // The destructor is slot 65; TNQOVArchive's own operation follows it.
    EXPECT_EQ(SlotOf(&ArchiveProbe::Added), 65 + kDestructorEntries);
    EXPECT_EQ(SlotOf(&TNQOVArchive::WriteAllBitmaps), 65 + kDestructorEntries);
}

TEST(InterfaceSlots, FileInterface) {
    REQUIRE_ITANIUM();
    typedef QOVFileInterface F;
    EXPECT_EQ(SlotOf(&F::Read), 0);
    EXPECT_EQ(SlotOf(&F::SeekFile), 1);
    EXPECT_EQ(SlotOf(&F::NotSupported2), 2);
    EXPECT_EQ(SlotOf(&F::NotSupported3), 3);
    EXPECT_EQ(SlotOf(&F::NotSupported4), 4);
    EXPECT_EQ(SlotOf(&F::GetPieceEnd), 5);
    EXPECT_EQ(SlotOf(&F::GetPieceStart), 6);
    EXPECT_EQ(SlotOf(&F::GetFileEntry), 7);
    EXPECT_EQ(SlotOf(&F::GetFirstPiece), 8);
    EXPECT_EQ(SlotOf(&F::GetPieceCount), 9);
    EXPECT_EQ(SlotOf(&F::GetLastPieceSize), 10);
    EXPECT_EQ(SlotOf(&F::GetPieceSize), 11);
    EXPECT_EQ(SlotOf(&F::GetArchiveFileName), 12);
    EXPECT_EQ(SlotOf(&F::GetRawPosition), 13);
    EXPECT_EQ(SlotOf(&F::NotSupported14), 14);
    EXPECT_EQ(SlotOf(&F::NotSupported15), 15);
    EXPECT_EQ(SlotOf(&F::GetArchive), 16);
    EXPECT_EQ(SlotOf(&F::GetFileSize), 17);
    EXPECT_EQ(SlotOf(&F::GetStoredSize), 18);
    EXPECT_EQ(SlotOf(&F::IsFlag30), 19);
    EXPECT_EQ(SlotOf(&FileProbe::Added), 20 + kDestructorEntries);
}

TEST(InterfaceSlots, FileEntryInterface) {
    REQUIRE_ITANIUM();
    typedef QOVFileEntryInterface E;
    EXPECT_EQ(SlotOf(&E::GetMD5), 0);
    EXPECT_EQ(SlotOf(&E::GetFileSize), 1);
    EXPECT_EQ(SlotOf(&E::GetCompressedSize), 2);
    EXPECT_EQ(SlotOf(&E::GetFileName), 3);
    EXPECT_EQ(SlotOf(&E::IsDirectory), 4);
    EXPECT_EQ(SlotOf(&E::GetFilePosition), 5);
    EXPECT_EQ(SlotOf(&E::GetArchive), 6);
    EXPECT_EQ(SlotOf(&E::GetPieceCount), 7);
    EXPECT_EQ(SlotOf(&E::GetFirstPiece), 8);
    EXPECT_EQ(SlotOf(&E::GetPieceSize), 9);
    EXPECT_EQ(SlotOf(&E::GetLastPieceSize), 10);
    EXPECT_EQ(SlotOf(&E::GetFileId), 11);
    EXPECT_EQ(SlotOf(&E::IsFlag30), 12);
    EXPECT_EQ(SlotOf(&EntryProbe::Added), 13 + kDestructorEntries);
}

TEST(InterfaceSlots, DirectoryListers) {
    REQUIRE_ITANIUM();
    EXPECT_EQ(SlotOf(&QOVDirListerInterface::List), 0);
    EXPECT_EQ(SlotOf(&QOVDirListerInterface::GetCount), 1);
    EXPECT_EQ(SlotOf(&QOVDirListerInterface::GetItem), 2);
    EXPECT_EQ(SlotOf(&ListerProbe::Added), 3 + kDestructorEntries);
    EXPECT_EQ(SlotOf(&QOVDirListerInterfaceByID::List), 0);
    EXPECT_EQ(SlotOf(&QOVDirListerInterfaceByID::GetCount), 1);
    EXPECT_EQ(SlotOf(&QOVDirListerInterfaceByID::GetItem), 2);
    EXPECT_EQ(SlotOf(&ListerByIdProbe::Added), 3 + kDestructorEntries);
}

TEST(InterfaceSlots, FileStreamInterface) {
    REQUIRE_ITANIUM();
    // Numbered from 1 where the stream is described; entry 0 is the first.
    EXPECT_EQ(SlotOf(&QOVFileStreamInterface::GetFileName), 0);
    EXPECT_EQ(SlotOf(&QOVFileStreamInterface::Read), 1);
    EXPECT_EQ(SlotOf(&QOVFileStreamInterface::Write), 2);
    EXPECT_EQ(SlotOf(&QOVFileStreamInterface::GetSize), 3);
    EXPECT_EQ(SlotOf(&StreamProbe::Added), 4 + kDestructorEntries);
}

//-----------------------------------------------------------------------------
// Every operation on a chain.

typedef std::vector<uint8_t> Tag;

struct StoredFile {
    const char* name;
    Bytes data;
    uint32_t flags;
};

// Figures of a record worked out from the flat functions.
struct Figures {
    QOV_RECORD_INFO info;
    uint64_t position;  // absolute position of the stored bytes
    uint32_t pieceSize;
    uint32_t firstPiece;
    uint32_t pieceCount;
    uint32_t lastPieceSize;
};

class InterfaceTest : public testing::Test {
protected:
    void SetUp() override {
        basePath = dir.File("base.qov");
        patchPath = dir.File("patch.qov");
        // The base has small pieces (plain.bin spans several, after the
        // first two), the patch a single large one.
        base = {
            {"filler.bin", testutil::RandomBytes(4000, 11), 0},
            {"common.txt", testutil::TextBytes(5000, 1), NQOV_FILE_COMPRESS},
            {"plain.bin", testutil::RandomBytes(9000, 2), 0},
            {"dir\\a.txt", testutil::TextBytes(2000, 3), NQOV_FILE_COMPRESS},
            {"dir\\hidden.txt", testutil::TextBytes(700, 4), NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_30},
            {"single.bin", testutil::TextBytes(3000, 5), NQOV_FILE_COMPRESS | NQOV_FILE_SINGLE_UNIT},
        };
        patch = {
            {"common.txt", testutil::TextBytes(5300, 6), NQOV_FILE_COMPRESS},
            {"dir\\c.txt", testutil::TextBytes(1800, 7), NQOV_FILE_COMPRESS},
            {"patch.bin", testutil::RandomBytes(4000, 8), 0},
        };
        ASSERT_TRUE(Write(basePath, base, Tag(), 64, 2048));
        baseVersion = VersionOf(basePath);
        ASSERT_EQ(baseVersion.size(), 16u);
        ASSERT_TRUE(Write(patchPath, patch, baseVersion, 32, 1u << 20));
        patchVersion = VersionOf(patchPath);

        ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, 0)) << QOVGetLastError();
        ai = ha;
        ASSERT_TRUE(ai->OpenPatchArchive(patchPath.c_str(), NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
        pa = ai->FindArchiveByFileName(patchPath.c_str());
        ASSERT_NE(pa, nullptr);
        ASSERT_NE(static_cast<QOVArchiveInterface*>(pa), ai);
    }

    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    static bool Write(const std::string& path, const std::vector<StoredFile>& files, const Tag& baseTag,
                      uint32_t capacity, uint32_t pieceSize) {
        TNQOVArchive* archive = testutil::CreateArchive(path, capacity, 1, pieceSize);
        if (archive == nullptr) return false;
        bool ok = true;
        for (const StoredFile& file : files)
            ok = testutil::AddBytes(archive, file.name, file.data, file.flags) && ok;
        if (!baseTag.empty()) archive->SetPatchBaseTag(baseTag.data());
        return SFileCloseArchive(archive, true) && ok;
    }

    static QOV_ARCHIVE_INFO InfoOf(TNQOVArchive* archive) {
        QOV_ARCHIVE_INFO info = {};
        EXPECT_TRUE(SFileGetArchiveInfo(archive, &info));
        return info;
    }

    static Tag VersionOf(const std::string& path) {
        TNQOVArchive* archive = nullptr;
        if (!SFileOpenArchive(path.c_str(), &archive, NQOV_OPEN_READ_ONLY)) return Tag();
        const QOV_ARCHIVE_INFO info = InfoOf(archive);
        SFileCloseArchive(archive, false);
        const Tag zero(16, 0);
        const Tag patched(info.MD5_PatchedTag, info.MD5_PatchedTag + 16);
        return patched != zero ? patched : Tag(info.MD5_QOVHeader, info.MD5_QOVHeader + 16);
    }

    // A record's figures in the archive that holds it (no chunk digests).
    static Figures FiguresOf(TNQOVArchive* archive, const std::string& name) {
        Figures f = {};
        const int index = testutil::FindRecordIndex(archive, name);
        EXPECT_GE(index, 0) << name;
        if (index < 0 || !SFileGetRecordInfo(archive, static_cast<uint32_t>(index), &f.info)) return f;
        const QOV_ARCHIVE_INFO info = InfoOf(archive);
        f.position = info.HeaderOffset + f.info.StoredOffset;
        f.pieceSize = info.dwMD5PieceSize;
        const uint64_t pieces = (info.ArchieveSize + f.pieceSize - 1) / f.pieceSize;
        const uint32_t archiveLast =
            info.ArchieveSize % f.pieceSize ? info.ArchieveSize % f.pieceSize : f.pieceSize;
        const uint64_t last = (f.position + std::max<uint32_t>(f.info.dwStoredSize, 1) - 1) / f.pieceSize;
        f.firstPiece = static_cast<uint32_t>(f.position / f.pieceSize);
        f.pieceCount = static_cast<uint32_t>(last - f.firstPiece + 1);
        f.lastPieceSize = last + 1 == pieces ? archiveLast : f.pieceSize;
        return f;
    }

    const Bytes& Content(const std::vector<StoredFile>& files, const std::string& name) {
        for (const StoredFile& file : files)
            if (name == file.name) return file.data;
        static const Bytes none;
        ADD_FAILURE() << "no file " << name;
        return none;
    }

    // The id of a name, found by walking the table (GetFileId does not
    // answer for FLAG_30 records).
    uint32_t IdOf(const std::string& name) {
        for (uint32_t id = 0; id < ai->GetFileCount(); id++) {
            TFileEntry* entry = ai->GetFileEntry(id);
            if (entry != nullptr && name == static_cast<QOVFileEntryInterface*>(entry)->GetFileName())
                return id;
        }
        ADD_FAILURE() << "no id for " << name;
        return NQOV_INVALID_FILE_ID;
    }

    testutil::TempDir dir;
    std::string basePath, patchPath;
    std::vector<StoredFile> base, patch;
    Tag baseVersion, patchVersion;
    TNQOVArchive* ha = nullptr;
    QOVArchiveInterface* ai = nullptr;  // ha as a host holds it
    TNQOVArchive* pa = nullptr;         // the patch
};

Tag TagAt(const uint8_t* p) { return p == nullptr ? Tag() : Tag(p, p + 16); }

TEST_F(InterfaceTest, DigestsNamesAndTags) {
    const QOV_ARCHIVE_INFO info = InfoOf(ha);
    EXPECT_EQ(TagAt(ai->GetHetTableMD5()), TagAt(info.MD5_HetTable));
    EXPECT_EQ(TagAt(ai->GetBetTableMD5()), TagAt(info.MD5_BetTable));
    EXPECT_EQ(TagAt(ai->GetHeaderMD5()), TagAt(info.MD5_QOVHeader));
    EXPECT_NE(TagAt(info.MD5_HetTable), TagAt(info.MD5_BetTable));

    EXPECT_STREQ(ai->GetArchiveFileName(), basePath.c_str());
    EXPECT_STREQ(static_cast<QOVArchiveInterface*>(pa)->GetArchiveFileName(), patchPath.c_str());

    // The identity tag is the patch's version; the patch names the base's.
    EXPECT_EQ(TagAt(ai->GetCurrentTag()), patchVersion);
    EXPECT_EQ(TagAt(InfoOf(pa).MD5_PatchBaseTag), baseVersion);
    EXPECT_TRUE(ai->CompareTag(baseVersion.data(), TagAt(ai->GetHeaderMD5()).data()));
    EXPECT_FALSE(ai->CompareTag(baseVersion.data(), patchVersion.data()));
    EXPECT_FALSE(ai->CompareTag(nullptr, patchVersion.data()));

    const Tag tag(16, 0x5A);
    ai->SetPatchBaseTag(tag.data());
    EXPECT_EQ(TagAt(InfoOf(ha).MD5_PatchBaseTag), tag);
    EXPECT_EQ(TagAt(ai->GetCurrentTag()), patchVersion) << "the base tag is not the identity";

    EXPECT_EQ(ai->GetOpenParameter(), 0u);
    EXPECT_EQ(static_cast<QOVArchiveInterface*>(pa)->GetOpenParameter(), NQOV_OPEN_READ_ONLY);

    QOVSetLastError(4242);
    EXPECT_EQ(ai->GetLastError(), 4242u);
}

TEST_F(InterfaceTest, ChainOfArchives) {
    EXPECT_EQ(ai->GetArchiveCount(), 2u);
    uint32_t sizes[2] = {0, 0};
    ASSERT_TRUE(ai->GetArchiveTableSize(sizes, 2));
    EXPECT_EQ(sizes[0], 32u) << "the patch first";
    EXPECT_EQ(sizes[1], 64u);
    uint32_t untouched[1] = {7};
    EXPECT_FALSE(ai->GetArchiveTableSize(untouched, 1));
    EXPECT_EQ(untouched[0], 7u);

    // Archives and streams by file name, letters without case.
    std::string upper = patchPath;
    for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(ai->FindArchiveByFileName(basePath.c_str()), ha);
    TFileStream* patchStream = ai->FindStreamByArchiveName(upper.c_str());
    ASSERT_NE(patchStream, nullptr);
    EXPECT_STREQ(static_cast<QOVFileStreamInterface*>(patchStream)->GetFileName(), patchPath.c_str());
    EXPECT_EQ(patchStream, static_cast<QOVArchiveInterface*>(pa)->GetStream());
    EXPECT_NE(ai->GetStream(), patchStream);
    EXPECT_EQ(ai->FindArchiveByFileName("elsewhere.qov"), nullptr);
    EXPECT_EQ(ai->FindStreamByArchiveName("elsewhere.qov"), nullptr);
    EXPECT_EQ(ai->GetArchiveFileSize(patchPath.c_str()), testutil::FileSize(patchPath));
    EXPECT_EQ(ai->GetArchiveFileSize(basePath.c_str()), testutil::FileSize(basePath));
    EXPECT_EQ(ai->GetArchiveFileSize("elsewhere.qov"), 0u);

    EXPECT_EQ(ai->FindArchiveOfName("common.txt"), pa);
    EXPECT_EQ(ai->FindArchiveOfName("plain.bin"), ha);
    EXPECT_EQ(ai->FindArchiveOfName("missing"), nullptr);

    // The base itself is no patch of this chain: refused, chain unchanged.
    EXPECT_FALSE(ai->OpenPatchArchive(basePath.c_str(), 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ai->GetArchiveCount(), 2u);
    // Once the file ids exist, no patch may follow.
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    EXPECT_FALSE(ai->OpenPatchArchive(patchPath.c_str(), 0));
    EXPECT_EQ(QOVGetLastError(), 17u);
}

// A patch whose own version (its patched tag) is its base tag leaves the
// chain's version as it was, so it matches again.
TEST_F(InterfaceTest, APatchThatKeepsTheVersionAttachesTwice) {
    SFileCloseArchive(ha, false);
    ha = nullptr;
    const uint64_t kPatchedTag = 108;
    ASSERT_TRUE(testutil::PatchFile(patchPath, kPatchedTag, baseVersion));
    ASSERT_TRUE(testutil::ResealHeader(patchPath));
    ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, 0));
    ai = ha;
    ASSERT_TRUE(ai->OpenPatchArchive(patchPath.c_str(), 0)) << QOVGetLastError();
    EXPECT_EQ(TagAt(ai->GetCurrentTag()), baseVersion) << "the patched tag is the patch's version";
    ASSERT_TRUE(ai->OpenPatchArchive(patchPath.c_str(), 0)) << QOVGetLastError();
    EXPECT_EQ(ai->GetArchiveCount(), 3u);
    EXPECT_TRUE(ai->IsFileValid("common.txt"));
}

TEST_F(InterfaceTest, RecordsByNameHashAndId) {
    EXPECT_EQ(ai->GetFileCount(), 0u);
    EXPECT_EQ(ai->GetFileEntry(0), nullptr);
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    // Names of both archives once: 8 files, 1 directory, 1 list file.
    EXPECT_EQ(ai->GetFileCount(), 10u);

    const Figures common = FiguresOf(pa, "common.txt");
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass == 0 ? "chain lookup" : "merged index");
        TFileEntry* byName = ai->RecordByName("COMMON.TXT");
        ASSERT_NE(byName, nullptr);
        EXPECT_EQ(static_cast<QOVFileEntryInterface*>(byName)->GetArchive(), pa) << "the patch wins";
        EXPECT_EQ(ai->RecordByHash(common.info.NameHash64), byName);
        const uint32_t id = ai->GetFileId("common.txt");
        ASSERT_LT(id, ai->GetFileCount());
        EXPECT_EQ(ai->GetFileEntry(id), byName);
        EXPECT_STREQ(ai->GetFileName(id), "common.txt");
        EXPECT_EQ(ai->GetArchiveOfFile(id), pa);
        EXPECT_EQ(ai->GetArchiveOfFile(ai->GetFileId("plain.bin")), ha);
        EXPECT_EQ(ai->RecordByName("missing"), nullptr);
        EXPECT_EQ(ai->RecordByHash(0x1234), nullptr);
        ASSERT_TRUE(ai->RebuildHashTable());
    }

    // Ids out of range.
    const uint32_t count = ai->GetFileCount();
    for (uint32_t id : {count, NQOV_INVALID_FILE_ID}) {
        EXPECT_STREQ(ai->GetFileName(id), "Failed To Get Name");
        EXPECT_EQ(ai->GetFileEntry(id), nullptr);
        EXPECT_EQ(ai->GetArchiveOfFile(id), nullptr);
        EXPECT_FALSE(ai->HasFileId(id));
        EXPECT_EQ(ai->IsFlag30ById(id), 3u);
    }
    EXPECT_EQ(ai->GetFileId("missing"), NQOV_INVALID_FILE_ID);
    EXPECT_EQ(ai->GetFileId("dir\\hidden.txt"), NQOV_INVALID_FILE_ID)
        << "FLAG_30 records have no id to ask for";

    // Files, directories and FLAG_30 by id and by name.
    const uint32_t fileId = ai->GetFileId("dir\\c.txt"), dirId = ai->GetFileId("dir"),
                   hiddenId = IdOf("dir\\hidden.txt");
    EXPECT_TRUE(ai->IsFile(fileId));
    EXPECT_FALSE(ai->IsDirectory(fileId));
    EXPECT_FALSE(ai->IsFile(dirId));
    EXPECT_TRUE(ai->IsDirectory(dirId));
    EXPECT_TRUE(ai->HasFileId(dirId));
    EXPECT_FALSE(ai->IsFile(count));
    EXPECT_TRUE(ai->IsFile("dir\\c.txt"));
    EXPECT_FALSE(ai->IsDirectory("dir\\c.txt"));
    EXPECT_FALSE(ai->IsFile("dir"));
    EXPECT_TRUE(ai->IsDirectory("dir"));
    EXPECT_TRUE(ai->HasFile("dir"));
    EXPECT_FALSE(ai->HasFile("missing"));
    EXPECT_FALSE(ai->IsFile("missing"));
    EXPECT_FALSE(ai->IsDirectory("missing"));
    EXPECT_EQ(ai->IsFlag30ById(hiddenId), 1u);
    EXPECT_EQ(ai->IsFlag30ById(fileId), 0u);
}

TEST_F(InterfaceTest, RecordOperations) {
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    struct Case {
        TNQOVArchive* archive;
        const char* name;
        const Bytes* data;
    } cases[] = {
        {ha, "plain.bin", &Content(base, "plain.bin")},
        {ha, "dir\\hidden.txt", &Content(base, "dir\\hidden.txt")},
        {pa, "common.txt", &Content(patch, "common.txt")},
        {pa, "patch.bin", &Content(patch, "patch.bin")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Figures f = FiguresOf(c.archive, c.name);
        QOVFileEntryInterface* entry = ai->GetFileEntry(IdOf(c.name));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(TagAt(entry->GetMD5()), TagAt(f.info.ContentMD5));
        EXPECT_EQ(testutil::Hex(entry->GetMD5(), 16), testutil::Md5Hex(*c.data));
        EXPECT_EQ(entry->GetFileSize(), c.data->size());
        EXPECT_EQ(entry->GetCompressedSize(), f.info.dwStoredSize);
        EXPECT_STREQ(entry->GetFileName(), c.name);
        EXPECT_FALSE(entry->IsDirectory());
        EXPECT_EQ(entry->GetFilePosition(), f.position);
        EXPECT_EQ(entry->GetArchive(), c.archive);
        EXPECT_EQ(entry->GetPieceCount(), f.pieceCount);
        EXPECT_EQ(entry->GetFirstPiece(), f.firstPiece);
        EXPECT_EQ(entry->GetPieceSize(), f.pieceSize);
        EXPECT_EQ(entry->GetLastPieceSize(), f.lastPieceSize);
        EXPECT_EQ(entry->GetFileId(), IdOf(c.name));
        EXPECT_EQ(entry->IsFlag30(), std::string(c.name) == "dir\\hidden.txt" ? 1u : 0u);
    }
    // The figures differ enough that a neighbouring operation would show.
    const Figures plain = FiguresOf(ha, "plain.bin");
    EXPECT_GT(plain.firstPiece, 1u);
    EXPECT_GT(plain.pieceCount, 2u);
    EXPECT_NE(plain.firstPiece, plain.pieceCount);

    QOVFileEntryInterface* directory = ai->RecordByName("dir");
    ASSERT_NE(directory, nullptr);
    EXPECT_TRUE(directory->IsDirectory());
}

TEST_F(InterfaceTest, OpenFiles) {
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    struct Case {
        TNQOVArchive* archive;
        const char* name;
        const Bytes* data;
    } cases[] = {
        {ha, "plain.bin", &Content(base, "plain.bin")},
        {pa, "patch.bin", &Content(patch, "patch.bin")},
        {pa, "common.txt", &Content(patch, "common.txt")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Figures f = FiguresOf(c.archive, c.name);
        const uint32_t id = ai->GetFileId(c.name);
        for (int way = 0; way < 2; way++) {
            QOVFileInterface* hf = way == 0 ? ai->OpenFile(id) : ai->OpenFile_i(c.name);
            ASSERT_NE(hf, nullptr) << QOVGetLastError();
            EXPECT_EQ(hf->GetFileEntry(), ai->GetFileEntry(id));
            EXPECT_EQ(hf->GetArchive(), c.archive);
            EXPECT_STREQ(hf->GetArchiveFileName(), c.archive == ha ? basePath.c_str() : patchPath.c_str());
            EXPECT_EQ(hf->GetFileSize(), c.data->size());
            EXPECT_EQ(hf->GetStoredSize(), f.info.dwStoredSize);
            EXPECT_EQ(hf->GetRawPosition(), f.position);
            EXPECT_EQ(hf->GetFirstPiece(), f.firstPiece);
            EXPECT_EQ(hf->GetPieceCount(), f.pieceCount);
            EXPECT_EQ(hf->GetLastPieceSize(), f.lastPieceSize);
            EXPECT_EQ(hf->GetPieceSize(), f.pieceSize);
            EXPECT_EQ(hf->GetPieceStart(), uint64_t(f.firstPiece) * f.pieceSize);
            EXPECT_EQ(hf->GetPieceEnd(),
                      (uint64_t(f.firstPiece) + f.pieceCount - 1) * f.pieceSize + f.lastPieceSize);
            EXPECT_EQ(hf->IsFlag30(), 0u);
            EXPECT_EQ(ai->IsFlag30OfFile(static_cast<TNQOVFile*>(hf)), 0u);

            // Reads, and moves from the start, the current position and the end.
            Bytes data(c.data->size());
            uint32_t read = 0;
            ASSERT_TRUE(hf->Read(data.data(), static_cast<uint32_t>(data.size()), &read, true));
            EXPECT_EQ(read, data.size());
            EXPECT_TRUE(data == *c.data);
            uint8_t byte = 0;
            ASSERT_TRUE(hf->SeekFile(100, NQOV_FILE_BEGIN));
            ASSERT_TRUE(hf->SeekFile(-50, NQOV_FILE_CURRENT));
            ASSERT_TRUE(hf->Read(&byte, 1, &read, false));
            EXPECT_EQ(byte, (*c.data)[50]);
            ASSERT_TRUE(hf->SeekFile(-1, NQOV_FILE_END));
            ASSERT_TRUE(hf->Read(&byte, 1, &read, false));
            EXPECT_EQ(byte, c.data->back());
            EXPECT_FALSE(hf->SeekFile(0, 3));
            EXPECT_FALSE(hf->SeekFile(-1, NQOV_FILE_BEGIN));
            EXPECT_TRUE(ai->CloseFile(static_cast<TNQOVFile*>(hf)));
        }
    }

    // A FLAG_30 file, a directory and ids without a record.
    QOVFileInterface* hidden = ai->OpenFile(IdOf("dir\\hidden.txt"));
    ASSERT_NE(hidden, nullptr);
    EXPECT_EQ(hidden->IsFlag30(), 1u);
    EXPECT_EQ(ai->IsFlag30OfFile(static_cast<TNQOVFile*>(hidden)), 1u);
    EXPECT_TRUE(ai->CloseFile(static_cast<TNQOVFile*>(hidden)));
    EXPECT_EQ(ai->IsFlag30OfFile(nullptr), 3u);
    EXPECT_EQ(ai->OpenFile(ai->GetFileCount()), nullptr);
    EXPECT_EQ(ai->OpenFile_i("missing"), nullptr);
    EXPECT_FALSE(ai->CloseFile(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(InterfaceTest, ReadingExtractingAndVerifying) {
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const uint32_t commonId = ai->GetFileId("common.txt"), plainId = ai->GetFileId("plain.bin"),
                   dirId = ai->GetFileId("dir"), singleId = ai->GetFileId("single.bin");
    const Bytes& common = Content(patch, "common.txt");

    Bytes part(300);
    uint32_t read = 0;
    ASSERT_TRUE(ai->ReadFileById(commonId, 1000, part.data(), 300, &read));
    EXPECT_EQ(read, 300u);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), common.begin() + 1000)) << "the patch's content";
    ASSERT_TRUE(ai->ReadFileById(singleId, 0, part.data(), 300, &read));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), Content(base, "single.bin").begin()));
    EXPECT_FALSE(ai->ReadFileById(dirId, 0, part.data(), 1, &read));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(ai->ReadFileById(NQOV_INVALID_FILE_ID, 0, part.data(), 1, &read));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));

    const std::string byId = dir.File("out/by_id.txt"), byName = dir.File("out/by_name.bin");
    ASSERT_TRUE(ai->ExtractFileById(commonId, byId.c_str())) << QOVGetLastError();
    EXPECT_TRUE(testutil::ReadFileOrEmpty(byId) == common);
    ASSERT_TRUE(ai->ExtractFile("plain.bin", byName.c_str())) << QOVGetLastError();
    EXPECT_TRUE(testutil::ReadFileOrEmpty(byName) == Content(base, "plain.bin"));
    EXPECT_FALSE(ai->ExtractFileById(dirId, byId.c_str()));
    EXPECT_FALSE(ai->ExtractFile("missing", byName.c_str()));

    // Whole-file verification and piece verification, by id and by name.
    EXPECT_TRUE(ai->IsFileValidById(commonId));
    EXPECT_TRUE(ai->IsFileValid("common.txt"));
    EXPECT_TRUE(ai->VerifyFilePiecesById(plainId));
    EXPECT_TRUE(ai->VerifyFilePieces("plain.bin"));
    EXPECT_TRUE(ai->IsFileReady(plainId));
    EXPECT_TRUE(ai->IsFileReady("plain.bin"));
    for (uint32_t id : {dirId, NQOV_INVALID_FILE_ID}) {
        EXPECT_FALSE(ai->IsFileValidById(id));
        EXPECT_FALSE(ai->VerifyFilePiecesById(id));
        EXPECT_FALSE(ai->IsFileReady(id));
    }
    EXPECT_FALSE(ai->IsFileValid("missing"));
    EXPECT_FALSE(ai->VerifyFilePieces("missing"));
    EXPECT_FALSE(ai->IsFileReady("dir"));

    // A byte of plain.bin changed on disk: its pieces fail, and the file
    // reads back different from its digest (its pieces are only checked
    // when asked for, so the whole-file check sees the wrong MD5).
    const Figures plain = FiguresOf(ha, "plain.bin");
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::FlipByte(basePath, plain.position + 4500));
    ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, 0));
    ai = ha;
    ASSERT_TRUE(ai->OpenPatchArchive(patchPath.c_str(), 0));
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    EXPECT_FALSE(ai->VerifyFilePieces("plain.bin"));
    EXPECT_FALSE(ai->VerifyFilePiecesById(ai->GetFileId("plain.bin")));
    EXPECT_FALSE(ai->IsFileReady("plain.bin"));
    EXPECT_FALSE(ai->IsFileValid("plain.bin"));
    EXPECT_TRUE(ai->VerifyFilePieces("common.txt")) << "the patch is whole";
}

TEST_F(InterfaceTest, RangesOfStoredBytes) {
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    const QOV_ARCHIVE_INFO baseInfo = InfoOf(ha);
    const uint64_t sectorBytes = baseInfo.dwSectorBytes;
    ASSERT_EQ(InfoOf(pa).dwSectorBytes, sectorBytes);

    // Uncompressed: the content's own bytes, clipped to the file.
    const Figures plain = FiguresOf(ha, "plain.bin");
    const uint32_t plainId = ai->GetFileId("plain.bin");
    uint64_t position = 0, size = 0;
    ASSERT_TRUE(ai->GetFileDataRange(plainId, 0, 1, &position, &size));
    EXPECT_EQ(position, plain.position);
    EXPECT_EQ(size, 1u);
    ASSERT_TRUE(ai->GetFileDataRange(plainId, 8000, 5000, &position, &size));
    EXPECT_EQ(position, plain.position + 8000);
    EXPECT_EQ(size, 1000u);
    EXPECT_FALSE(ai->GetFileDataRange(plainId, 9000, 1, &position, &size));
    ASSERT_TRUE(ai->GetSectorTableRange(plainId, &position, &size));
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(size, 0u);

    // Compressed: whole sectors, after the sector offset table.
    const Figures common = FiguresOf(pa, "common.txt");
    const uint32_t commonId = ai->GetFileId("common.txt");
    const uint64_t sectors = (5300 - 1) / sectorBytes + 1;
    ASSERT_TRUE(ai->GetSectorTableRange(commonId, &position, &size));
    EXPECT_EQ(position, common.position);
    EXPECT_EQ(size, (sectors + 1) * 4);
    uint64_t byName = 0, byNameSize = 0;
    ASSERT_TRUE(ai->GetSectorTableRangeByName("common.txt", &byName, &byNameSize));
    EXPECT_EQ(byName, position);
    EXPECT_EQ(byNameSize, size);
    EXPECT_FALSE(ai->GetSectorTableRange(NQOV_INVALID_FILE_ID, &position, &size));
    EXPECT_FALSE(ai->GetSectorTableRangeByName("missing", &position, &size));

    // The first sector's stored bytes start right after the table.
    ASSERT_TRUE(ai->GetFileDataRange(commonId, 0, 1, &position, &size));
    EXPECT_EQ(position, common.position + (sectors + 1) * 4);
    EXPECT_GT(size, 0u);
    // The whole file: up to the end of its stored sectors.
    ASSERT_TRUE(ai->GetFileDataRange(commonId, 0, 1u << 20, &position, &size));
    EXPECT_EQ(position + size, common.position + common.info.dwStoredSize);
}

TEST_F(InterfaceTest, PiecesAndTheMap) {
    const QOV_ARCHIVE_INFO info = InfoOf(ha);
    const Bytes onDisk = testutil::ReadFileOrEmpty(basePath);
    const uint32_t pieceSize = info.dwMD5PieceSize;
    const uint32_t pieceCount = static_cast<uint32_t>((info.ArchieveSize + pieceSize - 1) / pieceSize);
    const uint32_t lastSize = info.ArchieveSize % pieceSize ? info.ArchieveSize % pieceSize : pieceSize;

    uint8_t* map = nullptr;
    uint32_t count = 0, size = 0, last = 0;
    bool valid = false;
    ASSERT_TRUE(ai->GetBitmapInfo(&map, &count, &size, &last, &valid));
    uint32_t mapSize = 0;
    EXPECT_EQ(map, SFileGetBitmap(ha, &mapSize));
    EXPECT_EQ(count, pieceCount);
    EXPECT_EQ(size, pieceSize);
    EXPECT_EQ(last, lastSize);
    EXPECT_TRUE(valid);

    uint32_t first = 0, pieces = 0;
    ASSERT_TRUE(ai->PathToPieceIndex("plain.bin", &first, &pieces));
    const Figures plain = FiguresOf(ha, "plain.bin");
    EXPECT_EQ(first, plain.firstPiece);
    EXPECT_EQ(pieces, plain.pieceCount);
    EXPECT_FALSE(ai->PathToPieceIndex("missing", &first, &pieces));

    // A piece read and written back verified; a damaged one refused.
    Bytes piece(pieceSize);
    ASSERT_TRUE(ai->ReadPieceVerified(2, piece.data(), pieceSize));
    EXPECT_TRUE(std::equal(piece.begin(), piece.end(), onDisk.begin() + 2 * pieceSize));
    EXPECT_EQ(map[2], 1u);
    ASSERT_TRUE(ai->WritePieceVerified(3, onDisk.data() + 3 * pieceSize, pieceSize));
    Bytes damaged(onDisk.begin() + 4 * pieceSize, onDisk.begin() + 5 * pieceSize);
    damaged[10] ^= 1;
    EXPECT_FALSE(ai->WritePieceVerified(4, damaged.data(), pieceSize));
    EXPECT_EQ(map[4], 2u);
    EXPECT_TRUE(testutil::ReadFileOrEmpty(basePath) == onDisk) << "nothing written but the same bytes";

    // The map goes to the file: this archive's with WriteBitmap, every
    // archive's with WriteAllBitmaps.
    ASSERT_TRUE(ai->WriteBitmap());
    const Bytes written = testutil::ReadRange(basePath, info.BitmapPos64, mapSize);
    ASSERT_EQ(written.size(), mapSize);
    EXPECT_EQ(written[2], 1u);
    EXPECT_EQ(written[4], 2u);
    EXPECT_FALSE(ha->WriteAllBitmaps()) << "the patch was opened read-only";
}

// A damaged header may put the piece-state map on the tables; writing it
// there would leave an archive that no longer opens.
TEST_F(InterfaceTest, AMapLyingOnTheTablesIsNotWritten) {
    const QOV_ARCHIVE_INFO info = InfoOf(ha);
    SFileCloseArchive(ha, false);
    ha = nullptr;
    ASSERT_TRUE(testutil::PatchLE64(basePath, testutil::hdr::kBitmapPos, info.BetTablePos64));
    ASSERT_TRUE(testutil::ResealHeader(basePath));
    const Bytes before = testutil::ReadFileOrEmpty(basePath);

    ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, 0)) << QOVGetLastError();
    ai = ha;
    Bytes piece(info.dwMD5PieceSize);
    ai->ReadPieceVerified(0, piece.data(), info.dwMD5PieceSize);  // a state to write
    EXPECT_FALSE(ai->WriteBitmap());
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    EXPECT_FALSE(ha->WriteAllBitmaps());
    EXPECT_FALSE(ai->InitBitMapByFileMapping(true));
    SFileCloseArchive(ha, false);
    ha = nullptr;
    EXPECT_TRUE(testutil::ReadFileOrEmpty(basePath) == before);

    ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    EXPECT_TRUE(static_cast<QOVArchiveInterface*>(ha)->InitBitMapByFileMapping(false))
        << "reading it is harmless";
}

TEST_F(InterfaceTest, MappedMapOfEveryArchive) {
    SFileCloseArchive(ha, false);
    ASSERT_TRUE(SFileOpenArchive(basePath.c_str(), &ha, 0));
    ai = ha;
    ASSERT_TRUE(ai->OpenPatchArchive(patchPath.c_str(), 0));
    ASSERT_TRUE(ai->InitBitMapByFileMapping(true)) << QOVGetLastError();
    EXPECT_FALSE(ai->InitBitMapByFileMapping(true)) << "mapped already";
    const QOV_ARCHIVE_INFO info = InfoOf(ha);
    Bytes piece(info.dwMD5PieceSize);
    ASSERT_TRUE(ai->ReadPieceVerified(1, piece.data(), info.dwMD5PieceSize));
    // The state byte is in the file without any write.
    EXPECT_EQ(testutil::ReadRange(basePath, info.BitmapPos64 + 1, 1), Bytes{1});
    EXPECT_TRUE(ha->WriteAllBitmaps());
}

TEST_F(InterfaceTest, DirectoryListers) {
    const std::set<uint64_t> children{FiguresOf(ha, "dir\\a.txt").info.NameHash64,
                                      FiguresOf(ha, "dir\\hidden.txt").info.NameHash64,
                                      FiguresOf(pa, "dir\\c.txt").info.NameHash64};
    QOVDirListerInterface* walker = ai->CreateDirWalker();
    ASSERT_NE(walker, nullptr);
    ASSERT_TRUE(walker->List("dir"));
    ASSERT_EQ(walker->GetCount(), 3u);
    EXPECT_EQ(std::vector<uint64_t>({walker->GetItem(0), walker->GetItem(1), walker->GetItem(2)}),
              std::vector<uint64_t>(children.begin(), children.end()));
    EXPECT_FALSE(walker->List("common.txt"));
    ai->ReleaseDirWalker(static_cast<TNQOVDirWalker*>(walker));

    EXPECT_EQ(ai->CreateDirWalkerById(), nullptr) << "no file ids yet";
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    QOVDirListerInterfaceByID* byId = ai->CreateDirWalkerById();
    ASSERT_NE(byId, nullptr);
    ASSERT_TRUE(byId->List(ai->GetFileId("dir")));
    ASSERT_EQ(byId->GetCount(), 2u) << "without the FLAG_30 child";
    // In ascending name-hash order.
    std::vector<uint32_t> expected{ai->GetFileId("dir\\a.txt"), ai->GetFileId("dir\\c.txt")};
    if (FiguresOf(pa, "dir\\c.txt").info.NameHash64 < FiguresOf(ha, "dir\\a.txt").info.NameHash64)
        std::swap(expected[0], expected[1]);
    EXPECT_EQ(std::vector<uint32_t>({byId->GetItem(0), byId->GetItem(1)}), expected);
    EXPECT_EQ(byId->GetItem(2), NQOV_INVALID_FILE_ID);
    EXPECT_FALSE(byId->List(NQOV_INVALID_FILE_ID));
    ai->ReleaseDirWalkerById(static_cast<TNQOVDirWalkerById*>(byId));
}

// A record whose hash lost its top bit (a damaged table) is looked up as
// the record with that bit set.  That record still gets one id only, and a
// lister by id names it once.
TEST_F(InterfaceTest, ADamagedHashTakesNoOtherRecordsId) {
    const int index = testutil::FindRecordIndex(ha, "dir\\a.txt");
    ASSERT_GE(index, 0);
    const uint64_t target = FiguresOf(pa, "dir\\c.txt").info.NameHash64;
    Impl(ha)->Records[static_cast<uint32_t>(index)].NameHash64 = target & ~(1ull << 63);
    ASSERT_TRUE(SFileBuildFileIdTable(ha));

    std::set<TFileEntry*> entries;
    for (uint32_t id = 0; id < ai->GetFileCount(); id++) {
        TFileEntry* entry = ai->GetFileEntry(id);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(static_cast<QOVFileEntryInterface*>(entry)->GetFileId(), id);
        EXPECT_TRUE(entries.insert(entry).second) << "a record with two ids";
    }
    QOVDirListerInterfaceByID* lister = ai->CreateDirWalkerById();
    ASSERT_NE(lister, nullptr);
    ASSERT_TRUE(lister->List(ai->GetFileId("dir")));
    ASSERT_EQ(lister->GetCount(), 1u);
    EXPECT_EQ(lister->GetItem(0), ai->GetFileId("dir\\c.txt"));
    ai->ReleaseDirWalkerById(static_cast<TNQOVDirWalkerById*>(lister));
}

TEST_F(InterfaceTest, AddingAFile) {
    const std::string local = dir.File("local.txt");
    const Bytes data = testutil::TextBytes(1234, 9);
    ASSERT_TRUE(testutil::WriteFile(local, data));
    ASSERT_TRUE(ai->AddFile(local.c_str(), "added\\new.txt")) << QOVGetLastError();
    EXPECT_TRUE(ai->HasFile("added\\new.txt"));
    EXPECT_EQ(ai->FindArchiveOfName("added\\new.txt"), ha);
    EXPECT_FALSE(ai->AddFile(dir.File("missing.txt").c_str(), "other.txt"));
    EXPECT_FALSE(ai->HasFile("other.txt"));
}

TEST_F(InterfaceTest, ClearEmptiesTheData) {
    ASSERT_TRUE(SFileBuildFileIdTable(ha));
    ai->Clear();
    uint8_t* map = nullptr;
    uint32_t count = 0, size = 0, last = 0;
    bool valid = false;
    ASSERT_TRUE(ai->GetBitmapInfo(&map, &count, &size, &last, &valid));
    for (uint32_t i = 0; i < count; i++) ASSERT_EQ(map[i], 0u) << i;
    EXPECT_FALSE(ai->VerifyFilePieces("plain.bin"));
    EXPECT_FALSE(ai->IsFileValidById(ai->GetFileId("plain.bin")));
    EXPECT_TRUE(ai->IsFileValid("common.txt")) << "the patch is untouched";
    EXPECT_TRUE(ai->IsFile("(listfile)"));
}

TEST_F(InterfaceTest, DumpHeaderPrintsTheHeaderAndRecords) {
    testing::internal::CaptureStdout();
    const bool ok = ai->DumpHeader();
    const std::string text = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    EXPECT_EQ(text.compare(0, 18, "Header\nMAX_FILE:64"), 0) << text;
    const Figures plain = FiguresOf(ha, "plain.bin");
    std::string md5 = testutil::Md5Hex(Content(base, "plain.bin"));
    for (char& ch : md5) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    const std::string line = "isdir[0]FileName[plain.bin] size[9000] compSize[9000] name_hash[" +
                             std::to_string(plain.info.NameHash64) + "] md5[" + md5 + "] offset " +
                             std::to_string(plain.position) + "\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_NE(text.find("isdir[1]FileName[dir]"), std::string::npos);
    EXPECT_EQ(text.find("patch.bin"), std::string::npos) << "this archive's records only";
}

TEST_F(InterfaceTest, UnsupportedOperations) {
    EXPECT_FALSE(ai->NotSupported62()) << "answers without stopping, in every build";
#if defined(NDEBUG)
    EXPECT_FALSE(ai->NotSupported37());
    EXPECT_FALSE(ai->NotSupported38(1, 2, 3, 4, 5, 6));
    ASSERT_NE(ai->NotSupported60(), nullptr);
    EXPECT_STREQ(ai->NotSupported60(), "");
    QOVFileInterface* hf = ai->OpenFile_i("plain.bin");
    ASSERT_NE(hf, nullptr);
    EXPECT_FALSE(hf->NotSupported2());
    EXPECT_FALSE(hf->NotSupported3());
    EXPECT_FALSE(hf->NotSupported4());
    EXPECT_FALSE(hf->NotSupported14());
    EXPECT_FALSE(hf->NotSupported15());
    EXPECT_TRUE(ai->CloseFile(static_cast<TNQOVFile*>(hf)));
#endif
}

TEST_F(InterfaceTest, FileStreams) {
    // The archive's own stream: the header's signature at 0.
    QOVFileStreamInterface* stream = ai->GetStream();
    ASSERT_NE(stream, nullptr);
    EXPECT_STREQ(stream->GetFileName(), basePath.c_str());
    EXPECT_EQ(stream->GetSize(), testutil::FileSize(basePath));
    uint64_t position = 0;
    uint8_t signature[4] = {};
    ASSERT_TRUE(stream->Read(&position, signature, 4));
    EXPECT_EQ(Bytes(signature, signature + 4), Bytes({'n', 'q', 'o', 'v'}));

    // A stream of its own: written, sized and read back.
    const std::string path = dir.File("stream.bin");
    TFileStream* made = FileStream_MakeNew(path.c_str());
    ASSERT_NE(made, nullptr);
    QOVFileStreamInterface* own = made;
    EXPECT_STREQ(own->GetFileName(), path.c_str());
    const Bytes data = testutil::RandomBytes(3000, 10);
    position = 100;
    ASSERT_TRUE(own->Write(&position, data.data(), 3000));
    EXPECT_EQ(own->GetSize(), 3100u);
    Bytes back(3000);
    position = 100;
    ASSERT_TRUE(own->Read(&position, back.data(), 3000));
    EXPECT_TRUE(back == data);
    FileStream_Free(made);
}

}  // namespace
