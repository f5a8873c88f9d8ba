// The internal list file (QOVListFile): what the writer lists and in which
// order, the list of an archive without names, and how the reader turns
// lines (patch suffixes, long lines, stray bytes, blocks of the cache) back
// into record names.

#include "read/QOVRead.h"
#include "write/QOVWrite.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using testutil::Bytes;

namespace {

class ListFileTest : public testing::Test {
protected:
    void SetUp() override { path = dir.File("list.qov"); }
    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    void Create(uint32_t capacity = 64) {
        ha = testutil::CreateArchive(path, capacity, 3, 65536);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
    }

    void Add(const std::string& name, size_t size = 40) {
        ASSERT_TRUE(testutil::AddBytes(ha, name, testutil::TextBytes(size, name.size())))
            << name << " " << QOVGetLastError();
    }

    void Reopen() {
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    }

    std::string ListText() {
        TNQOVFile* hf = nullptr;
        EXPECT_TRUE(NQOVOpenFileEx(ha, "(listfile)", QOV_OPEN_FROM_ARCHIVE, &hf)) << QOVGetLastError();
        if (hf == nullptr) return "";
        Bytes text(SFileGetFileSize(hf) + 1);
        uint32_t read = 0;
        EXPECT_TRUE(SFileReadFile(hf, text.data(), SFileGetFileSize(hf), &read, true));
        SFileCloseFile(hf);
        return std::string(text.begin(), text.begin() + read);
    }

    // Replaces the list file the flush would write with `text`, written with
    // the writer's own steps.
    void WriteListFile(const std::string& text,
                       uint32_t flags = NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS) {
        TNQOVFile* hf = nullptr;
        ASSERT_EQ(
            SFileAddFile_Init(Impl(ha), NQOV_LISTFILE_NAME, static_cast<uint32_t>(text.size()), flags, &hf),
            0u);
        ASSERT_EQ(SFileAddFile_Write(Impl(hf), text.data(), static_cast<uint32_t>(text.size())), 0u);
        ASSERT_EQ(SFileAddFile_Finish(Impl(hf)), 0u);
        Impl(ha)->dwFlags &= ~NQOV_FLAG_LISTFILE_CHANGED;
        Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
    }

    bool Named(const std::string& name) {
        const int index = testutil::FindRecordIndex(ha, name);
        if (index < 0) return false;
        QOV_RECORD_INFO info;
        return SFileGetRecordInfo(ha, index, &info) && info.bNamed;
    }

    testutil::TempDir dir;
    std::string path;
    TNQOVArchive* ha = nullptr;
};

}  // namespace

//-----------------------------------------------------------------------------
// Writing.

// Names compare as unsigned bytes after ASCII letters are folded to lower
// case; of two names equal without case, the later one is dropped.
TEST_F(ListFileTest, SortedWithoutCaseAndDistinct) {
    Create();
    Add("b.txt");
    Add("A.txt");
    Add("c.txt");
    // Records cannot normally differ only in case (they share a hash); give
    // the third one such a name to see the writer drop it.
    ASSERT_TRUE(SetRecordName(&Impl(ha)->Records[FindSlotByName(Impl(ha), "c.txt")], "a.TXT"));
    ASSERT_EQ(SortTable(ha), 0);
    EXPECT_EQ(ListText(), "A.txt\r\nb.txt\r\n");
}

TEST_F(ListFileTest, OrderOfPunctuationAndUtf8) {
    Create();
    for (const char* name :
         {"b.txt", "_a.txt", "Z.txt", "[x].txt", "A.txt", "\xC3\xA9.txt", "a.txt.bak", "Dir\\x.txt"})
        Add(name);
    Reopen();
    EXPECT_EQ(
        ListText(),
        "[x].txt\r\n_a.txt\r\nA.txt\r\na.txt.bak\r\nb.txt\r\nDir\r\nDir\\x.txt\r\nZ.txt\r\n\xC3\xA9.txt\r\n");
}

TEST_F(ListFileTest, ArchiveWithoutNamesListsTheListFile) {
    Create();
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFile(ha, "gone.txt", 100, &hf));
    EXPECT_FALSE(SFileFinishFile(hf));  // a delete marker: nothing to name
    Reopen();
    EXPECT_EQ(ListText(), "(listfile)\r\n");
    const int index = testutil::FindRecordIndex(ha, "(listfile)");
    ASSERT_GE(index, 0);
    QOV_RECORD_INFO info;
    ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
    EXPECT_TRUE(info.bNamed);
    // 12 bytes are too few to compress.
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED);
    EXPECT_EQ(info.dwFileSize, 12u);
}

// Each flush writes a new list file that replaces the old one.
TEST_F(ListFileTest, RewrittenAfterEveryChange) {
    Create();
    Add("one.txt");
    Reopen();
    EXPECT_EQ(ListText(), "one.txt\r\n");
    const uint32_t count = SFileGetRecordCount(ha);
    Add("two.txt");
    Reopen();
    EXPECT_EQ(ListText(), "one.txt\r\ntwo.txt\r\n");
    EXPECT_EQ(SFileGetRecordCount(ha), count + 1) << "the list file keeps its record";
    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
}

//-----------------------------------------------------------------------------
// Reading.

TEST_F(ListFileTest, EveryWrittenNameComesBack) {
    Create(1500);
    std::vector<std::string> names;
    for (int i = 0; i < 1000; i++) {
        std::string name = "folder " + std::to_string(i % 40) + "\\sub~" + std::to_string(i % 7) + "\\";
        name += std::string(60 + i % 50, static_cast<char>('a' + i % 26));
        name += " #" + std::to_string(i) + (i % 3 == 0 ? "\xE6\x96\x87.dat" : ".txt");
        names.push_back(name);
        Add(name, 10);
    }
    Reopen();
    EXPECT_GT(ListText().size(), 65536u) << "the list spans more than one block of the reader";
    for (const std::string& name : names) ASSERT_TRUE(Named(name)) << name;
    for (int i = 0; i < 40; i++) EXPECT_TRUE(Named("folder " + std::to_string(i))) << i;
    // Nothing unnamed is left.
    for (uint32_t i = 0; i < SFileGetRecordCount(ha); i++) {
        QOV_RECORD_INFO info;
        ASSERT_TRUE(SFileGetRecordInfo(ha, i, &info));
        EXPECT_TRUE(info.bNamed) << info.szFileName;
    }
}

TEST_F(ListFileTest, PatchSuffixesAndStrayBytes) {
    Create();
    for (const char* name : {"Data\\Foo.txt", "Data\\Baz.txt~Pa~Q", "Data\\Baz.txt", "Data\\Qux.txt",
                             "Data\\Qux.txt~p2", "Lf.txt", "Cr.txt", "Ctl.txt", "Last.txt"})
        Add(name);
    WriteListFile(
        "Data\\Foo.txt~P1\r\n"    // cut at the last "~P"
        "Data\\Baz.txt~Pa~Q\r\n"  // the last '~' is followed by 'Q': kept whole
        "Data\\Qux.txt~p2\r\n"    // a lower-case 'p' is no suffix
        "\r\n\r\n"                // empty lines
        "Lf.txt\n"                // LF alone
        "Cr.txt\r"                // CR alone
        "\x01\x02\x1F"
        "Ctl.txt\r\n"    // control bytes before a line
        "Nope.txt\r\n"   // no such record
        ".File123.\r\n"  // a pseudo name names nothing
        "Data\r\n"
        "Last.txt");  // no line end
    Reopen();
    EXPECT_TRUE(Named("Data\\Foo.txt"));
    EXPECT_TRUE(Named("Data\\Baz.txt~Pa~Q"));
    EXPECT_FALSE(Named("Data\\Baz.txt"));
    EXPECT_TRUE(Named("Data\\Qux.txt~p2"));
    EXPECT_FALSE(Named("Data\\Qux.txt"));
    for (const char* name : {"Lf.txt", "Cr.txt", "Ctl.txt", "Data", "Last.txt", "(listfile)"})
        EXPECT_TRUE(Named(name)) << name;
    EXPECT_EQ(testutil::FindRecordIndex(ha, "Nope.txt"), -1);
    // Unnamed records still open by name.
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "Data\\Baz.txt", &data));
    EXPECT_EQ(data, testutil::TextBytes(40, strlen("Data\\Baz.txt")));
}

// A line longer than 259 bytes is cut there, and its rest is read as the
// next line.
TEST_F(ListFileTest, LongLinesAreCutAt259Bytes) {
    Create();
    const std::string longest(259, 'L');
    Add(longest);
    Add("rest.txt");
    Add(std::string(258, 'M'));
    WriteListFile(longest + "rest.txt\r\n" + std::string(258, 'M') + "\r\n");
    Reopen();
    EXPECT_TRUE(Named(longest));
    EXPECT_TRUE(Named("rest.txt"));
    EXPECT_TRUE(Named(std::string(258, 'M')));
}

// Flags of a stored list file carry over to the next one, except those a
// list file may not have.
TEST_F(ListFileTest, ListFileFlagsCarryOverMasked) {
    Create();
    const std::string a = "a-name-long-enough-for-compression.txt";
    const std::string b = "b-name-long-enough-for-compression.txt";
    Add(a);
    WriteListFile(a + "\r\n",
                  NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS | NQOV_FILE_SINGLE_UNIT | NQOV_FILE_FLAG_30);
    Reopen();
    EXPECT_TRUE(Named(a));
    Add(b);
    Reopen();
    const int index = testutil::FindRecordIndex(ha, "(listfile)");
    ASSERT_GE(index, 0);
    QOV_RECORD_INFO info;
    ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
    EXPECT_EQ(info.dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS);
    EXPECT_EQ(ListText(), a + "\r\n" + b + "\r\n");
    EXPECT_TRUE(Named(b));
}

// SortTable is exported; run on its own it must leave an archive that still
// opens after the close.
TEST_F(ListFileTest, SortTableOnItsOwn) {
    Create();
    Add("a.txt", 5000);
    Reopen();
    ASSERT_EQ(SortTable(ha), 0);
    SFileCloseArchive(ha, true);
    ha = nullptr;
    // The list file goes where the HET table was: SortTable must leave the
    // tables to be written again.
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    Bytes data;
    EXPECT_TRUE(testutil::ReadWhole(ha, "a.txt", &data, true));
    EXPECT_EQ(ListText(), "a.txt\r\n");
}
