// The whole object with its real threads: Begin, the plug-in thread and
// window, the failing engine start, Stop and destruction; a hundred cycles
// in one process leave no handles and no heap behind.

#include <gtest/gtest.h>

#include <cstdio>

#include "AllocationCounter.h"
#include "PluginTestSupport.h"
#include "RepairTexts.h"

namespace {

// One repair: with no morl.dll in the plug-in folder it fails at once;
// with the engine stand-in the game is found up to date.
void Cycle(const CMORLPluginFolders& folders, FakeSink& sink, size_t calls = 1) {
    sink.Clear();
    CMORLPlugin* plugin = new CMORLPlugin(folders);
    plugin->SetFeedbackOpener([](const wchar_t*) {});
    plugin->SetPluginEvent(&sink);
    ASSERT_EQ(1, plugin->BeginMORLRepair());
    const DWORD start = GetTickCount();
    while (sink.Count() < calls && GetTickCount() - start < 5000) Sleep(1);
    EXPECT_EQ(calls, sink.Count());
    EXPECT_EQ(1, plugin->StopMORLRepair());
    delete plugin;
}

TEST(PluginLifecycle, BeginReportsAFailedEngineStartThroughTheSink) {
    PluginHarness h;
    h.WriteSettings("QosHost=localhost\r\n");
    FakeSink sink;
    Cycle(h.Folders(), sink);
    EXPECT_EQ(std::vector<std::wstring>{std::wstring(L"fail ") + EngineFailText(0)}, sink.Calls());
}

TEST(PluginLifecycle, ThreadWithoutAPluginEndsAtOnce) {
    EXPECT_EQ(0xFFFFFFFFu, CMORLPlugin::PluginThread(nullptr));
}

TEST(PluginLifecycle, BeginTwiceIsRefusedAndStopEndsTheThread) {
    PluginHarness h;
    h.WriteSettings("QosHost=localhost\r\n");
    CMORLPlugin plugin(h.Folders());
    plugin.SetPluginEvent(&h.sink);
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    const HANDLE thread = plugin.GetThreadHandle();
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(0, plugin.BeginMORLRepair());
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
    EXPECT_EQ(nullptr, plugin.GetWnd());
}

void HundredCycles(const CMORLPluginFolders& folders, size_t calls) {
    FakeSink sink;
    // Warm up: the run-time, Winsock and the trace make their one-time
    // allocations.
    for (int i = 0; i < 5; ++i) Cycle(folders, sink, calls);
    const DWORD handlesBefore = HandleCount();
    const size_t heapBefore = HeapBusyBytes();
    const AllocationFigures liveBefore = LiveAllocations();
    for (int i = 0; i < 100; ++i) Cycle(folders, sink, calls);
    const DWORD handlesAfter = HandleCount();
    EXPECT_GT(handlesBefore, 0u);
    const size_t heapAfter = HeapBusyBytes();
    const AllocationFigures liveAfter = LiveAllocations();
    std::printf(
        "handles %lu -> %lu, heap in use %zu -> %zu bytes, "
        "C++ objects %lld -> %lld blocks, %lld -> %lld bytes\n",
        static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(handlesAfter), heapBefore,
        heapAfter, liveBefore.blocks, liveAfter.blocks, liveBefore.bytes, liveAfter.bytes);
    EXPECT_EQ(liveBefore.blocks, liveAfter.blocks);
    EXPECT_EQ(liveBefore.bytes, liveAfter.bytes);
    EXPECT_LE(handlesAfter, handlesBefore + 2);
    // A leak of even one small object per cycle shows as 100 of them.
    EXPECT_LT(heapAfter, heapBefore + 16 * 1024);
}

TEST(PluginLifecycle, HundredCyclesLeaveNoHandlesOrHeapBehind) {
    PluginHarness h;
    h.WriteSettings("QosHost=localhost\r\n");
    HundredCycles(h.Folders(), 1);
}

TEST(PluginLifecycle, HundredCyclesWithTheEngineLeaveNoHandlesOrHeapBehind) {
    PluginHarness h;
    h.WriteSettings("version=2.0.0.1\r\nQosHost=localhost\r\n");
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring from(path);
    from = from.substr(0, from.rfind(L'\\'));
    const std::wstring to = h.base.WidePath() + L"\\Plugin";
    for (const wchar_t* dll : {L"\\morl.dll", L"\\MORLCheck.dll"}) {
        if (!CopyFileW((from + dll).c_str(), (to + dll).c_str(), FALSE))
            GTEST_SKIP() << "the engine stand-ins are not built";
    }
    // The engine gets ready and allows the stop at once.
    h.base.Write("Plugin\\morl_script.ini", "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n");
    // The stand-ins stay loaded across the cycles: a DLL with its own
    // static thread library leaves memory and handles behind each time it
    // is unloaded, which is not what this test measures.
    HMODULE pinned[2] = {LoadLibraryW((to + L"\\morl.dll").c_str()),
                         LoadLibraryW((to + L"\\MORLCheck.dll").c_str())};
    // Progress 100 and success: the game is up to date.
    HundredCycles(h.Folders(), 2);
    for (HMODULE module : pinned) {
        if (module != nullptr) FreeLibrary(module);
    }
}

}  // namespace
