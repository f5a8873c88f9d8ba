// qos/ModuleVersion.cpp - the version resource of the plug-in's own file.

#include <windows.h>

#include <cstdio>
#include <vector>

#include "ModuleVersion.h"
#include "fund/trace.h"
#include "fund/win/module.h"

ModuleVersion OwnModuleVersion() {
    ModuleVersion version;
    const HMODULE module = fund::win::this_module();
    if (module == nullptr) {
        Trace(L"error: OwnModuleVersion GetModuleHandleEx (%lu)", GetLastError());
        return version;
    }
    const std::wstring path = fund::win::module_path(module);
    DWORD ignored = 0;
    DWORD size = path.empty() ? 0 : GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return version;
    std::vector<unsigned char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data()) ||
        !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || info == nullptr ||
        infoSize < sizeof(VS_FIXEDFILEINFO)) {
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
    std::snprintf(text, sizeof(text), "draviksidloplugin/%hu/%hu/%hu/%hu", v.major, v.minor, v.build,
                  v.revision);
    return text;
}
