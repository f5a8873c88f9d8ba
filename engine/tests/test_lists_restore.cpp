// The restore list: (Src, Dst) pairs in one call, incomplete and over-long
// entries, the quit flag, missing files.

#include <string>

#include <gtest/gtest.h>

#include "CRestoreListConfig.h"
#include "test_lists_support.h"

namespace {

class RestoreList : public ::testing::Test {
protected:
    void Write(const std::string& text) { WriteBytes(folder / L"RTList_2.ini", text); }

    ScratchFolder folder;
    CRestoreListConfig list{folder.Path()};

    void SetUp() override { list.AppendFileName(L"2.ini"); }
};

TEST_F(RestoreList, FileNameIsTheStemUntilTheVersionStepAppendsToIt) {
    CRestoreListConfig fresh(L"D:\\p");
    EXPECT_EQ(fresh.GetFileName(), L"RTList_");
    fresh.AppendFileName(L"1.ini");
    EXPECT_EQ(fresh.GetFilePath(), L"D:\\p\\RTList_1.ini");
}

TEST_F(RestoreList, ReadsEveryPairInOneCall) {
    std::string text = ListHead("0x3E8");  // 1000
    for (long i = 0; i < 1000; ++i) text += ListEntry(i, "f" + std::to_string(i), "..\\bin");
    Write(text);
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseDone);
    ASSERT_EQ(list.GetEntries().size(), 1000u);
    EXPECT_EQ(list.GetEntries()[0], std::make_pair(std::wstring(L"f0"), std::wstring(L"..\\bin")));
    EXPECT_EQ(list.GetEntries()[999].first, L"f999");

    RestoreFileList taken;
    list.SwapEntries(taken);
    EXPECT_TRUE(list.GetEntries().empty());
    EXPECT_EQ(taken.size(), 1000u);
}

TEST_F(RestoreList, AnEntryNeedsBothSrcAndDst) {
    Write(ListHead("4") + ListEntry(0, "only-src") + "[1]\r\nDst=only-dst\r\n" + ListEntry(2, "a", "b") +
          "[3]\r\nSrc=c\r\nDst=\r\n");
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries(), (RestoreFileList{{L"a", L"b"}}));
}

TEST_F(RestoreList, AllIncompleteOrTooLongFails) {
    Write(ListHead("3") + ListEntry(0, "only-src") + ListEntry(1, "a", std::string(260, 'd')) +
          ListEntry(2, std::string(300, 's'), "b"));
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseFailed);
    EXPECT_TRUE(list.GetEntries().empty());

    Write(ListHead("1") + ListEntry(0, std::string(259, 's'), std::string(259, 'd')));
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries().size(), 1u);
}

TEST_F(RestoreList, FileCountTakesLeadingDigits) {
    Write(ListHead("2x") + ListEntry(0, "a", "d") + ListEntry(1, "b", "d") + ListEntry(2, "c", "d"));
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseDone);
    EXPECT_EQ(list.GetEntries().size(), 2u);
}

TEST_F(RestoreList, QuitFlagGivesUp) {
    Write(ListHead("2") + ListEntry(0, "a", "d") + ListEntry(1, "b", "d"));
    list.SetQuit();
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseQuit);
    EXPECT_TRUE(list.GetEntries().empty());
}

TEST_F(RestoreList, MissingOrEmptyFileFails) {
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseFailed);
    Write("");
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseFailed);
    Write(ListHead("0x"));
    EXPECT_EQ(list.Parse(), CRestoreListConfig::kParseFailed);
}

}  // namespace
