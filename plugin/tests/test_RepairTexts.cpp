// The host-visible texts, checked code unit by code unit against escapes so
// that a wrong character or source encoding shows, and the status lines.

#include "RepairTexts.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::wstring kUnknownRepair = L"\u672a\u77e5\u4fee\u590d\u9519\u8bef";
const std::wstring kUnknownEngine = L"\u672a\u77e5\u4fee\u590d\u9519\u8bef\u3002";
const std::wstring kUpdating = L"\u6b63\u5728\u66f4\u65b0\u6570\u636e\u6587\u4ef6...";
const std::wstring kSpeedLabel = kUpdating + L" \u66f4\u65b0\u901f\u5ea6\uff1a";
const std::wstring kLineLabel = L"  \u66f4\u65b0\u8fdb\u5ea6\uff1a";

TEST(RepairTexts, RepairFailTableExact) {
    const struct {
        int code;
        const wchar_t* text;
    } rows[] = {
        {0, L"\u8fb9\u73a9\u8fb9\u4e0b\u6a21\u5757\u521d\u59cb\u5316\u5931\u8d25"},
        {1, L"\u89e3\u6790\u4e0b\u8f7d\u5217\u8868\u5931\u8d25"},
        {3, L"\u83b7\u53d6\u4e0b\u8f7d\u5217\u8868\u5931\u8d25"},
        {4, L"\u51c6\u5907\u4e0b\u8f7d\u6587\u4ef6\u65f6\u5931\u8d25"},
        {5, L"\u4e0b\u8f7d\u6587\u4ef6\u8bbe\u7f6e\u72b6\u6001\u5931\u8d25"},
        {6, L"\u4e0b\u8f7d\u6587\u4ef6\u5931\u8d25"},
        {7, L"\u89e3\u6790\u89e3\u538b\u5217\u8868\u5931\u8d25"},
        {9, L"\u83b7\u53d6\u89e3\u538b\u5217\u8868\u5931\u8d25"},
        {10, L"\u51c6\u5907\u89e3\u538b\u6587\u4ef6\u65f6\u5931\u8d25"},
        {11, L"\u89e3\u538b\u6587\u4ef6\u5931\u8d25"},
    };
    for (const auto& row : rows) EXPECT_EQ(std::wstring(row.text), RepairFailText(row.code)) << row.code;
    // Codes 2 and 8 are never shown; the rest of the integers are unknown.
    for (int code : {2, 8, 12, -1, 1000, INT32_MIN, INT32_MAX})
        EXPECT_EQ(kUnknownRepair, RepairFailText(code)) << code;
}

TEST(RepairTexts, EngineFailTableExact) {
    const std::wstring restart =
        L"\u8bf7\u91cd\u65b0\u542f\u52a8\u8fdb\u884c\u4fee\u590d\uff0c\u82e5\u7ee7\u7eed"
        L"\u5931\u8d25\uff0c\u8bf7\u624b\u52a8\u4fee\u590d\u3002";
    const std::wstring disk =
        L"\u78c1\u76d8\u7a7a\u95f4\u4e0d\u8db3\u6216\u6587\u4ef6\u88ab\u5360\u7528\u3002"
        L"\u8bf7\u68c0\u67e5\u78c1\u76d8\u5bb9\u91cf\u6216\u662f\u5426\u6709\u5360\u7528"
        L"\u8fdb\u7a0b\u3002";
    EXPECT_EQ(restart, EngineFailText(0));
    EXPECT_EQ(restart, EngineFailText(1));
    EXPECT_EQ(restart, EngineFailText(2));
    EXPECT_EQ(disk, EngineFailText(3));
    EXPECT_EQ(disk, EngineFailText(4));
    EXPECT_EQ(std::wstring(L"\u786c\u76d8\u4e0d\u652f\u6301\u5feb\u901f\u5b89\u88c5"), EngineFailText(5));
    EXPECT_EQ(std::wstring(L"\u5185\u90e8\u5f02\u5e38\u9519\u8bef\u3002\u8bf7\u91cd\u65b0"
                           L"\u542f\u52a8\u8fdb\u884c\u4fee\u590d"),
              EngineFailText(6));
    EXPECT_EQ(std::wstring(L"\u6587\u4ef6\u88ab\u5360\u7528\u3002"), EngineFailText(7));
    EXPECT_EQ(std::wstring(L"\u52a0\u8f7d\u6587\u4ef6\u51fa\u9519\uff0c\u8bf7\u91cd\u65b0"
                           L"\u542f\u52a8\u8fdb\u884c\u4fee\u590d\u3002"),
              EngineFailText(8));
    EXPECT_EQ(std::wstring(L"MORL\u8fdb\u7a0b\u88ab\u5f3a\u5236\u5173\u95ed\u3002"), EngineFailText(9));
    for (int code : {10, -1, 0x60000026, INT32_MIN}) EXPECT_EQ(kUnknownEngine, EngineFailText(code)) << code;
}

TEST(RepairTexts, ProgressTableExact) {
    EXPECT_EQ(std::wstring(L"\u6b63\u5728\u4fee\u590d\u635f\u574f\u7684\u6570\u636e\u6587\u4ef6"),
              ProgressText(0));
    EXPECT_EQ(kSpeedLabel + L"%u KB/s", ProgressText(1));
    EXPECT_EQ(kSpeedLabel + L"%u B/s", ProgressText(2));
    EXPECT_EQ(kSpeedLabel + L"10 B/s", ProgressText(3));
    EXPECT_EQ(kUpdating, ProgressText(4));
    EXPECT_EQ(std::wstring(L"\u6821\u9a8c\u6570\u636e\u5b8c\u6210"), ProgressText(5));
    EXPECT_EQ(std::wstring(), ProgressText(6));
    EXPECT_EQ(std::wstring(), ProgressText(-1));
}

TEST(RepairTexts, SpeedTextAtItsBoundaries) {
    // 0 is the fixed text, with no placeholder left in it.
    EXPECT_EQ(kSpeedLabel + L"10 B/s", SpeedText(0));
    EXPECT_EQ(std::wstring::npos, SpeedText(0).find(L'%'));
    EXPECT_EQ(kSpeedLabel + L"1 B/s", SpeedText(1));
    EXPECT_EQ(kSpeedLabel + L"1024 B/s", SpeedText(1024));
    EXPECT_EQ(kSpeedLabel + L"1 KB/s", SpeedText(1025));
    EXPECT_EQ(kSpeedLabel + L"2 KB/s", SpeedText(2048));
    EXPECT_EQ(kSpeedLabel + L"4194303 KB/s", SpeedText(0xFFFFFFFFu));
}

TEST(RepairTexts, ProgressLineShowsOneDecimal) {
    EXPECT_EQ(kUpdating + kLineLabel + L"0.0%", ProgressLine(kUpdating, 0));
    EXPECT_EQ(kUpdating + kLineLabel + L"0.1%", ProgressLine(kUpdating, 1));
    EXPECT_EQ(kUpdating + kLineLabel + L"45.7%", ProgressLine(kUpdating, 457));
    EXPECT_EQ(kUpdating + kLineLabel + L"99.9%", ProgressLine(kUpdating, 999));
    EXPECT_EQ(kUpdating + kLineLabel + L"100.0%", ProgressLine(kUpdating, 1000));
    const std::wstring withSpeed = ProgressLine(SpeedText(2048), 1000);
    EXPECT_EQ(kSpeedLabel + L"2 KB/s" + kLineLabel + L"100.0%", withSpeed);
}

TEST(RepairTexts, ProgressLineIsCutToItsBuffer) {
    const std::wstring longText(100, L'x');
    const std::wstring line = ProgressLine(longText, 500);
    EXPECT_EQ(kProgressLineUnits - 1, line.size());
    EXPECT_EQ(std::wstring(63, L'x'), line);
    // The longest real line fits whole.
    const std::wstring widest = ProgressLine(SpeedText(0xFFFFFFFFu), 1000);
    EXPECT_LT(widest.size(), kProgressLineUnits);
    EXPECT_EQ(L'%', widest.back());
}

TEST(RepairTexts, DownloadTickTellsTheHostBelowOneThousandOnly) {
    const ProgressReport running = DownloadProgressReport(457, 1025);
    EXPECT_TRUE(running.notify);
    EXPECT_EQ(45, running.percent);
    EXPECT_EQ(kSpeedLabel + L"1 KB/s" + kLineLabel + L"45.7%", running.line);
    EXPECT_EQ(kSpeedLabel + L"10 B/s" + kLineLabel + L"0.0%", DownloadProgressReport(0, 0).line);
    const ProgressReport done = DownloadProgressReport(1000, 2048);
    EXPECT_FALSE(done.notify);
    EXPECT_EQ(100, done.percent);
}

TEST(RepairTexts, RestoreTickAlwaysTellsTheHost) {
    const ProgressReport done = RestoreProgressReport(1000);
    EXPECT_TRUE(done.notify);
    EXPECT_EQ(100, done.percent);
    EXPECT_EQ(kUpdating + kLineLabel + L"100.0%", done.line);
    EXPECT_EQ(L"100.0%", done.line.substr(done.line.size() - 6));
    const ProgressReport start = RestoreProgressReport(9);
    EXPECT_EQ(0, start.percent);
    EXPECT_EQ(kUpdating + kLineLabel + L"0.9%", start.line);
}

}  // namespace
