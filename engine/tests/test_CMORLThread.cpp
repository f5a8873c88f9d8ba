// The engine thread against the scripted engine stand-in: every path of the
// engine's state messages, failures to load, host loss and return, and
// stopping.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "CMORLThread.h"
#include "CSyncMgr.h"
#include "AllocationCounter.h"
#include "EngineTestSupport.h"
#include "ImportPatch.h"

namespace {

using enginetest::PluginFolder;
using enginetest::RecordingCallback;

typedef CMORLThread T;

class MORLThreadTest : public ::testing::Test {
protected:
    // Starts the engine thread on a plug-in folder scripted by `script`.
    // Unless `slowStop`, the engine says at once that it may stop, so that
    // Stop does not wait.
    void Start(const std::string& script, bool slowStop = false) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string quick = "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n";
        folder.reset(
            new PluginFolder(std::string("thread_") + info->name(), script + (slowStop ? "" : quick)));
        thread.SetLibraryFolder(folder->Folder());
        ASSERT_EQ(thread.Init(&callback), 1);
        ASSERT_TRUE(enginetest::PumpUntil([&]() { return thread.GetWindow() != nullptr; }));
    }

    void TearDown() override {
        thread.Stop();
        folder.reset();
    }

    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        ASSERT_TRUE(PostMessageW(thread.GetWindow(), message, wParam, lParam));
    }

    // Waits until the engine thread has handled everything posted so far.
    void Settle() { ASSERT_TRUE(callback.Settle(thread.GetWindow())); }

    bool ThreadEnded(DWORD ms = 5000) {
        return WaitForSingleObject(thread.GetThreadHandle(), ms) == WAIT_OBJECT_0;
    }

    RecordingCallback callback;
    CMORLThread thread;
    std::unique_ptr<PluginFolder> folder;
};

TEST_F(MORLThreadTest, ReadyEngineReportsInitOKWithItsManagers) {
    Start("");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    EXPECT_EQ(callback.mgr, static_cast<IMORLMgr*>(&thread));
    EXPECT_EQ(thread.GetState(), T::ENGINE_READY);
    EXPECT_EQ(thread.CanRead(), 1);
    EXPECT_EQ(thread.CanSync(), 1);
    EXPECT_NE(thread.GetResourceManager(), nullptr);
    ASSERT_NE(thread.GetSyncMgr(), nullptr);
    EXPECT_TRUE(folder->Called("SetNotifyWindow"));
    EXPECT_TRUE(folder->Called("Initialize test -> 1"));
    EXPECT_TRUE(folder->Called("CreateCheckHandle"));

    // The sync manager learned it too: a sync starts at once.
    SyncTaskPtr task(new CSyncTask(0, nullptr));
    Settle();
    EXPECT_EQ(thread.GetSyncMgr()->PendingSync(0, task), 1);
    Settle();
    EXPECT_EQ(folder->CountCalls("StartSync 0 50 4294967295 0"), 1u);
}

TEST_F(MORLThreadTest, StopUninitialisesAndReleasesEverything) {
    Start("[Post.Initialize]\r\n1=0,WM_ENGINE_INIT_RETURN,1,0\r\n2=0,WM_ENGINE_STOP_READY,0,0\r\n", true);
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    Settle();
    const DWORD start = GetTickCount();
    EXPECT_EQ(thread.Stop(), 1);
    EXPECT_LT(GetTickCount() - start, 2000u);  // the engine said it may stop
    EXPECT_TRUE(folder->Called("Uninitialize -> 1"));
    EXPECT_TRUE(folder->Called("ReleaseResourceManagerII"));
    EXPECT_TRUE(folder->Called("ReleaseCheckHandle"));
    EXPECT_EQ(thread.GetResourceManager(), nullptr);
    EXPECT_EQ(thread.GetSyncMgr(), nullptr);
    EXPECT_EQ(thread.Stop(), 1);  // again: harmless
}

TEST_F(MORLThreadTest, StopWaitsAboutThreeSecondsForAnEngineThatNeverSaysReady) {
    Start("", true);
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    const DWORD start = GetTickCount();
    thread.Stop();
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 2900u);
    EXPECT_LT(elapsed, 6000u);
}

TEST_F(MORLThreadTest, InitialiseErrorMessageFailsWithoutCanRead) {
    Start("[Post.Initialize]\r\n1=0,WM_ENGINE_INIT_RETURN,0,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 0"));
    EXPECT_EQ(callback.mgr, static_cast<IMORLMgr*>(&thread));
    // Before the engine could be read the thread ends at once, without
    // uninitialising, and takes its window with it.
    const HWND window = thread.GetWindow();
    EXPECT_TRUE(ThreadEnded());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(thread.GetState(), T::ENGINE_FAILED);
    EXPECT_EQ(thread.Failed(), 1);
    thread.Stop();
    EXPECT_EQ(folder->CountCalls("Uninitialize"), 0u);
}

TEST_F(MORLThreadTest, InitializeFailureFailsAndEndsTheThread) {
    Start("InitializeResult=0\r\nInitializeError=0xE0000001\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 0"));
    EXPECT_TRUE(ThreadEnded());
    EXPECT_TRUE(folder->Called("GetErrorText 3758096385 -> 24"));  // its text was traced
    EXPECT_EQ(callback.Count("OnEngineMessage 0"), 0u);
    EXPECT_EQ(folder->CountCalls("BeginCheck"), 0u);
}

TEST_F(MORLThreadTest, DamagedPackageIsCheckedAndShownBeforeTheFailure) {
    Start("InitializeResult=0\r\nInitializeError=0xE0000028\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 0"));
    std::vector<std::string> events = callback.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "OnEngineMessage 0");
    EXPECT_EQ(callback.lastText, L"包文件被破坏，请重新启动客户端");
    EXPECT_EQ(callback.lastCaption, L"异常错误");
    EXPECT_TRUE(folder->Called("BeginCheck 3 5000 -> 1"));
}

TEST_F(MORLThreadTest, EngineRepairRunsThenInitialisesAgain) {
    Start(
        "InitializeResult=0,1\r\nInitializeError=0x60000026,0\r\n"
        "[Post.Initialize1]\r\n1=0,WM_ENGINE_REPAIR_PROGRESS,250,0\r\n"
        "2=0,WM_ENGINE_REPAIR_RETURN,1,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    std::vector<std::string> events = callback.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "MORLRepairProgress 250");
    EXPECT_EQ(folder->CountCalls("Initialize test"), 2u);
    EXPECT_EQ(folder->CountCalls("Uninitialize"), 1u);
    // The recorded version is cleared in the settings two levels above the
    // plug-in file.
    wchar_t version[16] = L"";
    GetPrivateProfileStringW(L"MORL", L"version", L"none", version, 16,
                             (folder->Base() + L"\\morlfixedconfig.ini").c_str());
    EXPECT_STREQ(version, L"0");
}

TEST_F(MORLThreadTest, AFailedUninitialiseIsTracedAndTheRepairGoesOn) {
    Start(
        "InitializeResult=0,1\r\nInitializeError=0x60000026,0\r\n"
        "UninitializeResult=0\r\nUninitializeError=0x77\r\n"
        "[Post.Initialize1]\r\n1=0,WM_ENGINE_REPAIR_RETURN,1,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    EXPECT_TRUE(folder->Called("GetErrorText 119 -> 24"));
    thread.Stop();
    EXPECT_EQ(folder->CountCalls("Uninitialize -> 0"), 2u);  // after the repair, and at Stop
}

TEST_F(MORLThreadTest, FailedRepairWithCode9ChecksThePackageAndPassesTheCode) {
    Start(
        "InitializeResult=0\r\nInitializeError=0x60000026\r\n"
        "[Post.Initialize]\r\n1=0,WM_ENGINE_REPAIR_RETURN,0,9\r\n"
        "[Checker]\r\nBeginCheckResult=0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 9"));
    EXPECT_TRUE(folder->Called("BeginCheck 3 5000 -> 0"));
    EXPECT_TRUE(ThreadEnded());
}

TEST_F(MORLThreadTest, FailedRepairWithCode10ChecksThePackageToo) {
    Start(
        "InitializeResult=0\r\nInitializeError=0x60000026\r\n"
        "[Post.Initialize]\r\n1=0,WM_ENGINE_REPAIR_RETURN,0,10\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 10"));
    EXPECT_TRUE(folder->Called("BeginCheck 3 5000 -> 1"));
}

TEST_F(MORLThreadTest, FailedRepairWithAnotherCodeIsNotChecked) {
    Start(
        "InitializeResult=0\r\nInitializeError=0x60000026\r\n"
        "[Post.Initialize]\r\n1=0,WM_ENGINE_REPAIR_RETURN,0,4\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 4"));
    EXPECT_EQ(folder->CountCalls("BeginCheck"), 0u);
}

TEST_F(MORLThreadTest, HostLossAndReturnWhileReady) {
    Start("");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    Post(WM_ENGINE_HOST_KILLED);
    ASSERT_TRUE(callback.WaitFor("MORLHostKilled"));
    Settle();
    EXPECT_EQ(thread.GetState(), T::ENGINE_HOST_DOWN);
    EXPECT_EQ(thread.CanSync(), 0);
    EXPECT_EQ(thread.GetSyncMgr()->Caching(), 1);

    Post(WM_ENGINE_HOST_RESTART, 1);
    ASSERT_TRUE(callback.WaitFor("MORLHostRestarted"));
    Settle();
    EXPECT_EQ(thread.GetState(), T::ENGINE_READY_RESTARTED);
    EXPECT_EQ(thread.CanSync(), 1);
    EXPECT_EQ(callback.Count("InitOK"), 1u);

    Post(WM_ENGINE_HOST_KILLED);
    Post(WM_ENGINE_HOST_RESTART, 0);  // lost for good
    ASSERT_TRUE(callback.WaitFor("InitFail 1 0"));
    Settle();
    EXPECT_EQ(thread.GetState(), T::ENGINE_FAILED);
    // Once read, a failed engine keeps the thread until Stop.
    EXPECT_FALSE(ThreadEnded(100));

    // The failed state absorbs every later event.
    const size_t reports = callback.Events().size();
    Post(WM_ENGINE_HOST_RESTART, 1);
    Post(WM_ENGINE_INIT_RETURN, 1);
    Post(WM_ENGINE_HOST_KILLED);
    Post(WM_ENGINE_REPAIR_RETURN, 1);
    Settle();
    EXPECT_EQ(callback.Events().size(), reports);
    EXPECT_EQ(thread.GetState(), T::ENGINE_FAILED);
}

TEST_F(MORLThreadTest, HostDownDuringInitialisationDelaysInitOK) {
    Start(
        "[Post.Initialize]\r\n1=0,WM_ENGINE_HOST_KILLED,0,0\r\n"
        "2=0,WM_ENGINE_INIT_RETURN,1,0\r\n");
    ASSERT_TRUE(enginetest::PumpUntil(
        [&]() { return thread.GetWindow() != nullptr && thread.GetState() == T::ENGINE_READY_HOST_DOWN; }));
    EXPECT_EQ(thread.CanRead(), 1);
    EXPECT_EQ(callback.Count("InitOK"), 0u);
    Post(WM_ENGINE_HOST_RESTART, 1);
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    Settle();
    EXPECT_EQ(thread.GetState(), T::ENGINE_READY);
}

TEST_F(MORLThreadTest, HostComesBackBeforeInitialisationEnds) {
    Start(
        "[Post.Initialize]\r\n1=0,WM_ENGINE_HOST_KILLED,0,0\r\n"
        "2=0,WM_ENGINE_HOST_RESTART,1,0\r\n3=0,WM_ENGINE_INIT_RETURN,1,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    EXPECT_EQ(callback.Events().size(), 1u);
}

TEST_F(MORLThreadTest, HostLostDuringInitialisationFails) {
    Start(
        "[Post.Initialize]\r\n1=0,WM_ENGINE_HOST_KILLED,0,0\r\n"
        "2=0,WM_ENGINE_HOST_RESTART,0,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 0"));
    EXPECT_TRUE(ThreadEnded());
}

TEST_F(MORLThreadTest, InitialiseErrorWhileTheHostIsDownFails) {
    Start(
        "[Post.Initialize]\r\n1=0,WM_ENGINE_HOST_KILLED,0,0\r\n"
        "2=0,WM_ENGINE_INIT_RETURN,0,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 0 0"));
}

TEST_F(MORLThreadTest, HostLostAfterReadingButBeforeReadyFailsWithCanRead) {
    Start(
        "[Post.Initialize]\r\n1=0,WM_ENGINE_HOST_KILLED,0,0\r\n"
        "2=0,WM_ENGINE_INIT_RETURN,1,0\r\n3=0,WM_ENGINE_HOST_RESTART,0,0\r\n");
    ASSERT_TRUE(callback.WaitFor("InitFail 1 0"));
    EXPECT_EQ(callback.Count("InitOK"), 0u);
}

TEST_F(MORLThreadTest, EventsWithoutATransitionChangeNothing) {
    Start("[Post.Initialize]\r\nNothing=1\r\n");
    ASSERT_TRUE(enginetest::PumpUntil(
        [&]() { return thread.GetWindow() != nullptr && thread.GetState() == T::ENGINE_WAIT_INIT; }));
    Post(WM_ENGINE_HOST_RESTART, 1);   // not down
    Post(WM_ENGINE_REPAIR_RETURN, 1);  // not repairing
    Post(0x506C, 5, 5);
    Post(WM_ENGINE_GAME_SPEED, 7);
    Post(WM_ENGINE_GAME_SPEED2, 7);
    Post(WM_ENGINE_USER_SPEED, 7);
    Settle();
    EXPECT_EQ(thread.GetState(), T::ENGINE_WAIT_INIT);
    EXPECT_TRUE(callback.Events().empty());
    EXPECT_EQ(folder->CountCalls("GetDownloadSpeed"), 1u);
    EXPECT_EQ(folder->CountCalls("GetPreDownloadSpeed"), 2u);
}

TEST_F(MORLThreadTest, BitmapFinishReachesTheCallbackAndTheSyncManager) {
    Start("");
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    Post(WM_ENGINE_BITMAP_FINISH, 5);
    ASSERT_TRUE(callback.WaitFor("OnSetBitMapFinishState 5"));
    // The engine thread leaves it unhandled, so the second handler sees it.
    EXPECT_EQ(thread.ProcessMsg(WM_ENGINE_BITMAP_FINISH, 0, 0), 0);
}

TEST_F(MORLThreadTest, RepairProgressIsPassedOn) {
    Start("[Post.Initialize]\r\nNothing=1\r\n");
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return thread.GetWindow() != nullptr; }));
    Post(WM_ENGINE_REPAIR_PROGRESS, 1000);
    ASSERT_TRUE(callback.WaitFor("MORLRepairProgress 1000"));
}

TEST_F(MORLThreadTest, StopReadyEndsTheWaitAtOnce) {
    Start("", true);
    ASSERT_TRUE(callback.WaitFor("InitOK"));
    Post(WM_ENGINE_STOP_READY);
    Settle();
    const DWORD start = GetTickCount();
    thread.Stop();
    EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST_F(MORLThreadTest, StopReleasesSyncRequestsTheThreadNeverTook) {
    Start("[Post.Initialize]\r\nNothing=1\r\n");
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return thread.GetWindow() != nullptr; }));
    CSyncMgr* mgr = thread.GetSyncMgr();
    SyncTaskPtr task(new CSyncTask(1, nullptr));
    PostMessageW(thread.GetWindow(), WM_ENGINE_STOP_READY, 0, 0);
    for (int i = 0; i < 50; ++i) mgr->PendingSync(1, task);
    thread.Stop();
    EXPECT_EQ(task.use_count(), 1);
}

//-----------------------------------------------------------------------------
// Loading failures

TEST(MORLThreadLoad, MissingEngineFailsInit) {
    PluginFolder folder("thread_no_engine", "", false, true);
    RecordingCallback callback;
    CMORLThread thread;
    thread.SetLibraryFolder(folder.Folder());
    EXPECT_EQ(thread.Init(&callback), 0);
    EXPECT_EQ(thread.GetThreadHandle(), nullptr);
    EXPECT_EQ(thread.Stop(), 1);
    EXPECT_TRUE(callback.Events().empty());
}

TEST(MORLThreadLoad, NullEngineObjectFailsInit) {
    PluginFolder folder("thread_null_engine", "Create=0\r\n");
    CMORLThread thread;
    thread.SetLibraryFolder(folder.Folder());
    EXPECT_EQ(thread.Init(nullptr), 0);
    thread.Stop();
    EXPECT_EQ(folder.CountCalls("ReleaseResourceManagerII"), 0u);
}

TEST(MORLThreadLoad, MissingCheckerFailsInit) {
    PluginFolder folder("thread_no_checker", "", true, false);
    CMORLThread thread;
    thread.SetLibraryFolder(folder.Folder());
    EXPECT_EQ(thread.Init(nullptr), 0);
    thread.Stop();
    // What was made is released by Stop.
    EXPECT_TRUE(folder.Called("ReleaseResourceManagerII"));
}

TEST(MORLThreadLoad, NullCheckerIsTolerated) {
    PluginFolder folder("thread_null_checker", "[Checker]\r\nCreate=0\r\n");
    RecordingCallback callback;
    CMORLThread thread;
    thread.SetLibraryFolder(folder.Folder());
    EXPECT_EQ(thread.Init(&callback), 1);
    EXPECT_TRUE(callback.WaitFor("InitOK"));
    thread.Stop();
    EXPECT_EQ(folder.CountCalls("ReleaseCheckHandle"), 0u);
}

TEST(MORLThreadLoad, RepeatedStartsAndStopsLeaveNoHandles) {
    PluginFolder folder("thread_cycles", "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n");
    auto cycle = [&]() {
        RecordingCallback callback;
        CMORLThread thread;
        thread.SetLibraryFolder(folder.Folder());
        ASSERT_EQ(thread.Init(&callback), 1);
        ASSERT_TRUE(callback.WaitFor("InitOK"));
        ASSERT_TRUE(callback.Settle(thread.GetWindow()));
        thread.GetSyncMgr()->PendingSync(0, SyncTaskPtr(new CSyncTask(0, nullptr)));
        thread.Stop();
    };
    ASSERT_NO_FATAL_FAILURE(cycle());  // first loads settle
    const DWORD before = enginetest::OpenHandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 20; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    const DWORD after = enginetest::OpenHandleCount();
    EXPECT_LE(after, before + 2);  // a little slack for the system's own
}

// The thread cannot make its window: it tells the callback before it ends,
// so the plug-in does not wait for an engine that never comes.
HWND WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

TEST(MORLThreadLoad, AThreadThatCannotMakeItsWindowReportsInitFail) {
    PluginFolder folder("thread_no_window", "");
    RecordingCallback callback;
    CMORLThread thread;
    thread.SetLibraryFolder(folder.Folder());
    {
        fundtest::ImportPatch noDialogs("CreateDialogParamW", reinterpret_cast<void*>(&NoDialog));
        ASSERT_TRUE(noDialogs.active());
        ASSERT_EQ(thread.Init(&callback), 1);
        ASSERT_EQ(WaitForSingleObject(thread.GetThreadHandle(), 5000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(callback.Events(), std::vector<std::string>{"InitFail 0 0"});
    EXPECT_EQ(thread.Failed(), 1);
    EXPECT_EQ(thread.GetThreadId(), 0u);
    EXPECT_EQ(thread.Stop(), 1);
    EXPECT_FALSE(folder.Called("Initialize test -> 1"));
}

// Counts the engine thread's reports without allocating: the engine
// thread's allocations fail in these tests.
class CountingCallback : public IMORLInitCallback {
public:
    void InitOK(IMORLMgr*) override { ++ok; }
    void InitFail(IMORLMgr*, int, int) override { ++failed; }
    void MORLHostKilled() override {}
    void MORLHostRestarted() override {}
    void MORLRepairProgress(int) override {}
    void OnSetBitMapFinishState(int) override {}
    int OnEngineMessage(const wchar_t*, const wchar_t*, int) override { return 0; }
    std::atomic<int> ok{0};
    std::atomic<int> failed{0};
};

// Each allocation of the engine thread fails in turn: the thread reports
// InitOK or InitFail, never nothing, and stops.
TEST(MORLThreadOutOfMemory, EachFailingAllocationEndsInAReport) {
    PluginFolder folder("thread_oom", "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n");
    int reports[2] = {0, 0};
    long long nth = 1;
    for (; nth < 500; ++nth) {
        CountingCallback callback;
        CMORLThread thread;
        thread.SetLibraryFolder(folder.Folder());
        const long long failedBefore = FailedAllocations();
        FailNthAllocation(nth, AllocatingThreads::Others);
        ASSERT_EQ(thread.Init(&callback), 1);
        const DWORD start = GetTickCount();
        while (callback.ok.load() + callback.failed.load() == 0 && GetTickCount() - start < 5000) Sleep(2);
        // Settled: the engine is ready or failed.
        Sleep(20);
        StopFailingAllocations();
        EXPECT_EQ(thread.Stop(), 1);
        const bool injected = FailedAllocations() != failedBefore;
        EXPECT_GE(callback.ok.load() + callback.failed.load(), 1) << "allocation " << nth;
        if (!injected) break;  // the engine thread made fewer allocations
        ++reports[callback.failed.load() > 0 ? 1 : 0];
    }
    std::printf("%lld allocations of the engine thread failed in turn: %d ready, %d failed\n", nth - 1,
                reports[0], reports[1]);
    EXPECT_GT(reports[1], 0);
}

// Stopped in each state it can be in before the engine is ready, the
// engine thread calls Uninitialize exactly when its state is above
// ENGINE_INITIALIZING: never while idle (its window could not be made, so
// its loop never ran) or after a failure that ended the thread, once while
// it waits for the engine's initialisation or while the engine repairs
// itself.
TEST(MORLThreadStop, UninitializeFollowsTheStateTable) {
    const std::string quickStop = "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n";
    const struct {
        const char* what;
        std::string script;
        bool windowless;
        T::EStatus state;
        size_t uninitializes;
    } rows[] = {
        {"idle", quickStop, true, T::ENGINE_IDLE, 0},
        {"failed while initialising", "InitializeResult=0\r\nInitializeError=0xE0000001\r\n" + quickStop,
         false, T::ENGINE_FAILED, 0},
        {"waiting for the initialisation", quickStop + "[Post.Initialize]\r\nNothing=1\r\n", false,
         T::ENGINE_WAIT_INIT, 1},
        {"repairing itself", "InitializeResult=0\r\nInitializeError=0x60000026\r\n" + quickStop, false,
         T::ENGINE_REPAIRING, 1},
        {"ready", quickStop, false, T::ENGINE_READY, 1},
    };
    for (const auto& row : rows) {
        PluginFolder folder(std::string("thread_stop_") + std::to_string(row.state), row.script);
        RecordingCallback callback;
        CMORLThread thread;
        thread.SetLibraryFolder(folder.Folder());
        {
            std::unique_ptr<fundtest::ImportPatch> noDialogs;
            if (row.windowless)
                noDialogs.reset(
                    new fundtest::ImportPatch("CreateDialogParamW", reinterpret_cast<void*>(&NoDialog)));
            ASSERT_EQ(thread.Init(&callback), 1) << row.what;
            const DWORD start = GetTickCount();
            while (thread.GetState() != row.state && GetTickCount() - start < 5000) Sleep(2);
            if (row.windowless) WaitForSingleObject(thread.GetThreadHandle(), 5000);
        }
        EXPECT_EQ(thread.GetState(), row.state) << row.what;
        EXPECT_EQ(thread.Stop(), 1) << row.what;
        EXPECT_EQ(folder.CountCalls("Uninitialize"), row.uninitializes) << row.what;
    }
}

TEST(MORLThreadLoad, StopWithoutInitIsHarmless) {
    CMORLThread thread;
    EXPECT_EQ(thread.Stop(), 1);
    EXPECT_EQ(thread.Stop(), 1);
}

//-----------------------------------------------------------------------------
// The transition table

TEST(MORLThreadTable, EveryTransitionAndNothingElse) {
    struct Row {
        T::EStatus from;
        T::EEvent event;
        T::EStatus to;
        bool pre;
        bool post;
    };
    const Row rows[] = {
        {T::ENGINE_IDLE, T::ENGINE_EV_START, T::ENGINE_INITIALIZING, false, true},
        {T::ENGINE_INITIALIZING, T::ENGINE_EV_INIT_PENDING, T::ENGINE_WAIT_INIT, false, false},
        {T::ENGINE_INITIALIZING, T::ENGINE_EV_NEED_REPAIR, T::ENGINE_REPAIRING, false, false},
        {T::ENGINE_INITIALIZING, T::ENGINE_EV_INIT_FAIL, T::ENGINE_FAILED, true, false},
        {T::ENGINE_REPAIRING, T::ENGINE_EV_REPAIR_DONE, T::ENGINE_INITIALIZING, true, true},
        {T::ENGINE_REPAIRING, T::ENGINE_EV_REPAIR_FAIL, T::ENGINE_FAILED, true, false},
        {T::ENGINE_WAIT_INIT, T::ENGINE_EV_INIT_ERROR, T::ENGINE_FAILED, true, false},
        {T::ENGINE_WAIT_INIT, T::ENGINE_EV_INIT_DONE, T::ENGINE_READY, true, true},
        {T::ENGINE_WAIT_INIT, T::ENGINE_EV_HOST_KILLED, T::ENGINE_WAIT_INIT_HOST_DOWN, false, false},
        {T::ENGINE_READY, T::ENGINE_EV_HOST_KILLED, T::ENGINE_HOST_DOWN, true, false},
        {T::ENGINE_READY_HOST_DOWN, T::ENGINE_EV_HOST_LOST, T::ENGINE_FAILED, true, false},
        {T::ENGINE_READY_HOST_DOWN, T::ENGINE_EV_HOST_RESTARTED, T::ENGINE_READY, false, true},
        {T::ENGINE_HOST_DOWN, T::ENGINE_EV_HOST_LOST, T::ENGINE_FAILED, true, false},
        {T::ENGINE_HOST_DOWN, T::ENGINE_EV_HOST_RESTARTED, T::ENGINE_READY_RESTARTED, false, true},
        {T::ENGINE_READY_RESTARTED, T::ENGINE_EV_HOST_KILLED, T::ENGINE_HOST_DOWN, true, false},
        {T::ENGINE_WAIT_INIT_HOST_DOWN, T::ENGINE_EV_HOST_RESTARTED, T::ENGINE_WAIT_INIT, false, false},
        {T::ENGINE_WAIT_INIT_HOST_DOWN, T::ENGINE_EV_INIT_DONE, T::ENGINE_READY_HOST_DOWN, true, false},
        {T::ENGINE_WAIT_INIT_HOST_DOWN, T::ENGINE_EV_HOST_LOST, T::ENGINE_FAILED, true, false},
        {T::ENGINE_WAIT_INIT_HOST_DOWN, T::ENGINE_EV_INIT_ERROR, T::ENGINE_FAILED, true, false},
    };
    CMORLThread thread;
    const T::Fsm& fsm = thread.GetFsm();
    for (const Row& row : rows) {
        const T::Fsm::Transition* t = fsm.FindTransition(row.from, row.event);
        ASSERT_NE(t, nullptr) << row.from << "," << row.event;
        EXPECT_EQ(t->next, row.to) << row.from << "," << row.event;
        EXPECT_EQ(t->pre != nullptr, row.pre) << row.from << "," << row.event;
        EXPECT_EQ(t->post != nullptr, row.post) << row.from << "," << row.event;
    }
    const T::EEvent absorbed[] = {T::ENGINE_EV_HOST_RESTARTED, T::ENGINE_EV_HOST_LOST,
                                  T::ENGINE_EV_INIT_DONE,      T::ENGINE_EV_INIT_ERROR,
                                  T::ENGINE_EV_HOST_KILLED,    T::ENGINE_EV_REPAIR_DONE,
                                  T::ENGINE_EV_REPAIR_FAIL};
    for (T::EEvent event : absorbed) {
        const T::Fsm::Transition* t = fsm.FindTransition(T::ENGINE_FAILED, event);
        ASSERT_NE(t, nullptr) << event;
        EXPECT_EQ(t->next, T::ENGINE_FAILED);
        EXPECT_EQ(t->pre, nullptr);
        EXPECT_EQ(t->post, nullptr);
    }
    EXPECT_EQ(fsm.TransitionCount(), sizeof(rows) / sizeof(rows[0]) + 7);
    EXPECT_EQ(thread.GetState(), T::ENGINE_IDLE);
}

}  // namespace
