// Settings file, launcher version file and base folder.

#include "PluginSettings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "TempFolder.h"

namespace {

const char kData[] = "Sidlo\\mmog_data.xml";

TEST(BaseFolder, TwoLevelsAboveTheModule)
{
    EXPECT_EQ("C:\\Game", BaseFolderOf("C:\\Game\\Plugin\\Brevik.dll"));
    EXPECT_EQ("C:", BaseFolderOf("C:\\Plugin\\Brevik.dll"));
    EXPECT_EQ("", BaseFolderOf("Plugin\\Brevik.dll"));   // one backslash only
    EXPECT_EQ("", BaseFolderOf("Brevik.dll"));
    EXPECT_EQ("", BaseFolderOf("\\Brevik.dll"));
    EXPECT_EQ("", BaseFolderOf("\\Plugin\\Brevik.dll"));  // nothing left
}

TEST(BaseFolder, OfThisProgram)
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    EXPECT_EQ(BaseFolderOf(path), GetBaseFolder());
    EXPECT_FALSE(GetBaseFolder().empty());
}

TEST(PluginSettings, PathsInTheBaseFolder)
{
    CPluginSettings settings("C:\\Game");
    EXPECT_EQ("C:\\Game\\morlfixedconfig.ini", settings.SettingsPath());
    EXPECT_EQ("C:\\Game\\Sidlo\\mmog_data.xml", settings.DataFilePath());
    CPluginSettings none("");
    EXPECT_EQ("\\morlfixedconfig.ini", none.SettingsPath());
    EXPECT_EQ("\\Sidlo\\mmog_data.xml", none.DataFilePath());
}

TEST(PluginSettings, MissingFileReadsAsDefaults)
{
    TempFolder base;
    CPluginSettings settings(base.Path());
    EXPECT_TRUE(settings.IsVersionEmpty());
    EXPECT_EQ("", settings.ReadVersion());
    EXPECT_TRUE(settings.ReadBeCancel());
    EXPECT_EQ(1, settings.ReadMicroVersionType());
}

TEST(PluginSettings, WritingCreatesTheFileAndReadsBack)
{
    TempFolder base;
    CPluginSettings settings(base.Path());
    settings.WriteVersion("1.2.3.4");
    settings.WriteBeCancel();
    EXPECT_TRUE(base.Exists("morlfixedconfig.ini"));
    EXPECT_EQ("1.2.3.4", settings.ReadVersion());
    EXPECT_FALSE(settings.IsVersionEmpty());
    EXPECT_FALSE(settings.ReadBeCancel());
}

TEST(PluginSettings, RecordedVersionIsReadAsAtMostFifteenCharacters)
{
    TempFolder base;
    base.Write("morlfixedconfig.ini", "[MORL]\r\nversion=1234567890.23456789\r\n");
    CPluginSettings settings(base.Path());
    EXPECT_EQ("1234567890.2345", settings.ReadVersion());
}

TEST(PluginSettings, MicroVersionTypeBelowOneCountsAsOne)
{
    TempFolder base;
    CPluginSettings settings(base.Path());
    const struct { const char* text; int expected; } rows[] = {
        {"0", 1}, {"-4", 1}, {"1", 1}, {"2", 2}, {"17", 17}, {"", 1}, {"abc", 1},
    };
    for (const auto& row : rows) {
        base.Write("morlfixedconfig.ini",
                   std::string("[MORL]\r\nMicroVersionType=") + row.text + "\r\n");
        EXPECT_EQ(row.expected, settings.ReadMicroVersionType()) << row.text;
    }
}

TEST(PluginSettings, BeCancelIsSetOnlyByAnyNonZeroValue)
{
    TempFolder base;
    CPluginSettings settings(base.Path());
    base.Write("morlfixedconfig.ini", "[MORL]\r\nbecancel=0\r\n");
    EXPECT_TRUE(settings.ReadBeCancel());
    base.Write("morlfixedconfig.ini", "[MORL]\r\nbecancel=2\r\n");
    EXPECT_FALSE(settings.ReadBeCancel());
}

std::string Xml(const std::string& inner)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>" + inner + "</Root>\n";
}

TEST(ClientVersion, FoundUnderClientConfAndVersionData)
{
    TempFolder base;
    const std::string path = base.Write(
        kData, Xml("<Other><Version>9.9</Version></Other>"
                   "<ClientConf><VersionData><Version>3.1.4.1</Version></VersionData>"
                   "</ClientConf>"));
    std::string version = "0.0.0.0";
    ReadClientVersion(path, version);
    EXPECT_EQ("3.1.4.1", version);
}

TEST(ClientVersion, FoundDepthFirstWhenNestedDeeper)
{
    TempFolder base;
    const std::string path = base.Write(
        kData, Xml("<A><ClientConf><B><VersionData><Extra><Version>2.0</Version></Extra>"
                   "<Version>1.0</Version></VersionData></B></ClientConf></A>"));
    std::string version;
    ReadClientVersion(path, version);
    EXPECT_EQ("2.0", version);
}

TEST(ClientVersion, TheRootItselfMayMatch)
{
    TempFolder base;
    const std::string path = base.Write(
        kData, "<ClientConf><VersionData><Version>5</Version></VersionData></ClientConf>");
    std::string version;
    ReadClientVersion(path, version);
    EXPECT_EQ("5", version);
}

TEST(ClientVersion, NamesAreCaseSensitiveAndFailuresKeepTheValue)
{
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
    ReadClientVersion(base.Write("noversion.xml", Xml("<ClientConf><VersionData/></ClientConf>")),
                      version);
    EXPECT_EQ("0.0.0.0", version);
}

TEST(ClientVersion, ElementWithoutTextGivesAnEmptyVersion)
{
    TempFolder base;
    std::string version = "0.0.0.0";
    ReadClientVersion(base.Write("empty.xml", Xml("<ClientConf><VersionData><Version><X/>"
                                                  "</Version></VersionData></ClientConf>")),
                      version);
    EXPECT_EQ("", version);
}

TEST(ClientVersion, LongTextIsCutTo258Characters)
{
    TempFolder base;
    const std::string longText(400, '7');
    std::string version;
    ReadClientVersion(base.Write("long.xml", Xml("<ClientConf><VersionData><Version>" + longText +
                                                 "</Version></VersionData></ClientConf>")),
                      version);
    EXPECT_EQ(std::string(258, '7'), version);
}

TEST(ClientVersion, BufferKeepsTheLastValueRead)
{
    TempFolder base;
    CPluginSettings settings(base.Path());
    base.Write(kData, Xml("<ClientConf><VersionData><Version>7.7</Version></VersionData>"
                          "</ClientConf>"));
    EXPECT_EQ("7.7", settings.GetClientVersion());
    base.Remove(kData);
    // The file went away: the process-wide buffer keeps its value.
    EXPECT_EQ("7.7", settings.GetClientVersion());
}

}  // namespace
