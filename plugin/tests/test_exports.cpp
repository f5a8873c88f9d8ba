// Brevik.dll as a host sees it: loaded from a game folder, its two exports
// found by name, one object per process.

#include <gtest/gtest.h>

#include <filesystem>

#include "MORLRepair.h"
#include "PluginTestSupport.h"

namespace {

class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {}
    ~LoadedPlugin()
    {
        if (m_module != nullptr)
            FreeLibrary(m_module);
    }
    HMODULE get() const { return m_module; }

private:
    HMODULE m_module;
};

template <typename F>
F Export(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring BuiltPlugin()
{
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\')) + L"\\Brevik.dll";
}

TEST(PluginExports, OneObjectPerProcessUntilReleased)
{
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

TEST(PluginExports, ARepairThroughTheDllFailsWithoutAnEngine)
{
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
    while (h.sink.Count() == 0 && GetTickCount() - start < 5000)
        Sleep(5);
    EXPECT_EQ(1, plugin->StopMORLRepair());
    release(plugin);
    const std::vector<std::wstring> calls = h.sink.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0u, calls[0].find(L"fail "));
}

// A pointer released twice, or one the library never handed out, is left
// alone; the live object is still freed by its own release.
TEST(PluginExports, ReleaseOfAPointerThatIsNotTheLiveObjectDoesNothing)
{
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
TEST(PluginExports, ReleaseFromInsideTheSinkIsRefused)
{
    PluginHarness h;
    const std::wstring target = h.base.WidePath() + L"\\Plugin\\Brevik.dll";
    ASSERT_TRUE(CopyFileW(BuiltPlugin().c_str(), target.c_str(), FALSE));
    LoadedPlugin dll(target);
    ASSERT_NE(nullptr, dll.get());
    const auto create = Export<PFN_CreateMORLRepair>(dll.get(), BREVIK_CREATE_EXPORT);
    const auto release = Export<PFN_RealeaseMORLRepair>(dll.get(), BREVIK_RELEASE_EXPORT);
    struct ReleasingSink : FakeSink {
        int OnFail(const wchar_t* text) override
        {
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
    while (!sink.released && GetTickCount() - start < 10000)
        Sleep(5);
    ASSERT_TRUE(sink.released.load());
    // Still alive: it answers.
    EXPECT_EQ(1, plugin->StopMORLRepair());
    release(plugin);
}

}  // namespace
