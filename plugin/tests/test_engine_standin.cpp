// CMORLPlugin with its real threads and the scripted patch engine stand-in
// (morl.dll and MORLCheck.dll copied into the plug-in folder): the engine
// gets ready, the version check finds the game up to date, and the stop
// waits for the engine's permission to stop, three seconds at most.

#include <gtest/gtest.h>

#include "PluginTestSupport.h"
#include "RepairTexts.h"

namespace {

DWORD TimedStop(CMORLPlugin& plugin) {
    const DWORD start = GetTickCount();
    EXPECT_EQ(1, plugin.StopMORLRepair());
    return GetTickCount() - start;
}

TEST(PluginWithEngine, UpToDateGameAndAStopThatWaitsThreeSeconds) {
    PluginHarness h;
    h.WriteSettings("version=2.0.0.1\r\nQosHost=localhost\r\n");
    if (!InstallStandins(h, "[Engine]\r\nBehaviour=scripted\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    CMORLPlugin plugin(h.Folders());
    plugin.SetPluginEvent(&h.sink);
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    ASSERT_TRUE(WaitForCalls(h.sink, 2, 10000));
    const std::vector<std::wstring> expected = {
        L"progress 100 " + std::wstring(ProgressText(PROGRESS_TEXT_DONE)), L"success"};
    EXPECT_EQ(expected, h.sink.Calls());
    EXPECT_EQ(CMORLPlugin::STATUS_INITIALIZING, plugin.GetStatus());
    // The engine never posts 0x5076: six rounds of half a second.
    const DWORD elapsed = TimedStop(plugin);
    std::printf("stop without the engine's permission: %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_GE(elapsed, 2900u);
}

TEST(PluginWithEngine, StopIsQuickOnceTheEngineAllowsIt) {
    PluginHarness h;
    h.WriteSettings("version=2.0.0.1\r\nQosHost=localhost\r\n");
    if (!InstallStandins(h,
                         "[Engine]\r\nBehaviour=scripted\r\n[Post.SetNotifyWindow]\r\n"
                         "1=0,WM_ENGINE_STOP_READY,0,0\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    CMORLPlugin plugin(h.Folders());
    plugin.SetPluginEvent(&h.sink);
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    ASSERT_TRUE(WaitForCalls(h.sink, 2, 10000));
    const DWORD elapsed = TimedStop(plugin);
    std::printf("stop with the engine's permission: %lu ms\n", static_cast<unsigned long>(elapsed));
    EXPECT_LT(elapsed, 2900u);
}

TEST(PluginWithEngine, EngineInitialisationFailureFailsTheRepair) {
    PluginHarness h;
    h.WriteSettings("QosHost=localhost\r\n");
    if (!InstallStandins(h,
                         "[Engine]\r\nInitializeResult=0\r\nInitializeError=0xE0000028\r\n"
                         "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    CMORLPlugin plugin(h.Folders());
    plugin.SetPluginEvent(&h.sink);
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    // A damaged package: the engine thread asks the host to show a message
    // (the sink's answer goes back to it), then the repair fails.
    ASSERT_TRUE(WaitForCalls(h.sink, 2, 10000));
    plugin.StopMORLRepair();
    const std::vector<std::wstring> calls = h.sink.Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(0u, calls[0].find(L"message "));
    EXPECT_EQ(std::wstring(L"fail ") + EngineFailText(0), calls[1]);
    EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
}

}  // namespace
