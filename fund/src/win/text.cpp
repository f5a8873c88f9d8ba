// text.cpp - UTF-8 and code pages to and from UTF-16 with the system's
// converters.

#include "fund/win/text.h"

#include <windows.h>

#include <climits>

namespace fund {
namespace win {

std::wstring code_page_to_wide(std::string_view text, unsigned code_page) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::wstring();
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(code_page, 0, text.data(), length, &wide[0], needed);
    if (written <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(written));
    return wide;
}

std::wstring utf8_to_wide(std::string_view utf8) { return code_page_to_wide(utf8, CP_UTF8); }

std::string wide_to_utf8(std::wstring_view wide) {
    if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(wide.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, &utf8[0], needed, nullptr, nullptr);
    if (written <= 0) return std::string();
    utf8.resize(static_cast<size_t>(written));
    return utf8;
}

std::wstring utf8_to_wide(const char* utf8) {
    return utf8 != nullptr ? utf8_to_wide(std::string_view(utf8)) : std::wstring();
}

std::string wide_to_utf8(const wchar_t* wide) {
    return wide != nullptr ? wide_to_utf8(std::wstring_view(wide)) : std::string();
}

}  // namespace win
}  // namespace fund
