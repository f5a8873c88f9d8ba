// UTF-8 <-> UTF-16: round trips, text beyond ASCII and the Basic
// Multilingual Plane, replacement of what is not text, empty input.

#include "fund/win/text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using fund::win::code_page_to_wide;
using fund::win::utf8_to_wide;
using fund::win::wide_to_utf8;

TEST(Text, RoundTrips) {
    const char* samples[] = {
        "plain ASCII",
        "caf\xC3\xA9",               // é: two bytes
        "\xE4\xBF\xAE\xE5\xA4\x8D",  // 修复: three bytes each
        "\xF0\x9F\x98\x80 face",     // U+1F600: four bytes, a surrogate pair
        "D:\\Games\\\xE6\xB8\xB8\xE6\x88\x8F\\data.qov",
    };
    for (const char* sample : samples) {
        const std::wstring wide = utf8_to_wide(sample);
        EXPECT_EQ(wide_to_utf8(wide), sample);
    }
    EXPECT_EQ(utf8_to_wide("caf\xC3\xA9"), L"caf\u00E9");
    EXPECT_EQ(utf8_to_wide("\xE4\xBF\xAE\xE5\xA4\x8D"), L"\u4FEE\u590D");
    const std::wstring pair = utf8_to_wide("\xF0\x9F\x98\x80");
    ASSERT_EQ(pair.size(), 2u);
    EXPECT_EQ(pair[0], static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(pair[1], static_cast<wchar_t>(0xDE00));
}

TEST(Text, EmptyInEmptyOut) {
    EXPECT_EQ(utf8_to_wide(""), L"");
    EXPECT_EQ(utf8_to_wide(std::string_view()), L"");
    EXPECT_EQ(utf8_to_wide(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(wide_to_utf8(L""), "");
    EXPECT_EQ(wide_to_utf8(std::wstring_view()), "");
    EXPECT_EQ(wide_to_utf8(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(code_page_to_wide("", CP_ACP), L"");
}

TEST(Text, TheWholeInputIsConvertedEmbeddedNullsToo) {
    const std::string utf8("a\0b", 3);
    const std::wstring wide = utf8_to_wide(utf8);
    EXPECT_EQ(wide, std::wstring(L"a\0b", 3));
    EXPECT_EQ(wide_to_utf8(wide), utf8);
    // A view of part of a string stops where the view does.
    EXPECT_EQ(utf8_to_wide(std::string_view("abcdef", 3)), L"abc");
}

TEST(Text, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    EXPECT_EQ(utf8_to_wide("abc\xFF"
                           "def"),
              L"abc\uFFFDdef");
    EXPECT_EQ(utf8_to_wide("\xC0\x80"), L"\uFFFD\uFFFD");  // an overlong null
    const std::wstring cut = utf8_to_wide("ok\xE4\xBF");   // a sequence cut short
    ASSERT_GE(cut.size(), 3u);
    EXPECT_EQ(cut.substr(0, 2), L"ok");
    EXPECT_EQ(cut.find_first_not_of(L'\uFFFD', 2), std::wstring::npos);
}

TEST(Text, UnpairedSurrogatesBecomeReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(wide_to_utf8(std::wstring(1, static_cast<wchar_t>(0xD800))), replacement);
    EXPECT_EQ(wide_to_utf8(std::wstring{L'a', static_cast<wchar_t>(0xDC00), L'b'}), "a" + replacement + "b");
}

TEST(Text, OtherCodePages) {
    EXPECT_EQ(code_page_to_wide("ASCII is the same", CP_ACP), L"ASCII is the same");
    EXPECT_EQ(code_page_to_wide("caf\xC3\xA9", CP_UTF8), L"caf\u00E9");
    EXPECT_EQ(code_page_to_wide("caf\xE9", 1252), L"caf\u00E9");
}

}  // namespace
