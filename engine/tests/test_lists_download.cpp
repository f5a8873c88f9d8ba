// The download list: batches of 500, FileCount forms, incomplete and
// over-long entries, the quit flag, missing and malformed files.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "CDownloadListConfig.h"
#include "fund/win/text.h"
#include "test_lists_support.h"

namespace {

std::string NumberedList(long count, const std::string& fileCount) {
    std::string text = ListHead(fileCount);
    for (long i = 0; i < count; ++i) text += ListEntry(i, "data\\file" + std::to_string(i) + ".dat");
    return text;
}

std::wstring NameOf(long i) { return L"data\\file" + std::to_wstring(i) + L".dat"; }

class DownloadList : public ::testing::Test {
protected:
    void Write(const std::string& text) { WriteBytes(folder / L"DLList_1.ini", text); }

    ScratchFolder folder;
    CDownloadListConfig list{folder.Path()};

    void SetUp() override { list.AppendFileName(L"1.ini"); }
};

TEST_F(DownloadList, FileNameIsTheStemUntilTheVersionStepAppendsToIt) {
    CDownloadListConfig fresh(L"C:\\game\\plugin");
    EXPECT_EQ(fresh.GetFileName(), L"DLList_");
    fresh.AppendFileName(L"3.ini");
    EXPECT_EQ(fresh.GetFileName(), L"DLList_3.ini");
    EXPECT_EQ(fresh.GetFilePath(), L"C:\\game\\plugin\\DLList_3.ini");
    EXPECT_FALSE(fresh.IsQuit());
}

TEST_F(DownloadList, ParsesInBatchesOf500WithoutRepeats) {
    Write(NumberedList(1000, "1000"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    ASSERT_EQ(list.GetEntries().size(), 500u);
    EXPECT_EQ(list.GetEntries()[499], NameOf(499));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1000u);
    for (long i = 0; i < 1000; ++i) ASSERT_EQ(list.GetEntries()[i], NameOf(i)) << i;
}

TEST_F(DownloadList, BatchBoundaries) {
    Write(NumberedList(500, "500"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries().size(), 500u);

    DownloadFileList taken;
    list.SwapEntries(taken);
    EXPECT_TRUE(list.GetEntries().empty());

    Write(NumberedList(1001, "1001"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    EXPECT_EQ(list.GetEntries().size(), 1000u);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1001u);
    EXPECT_EQ(list.GetEntries().back(), NameOf(1000));
}

TEST_F(DownloadList, ASecondParseStartsAgainAtTheFirstEntry) {
    Write(NumberedList(600, "600"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    DownloadFileList first;
    list.SwapEntries(first);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries(), first);
}

TEST_F(DownloadList, FileCountForms) {
    struct Case {
        const char* count;
        size_t entries;
    } cases[] = {
        {"0x10", 16}, {"0X10", 16}, {"7 files", 7}, {"7abc", 7}, {"12", 12},  {" 9 ", 9},           {"0x", 0},
        {"0", 0},     {"abc", 0},   {"", 0},        {"-4", 0},   {"0x1g", 0}, {"0xFFFFFFFFFF", 20},
    };
    for (const Case& c : cases) {
        Write(NumberedList(20, c.count));
        DownloadFileList none;
        list.SwapEntries(none);
        const int result = list.Parse();
        EXPECT_EQ(list.GetEntries().size(), c.entries) << "FileCount=" << c.count;
        EXPECT_EQ(result, c.entries ? CDownloadListConfig::kParseDone : CDownloadListConfig::kParseFailed)
            << "FileCount=" << c.count;
    }
}

TEST_F(DownloadList, AHugeFileCountOverAFewEntriesEndsAtOnce) {
    Write(ListHead("2147483647") + ListEntry(0, "a") + ListEntry(2000000000, "far") + ListEntry(5, "b"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries(), (DownloadFileList{L"a", L"b", L"far"}));
}

TEST_F(DownloadList, IncompleteEntriesAreSkipped) {
    Write(ListHead("6") + ListEntry(0, "a") + "[1]\r\nSrc=\r\n" + "[2]\r\nDst=x\r\n" + ListEntry(4, "e") +
          "[05]\r\nSrc=not-an-entry-name\r\n" + ListEntry(6, "beyond-the-count"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries(), (DownloadFileList{L"a", L"e"}));
}

TEST_F(DownloadList, ValuesOf260CharactersOrMoreAreRefused) {
    const std::string fits(259, 'n');
    const std::string tooLong(260, 'l');
    const std::string wayTooLong(5000, 'w');
    Write(ListHead("3") + ListEntry(0, fits) + ListEntry(1, tooLong) + ListEntry(2, wayTooLong));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1u);
    EXPECT_EQ(list.GetEntries()[0], std::wstring(259, L'n'));

    Write(ListHead("1") + ListEntry(0, tooLong));
    DownloadFileList none;
    list.SwapEntries(none);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseFailed);
    EXPECT_TRUE(list.GetEntries().empty());
}

TEST_F(DownloadList, ValuesAreAnsiTextOrUtf8AfterItsSignature) {
    const std::string ansi =
        "dir\\n\xE9"
        "e.dat";
    Write(ListHead("1") + ListEntry(0, ansi));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1u);
    EXPECT_EQ(list.GetEntries()[0], fund::win::code_page_to_wide(ansi, CP_ACP));

    Write("\xEF\xBB\xBF" + ListHead("1") + ListEntry(0, "\xE6\x95\xB0\xE6\x8D\xAE.dat"));
    DownloadFileList none;
    list.SwapEntries(none);
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1u);
    EXPECT_EQ(list.GetEntries()[0], L"\x6570\x636E.dat");
}

TEST_F(DownloadList, QuitFlagGivesUpAndLeavesTheListEmpty) {
    Write(NumberedList(1200, "1200"));
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseMore);
    list.SetQuit();
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseQuit);
    EXPECT_TRUE(list.GetEntries().empty());
    EXPECT_TRUE(list.IsQuit());
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseQuit);  // never cleared
}

TEST_F(DownloadList, MissingAndMalformedFilesFail) {
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseFailed);  // no file

    CreateDirectoryW((folder / L"DLList_1.ini").c_str(), nullptr);  // a folder of that name
    EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseFailed);
    RemoveDirectoryW((folder / L"DLList_1.ini").c_str());

    const std::string malformed[] = {
        "",
        "FileCount=3\r\n[0]\r\nSrc=a\r\n",  // no [ListConfig]
        "[ListConfig]\r\n",
        "[ListConfig\r\nFileCount=1\r\n[0\r\nSrc=a\r\n",
        std::string("\0\0\0[ListConfig]\0FileCount=1\0[0]\0Src=a", 37),
        std::string(100000, '['),
        std::string(100000, '\xFF'),
        "[ListConfig]\r\nFileCount=1\r\n[0]\r\nSrc\r\n",
    };
    for (const std::string& text : malformed) {
        Write(text);
        EXPECT_EQ(list.Parse(), CDownloadListConfig::kParseFailed) << text.substr(0, 40);
        EXPECT_TRUE(list.GetEntries().empty());
    }
}

}  // namespace

namespace {

// Damaged copies of a valid list (bytes overwritten, cut short): every
// parse ends with one of its result codes, and each name it yields was
// read from the file within the length limit.
TEST_F(DownloadList, DamagedListsEndCleanly) {
    std::string valid = ListHead("0x600");
    for (long i = 0; i < 1536; ++i) valid += ListEntry(i, "dir\\f" + std::to_string(i));
    const unsigned seed = GetTickCount();
    std::printf("seed %u\n", seed);
    srand(seed);
    for (int round = 0; round < 60; ++round) {
        std::string damaged = valid;
        const int changes = 1 + rand() % 40;
        for (int c = 0; c < changes; ++c) damaged[rand() % damaged.size()] = static_cast<char>(rand() % 256);
        if (round % 3 == 0) damaged.resize(rand() % damaged.size());
        Write(damaged);
        DownloadFileList none;
        list.SwapEntries(none);
        int result = CDownloadListConfig::kParseMore;
        int calls = 0;
        while (result == CDownloadListConfig::kParseMore && calls < 10) {
            result = list.Parse();
            ++calls;
        }
        EXPECT_TRUE(result == CDownloadListConfig::kParseDone || result == CDownloadListConfig::kParseFailed)
            << "seed " << seed << " round " << round << " result " << result;
        EXPECT_LE(calls, 4) << "seed " << seed << " round " << round;
        for (const std::wstring& name : list.GetEntries()) EXPECT_LT(name.size(), 260u);
    }
}

}  // namespace
