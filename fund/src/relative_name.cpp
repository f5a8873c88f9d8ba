// fund/relative_name.cpp - see fund/relative_name.h.

#include "fund/relative_name.h"

#include <cstddef>
#include <string>

namespace fund {

namespace {

template <typename Char>
bool IsSeparator(Char ch) {
    return ch == Char('\\') || ch == Char('/');
}

template <typename Char>
Char AsciiUpper(Char ch) {
    return ch >= Char('a') && ch <= Char('z') ? Char(ch - Char('a') + Char('A')) : ch;
}

// Whether `text` equals the ASCII upper-case `word`, ignoring case.
template <typename Char>
bool EqualsUpper(std::basic_string_view<Char> text, const char* word) {
    size_t i = 0;
    for (; word[i] != 0; ++i) {
        if (i >= text.size() || AsciiUpper(text[i]) != Char(word[i])) return false;
    }
    return i == text.size();
}

// A port number of a device: the digits 1 to 9, and the superscripts one to
// three (U+00B9, U+00B2, U+00B3), which Windows takes as ports too.
bool IsPortDigit(std::string_view digit) {
    if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
    return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

bool IsPortDigit(std::wstring_view digit) {
    if (digit.size() != 1) return false;
    return (digit[0] >= L'1' && digit[0] <= L'9') || digit[0] == 0xB9 || digit[0] == 0xB2 || digit[0] == 0xB3;
}

// Whether a part names a device: Windows looks at the part before its first
// dot, with trailing spaces dropped ("nul.txt", "Com1 .dat" and "aux." are
// devices).
template <typename Char>
bool IsDeviceName(std::basic_string_view<Char> part) {
    std::basic_string_view<Char> stem = part.substr(0, part.find(Char('.')));
    while (!stem.empty() && stem.back() == Char(' ')) stem.remove_suffix(1);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (EqualsUpper(stem, device)) return true;
    }
    if (stem.size() < 4) return false;
    const std::basic_string_view<Char> prefix = stem.substr(0, 3);
    return (EqualsUpper(prefix, "COM") || EqualsUpper(prefix, "LPT")) && IsPortDigit(stem.substr(3));
}

// Whether a part leaves the folder or is shortened by Windows into something
// else: "..", and every other part of dots and spaces only but "." (an
// empty part is the folder itself).
template <typename Char>
bool IsDotsAndSpaces(std::basic_string_view<Char> part) {
    if (part.empty() || (part.size() == 1 && part[0] == Char('.'))) return false;
    for (Char ch : part) {
        if (ch != Char('.') && ch != Char(' ')) return false;
    }
    return true;
}

template <typename Char>
bool IsContained(std::basic_string_view<Char> name) {
    if (!name.empty() && IsSeparator(name[0])) return false;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size()) {
            if (name[i] == Char(':') || name[i] == Char(0)) return false;
            if (!IsSeparator(name[i])) continue;
        }
        const std::basic_string_view<Char> part = name.substr(start, i - start);
        if (IsDotsAndSpaces(part) || IsDeviceName(part)) return false;
        start = i + 1;
    }
    return true;
}

}  // namespace

bool is_contained_relative_name(std::string_view name) { return IsContained(name); }

bool is_contained_relative_name(std::wstring_view name) { return IsContained(name); }

}  // namespace fund
