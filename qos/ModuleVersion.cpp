// qos/ModuleVersion.cpp - the version resource of the plug-in's own file.

#include <windows.h>

#include <cstdio>
#include <vector>

#include "ModuleVersion.h"
#include "fund/trace.h"

namespace {

// The module's path, with a buffer that grows until the name fits.
std::wstring ModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        if (buffer.size() >= 32768) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

ModuleVersion OwnModuleVersion() {
    ModuleVersion version;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&OwnModuleVersion), &module)) {
        Trace(L"error: OwnModuleVersion GetModuleHandleEx (%lu)", GetLastError());
        return version;
    }
    std::wstring path = ModulePath(module);
    DWORD ignored = 0;
    DWORD size = path.empty() ? 0 : GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return version;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
        info == nullptr || infoSize < sizeof(VS_FIXEDFILEINFO)) {
        return version;
    }
    version.major = HIWORD(info->dwFileVersionMS);
    version.minor = LOWORD(info->dwFileVersionMS);
    version.build = HIWORD(info->dwFileVersionLS);
    version.revision = LOWORD(info->dwFileVersionLS);
    return version;
}

std::string PluginVersionString(const ModuleVersion& v) {
    char text[64];
    std::snprintf(text, sizeof(text), "draviksidloplugin/%hu/%hu/%hu/%hu", v.major, v.minor,
                  v.build, v.revision);
    return text;
}
