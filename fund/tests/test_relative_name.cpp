// Which relative names stay inside the folder they are joined onto: the
// check every name from an archive or a list passes before anything is
// written under a destination folder.

#include "fund/relative_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using fund::is_contained_relative_name;

std::wstring Widen(const char* ascii) {
    return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii));
}

const struct {
    const char* name;
    bool contained;
} kNames[] = {
    // Ordinary names, folders with either separator.
    {"", true},
    {"a", true},
    {"readme.txt", true},
    {"data\\maps\\m01.dat", true},
    {"data/maps/m01.dat", true},
    {"data\\", true},
    {"data\\\\x", true},  // an empty part is the same folder
    {".\\x", true},
    {".hidden", true},
    {"..x", true},
    {"x..", true},
    {"a...b", true},
    {"console.log", true},  // only the whole stem names a device
    {"nullable", true},
    {"com", true},
    {"com10", true},
    {"lpt0", true},
    {"comx.txt", true},
    {"my nul.txt", true},
    {"auxiliary\\prn1", true},
    // Absolute, drives, network paths, streams.
    {"\\evil", false},
    {"/etc/passwd", false},
    {"\\\\server\\share\\x", false},
    {"C:evil", false},
    {"C:\\Windows\\evil", false},
    {"readme.txt:stream", false},
    {"data\\a:b\\c", false},
    // Parts that climb out of the folder.
    {"..", false},
    {"..\\evil", false},
    {"../evil", false},
    {"data\\..\\..\\evil", false},
    {"data/../x", false},
    {"data\\..", false},
    {"...", false},
    {".. \\evil", false},
    {". .\\evil", false},
    {" ", false},
    // Devices, in any case, with an extension, trailing spaces or dots, as
    // any part.
    {"CON", false},
    {"con", false},
    {"nul", false},
    {"NUL.txt", false},
    {"nul.tar.gz", false},
    {"Aux", false},
    {"prn.dat", false},
    {"COM1", false},
    {"Com1.dat", false},
    {"com9", false},
    {"LPT1", false},
    {"lpt9.log", false},
    {"nul ", false},
    {"nul .txt", false},
    {"aux.", false},
    {"CONIN$", false},
    {"conout$.txt", false},
    {"data\\nul.txt", false},
    {"data/COM3/x.dat", false},
    {"a\\b\\LPT2", false},
    {"COM\xC2\xB9", false},    // superscript one
    {"lpt\xC2\xB3.x", false},  // superscript three
};

TEST(RelativeName, NarrowNames) {
    for (const auto& c : kNames) EXPECT_EQ(is_contained_relative_name(c.name), c.contained) << c.name;
}

TEST(RelativeName, WideNamesFollowTheSameRule) {
    for (const auto& c : kNames) {
        const std::string name = c.name;
        if (name.find('\xC2') != std::string::npos) continue;  // not ASCII, below
        EXPECT_EQ(is_contained_relative_name(Widen(c.name)), c.contained) << c.name;
    }
    EXPECT_FALSE(is_contained_relative_name(std::wstring(L"COM\x00B9")));
    EXPECT_FALSE(is_contained_relative_name(std::wstring(L"lpt\x00B2.x")));
    EXPECT_TRUE(is_contained_relative_name(std::wstring(L"\x76EE\x5F55\\\x6570\x636E.dat")));
}

TEST(RelativeName, AnEmbeddedNulIsRefused) {
    EXPECT_FALSE(is_contained_relative_name(std::string_view("ok\0..\\x", 8)));
    EXPECT_FALSE(is_contained_relative_name(std::wstring_view(L"ok\0x", 4)));
}

}  // namespace
