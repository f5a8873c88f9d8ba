// engine/ManagerText.cpp - see ManagerText.h.

#include "ManagerText.h"

#include <climits>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace brevik {
namespace managers {

std::wstring ToWide(const char* text, size_t length, unsigned codePage) {
    if (text == nullptr || length == 0 || length > static_cast<size_t>(INT_MAX)) return std::wstring();
    const int inLength = static_cast<int>(length);
    const int needed = MultiByteToWideChar(codePage, 0, text, inLength, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    const int written = MultiByteToWideChar(codePage, 0, text, inLength, &wide[0], needed);
    if (written <= 0) return std::wstring();
    wide.resize(static_cast<size_t>(written));
    return wide;
}

std::wstring ToWide(const std::string& text, unsigned codePage) {
    return ToWide(text.data(), text.size(), codePage);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int inLength = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string utf8(static_cast<size_t>(needed), '\0');
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), inLength, &utf8[0], needed, nullptr, nullptr);
    if (written <= 0) return std::string();
    utf8.resize(static_cast<size_t>(written));
    return utf8;
}

std::wstring ModuleFolder() {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&ModuleFolder), &module)) return std::wstring();

    // The path may be longer than MAX_PATH: grow until it fits.
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD size = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameW(module, path.data(), size);
        if (length == 0) return std::wstring();
        if (length < size) {
            std::wstring folder(path.data(), length);
            const size_t slash = folder.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash);
        }
        if (path.size() >= 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

}  // namespace managers
}  // namespace brevik
