// Module paths: the program's and a DLL's, seen from outside and from
// inside, and folders longer than MAX_PATH.

#include "fund/win/module.h"
#include "fund/win/handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using fund::win::module_folder;
using fund::win::module_path;

const wchar_t kProbe[] = L"fund_module_probe.dll";

typedef HMODULE(__cdecl* ThisModuleFn)();
typedef size_t(__cdecl* FolderFn)(wchar_t*, size_t);

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(Module, TheProgramsPathAndFolder) {
    const std::wstring path = module_path(nullptr);
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(EndsWith(path, L"\\fund_win_tests.exe")) << path.c_str();
    const std::wstring folder = module_folder(nullptr);
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), L'\\');
    EXPECT_EQ(path.compare(0, folder.size(), folder), 0);
    EXPECT_EQ(path.find(L'\\', folder.size()), std::wstring::npos);
    EXPECT_EQ(fund::win::this_module(), GetModuleHandleW(nullptr));
}

TEST(Module, AModuleThatIsNotThereHasNoPath) {
    // An address inside no module.
    HMODULE none = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10));
    EXPECT_EQ(module_path(none), L"");
    EXPECT_EQ(module_folder(none), L"");
}

// Creates every folder of `path` (an absolute path with the \\?\ prefix).
bool CreateFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 7); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

TEST(Module, ADllInAFolderLongerThanMaxPath) {
    const std::wstring here = module_folder(nullptr);
    ASSERT_FALSE(here.empty());
    wchar_t cwd[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);

    std::wstring folder = std::wstring(L"\\\\?\\") + cwd + L"\\long";
    while (folder.size() < 2 * MAX_PATH) folder += L"\\" + std::wstring(40, L'x');
    ASSERT_TRUE(CreateFolders(folder));
    const std::wstring copy = folder + L"\\" + kProbe;
    ASSERT_TRUE(CopyFileW((here + kProbe).c_str(), copy.c_str(), FALSE)) << GetLastError();

    {
        fund::win::unique_hmodule probe(LoadLibraryW(copy.c_str()));
        ASSERT_TRUE(probe) << GetLastError();
        const std::wstring path = module_path(probe.get());
        EXPECT_GT(path.size(), static_cast<size_t>(MAX_PATH));
        EXPECT_TRUE(EndsWith(path, std::wstring(L"\\") + kProbe));
        EXPECT_TRUE(EndsWith(module_folder(probe.get()), std::wstring(40, L'x') + L"\\"));

        // Seen from inside: the DLL is its own module, not the program.
        auto thisModule = reinterpret_cast<ThisModuleFn>(
            reinterpret_cast<void*>(GetProcAddress(probe.get(), "ProbeThisModule")));
        auto folderOf = reinterpret_cast<FolderFn>(
            reinterpret_cast<void*>(GetProcAddress(probe.get(), "ProbeModuleFolder")));
        ASSERT_NE(thisModule, nullptr);
        ASSERT_NE(folderOf, nullptr);
        EXPECT_EQ(thisModule(), probe.get());
        std::vector<wchar_t> buffer(4096);
        const size_t length = folderOf(buffer.data(), buffer.size());
        EXPECT_EQ(std::wstring(buffer.data(), length), module_folder(probe.get()));
    }
    DeleteFileW(copy.c_str());
}

}  // namespace
