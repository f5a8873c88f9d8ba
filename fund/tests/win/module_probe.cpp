// A DLL for the module tests: tells which module it is and its folder, as
// seen from inside it.

#include "fund/win/module.h"

#include <cwchar>

extern "C" __declspec(dllexport) HMODULE ProbeThisModule() { return fund::win::this_module(); }

// Copies the module's folder into `buffer` (of `units` units); the
// folder's length, or 0 when it does not fit.
extern "C" __declspec(dllexport) size_t ProbeModuleFolder(wchar_t* buffer, size_t units) {
    const std::wstring folder = fund::win::module_folder(fund::win::this_module());
    if (folder.size() + 1 > units) return 0;
    std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
    return folder.size();
}

extern "C" __declspec(dllexport) int ProbePin() { return fund::win::pin_this_module() ? 1 : 0; }
