// The plug-in under faults of the system and misuse by the host: whatever
// fails, the host hears OnFail (or a failed BeginMORLRepair) and no call
// waits for ever.

#include <gtest/gtest.h>

#include <fund/win/text.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "AllocationCounter.h"
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
std::vector<std::wstring> FirstWords(PluginHarness& h, CMORLPlugin& plugin) {
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
    void SetUp() override {
        h.WriteSettings("QosHost=127.0.0.1\r\n");
        if (!InstallStandins(h, kQuickEngine)) GTEST_SKIP() << "the engine stand-ins are not built";
    }

    // The plug-in fails with the engine start-up text and ends in the
    // failed state.
    void ExpectEngineStartFailure() {
        CMORLPlugin plugin(h.Folders());
        EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
        EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
    }

    PluginHarness h;
};

TEST_F(EngineStartFault, NoDialogForTheEngineWindow) {
    NoDialogs fault;
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

TEST_F(EngineStartFault, EngineWindowCannotBeSubclassed) {
    NoSubclassing fault;
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

TEST_F(EngineStartFault, EngineStartMessageCannotBePosted) {
    NoPostOf fault(WM_ENGINE_START, L"#32770");
    ASSERT_TRUE(fault.active());
    ExpectEngineStartFailure();
}

//-----------------------------------------------------------------------------
// The plug-in thread cannot start the repair

TEST(PluginStartFault, NoWindowForThePluginThreadFailsTheRepair) {
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    CMORLPlugin plugin(h.Folders());
    // Without its class the window cannot be made.
    ASSERT_TRUE(UnregisterClassW(fund::win::utf8_to_wide(plugin.GetWndClassName()).c_str(), nullptr));
    EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
    EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
}

TEST(PluginStartFault, StartMessageThatCannotBePostedFailsTheRepair) {
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    NoPostOf fault(WM_MORL_START, L"_MORL_WND_CLASS_");
    ASSERT_TRUE(fault.active());
    CMORLPlugin plugin(h.Folders());
    EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, FirstWords(h, plugin));
    EXPECT_EQ(CMORLPlugin::STATUS_FAIL, plugin.GetStatus());
}

TEST(PluginStartFault, BeginFailsWhenItsStopEventCannotBeMade) {
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
    int OnFail(const wchar_t* text) override {
        FakeSink::OnFail(text);
        Act();
        return 1;
    }
    int OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) override {
        const int answer = FakeSink::OnMessage(text, caption, flags);
        Act();
        return answer;
    }

    std::function<int()> action;
    std::atomic<int> result{-1};
    std::atomic<bool> acted{false};

private:
    void Act() {
        if (action && !acted.exchange(true)) result = action();
    }
};

TEST(PluginMisuse, StopFromTheSinkOnThePluginThreadOnlyRequestsTheStop) {
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
    while (sink.result.load() < 0 && GetTickCount() - start < 10000) Sleep(5);
    EXPECT_EQ(1, sink.result.load());
    // The thread ends by itself once asked to.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(plugin.GetThreadHandle(), 10000));
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
}

TEST(PluginMisuse, StopFromOnMessageOnTheEngineThreadOnlyRequestsTheStop) {
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    // A damaged package: the engine thread asks the host for a message box.
    if (!InstallStandins(h,
                         "[Engine]\r\nInitializeResult=0\r\nInitializeError=0xE0000028\r\n"
                         "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    CMORLPlugin plugin(h.Folders());
    StoppingSink sink;
    sink.action = [&] { return plugin.StopMORLRepair(); };
    plugin.SetPluginEvent(&sink);
    HangGuard guard(20000, "StopMORLRepair called from OnMessage waits for its own thread");
    ASSERT_EQ(1, plugin.BeginMORLRepair());
    const DWORD start = GetTickCount();
    while (sink.result.load() < 0 && GetTickCount() - start < 10000) Sleep(5);
    EXPECT_EQ(1, sink.result.load());
    EXPECT_EQ(0u, sink.Calls().at(0).find(L"message "));
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(nullptr, plugin.GetThreadHandle());
}

//-----------------------------------------------------------------------------
// Out of memory: no exception leaves the plug-in

// Allocations fail on the thread that made this object while it lives.
class NoMemoryOnThisThread {
public:
    NoMemoryOnThisThread() { FailAllAllocations(AllocatingThreads::This); }
    ~NoMemoryOnThisThread() { StopFailingAllocations(); }
};

TEST(PluginOutOfMemory, TheExportedOperationsFailWithoutThrowing) {
    PluginHarness h;
    h.WriteSettings("QosHost=127.0.0.1\r\n");
    CMORLPlugin plugin(h.Folders());
    {
        NoMemoryOnThisThread fault;
        EXPECT_EQ(1, plugin.SetPluginEvent(&h.sink));
        EXPECT_EQ(0, plugin.BeginMORLRepair());
        EXPECT_EQ(1, plugin.StopMORLRepair());
    }
    EXPECT_GT(FailedAllocations(), 0);
    EXPECT_EQ(0u, h.sink.Count());
    // Memory back: the object works.
    EXPECT_EQ(1, plugin.BeginMORLRepair());
    EXPECT_TRUE(WaitForCalls(h.sink, 1, 10000));
    EXPECT_EQ(1, plugin.StopMORLRepair());
    EXPECT_EQ(std::vector<std::wstring>{kEngineFail}, h.sink.Calls());
}

// The texts a failed step may end with.
bool IsFailureText(const std::wstring& call) {
    for (const wchar_t* text : {EngineFailText(0), RepairFailText(1), RepairFailText(4), RepairFailText(6),
                                RepairFailText(7), RepairFailText(10), RepairFailText(11)}) {
        if (call == std::wstring(L"fail ") + text) return true;
    }
    return false;
}

// Every allocation of a message's handler fails in turn (the first, the
// second, ...) until the handler makes no more: whichever fails, the
// repair either goes on as it would have, or ends in the failed state with
// one OnFail of the step's text, and never with both an outcome and a
// failure.
TEST(PluginOutOfMemory, EachAllocationOfAStepThatFailsFailsTheRepairOnce) {
    const struct {
        const char* what;
        void (PluginHarness::*walk)();
        UINT message;
        WPARAM wParam;
    } steps[] = {
        {"version check and download list", &PluginHarness::ToInitializing, WM_MORL_INIT, INIT_READY},
        {"download start", &PluginHarness::ToParsingDownloadList, WM_MORL_DOWNLOAD_LIST, LIST_READY},
        {"restore list", &PluginHarness::ToDownloading, WM_MORL_DOWNLOAD_SUCCESS, 0},
        {"restore start", &PluginHarness::ToRestoring, WM_MORL_RESTORE_LIST, LIST_READY},
        {"download timer", &PluginHarness::ToDownloading, WM_TIMER, TIMER_DOWNLOAD_PROGRESS},
    };
    for (const auto& step : steps) {
        int failures = 0;
        for (long long nth = 1; nth < 1000; ++nth) {
            PluginHarness h;
            (h.*step.walk)();
            if (step.walk == &PluginHarness::ToInitializing) {
                h.plugin->InitOK(&h.mgr);
                h.TakePosted();
            }
            h.sink.Clear();
            const long long failedBefore = FailedAllocations();
            FailNthAllocation(nth, AllocatingThreads::This);
            h.Send(step.message, step.wParam);
            StopFailingAllocations();
            if (FailedAllocations() == failedBefore)
                break;  // the step made fewer allocations: all were tried
            ++failures;
            h.DeliverPosted();
            const std::vector<std::wstring> calls = h.sink.Calls();
            const size_t fails = std::count_if(calls.begin(), calls.end(),
                                               [](const std::wstring& c) { return c.find(L"fail ") == 0; });
            const bool succeeded = std::find(calls.begin(), calls.end(), L"success") != calls.end();
            if (h.Status() == CMORLPlugin::STATUS_FAIL) {
                EXPECT_EQ(1u, fails) << step.what << ", allocation " << nth;
                EXPECT_TRUE(IsFailureText(calls.back())) << step.what << ", allocation " << nth;
            } else {
                EXPECT_EQ(0u, fails) << step.what << ", allocation " << nth;
            }
            EXPECT_FALSE(succeeded && fails > 0) << step.what << ", allocation " << nth;
        }
        std::printf("%s: %d allocations failed in turn\n", step.what, failures);
        EXPECT_GT(failures, 0) << step.what;
    }
}

// Counts what the host hears without allocating: allocations of the
// plug-in's threads, which call the sink, fail in these tests.
class OutcomeSink : public IRepairEventSink {
public:
    int OnProgress(int, const wchar_t*) override { return 1; }
    int OnSuccess() override {
        ++successes;
        return 1;
    }
    int OnFail(const wchar_t* text) override {
        ++fails;
        if (!IsFailureText(std::wstring(L"fail ") + text)) ++unknownTexts;
        return 1;
    }
    int OnMessage(const wchar_t*, const wchar_t*, unsigned int) override { return 0; }
    int Outcomes() const { return successes.load() + fails.load(); }

    std::atomic<int> successes{0};
    std::atomic<int> fails{0};
    std::atomic<int> unknownTexts{0};
};

// The plug-in's other threads (the engine thread, its own thread, the
// restore thread, the statistics thread) meet failing allocations: the
// host hears one outcome, and the stop ends every thread.
TEST(PluginOutOfMemory, FailingAllocationsOnThePluginsThreadsEndInOneOutcome) {
    const char script[] =
        "[Engine]\r\nBehaviour=scripted\r\n[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n"
        "[Files]\r\nCount=3\r\n[File1]\r\nName=f0\r\nSize=1000\r\nSync=2@20\r\n"
        "[File2]\r\nName=f1\r\nSize=1000\r\nComplete=1\r\n[File3]\r\nName=f2\r\nSize=1000\r\nComplete=1\r\n";
    int outcomes[2] = {0, 0};
    for (long long nth = 1; nth <= 400; nth += 17) {
        PluginHarness h;
        h.WriteSettings("QosHost=127.0.0.1\r\n");
        if (!InstallStandins(h, script)) GTEST_SKIP() << "the engine stand-ins are not built";
        OutcomeSink sink;
        CMORLPlugin plugin(h.Folders());
        plugin.SetPluginEvent(&sink);
        CDownloadFileMgr::ArmHostAction();  // as each load of Brevik.dll does
        HangGuard guard(60000, "a repair with failing allocations");
        FailNthAllocation(nth, AllocatingThreads::Others);
        ASSERT_EQ(1, plugin.BeginMORLRepair());
        const DWORD start = GetTickCount();
        while (sink.Outcomes() == 0 && GetTickCount() - start < 15000) Sleep(5);
        StopFailingAllocations();
        EXPECT_EQ(1, plugin.StopMORLRepair());
        EXPECT_EQ(1, sink.Outcomes()) << "allocation " << nth;
        EXPECT_EQ(0, sink.unknownTexts.load()) << "allocation " << nth;
        ++outcomes[sink.successes.load() > 0 ? 1 : 0];
    }
    std::printf("failing allocations on the plug-in's threads: %d repairs failed, %d succeeded\n",
                outcomes[0], outcomes[1]);
}

}  // namespace
