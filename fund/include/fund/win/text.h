// fund/win/text.h - conversions between UTF-8 (and the other code pages)
// and UTF-16, the text of the Win32 API.

#ifndef FUND_WIN_TEXT_H
#define FUND_WIN_TEXT_H

#include <string>
#include <string_view>

namespace fund {
namespace win {

// Bytes that are not UTF-8 become U+FFFD.  Empty for empty input (and for
// input longer than the system converts at once, 2 GiB).
std::wstring utf8_to_wide(std::string_view utf8);

// Unpaired surrogates become U+FFFD.
std::string wide_to_utf8(std::wstring_view wide);

// The same for the null-terminated text of a system or host call, which
// may be null (then empty).
std::wstring utf8_to_wide(const char* utf8);
std::string wide_to_utf8(const wchar_t* wide);

// Text in code page `code_page` (CP_ACP, CP_UTF8, ...) to UTF-16; bytes
// that do not belong to it become the code page's default character.
std::wstring code_page_to_wide(std::string_view text, unsigned code_page);

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_TEXT_H
