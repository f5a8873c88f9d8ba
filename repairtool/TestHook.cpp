// TestHook.cpp - TEST HOOK ONLY (see TestHook.h).

#include "TestHook.h"

#include <fund/win/handle.h>
#include <fund/win/text.h>

#include <vector>

namespace {

std::wstring HookFile() {
    // Read once: the first event decides for the whole run.
    static const std::wstring file = [] {
        std::vector<wchar_t> buffer(32768, L'\0');
        const DWORD n = ::GetEnvironmentVariableW(L"MORLREPAIRTOOLS_TEST_LOG", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()));
        return n > 0 && n < buffer.size() ? std::wstring(buffer.data(), n) : std::wstring();
    }();
    return file;
}

}  // namespace

void TestHookRecord(const wchar_t* what, const std::wstring& value) {
    const std::wstring file = HookFile();
    if (file.empty()) return;
    const std::wstring text = std::wstring(what) + L"\t" + value + L"\t" + std::to_wstring(::GetTickCount());
    const std::string line = fund::win::wide_to_utf8(text) + "\n";
    fund::win::unique_hfile handle(::CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return;
    DWORD written = 0;
    ::WriteFile(handle.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
