// engine/ManagerText.cpp - see ManagerText.h.

#include "ManagerText.h"

#include <climits>

#include <windows.h>

#include "EngineSupport.h"

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

std::wstring ModuleFolder() { return ParentFolder(ModuleFileName(ThisModule())); }

}  // namespace managers
}  // namespace brevik
