// The plug-in's debug trace: a printf-style wide line cut at 260 units,
// on standard output with a newline.

#include "fund/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring line = fund::FormatTrace(format, args);
    va_end(args);
    return line;
}

TEST(TraceTest, FormatsLikePrintf) {
    EXPECT_EQ(Format(L"CSyncMgr::Init"), L"CSyncMgr::Init");
    EXPECT_EQ(Format(L"CMORLThread::ProcessMsg msg:%u wparam:%u lparam %u", 1024u, 5u, 0u),
              L"CMORLThread::ProcessMsg msg:1024 wparam:5 lparam 0");
    EXPECT_EQ(Format(L"[%ls][%d]", L"name", -3), L"[name][-3]");
    EXPECT_EQ(Format(nullptr), L"");
}

TEST(TraceTest, CutsAt260Units) {
    const std::wstring exact(260, L'a');
    EXPECT_EQ(Format(L"%ls", exact.c_str()), exact);
    const std::wstring longer(1000, L'b');
    EXPECT_EQ(Format(L"%ls", longer.c_str()), std::wstring(260, L'b'));
    EXPECT_EQ(Format(L"x%ls", longer.c_str()), L"x" + std::wstring(259, L'b'));
    const std::wstring huge(100000, L'c');
    EXPECT_EQ(Format(L"%ls", huge.c_str()).size(), 260u);
}

#if defined(_WIN32)
TEST(TraceTest, NeverEndsInHalfASurrogatePair) {
    // 259 units, then a character outside the BMP (two units): the pair
    // does not fit and goes as a whole.
    std::wstring text(259, L'd');
    text += L"\xD83D\xDE00";
    EXPECT_EQ(Format(L"%ls", text.c_str()), std::wstring(259, L'd'));
}
#endif

TEST(TraceTest, WritesTheLineWithANewlineToStandardOutput) {
    testing::internal::CaptureStdout();
    Trace(L"CMORLPlugin::%ls %d", L"BeginMORLRepair", 1);
    Trace(L"%ls", std::wstring(300, L'e').c_str());
    Trace(L"\x4FEE\x590D");  // Chinese text comes out as UTF-8
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "CMORLPlugin::BeginMORLRepair 1\n" + std::string(260, 'e') + "\n\xE4\xBF\xAE\xE5\xA4\x8D\n");
}

}  // namespace
