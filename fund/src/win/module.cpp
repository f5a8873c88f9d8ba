// module.cpp - module paths, with a buffer that grows until the path fits.

#include "fund/win/module.h"

#include <vector>

namespace fund {
namespace win {

namespace {

// The longest path the system hands out (in UTF-16 units, with the
// terminating null).
const size_t kLongestPath = 32768;

}  // namespace

std::wstring module_path(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::wstring();
        // A cut path fills the whole buffer.
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        if (buffer.size() >= kLongestPath) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring module_folder(HMODULE module) {
    const std::wstring path = module_path(module);
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return std::wstring();
    return path.substr(0, slash + 1);
}

HMODULE this_module() noexcept {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!::GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&this_module), &module)) {
        return nullptr;
    }
    return module;
}

bool pin_this_module() noexcept {
    HMODULE module = nullptr;
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN;
    return ::GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&pin_this_module), &module) != FALSE;
}

}  // namespace win
}  // namespace fund
