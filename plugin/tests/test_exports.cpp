// Brevik.dll as a host sees it: loaded from a game folder, its two exports
// found by name, one object per process.

#include <gtest/gtest.h>

#include <filesystem>

#include "MORLRepair.h"
#include "PluginTestSupport.h"
#include "RepairTexts.h"

namespace {

class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {}
    ~LoadedPlugin() {
        if (m_module != nullptr) FreeLibrary(m_module);
    }
    HMODULE get() const { return m_module; }

private:
    HMODULE m_module;
};

template <typename F>
F Export(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring BuiltPlugin() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\')) + L"\\Brevik.dll";
}

TEST(PluginExports, OneObjectPerProcessUntilReleased) {
    PluginHarness h;
    const std::wstring target = h.base.WidePath() + L"\\Plugin\\Brevik.dll";
    ASSERT_TRUE(CopyFileW(BuiltPlugin().c_str(), target.c_str(), FALSE));
    LoadedPlugin dll(target);
    ASSERT_NE(nullptr, dll.get());
    const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
    const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);
    ASSERT_NE(nullptr, create);
    ASSERT_NE(nullptr, release);

    Kestrum::IPluginEvent* first = create();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, create());
    EXPECT_EQ(0, first->SetPluginEvent(nullptr));
    EXPECT_EQ(1, first->SetPluginEvent(&h.sink));
    EXPECT_EQ(1, first->StopMORLRepair());
    EXPECT_EQ(1, first->StopMORLRepair());
    release(nullptr);
    release(first);
    EXPECT_EQ(0u, h.sink.Count());
}

TEST(PluginExports, ARepairThroughTheDllFailsWithoutAnEngine) {
    PluginHarness h;
    h.WriteSettings("QosHost=localhost\r\n");
    const std::wstring target = h.base.WidePath() + L"\\Plugin\\Brevik.dll";
    ASSERT_TRUE(CopyFileW(BuiltPlugin().c_str(), target.c_str(), FALSE));
    LoadedPlugin dll(target);
    ASSERT_NE(nullptr, dll.get());
    const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
    const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);
    Kestrum::IPluginEvent* plugin = create();
    ASSERT_NE(nullptr, plugin);
    plugin->SetPluginEvent(&h.sink);
    ASSERT_EQ(1, plugin->BeginMORLRepair());
    const DWORD start = GetTickCount();
    while (h.sink.Count() == 0 && GetTickCount() - start < 5000) Sleep(5);
    EXPECT_EQ(1, plugin->StopMORLRepair());
    release(plugin);
    const std::vector<std::wstring> calls = h.sink.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0u, calls[0].find(L"fail "));
}

// A game installed in `base` (a wide path): Brevik.dll and the engine
// stand-ins in base\MORL, the settings and the launcher's version file.
// Runs one repair through the DLL and returns what the host heard.
std::vector<std::wstring> RepairIn(const std::wstring& base, const std::string& settings,
                                   const std::string& script) {
    const std::wstring plugin = base + L"\\MORL";
    CreateDirectoryW(plugin.c_str(), nullptr);
    CreateDirectoryW((base + L"\\Sidlo").c_str(), nullptr);
    const std::wstring from = ProgramFolder();
    for (const wchar_t* file : {L"\\Brevik.dll", L"\\morl.dll", L"\\MORLCheck.dll"})
        EXPECT_TRUE(CopyFileW((from + file).c_str(), (plugin + file).c_str(), FALSE)) << GetLastError();
    auto write = [](const std::wstring& path, const std::string& text) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    };
    write(base + L"\\morlfixedconfig.ini", "[MORL]\r\n" + settings);
    write(base + L"\\Sidlo\\mmog_data.xml",
          "<Data><ClientConf><VersionData><Version>2.0.0.1</Version></VersionData></ClientConf></Data>");
    write(plugin + L"\\morl_script.ini", script);
    FakeSink sink;
    {
        LoadedPlugin dll(plugin + L"\\Brevik.dll");
        EXPECT_NE(nullptr, dll.get()) << GetLastError();
        if (dll.get() == nullptr) return {};
        const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
        const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);
        Kestrum::IPluginEvent* repair = create();
        repair->SetPluginEvent(&sink);
        EXPECT_EQ(1, repair->BeginMORLRepair());
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 20000) {
            const std::vector<std::wstring> calls = sink.Calls();
            if (!calls.empty() && (calls.back() == L"success" || calls.back().find(L"fail ") == 0)) break;
            Sleep(10);
        }
        release(repair);
    }
    return sink.Calls();
}

std::wstring RecordedVersion(const std::wstring& base) {
    wchar_t value[64] = L"";
    GetPrivateProfileStringW(L"MORL", L"version", L"", value, 64, (base + L"\\morlfixedconfig.ini").c_str());
    return value;
}

const std::vector<std::wstring> kUpToDate = {
    L"progress 100 " + std::wstring(ProgressText(PROGRESS_TEXT_DONE)), L"success"};

// Installed under a folder with characters outside the ANSI code page, the
// plug-in reads the recorded version from the file its engine thread
// resets, through the same wide path.
TEST(PluginExports, ANonAsciiInstallFolderBehavesLikeAPlainOne) {
    PluginHarness h;
    const std::wstring base = h.base.WidePath() + L"\\游戏_ünï";
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    const std::string quickStop = "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n";
    EXPECT_EQ(kUpToDate, RepairIn(base, "version=2.0.0.1\r\n", quickStop));

    // The engine repairs its own data first: the recorded version is reset
    // to "0" in that file, and the plug-in, reading it, repairs (and fails
    // here for want of a download list).
    const std::string selfRepair = quickStop +
                                   "[Engine]\r\nInitializeResult=0,1\r\nInitializeError=0x60000026,0\r\n"
                                   "[Post.Initialize1]\r\n1=10,WM_ENGINE_REPAIR_RETURN,1,0\r\n";
    EXPECT_EQ(std::vector<std::wstring>{std::wstring(L"fail ") + RepairFailText(1)},
              RepairIn(base, "version=2.0.0.1\r\n", selfRepair));
    EXPECT_EQ(L"0", RecordedVersion(base));
}

// Installed deeper than MAX_PATH characters: the plug-in finds its base
// folder and its settings all the same.
TEST(PluginExports, AnInstallFolderLongerThanMaxPathBehavesLikeAPlainOne) {
    PluginHarness h;
    std::wstring base = L"\\\\?\\" + h.base.WidePath() + L"\\游戏";
    ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
    while (base.size() < MAX_PATH + 20) {
        base += L"\\" + std::wstring(30, L'x');
        ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr)) << GetLastError();
    }
    // The stand-in reads no script so deep: it is ready at once.
    EXPECT_EQ(kUpToDate, RepairIn(base, "version=2.0.0.1\r\n", ""));
}

// A pointer released twice, or one the library never handed out, is left
// alone; the live object is still freed by its own release.
TEST(PluginExports, ReleaseOfAPointerThatIsNotTheLiveObjectDoesNothing) {
    PluginHarness h;
    const std::wstring target = h.base.WidePath() + L"\\Plugin\\Brevik.dll";
    ASSERT_TRUE(CopyFileW(BuiltPlugin().c_str(), target.c_str(), FALSE));
    LoadedPlugin dll(target);
    ASSERT_NE(nullptr, dll.get());
    const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
    const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);

    // Never created: a host's own object that merely looks like one.
    struct Impostor : Kestrum::IPluginEvent {
        int SetPluginEvent(IRepairEventSink*) override { return ++calls; }
        int BeginMORLRepair() override { return ++calls; }
        int StopMORLRepair() override { return ++calls; }
        int calls = 0;
    } impostor;
    release(&impostor);
    EXPECT_EQ(0, impostor.calls);

    Kestrum::IPluginEvent* plugin = create();
    ASSERT_NE(nullptr, plugin);
    release(&impostor);  // still not the live one
    EXPECT_EQ(1, plugin->SetPluginEvent(&h.sink));
    release(plugin);
    release(plugin);  // twice
    Kestrum::IPluginEvent* again = create();
    ASSERT_NE(nullptr, again);
    release(again);
    EXPECT_EQ(0, impostor.calls);
}

// A sink that releases the object from inside OnFail (on the plug-in's
// thread): refused, so the host's own release afterwards frees it.
TEST(PluginExports, ReleaseFromInsideTheSinkIsRefused) {
    PluginHarness h;
    const std::wstring target = h.base.WidePath() + L"\\Plugin\\Brevik.dll";
    ASSERT_TRUE(CopyFileW(BuiltPlugin().c_str(), target.c_str(), FALSE));
    LoadedPlugin dll(target);
    ASSERT_NE(nullptr, dll.get());
    const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
    const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);
    struct ReleasingSink : FakeSink {
        int OnFail(const wchar_t* text) override {
            FakeSink::OnFail(text);
            release(plugin);
            released = true;
            return 1;
        }
        PFN_RealeaseMORLRepair release = nullptr;
        Kestrum::IPluginEvent* plugin = nullptr;
        std::atomic<bool> released{false};
    } sink;
    Kestrum::IPluginEvent* plugin = create();
    ASSERT_NE(nullptr, plugin);
    sink.release = release;
    sink.plugin = plugin;
    plugin->SetPluginEvent(&sink);
    HangGuard guard(20000, "RealeaseMORLRepair from inside OnFail");
    ASSERT_EQ(1, plugin->BeginMORLRepair());  // no engine: OnFail at once
    const DWORD start = GetTickCount();
    while (!sink.released && GetTickCount() - start < 10000) Sleep(5);
    ASSERT_TRUE(sink.released.load());
    // Still alive: it answers.
    EXPECT_EQ(1, plugin->StopMORLRepair());
    release(plugin);
}

}  // namespace
