// The host stand-in's own parts: its command line, the form of its lines and
// the sink's verdict, without a plug-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostOptions.h"
#include "LineWriter.h"
#include "PrintingSink.h"
#include "fund/win/text.h"

namespace {

bool NeverFile(const std::wstring&) { return false; }
bool AlwaysFile(const std::wstring&) { return true; }

TEST(HostCommandLine, GameFolderDefaultsAndOptions) {
    auto parsed = ParseHostCommandLine({L"C:\\game"}, &NeverFile);
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->plugin_path, L"C:\\game\\MORL\\Brevik.dll");
    EXPECT_EQ(parsed.options->timeout_ms, 300000u);
    EXPECT_EQ(parsed.options->message_answer, 1);
    EXPECT_FALSE(parsed.options->timestamps);

    parsed = ParseHostCommandLine(
        {L"--plugin-dir", L"Plug", L"--timeout", L"7", L"--answer", L"6", L"--stop-on", L"更新速度",
         L"--linger", L"1500", L"--timestamps", L"--trace", L"t.txt", L"D:\\g\\"},
        &NeverFile);
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->plugin_path, L"D:\\g\\Plug\\Brevik.dll");
    EXPECT_EQ(parsed.options->timeout_ms, 7000u);
    EXPECT_EQ(parsed.options->message_answer, 6);
    EXPECT_EQ(parsed.options->stop_on, L"更新速度");
    EXPECT_FALSE(parsed.options->stop_exact);
    EXPECT_EQ(parsed.options->linger_ms, 1500u);
    EXPECT_TRUE(parsed.options->timestamps);
    EXPECT_EQ(parsed.options->trace_path, L"t.txt");
}

TEST(HostCommandLine, APluginFileIsTakenAsItIs) {
    auto parsed = ParseHostCommandLine({L"Z:\\x\\Brevik.dll"}, &AlwaysFile);
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->plugin_path, L"Z:\\x\\Brevik.dll");
    EXPECT_FALSE(ParseHostCommandLine({L"--plugin-dir", L"P", L"Z:\\x\\Brevik.dll"}, &AlwaysFile).options);
}

TEST(HostCommandLine, BadCommandLinesAreRefused) {
    const std::vector<std::vector<std::wstring>> bad = {
        {},
        {L"--timeout"},
        {L"--timeout", L"0", L"g"},
        {L"--timeout", L"-3", L"g"},
        {L"--timeout", L"99999999999", L"g"},
        {L"--timeout", L"4294968", L"g"},  // too many milliseconds for 32 bits
        {L"--answer", L"x", L"g"},
        {L"--linger", L"1e3", L"g"},
        {L"--stop-on", L"", L"g"},
        {L"--stop-on-exact", L"", L"g"},
        {L"--trace", L"", L"g"},
        {L"--frobnicate", L"g"},
        {L"g", L"h"},
    };
    for (const auto& args : bad) {
        const auto parsed = ParseHostCommandLine(args, &NeverFile);
        EXPECT_FALSE(parsed.options) << args.size();
        EXPECT_FALSE(parsed.message.empty());
    }
    const auto help = ParseHostCommandLine({L"--help"}, &NeverFile);
    EXPECT_TRUE(help.help);
    EXPECT_FALSE(help.options);
}

TEST(HostLines, EveryCallIsOneUtf8Line) {
    EXPECT_EQ(ProgressLine(42, L"正在更新数据文件... 更新速度：2 KB/s  更新进度：42.5%"),
              "OnProgress 42 正在更新数据文件... 更新速度：2 KB/s  更新进度：42.5%");
    EXPECT_EQ(ProgressLine(-1, nullptr), "OnProgress -1 ");
    EXPECT_EQ(SuccessLine(), "OnSuccess");
    EXPECT_EQ(FailLine(L"解压文件失败"), "OnFail 解压文件失败");
    EXPECT_EQ(MessageLine(L"包文件被破坏，请重新启动客户端", L"异常错误", 0, 1),
              "OnMessage flags=0 answer=1 caption=异常错误 text=包文件被破坏，请重新启动客户端");
    // Characters outside the basic plane travel as surrogate pairs.
    EXPECT_EQ(fund::win::wide_to_utf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fund::win::utf8_to_wide("校验数据完成"), L"校验数据完成");
}

// Reads what a LineWriter wrote into a pipe.
class CapturedLines {
public:
    CapturedLines() { CreatePipe(&read_, &write_, nullptr, 1 << 20); }
    ~CapturedLines() {
        CloseHandle(read_);
        if (write_) CloseHandle(write_);
    }
    HANDLE Out() const { return write_; }
    std::string Take() {
        CloseHandle(write_);
        write_ = nullptr;
        std::string all;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
        return all;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

TEST(HostSink, TheFirstVerdictCountsAndEveryCallIsPrinted) {
    CapturedLines capture;
    {
        LineWriter out(capture.Out(), false);
        PrintingSink sink(out, 6, L"");
        ASSERT_TRUE(sink.Ready());
        EXPECT_EQ(sink.Outcome(), RepairOutcome::kNone);
        EXPECT_EQ(WaitForSingleObject(sink.FinishedEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_EQ(sink.OnProgress(5, L"正在修复损坏的数据文件"), 1);
        EXPECT_EQ(sink.OnMessage(L"t", L"c", 0x30), 6);
        sink.OnFail(L"下载文件失败");
        sink.OnSuccess();
        EXPECT_EQ(sink.Outcome(), RepairOutcome::kFailure);
        EXPECT_EQ(WaitForSingleObject(sink.FinishedEvent(), 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(sink.StopRequestedEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_EQ(capture.Take(),
              "OnProgress 5 正在修复损坏的数据文件\n"
              "OnMessage flags=48 answer=6 caption=c text=t\n"
              "OnFail 下载文件失败\n"
              "OnSuccess\n");
}

TEST(HostSink, AProgressTextWithTheStopTextRequestsTheStop) {
    CapturedLines capture;
    LineWriter out(capture.Out(), false);
    PrintingSink sink(out, 1, L"更新速度");
    sink.OnProgress(0, L"正在更新数据文件...");
    EXPECT_EQ(WaitForSingleObject(sink.StopRequestedEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    sink.OnProgress(3, L"正在更新数据文件... 更新速度：10 B/s  更新进度：3.0%");
    EXPECT_EQ(WaitForSingleObject(sink.StopRequestedEvent(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(sink.Outcome(), RepairOutcome::kNone);
}

TEST(HostSink, AnExactStopTextMustBeTheWholeText) {
    CapturedLines capture;
    LineWriter out(capture.Out(), false);
    PrintingSink sink(out, 1, L"正在更新数据文件...", true);
    sink.OnProgress(3, L"正在更新数据文件... 更新速度：10 B/s  更新进度：3.0%");
    EXPECT_EQ(WaitForSingleObject(sink.StopRequestedEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    sink.OnProgress(0, L"正在更新数据文件...");
    EXPECT_EQ(WaitForSingleObject(sink.StopRequestedEvent(), 0), WAIT_OBJECT_0);
}

TEST(HostLineWriter, TimestampsPrefixEachLine) {
    CapturedLines capture;
    {
        LineWriter out(capture.Out(), true);
        out.Write("a");
        out.Write("b");
    }
    const std::string text = capture.Take();
    ASSERT_EQ(text.compare(0, 1, "+"), 0) << text;
    EXPECT_NE(text.find("ms a\n+"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 5), "ms b\n");
}

}  // namespace
