// The stand-ins' exports when every allocation inside the DLL fails: each
// export fails as it says (null), and no exception reaches the caller.
// The DLLs are the test builds of standin/tests/CMakeLists.txt.  In child
// processes: an exception out of a DLL with a run-time of its own would end
// the process.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "MORLEngineApi.h"

namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\'));
}

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

typedef void (*SwitchFn)(int);
typedef long long (*CountFn)();

// Calls `create` and, on what it gives, `release`, with every allocation of
// the DLL failing: 0 when the export answered null and something failed.
template <typename Object>
int CreateWithoutMemory(const wchar_t* dll, const char* create, const char* release) {
    HMODULE module = LoadLibraryW((ProgramFolder() + L"\\" + dll).c_str());
    if (module == nullptr) return 2;
    const auto fail = Export<SwitchFn>(module, "BrevikTestFailAllocations");
    const auto failed = Export<CountFn>(module, "BrevikTestFailedAllocations");
    const auto make = Export<Object* (*)()>(module, create);
    const auto drop = Export<void (*)(Object*)>(module, release);
    if (fail == nullptr || failed == nullptr || make == nullptr || drop == nullptr) return 3;
    fail(1);
    Object* object = make();
    fail(0);
    if (object != nullptr) drop(object);
    return object == nullptr && failed() > 0 ? 0 : 4;
}

TEST(StandinExportsOutOfMemory, GetResourceManagerIIAnswersNull) {
    EXPECT_EXIT(std::exit(CreateWithoutMemory<IResourceManager>(L"morl_oom.dll", "GetResourceManagerII",
                                                                "ReleaseResourceManagerII")),
                ::testing::ExitedWithCode(0), "");
}

TEST(StandinExportsOutOfMemory, CreateCheckHandleAnswersNull) {
    EXPECT_EXIT(std::exit(CreateWithoutMemory<ICheckHandle>(L"morlcheck_oom.dll", "CreateCheckHandle",
                                                            "ReleaseCheckHandle")),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
