// The plug-in under faults of the system and misuse by the host: whatever
// fails, the host hears OnFail (or a failed BeginMORLRepair) and no call
// waits for ever.

#include <gtest/gtest.h>

#include <fund/win/text.h>

#include <functional>

#include "PluginTestSupport.h"
#include "RepairTexts.h"
#include "SystemFaults.h"

namespace {

const std::wstring kEngineFail = std::wstring(L"fail ") + EngineFailText(0);

// The engine is ready at once and lets the plug-in stop without waiting.
const char kQuickEngine[] =
    "[Engine]\r\nBehaviour=scripted\r\n[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n";

// Begins a repair and returns what the host heard within ten seconds; the
// repair is stopped then.
std::vector<std::wstring> FirstWords(PluginHarness& h, CMORLPlugin& plugin)
{
    plugin.SetPluginEvent(&h.sink);
    EXPECT_EQ(1, plugin.BeginMORLRepair());
    WaitForCalls(h.sink, 1, 10000);
    HangGuard guard(20000, "StopMORLRepair after a failed start");
    EXPECT_EQ(1, plugin.StopMORLRepair());
    return h.sink.Calls();
}

//-----------------------------------------------------------------------------
// The engine thread ends before the engine starts

class EngineStartFault : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.WriteSettings("QosHost=127.0.0.1\r\n");
        if (!InstallStandins(h, kQuickEngine))
            GTEST_SKIP() << "the engine stand-ins are not built";
    }

    // The plug-in fails with the engine start-up text and ends in the
    // failed state.
    void ExpectEngineStartFailure()
    {
        CMORLPlugin plugin(h.Folders());
        EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
        EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
    }

    PluginHarness h;
};

TEST_F(EngineStartFault, NoDialogForTheEngineWindow)
{
    NoDialogs fault;
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

TEST_F(EngineStartFault, EngineWindowCannotBeSubclassed)
{
    NoSubclassing fault;
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

TEST_F(EngineStartFault, EngineStartMessageCannotBePosted)
{
    NoPostOf fault(WM_ENGINE_START, L"#32770");
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

//-----------------------------------------------------------------------------
// The plug-in thread cannot start the repair

TEST(PluginStartFault, NoWindowForThePluginThreadFailsTheRepair)
{
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    CMORLPlugin plugin(h.Folders());
    // Without its class the window cannot be made.
    ASSERT_TRUE(UnregisterClassW(fund::win::utf8_to_wide(plugin.GetWndClassName()).c_str(), nullptr));
    EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
    EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
}

TEST(PluginStartFault, StartMessageThatCannotBePostedFailsTheRepair)
{
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    NoPostOf fault(WM_MORL_START, L"_MORL_WND_CLASS_");
    ASSERT_TRUE(fault.active());
    CMORLPlugin plugin(h.Folders());
    EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
    EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
}

TEST(PluginStartFault, BeginFailsWhenItsStopEventCannotBeMade)
{
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    CMORLPlugin plugin(h.Folders());
    plugin.SetPluginEvent(&h.sink);
    {
        NoEventsOnThisThread fault;
        ASSERT_TRUE(fault.active());
        EXPECT_EQ(0, plugin.BeginMORLRepair());
    }
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
    HangGuard guard(20000, "StopMORLRepair after a Begin without a stop event");
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(0u, h.sink.Count());
}

//-----------------------------------------------------------------------------
// A host that stops from inside its sink

// A sink that runs `action` once, from inside its first OnFail or OnMessage.
class StoppingSink : public FakeSink {
public:
    int OnFail(const wchar_t* text) override
    {
        FakeSink::OnFail(text);
        Act();
        return 1;
    }
    int OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) override
    {
        const int answer = FakeSink::OnMessage(text, caption, flags);
        Act();
        return answer;
    }

    std::function<int()> action;
    std::atomic<int> result{-1};
    std::atomic<bool> acted{false};

private:
    void Act()
    {
        if (action && !acted.exchange(true))
            result = action();
    }
};

TEST(PluginMisuse, StopFromTheSinkOnThePluginThreadOnlyRequestsTheStop)
{
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    CMORLPlugin plugin(h.Folders());
    StoppingSink sink;
    sink.action = [&] { return plugin.StopMORLRepair(); };
    plugin.SetPluginEvent(&sink);
    HangGuard guard(20000, "StopMORLRepair called from OnFail waits for its own thread");
    ASSERT_EQ(1, plugin.BeginMORLRepair());  // no engine: OnFail at once
    ASSERT_TRUE(WaitForCalls(sink, 1, 10000));
    const DWORD start = GetTickCount();
    while (sink.result.load() < 0 && GetTickCount() - start < 10000)
        Sleep(5);
    EXPECT_EQ(1, sink.result.load());
    // The thread ends by itself once asked to.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(plugin.GetThreadHandle(), 10000));
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
}

TEST(PluginMisuse, StopFromOnMessageOnTheEngineThreadOnlyRequestsTheStop)
{
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    // A damaged package: the engine thread asks the host for a message box.
    if (!InstallStandins(h, "[Engine]\r\nInitializeResult=0\r\nInitializeError=0xE0000028\r\n"
                            "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    CMORLPlugin plugin(h.Folders());
    StoppingSink sink;
    sink.action = [&] { return plugin.StopMORLRepair(); };
    plugin.SetPluginEvent(&sink);
    HangGuard guard(20000, "StopMORLRepair called from OnMessage waits for its own thread");
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    const DWORD start = GetTickCount();
    while (sink.result.load() < 0 && GetTickCount() - start < 10000)
        Sleep(5);
    EXPECT_EQ(1, sink.result.load());
    EXPECT_EQ(0u, sink.Calls().at(0).find(L"message "));
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
}

}  // namespace
