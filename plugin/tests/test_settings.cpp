// Settings file, launcher version file and base folder.

#include "PluginSettings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include <fund/win/text.h>

#include "TempFolder.h"

namespace {

const char kData[] = "Sidlo\\mmog_data.xml";

// The tests' scratch paths are ASCII.
void ReadClientVersion(const std::string& path, std::string& version) {
    ::ReadClientVersion(fund::win::utf8_to_wide(path), version);
}

TEST(BaseFolder, TwoLevelsAboveTheModule) {
    EXPECT_EQ(L"C:\\Game", BaseFolderOf(L"C:\\Game\\Plugin\\Brevik.dll"));
    EXPECT_EQ(L"C:", BaseFolderOf(L"C:\\Plugin\\Brevik.dll"));
    EXPECT_EQ(L"", BaseFolderOf(L"Plugin\\Brevik.dll"));  // one backslash only
    EXPECT_EQ(L"", BaseFolderOf(L"Brevik.dll"));
    EXPECT_EQ(L"", BaseFolderOf(L"\\Brevik.dll"));
    EXPECT_EQ(L"", BaseFolderOf(L"\\Plugin\\Brevik.dll"));  // nothing left
}

TEST(BaseFolder, OfThisProgram) {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_EQ(BaseFolderOf(path), GetBaseFolder());
    EXPECT_FALSE(GetBaseFolder().empty());
}

TEST(PluginSettings, PathsInTheBaseFolder) {
    CPluginSettings settings(L"C:\\Game");
    EXPECT_EQ(L"C:\\Game\\morlfixedconfig.ini", settings.SettingsPath());
    EXPECT_EQ(L"C:\\Game\\Sidlo\\mmog_data.xml", settings.DataFilePath());
    CPluginSettings none(L"");
    EXPECT_EQ(L"\\morlfixedconfig.ini", none.SettingsPath());
    EXPECT_EQ(L"\\Sidlo\\mmog_data.xml", none.DataFilePath());
}

TEST(PluginSettings, MissingFileReadsAsDefaults) {
    TempFolder base;
    CPluginSettings settings(base.WidePath());
    EXPECT_TRUE(settings.IsVersionEmpty());
    EXPECT_EQ("", settings.ReadVersion());
    EXPECT_TRUE(settings.ReadBeCancel());
    EXPECT_EQ(1, settings.ReadMicroVersionType());
}

TEST(PluginSettings, WritingCreatesTheFileAndReadsBack) {
    TempFolder base;
    CPluginSettings settings(base.WidePath());
    settings.WriteVersion("1.2.3.4");
    settings.WriteBeCancel();
    EXPECT_TRUE(base.Exists("morlfixedconfig.ini"));
    EXPECT_EQ("1.2.3.4", settings.ReadVersion());
    EXPECT_FALSE(settings.IsVersionEmpty());
    EXPECT_FALSE(settings.ReadBeCancel());
}

TEST(PluginSettings, RecordedVersionIsReadAsAtMostFifteenCharacters) {
    TempFolder base;
    base.Write("morlfixedconfig.ini", "[MORL]\r\nversion=1234567890.23456789\r\n");
    CPluginSettings settings(base.WidePath());
    EXPECT_EQ("1234567890.2345", settings.ReadVersion());
}

TEST(PluginSettings, MicroVersionTypeBelowOneCountsAsOne) {
    TempFolder base;
    CPluginSettings settings(base.WidePath());
    const struct {
        const char* text;
        int expected;
    } rows[] = {
        {"0", 1}, {"-4", 1}, {"1", 1}, {"2", 2}, {"17", 17}, {"", 1}, {"abc", 1},
    };
    for (const auto& row : rows) {
        base.Write("morlfixedconfig.ini", std::string("[MORL]\r\nMicroVersionType=") + row.text + "\r\n");
        EXPECT_EQ(row.expected, settings.ReadMicroVersionType()) << row.text;
    }
}

TEST(PluginSettings, BeCancelIsSetOnlyByAnyNonZeroValue) {
    TempFolder base;
    CPluginSettings settings(base.WidePath());
    base.Write("morlfixedconfig.ini", "[MORL]\r\nbecancel=0\r\n");
    EXPECT_TRUE(settings.ReadBeCancel());
    base.Write("morlfixedconfig.ini", "[MORL]\r\nbecancel=2\r\n");
    EXPECT_FALSE(settings.ReadBeCancel());
}

std::string Xml(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>" + inner + "</Root>\n";
}

TEST(ClientVersion, FoundUnderClientConfAndVersionData) {
    TempFolder base;
    const std::string path =
        base.Write(kData, Xml("<Other><Version>9.9</Version></Other>"
                              "<ClientConf><VersionData><Version>3.1.4.1</Version></VersionData>"
                              "</ClientConf>"));
    std::string version = "0.0.0.0";
    ReadClientVersion(path, version);
    EXPECT_EQ("3.1.4.1", version);
}

TEST(ClientVersion, FoundDepthFirstWhenNestedDeeper) {
    TempFolder base;
    const std::string path =
        base.Write(kData, Xml("<A><ClientConf><B><VersionData><Extra><Version>2.0</Version></Extra>"
                              "<Version>1.0</Version></VersionData></B></ClientConf></A>"));
    std::string version;
    ReadClientVersion(path, version);
    EXPECT_EQ("2.0", version);
}

TEST(ClientVersion, TheRootItselfMayMatch) {
    TempFolder base;
    const std::string path =
        base.Write(kData, "<ClientConf><VersionData><Version>5</Version></VersionData></ClientConf>");
    std::string version;
    ReadClientVersion(path, version);
    EXPECT_EQ("5", version);
}

TEST(ClientVersion, NamesAreCaseSensitiveAndFailuresKeepTheValue) {
    TempFolder base;
    std::string version = "0.0.0.0";
    ReadClientVersion(base.Path() + "\\missing.xml", version);
    EXPECT_EQ("0.0.0.0", version);
    ReadClientVersion(base.Write("bad.xml", "<Root><ClientConf>"), version);
    EXPECT_EQ("0.0.0.0", version);
    ReadClientVersion(base.Write("case.xml", Xml("<clientconf><VersionData><Version>1"
                                                 "</Version></VersionData></clientconf>")),
                      version);
    EXPECT_EQ("0.0.0.0", version);
    ReadClientVersion(base.Write("noversion.xml", Xml("<ClientConf><VersionData/></ClientConf>")), version);
    EXPECT_EQ("0.0.0.0", version);
}

TEST(ClientVersion, ElementWithoutTextGivesAnEmptyVersion) {
    TempFolder base;
    std::string version = "0.0.0.0";
    ReadClientVersion(base.Write("empty.xml", Xml("<ClientConf><VersionData><Version><X/>"
                                                  "</Version></VersionData></ClientConf>")),
                      version);
    EXPECT_EQ("", version);
}

TEST(ClientVersion, LongTextIsCutTo258Characters) {
    TempFolder base;
    const std::string longText(400, '7');
    std::string version;
    ReadClientVersion(base.Write("long.xml", Xml("<ClientConf><VersionData><Version>" + longText +
                                                 "</Version></VersionData></ClientConf>")),
                      version);
    EXPECT_EQ(std::string(258, '7'), version);
}

// A data file above the size limit, or nested deeper than a version file
// ever is, is refused before TinyXML sees it; one at the depth limit is
// read.
TEST(ClientVersion, ALargeOrDeepDataFileIsRefusedBeforeParsing) {
    TempFolder base;
    std::string version = "0.0.0.0";
    std::string large = Xml("<ClientConf><VersionData><Version>1.1</Version></VersionData></ClientConf>");
    large += std::string(kMaxDataFileBytes + 1 - large.size(), ' ');
    ReadClientVersion(base.Write("large.xml", large), version);
    EXPECT_EQ("0.0.0.0", version);

    std::string wrapped = "<ClientConf><VersionData><Version>6.4</Version></VersionData></ClientConf>";
    for (size_t depth = 3; depth < kMaxDataFileDepth; ++depth) wrapped = "<W>" + wrapped + "</W>";
    ReadClientVersion(base.Write("limit.xml", wrapped), version);
    EXPECT_EQ("6.4", version);
    ReadClientVersion(base.Write("beyond.xml", "<W>" + wrapped + "</W>"), version);
    EXPECT_EQ("6.4", version);
}

// Set once the deep data file was read and refused (a thread that dies of
// its stack never sets it).
std::atomic<bool> g_deepFileRefused{false};
std::wstring g_deepFile;

DWORD WINAPI ReadDeepFile(void*) {
    std::string version = "0.0.0.0";
    ::ReadClientVersion(g_deepFile, version);
    g_deepFileRefused = version == "0.0.0.0";
    return 0;
}

// One megabyte nested 300,000 deep, read on a thread with the program's
// default stack, in a child process: without the check TinyXML's recursion
// runs out of stack.
TEST(ClientVersion, AMegabyteNestedThreeHundredThousandDeepIsRefused) {
    TempFolder base;
    std::string deep;
    while (deep.size() + 3 <= kMaxDataFileBytes) deep += "<a>";
    g_deepFile = fund::win::utf8_to_wide(base.Write("deep.xml", deep));
    EXPECT_EXIT(
        {
            HANDLE thread = CreateThread(nullptr, 0, &ReadDeepFile, nullptr, 0, nullptr);
            if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
            std::exit(g_deepFileRefused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// The recorded version in a folder with characters outside the ANSI code
// page and a path longer than MAX_PATH: written and read through the one
// wide path.
TEST(PluginSettings, ANonAsciiAndLongBaseFolderWorksLikeAPlainOne) {
    TempFolder scratch;
    std::wstring base = scratch.WidePath() + L"\\游戏_ünï";
    CreateDirectoryW(base.c_str(), nullptr);
    while (base.size() < MAX_PATH) {
        base += L"\\" + std::wstring(40, L'长');
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr)) << GetLastError();
    }
    CPluginSettings settings(base);
    EXPECT_TRUE(settings.IsVersionEmpty());
    settings.WriteVersion("2.0.0.1");
    settings.WriteBeCancel();
    EXPECT_EQ("2.0.0.1", settings.ReadVersion());
    EXPECT_FALSE(settings.ReadBeCancel());
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(settings.SettingsPath().c_str()));
}

TEST(ClientVersion, BufferKeepsTheLastValueRead) {
    TempFolder base;
    CPluginSettings settings(base.WidePath());
    base.Write(kData, Xml("<ClientConf><VersionData><Version>7.7</Version></VersionData>"
                          "</ClientConf>"));
    EXPECT_EQ("7.7", settings.GetClientVersion());
    base.Remove(kData);
    // The file went away: the process-wide buffer keeps its value.
    EXPECT_EQ("7.7", settings.GetClientVersion());
}

}  // namespace
