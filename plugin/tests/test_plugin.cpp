// CMORLPlugin without the host: its state machine, message table,
// callbacks, version check, statistics, feedback page and lifecycle,
// driven directly with a fake sink and a fake engine.

#include <gtest/gtest.h>

#include <algorithm>

#include "PluginTestSupport.h"
#include "RepairTexts.h"

namespace {

typedef CMORLPlugin P;

const std::wstring kDone = ProgressText(PROGRESS_TEXT_DONE);
const std::wstring kUpdating = ProgressText(PROGRESS_TEXT_UPDATING);

std::wstring Fail(const wchar_t* text) { return std::wstring(L"fail ") + text; }

bool HasPosted(const std::vector<Posted>& posted, UINT message, WPARAM wParam) {
    return std::any_of(posted.begin(), posted.end(),
                       [&](const Posted& p) { return p.message == message && p.wParam == wParam; });
}

bool TimerRuns(HWND window, UINT_PTR id) {
    // Killing a timer that does not run fails; one that runs is started
    // again so that the test sees no difference.
    if (!KillTimer(window, id)) return false;
    SetTimer(window, id, kProgressPeriodMs, nullptr);
    return true;
}

//-----------------------------------------------------------------------------
// The transition table

TEST(PluginFsm, TableHasTheFourteenTransitions) {
    PluginHarness h;
    h.Open();
    const P::Fsm& fsm = h.plugin->GetFsm();
    EXPECT_EQ(14u, fsm.TransitionCount());
    const struct {
        P::EStatus from;
        P::EEvent event;
        P::EStatus to;
        bool pre;
    } rows[] = {
        {P::STATUS_IDLE, P::EVENT_START, P::STATUS_INITIALIZING, false},
        {P::STATUS_INITIALIZING, P::EVENT_REPAIR_PROGRESS, P::STATUS_INITIALIZING, true},
        {P::STATUS_INITIALIZING, P::EVENT_INIT_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_INITIALIZING, P::EVENT_NEED_REPAIR, P::STATUS_PARSING_DOWNLOAD_LIST, false},
        {P::STATUS_PARSING_DOWNLOAD_LIST, P::EVENT_DOWNLOAD_LIST_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_PARSING_DOWNLOAD_LIST, P::EVENT_DOWNLOAD_LIST_READY, P::STATUS_DOWNLOADING, false},
        {P::STATUS_PARSING_DOWNLOAD_LIST, P::EVENT_INIT_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_DOWNLOADING, P::EVENT_DOWNLOAD_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_DOWNLOADING, P::EVENT_DOWNLOAD_SUCCESS, P::STATUS_RESTORING, false},
        {P::STATUS_DOWNLOADING, P::EVENT_INIT_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_RESTORING, P::EVENT_RESTORE_LIST_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_RESTORING, P::EVENT_RESTORE_LIST_READY, P::STATUS_RESTORING, true},
        {P::STATUS_RESTORING, P::EVENT_RESTORE_FAIL, P::STATUS_FAIL, false},
        {P::STATUS_RESTORING, P::EVENT_RESTORE_SUCCESS, P::STATUS_SUCCESS, false},
    };
    for (const auto& row : rows) {
        const P::Fsm::Transition* t = fsm.FindTransition(row.from, row.event);
        ASSERT_NE(nullptr, t) << row.from << "/" << row.event;
        EXPECT_EQ(row.to, t->next);
        // Self-loops act before the state is set again, the rest after.
        EXPECT_EQ(row.pre, t->pre != nullptr);
        EXPECT_EQ(!row.pre, t->post != nullptr);
    }
    // Nothing leaves the final states.
    for (int e = P::EVENT_START; e <= P::EVENT_RESTORE_FAIL; ++e) {
        EXPECT_FALSE(fsm.HasTransition(P::STATUS_SUCCESS, static_cast<P::EEvent>(e)));
        EXPECT_FALSE(fsm.HasTransition(P::STATUS_FAIL, static_cast<P::EEvent>(e)));
    }
}

TEST(PluginFsm, ConstructedIdleAtStageSeven) {
    PluginHarness h;
    h.Open();
    EXPECT_EQ(P::STATUS_IDLE, h.Status());
    EXPECT_EQ(STAGE_CONSTRUCTED, h.plugin->GetStage());
    EXPECT_EQ(0u, h.plugin->GetDownloadStart());
}

// 1, and the failure of init: no morl.dll in the plug-in folder.
TEST(PluginFsm, StartRunsInitWhichReportsAFailedEngineThread) {
    PluginHarness h;
    h.Open();
    h.Send(WM_MORL_START);
    EXPECT_EQ(P::STATUS_INITIALIZING, h.Status());
    const std::vector<Posted> posted = h.TakePosted();
    ASSERT_EQ(1u, posted.size());
    EXPECT_EQ(WM_MORL_INIT, posted[0].message);
    EXPECT_EQ(0u, posted[0].wParam);
    EXPECT_EQ(0, posted[0].lParam);
    EXPECT_EQ(0u, h.sink.Count());
}

// 2: a self-loop that reports the engine's own repair each time.
TEST(PluginFsm, RepairProgressKeepsInitializing) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_REPAIRING, 457);
    h.Send(WM_MORL_REPAIRING, 1000);
    EXPECT_EQ(P::STATUS_INITIALIZING, h.Status());
    EXPECT_EQ(STAGE_INITIALIZING, h.plugin->GetStage());
    EXPECT_EQ(1, h.plugin->GetQos().Value(4));
    const std::wstring text = ProgressText(PROGRESS_TEXT_ENGINE_REPAIR);
    const std::vector<std::wstring> expected = {L"progress 45 " + text, L"progress 100 " + text};
    EXPECT_EQ(expected, h.sink.Calls());
}

// 3, with a negative engine code (the second parameter is 0 then).
TEST(PluginFsm, InitFailWhileInitializingFailsWithTheEngineText) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 0, -5);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(EngineFailText(0))}, h.sink.Calls());
    EXPECT_EQ(0, h.plugin->GetQos().Value(16));
}

// 4: the version check asks for a repair and the list is parsed.
TEST(PluginFsm, NeedRepairParsesTheDownloadList) {
    PluginHarness h;
    h.ToInitializing();
    h.plugin->InitOK(&h.mgr);
    const std::vector<Posted> fromInitOk = h.TakePosted();
    ASSERT_EQ(1u, fromInitOk.size());
    EXPECT_TRUE(HasPosted(fromInitOk, WM_MORL_INIT, 1));
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(P::STATUS_PARSING_DOWNLOAD_LIST, h.Status());
    EXPECT_EQ(STAGE_PARSING_DOWNLOAD_LIST, h.plugin->GetStage());
    EXPECT_EQ(3, h.plugin->GetQos().Value(5));
    EXPECT_TRUE(HasPosted(h.TakePosted(), WM_MORL_DOWNLOAD_LIST, 1));
    EXPECT_EQ(3u, h.plugin->GetDownloadList().GetEntries().size());
    EXPECT_EQ(0u, h.sink.Count());
}

TEST(PluginFsm, LongDownloadListShowsProgressBetweenBatches) {
    PluginHarness h;
    h.WriteLists(1200, 1);
    h.ToParsingDownloadList();
    EXPECT_EQ(1200u, h.plugin->GetDownloadList().GetEntries().size());
    // Three batches of at most 500: two calls that say "more".
    const std::vector<std::wstring> expected(2, L"progress 0 " + kUpdating);
    EXPECT_EQ(expected, h.sink.Calls());
}

TEST(PluginFsm, MissingDownloadListPostsAFailedParse) {
    PluginHarness h;
    h.base.Remove("Plugin\\DLList_1.ini");
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(2, h.plugin->GetQos().Value(5));
    const std::vector<Posted> posted = h.TakePosted();
    EXPECT_TRUE(HasPosted(posted, WM_MORL_DOWNLOAD_LIST, 0));
    // 5 with code 1.
    h.Send(WM_MORL_DOWNLOAD_LIST, 0);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(1))}, h.sink.Calls());
    EXPECT_EQ(1, h.plugin->GetQos().Value(16));
}

// 5 with code 2: the parse gave up because the repair is being stopped.
TEST(PluginFsm, DownloadListGivenUpFailsWithoutTellingTheHost) {
    PluginHarness h;
    h.ToParsingDownloadList();
    h.Send(WM_MORL_DOWNLOAD_LIST, 2);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(0u, h.sink.Count());
    EXPECT_EQ(2, h.plugin->GetQos().Value(16));
}

// 6: the download starts; the manager finds every file whole.
TEST(PluginFsm, DownloadListReadyStartsTheDownload) {
    PluginHarness h;
    h.ToParsingDownloadList();
    h.Send(WM_MORL_DOWNLOAD_LIST, 1);
    EXPECT_EQ(P::STATUS_DOWNLOADING, h.Status());
    EXPECT_EQ(STAGE_DOWNLOADING, h.plugin->GetStage());
    EXPECT_EQ(1, h.plugin->GetQos().Value(6));
    // The list moved to the manager.
    EXPECT_TRUE(h.plugin->GetDownloadList().GetEntries().empty());
    EXPECT_NE(0u, h.plugin->GetDownloadStart());
    EXPECT_TRUE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
    EXPECT_TRUE(HasPosted(h.TakePosted(), WM_MORL_DOWNLOAD_SUCCESS, 0));
}

TEST(PluginFsm, DownloadWithoutEngineManagerFailsWithCodeFour) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);  // ready, but InitOK never stored a manager
    h.TakePosted();
    h.Send(WM_MORL_DOWNLOAD_LIST, 1);
    EXPECT_EQ(P::STATUS_DOWNLOADING, h.Status());
    EXPECT_EQ(0u, h.plugin->GetDownloadStart());
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
    const std::vector<Posted> posted = h.TakePosted();
    ASSERT_TRUE(HasPosted(posted, WM_MORL_DOWNLOAD_FAIL, 4));
    h.Send(WM_MORL_DOWNLOAD_FAIL, 4);
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(4))}, h.sink.Calls());
}

// 7
TEST(PluginFsm, InitFailWhileParsingFails) {
    PluginHarness h;
    h.ToParsingDownloadList();
    h.Send(WM_MORL_INIT, 0, 3);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(EngineFailText(0))}, h.sink.Calls());
}

// 8, and a failure kills the progress timer.
TEST(PluginFsm, DownloadFailureFailsAndKillsTheTimer) {
    PluginHarness h;
    h.ToDownloading();
    ASSERT_TRUE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
    h.Send(WM_MORL_DOWNLOAD_FAIL, 6);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(6))}, h.sink.Calls());
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
    // Later failures of other syncs change nothing more.
    h.Send(WM_MORL_DOWNLOAD_FAIL, 6);
    EXPECT_EQ(1u, h.sink.Count());
}

TEST(PluginFsm, BitmapFailureFailsWithCodeFive) {
    PluginHarness h;
    h.ToDownloading();
    h.plugin->OnSetBitMapFinishState(3);
    const std::vector<Posted> posted = h.TakePosted();
    ASSERT_TRUE(HasPosted(posted, WM_MORL_DOWNLOAD_FAIL, 5));
    h.Send(WM_MORL_DOWNLOAD_FAIL, 5);
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(5))}, h.sink.Calls());
}

// 9: the download ends and the restore list is parsed.
TEST(PluginFsm, DownloadSuccessParsesTheRestoreList) {
    PluginHarness h;
    h.ToDownloading();
    h.Send(WM_MORL_DOWNLOAD_SUCCESS);
    EXPECT_EQ(P::STATUS_RESTORING, h.Status());
    EXPECT_EQ(STAGE_PARSING_RESTORE_LIST, h.plugin->GetStage());
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
    EXPECT_EQ(3, h.plugin->GetQos().Value(10));
    EXPECT_EQ(std::vector<std::wstring>{L"progress 0 " + kUpdating}, h.sink.Calls());
    EXPECT_TRUE(HasPosted(h.TakePosted(), WM_MORL_RESTORE_LIST, 1));
    EXPECT_EQ(2u, h.plugin->GetRestoreList().GetEntries().size());
}

// 10
TEST(PluginFsm, InitFailWhileDownloadingFails) {
    PluginHarness h;
    h.ToDownloading();
    h.Send(WM_MORL_INIT, 0, 0);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(EngineFailText(0))}, h.sink.Calls());
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_DOWNLOAD_PROGRESS));
}

// 11 with codes 7 and 8.
TEST(PluginFsm, RestoreListFailureAndGivingUp) {
    {
        PluginHarness h;
        h.base.Remove("Plugin\\RTList_1.ini");
        h.ToDownloading();
        h.Send(WM_MORL_DOWNLOAD_SUCCESS);
        EXPECT_EQ(2, h.plugin->GetQos().Value(10));
        EXPECT_TRUE(HasPosted(h.TakePosted(), WM_MORL_RESTORE_LIST, 0));
        h.sink.Clear();
        h.Send(WM_MORL_RESTORE_LIST, 0);
        EXPECT_EQ(P::STATUS_FAIL, h.Status());
        EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(7))}, h.sink.Calls());
    }
    {
        PluginHarness h;
        h.ToRestoring();
        h.sink.Clear();
        h.Send(WM_MORL_RESTORE_LIST, 2);
        EXPECT_EQ(P::STATUS_FAIL, h.Status());
        EXPECT_EQ(0u, h.sink.Count());
        EXPECT_EQ(8, h.plugin->GetQos().Value(16));
    }
}

// 12: restore runs before the state is set again; the fake engine extracts.
TEST(PluginFsm, RestoreListReadyStartsTheRestore) {
    PluginHarness h;
    h.ToRestoring();
    h.Send(WM_MORL_RESTORE_LIST, 1);
    EXPECT_EQ(P::STATUS_RESTORING, h.Status());
    EXPECT_EQ(STAGE_RESTORING, h.plugin->GetStage());
    EXPECT_EQ(1, h.plugin->GetQos().Value(11));
    EXPECT_TRUE(h.plugin->GetRestoreList().GetEntries().empty());
    EXPECT_TRUE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
    // The restore thread reports through the window.
    bool succeeded = false;
    const DWORD start = GetTickCount();
    while (!succeeded && GetTickCount() - start < 5000) {
        for (const Posted& p : h.TakePosted()) succeeded = succeeded || p.message == WM_MORL_RESTORE_SUCCESS;
        Sleep(5);
    }
    EXPECT_TRUE(succeeded);
    EXPECT_EQ(2, h.engine.extractions.load());
}

TEST(PluginFsm, RestoreWithoutEngineManagerFailsWithCodeTen) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    h.TakePosted();
    h.Send(WM_MORL_DOWNLOAD_LIST, 1);
    h.TakePosted();
    h.Send(WM_MORL_DOWNLOAD_SUCCESS);
    h.TakePosted();
    h.Send(WM_MORL_RESTORE_LIST, 1);
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
    ASSERT_TRUE(HasPosted(h.TakePosted(), WM_MORL_RESTORE_FAIL, 10));
    h.sink.Clear();
    h.Send(WM_MORL_RESTORE_FAIL, 10);
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(10))}, h.sink.Calls());
    EXPECT_EQ(10, h.plugin->GetQos().Value(14));
}

// 13, and the restore timer dies with the failure.
TEST(PluginFsm, RestoreFailureFailsAndKillsTheTimer) {
    PluginHarness h;
    h.engine.extractResult = false;
    h.ToRestoring();
    h.Send(WM_MORL_RESTORE_LIST, 1);
    ASSERT_TRUE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
    h.sink.Clear();
    h.Send(WM_MORL_RESTORE_FAIL, 11);
    EXPECT_EQ(P::STATUS_FAIL, h.Status());
    EXPECT_EQ(std::vector<std::wstring>{Fail(RepairFailText(11))}, h.sink.Calls());
    EXPECT_EQ(11, h.plugin->GetQos().Value(14));
    EXPECT_EQ(11, h.plugin->GetQos().Value(16));
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
}

// 14: success tells the host and records the client version.
TEST(PluginFsm, RestoreSuccessRecordsTheVersion) {
    PluginHarness h;
    h.ToRestoring();
    h.Send(WM_MORL_RESTORE_LIST, 1);
    h.sink.Clear();
    h.Send(WM_MORL_RESTORE_SUCCESS);
    EXPECT_EQ(P::STATUS_SUCCESS, h.Status());
    EXPECT_EQ(STAGE_SUCCESS, h.plugin->GetStage());
    const std::vector<std::wstring> expected = {L"progress 100 " + kDone, L"success"};
    EXPECT_EQ(expected, h.sink.Calls());
    EXPECT_EQ("2.0.0.1", h.plugin->GetSettings().ReadVersion());
    EXPECT_EQ(1, h.plugin->GetQos().Value(13));
    EXPECT_EQ(100, h.plugin->GetQos().Value(12));
    EXPECT_EQ(1, h.plugin->GetQos().Value(15));
    EXPECT_FALSE(TimerRuns(h.Window(), TIMER_RESTORE_PROGRESS));
}

// An ignored event in every state: no state change, no sink call, nothing
// posted.
TEST(PluginFsm, EventsWithoutATransitionAreIgnoredInEveryState) {
    const struct {
        void (PluginHarness::*walk)();
        UINT message;
        WPARAM wParam;
    } rows[] = {
        {nullptr, WM_MORL_DOWNLOAD_SUCCESS, 0},  // idle
        {&PluginHarness::ToInitializing, WM_MORL_DOWNLOAD_SUCCESS, 0},
        {&PluginHarness::ToParsingDownloadList, WM_MORL_RESTORE_SUCCESS, 0},
        {&PluginHarness::ToDownloading, WM_MORL_RESTORE_LIST, 1},
        {&PluginHarness::ToRestoring, WM_MORL_INIT, 0},  // init fail
        {&PluginHarness::ToSuccess, WM_MORL_INIT, 0},
        {&PluginHarness::ToFail, WM_MORL_START, 0},
    };
    for (const auto& row : rows) {
        PluginHarness h;
        if (row.walk != nullptr)
            (h.*row.walk)();
        else
            h.Open();
        const P::EStatus before = h.Status();
        const int stage = h.plugin->GetStage();
        h.sink.Clear();
        h.Send(row.message, row.wParam);
        EXPECT_EQ(before, h.Status()) << row.message;
        EXPECT_EQ(stage, h.plugin->GetStage());
        EXPECT_EQ(0u, h.sink.Count()) << "state " << before;
        EXPECT_TRUE(h.TakePosted().empty()) << "state " << before;
    }
}

//-----------------------------------------------------------------------------
// The message table

TEST(PluginMessages, UnknownParametersAndMessagesDoNothing) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 2, 0);
    h.Send(WM_TIMER, 1043);
    h.Send(WM_TIMER, 1046);
    h.Send(WM_MORL_DOWNLOAD_LIST, 3);
    h.Send(WM_MORL_RESTORE_LIST, 3);
    h.Send(WM_USER + 10);
    h.Send(WM_NULL);
    EXPECT_EQ(P::STATUS_INITIALIZING, h.Status());
    EXPECT_EQ(0u, h.sink.Count());
    EXPECT_TRUE(h.TakePosted().empty());
    // The list names were not completed either: no version check ran.
    EXPECT_EQ(L"DLList_", h.plugin->GetDownloadList().GetFileName());
}

TEST(PluginMessages, DownloadResultsGoToTheFirstRepairValuesWhileNoVersionIsRecorded) {
    PluginHarness h;
    h.ToDownloading();
    h.Send(WM_MORL_DOWNLOAD_SUCCESS);
    const PluginQos& qos = h.plugin->GetQos();
    EXPECT_EQ(1, qos.Value(7));
    EXPECT_EQ(100, qos.Value(9));
    EXPECT_EQ(0, qos.Value(18));
    EXPECT_EQ(0, qos.Value(20));
    // The download statistics were taken once.
    EXPECT_EQ(0u, h.plugin->GetDownloadStart());
    EXPECT_EQ(1, qos.Value(25));
}

TEST(PluginMessages, DownloadResultsGoToTheLaterValuesOnceAVersionIsRecorded) {
    PluginHarness h;
    h.WriteSettings("version=1.0\r\n");
    h.ToDownloading();
    h.Send(WM_MORL_DOWNLOAD_FAIL, 6);
    const PluginQos& qos = h.plugin->GetQos();
    EXPECT_EQ(0, qos.Value(8));
    EXPECT_EQ(6, qos.Value(19));
    EXPECT_EQ(0, qos.Value(25));
    EXPECT_EQ(0u, h.plugin->GetDownloadStart());

    PluginHarness s;
    s.WriteSettings("version=1.0\r\n");
    s.ToDownloading();
    s.Send(WM_MORL_DOWNLOAD_SUCCESS);
    EXPECT_EQ(0, s.plugin->GetQos().Value(7));
    EXPECT_EQ(1, s.plugin->GetQos().Value(18));
    EXPECT_EQ(100, s.plugin->GetQos().Value(20));
}

TEST(PluginMessages, DownloadFailureBeforeAnyDownloadLeavesTheFiguresUnset) {
    PluginHarness h;
    h.ToInitializing();
    h.Send(WM_MORL_DOWNLOAD_FAIL, 6);
    const PluginQos& qos = h.plugin->GetQos();
    EXPECT_EQ(6, qos.Value(8));
    for (int i = 22; i <= 25; ++i) EXPECT_EQ(0, qos.Value(i)) << i;
    EXPECT_EQ(P::STATUS_INITIALIZING, h.Status());
}

TEST(PluginMessages, DownloadTimerShowsTheSpeedAndDrivesTheManager) {
    PluginHarness h;
    h.engine.speed = 2048;
    h.ToDownloading();
    h.sink.Clear();
    h.Send(WM_TIMER, TIMER_DOWNLOAD_PROGRESS);
    EXPECT_EQ(2048u, h.plugin->GetCurrentSpeed());
    EXPECT_EQ(2048, h.plugin->GetQos().Value(21));
    const std::vector<std::wstring> calls = h.sink.Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(L"progress 0 " + DownloadProgressReport(0, 2048).line, calls[0]);

    h.engine.speed = 0;
    h.sink.Clear();
    h.Send(WM_TIMER, TIMER_DOWNLOAD_PROGRESS);
    EXPECT_EQ(std::vector<std::wstring>{L"progress 0 " + DownloadProgressReport(0, 0).line}, h.sink.Calls());
}

TEST(PluginMessages, RestoreTimerReportsTheManagersProgress) {
    PluginHarness h;
    h.ToRestoring();
    h.sink.Clear();
    h.Send(WM_TIMER, TIMER_RESTORE_PROGRESS);
    EXPECT_EQ(std::vector<std::wstring>{L"progress 0 " + RestoreProgressReport(0).line}, h.sink.Calls());
}

TEST(PluginMessages, TimersTickOnTheirOwnOnceASecond) {
    PluginHarness h;
    h.engine.speed = 1024;
    h.ToDownloading();
    h.sink.Clear();
    ASSERT_TRUE(h.PumpUntil([&] { return h.sink.Count() > 0; }, 3000));
    EXPECT_EQ(L"progress 0 " + DownloadProgressReport(0, 1024).line, h.sink.Calls()[0]);
}

//-----------------------------------------------------------------------------
// Callbacks: each only posts

TEST(PluginCallbacks, EachPostsItsMessage) {
    PluginHarness h;
    h.Open();
    h.plugin->InitFail(&h.mgr, 1, 0x60000026);
    h.plugin->MORLRepairProgress(250);
    h.plugin->OnSetBitMapFinishState(0);
    h.plugin->OnSetBitMapFinishState(7);
    h.plugin->OnDownloadFail(L"ignored", 6);
    h.plugin->OnDownloadAllSuccess();
    h.plugin->OnRestoreFail(L"ignored", 11);
    h.plugin->OnRestoreSuccess();
    h.plugin->MORLHostKilled();
    h.plugin->MORLHostRestarted();
    const std::vector<Posted> posted = h.TakePosted();
    ASSERT_EQ(8u, posted.size());
    const Posted expected[] = {
        {WM_MORL_INIT, 0, 0x60000026}, {WM_MORL_REPAIRING, 250, 0},     {WM_MORL_DOWNLOAD_SUCCESS, 0, 0},
        {WM_MORL_DOWNLOAD_FAIL, 5, 0}, {WM_MORL_DOWNLOAD_FAIL, 6, 0},   {WM_MORL_DOWNLOAD_SUCCESS, 0, 0},
        {WM_MORL_RESTORE_FAIL, 11, 0}, {WM_MORL_RESTORE_SUCCESS, 0, 0},
    };
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(expected[i].message, posted[i].message) << i;
        EXPECT_EQ(expected[i].wParam, posted[i].wParam) << i;
        EXPECT_EQ(static_cast<int32_t>(expected[i].lParam), static_cast<int32_t>(posted[i].lParam)) << i;
    }
    EXPECT_EQ(0u, h.sink.Count());
}

TEST(PluginCallbacks, EngineMessageGoesToTheSinkAndBack) {
    PluginHarness h;
    CMORLPlugin bare(h.Folders());
    EXPECT_EQ(0, bare.OnEngineMessage(L"text", L"caption", 4));
    h.Open();
    h.sink.messageAnswer = 7;
    EXPECT_EQ(7, h.plugin->OnEngineMessage(L"text", L"caption", 4));
    EXPECT_EQ(std::vector<std::wstring>{L"message text|caption|4"}, h.sink.Calls());
}

TEST(PluginCallbacks, NullSinkIsRefusedAndKeepsTheOldOne) {
    PluginHarness h;
    h.Open();
    EXPECT_EQ(0, h.plugin->SetPluginEvent(nullptr));
    h.ToFail();
    EXPECT_EQ(1u, h.sink.Count());
}

//-----------------------------------------------------------------------------
// The version check

TEST(PluginVersion, UpToDateGameSucceedsWithoutARepair) {
    PluginHarness h;
    h.WriteSettings("version=2.0.0.1\r\n");
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(P::STATUS_INITIALIZING, h.Status());
    const std::vector<std::wstring> expected = {L"progress 100 " + kDone, L"success"};
    EXPECT_EQ(expected, h.sink.Calls());
    EXPECT_TRUE(h.TakePosted().empty());
}

TEST(PluginVersion, MicroVersionTypeNamesTheListsOnce) {
    PluginHarness h;
    h.WriteSettings("MicroVersionType=2\r\n");
    h.base.Write("Plugin\\DLList_2.ini", "[ListConfig]\r\nFileCount=1\r\n[0]\r\nSrc=f0\r\n");
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(2, h.plugin->GetMicroVersionType());
    EXPECT_EQ(L"DLList_2.ini", h.plugin->GetDownloadList().GetFileName());
    EXPECT_EQ(L"RTList_2.ini", h.plugin->GetRestoreList().GetFileName());
    EXPECT_EQ(1u, h.plugin->GetDownloadList().GetEntries().size());
    // The engine may report ready again (its host came back).
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(L"DLList_2.ini", h.plugin->GetDownloadList().GetFileName());
}

// A launcher version file whose Version is empty: no version can be
// compared, so the repair runs, even with a recorded version (and with an
// empty recorded one, which an empty client version must not "equal").
TEST(PluginVersion, AnEmptyClientVersionTriggersARepair) {
    for (const char* recorded : {"version=2.0.0.1\r\n", ""}) {
        PluginHarness h;
        h.WriteClientVersion("");
        h.WriteSettings(recorded);
        h.ToInitializing();
        h.plugin->InitOK(&h.mgr);
        h.TakePosted();
        h.Send(WM_MORL_INIT, 1, 0);
        EXPECT_EQ(P::STATUS_PARSING_DOWNLOAD_LIST, h.Status()) << recorded;
        EXPECT_EQ(0u, h.sink.Count()) << recorded;
    }
}

TEST(PluginVersion, LongRecordedVersionNeverMatches) {
    PluginHarness h;
    h.WriteClientVersion("1234567890.234567");
    h.WriteSettings("version=1234567890.234567\r\n");
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    EXPECT_EQ(P::STATUS_PARSING_DOWNLOAD_LIST, h.Status());
}

TEST(PluginVersion, SuccessThenAnUpToDateSecondRun) {
    PluginHarness h;
    h.ToSuccess();
    h.plugin.reset();
    h.sink.Clear();
    h.ToInitializing();
    h.Send(WM_MORL_INIT, 1, 0);
    const std::vector<std::wstring> expected = {L"progress 100 " + kDone, L"success"};
    EXPECT_EQ(expected, h.sink.Calls());
}

//-----------------------------------------------------------------------------
// Stopping: the feedback page, the full report, the download figures

TEST(PluginStop, StopWithoutBeginReturnsOneAndSendsTheFullReportOnce) {
    PluginHarness h;
    h.Open();
    EXPECT_FALSE(CMORLPlugin::FullReportSent());
    EXPECT_EQ(1, h.plugin->StopMORLRepair());
    EXPECT_TRUE(CMORLPlugin::FullReportSent());
    EXPECT_TRUE(h.plugin->GetQos().IsFullReportSent());
    EXPECT_EQ(1, h.plugin->StopMORLRepair());
    EXPECT_TRUE(h.feedbackOpened.empty());
}

TEST(PluginStop, StopDuringTheDownloadOpensTheFeedbackPageOncePerMachine) {
    PluginHarness h;
    h.ToDownloading();
    EXPECT_EQ(1, h.plugin->StopMORLRepair());
    ASSERT_EQ(1u, h.feedbackOpened.size());
    EXPECT_EQ(std::wstring(CMORLPlugin::kFeedbackUrl), h.feedbackOpened[0]);
    EXPECT_FALSE(h.plugin->GetSettings().ReadBeCancel());
    // The figures were taken before the report.
    EXPECT_EQ(0u, h.plugin->GetDownloadStart());
    // Stopping again (as the destructor does) opens nothing.
    EXPECT_EQ(1, h.plugin->StopMORLRepair());
    h.plugin.reset();
    EXPECT_EQ(1u, h.feedbackOpened.size());
    // Nor does a later run on the same machine.
    h.ToDownloading();
    h.plugin->StopMORLRepair();
    EXPECT_EQ(1u, h.feedbackOpened.size());
}

TEST(PluginStop, NoFeedbackPageOnceARepairSucceededOrOutsideTheDownload) {
    {
        PluginHarness h;
        h.WriteSettings("version=1.0\r\n");
        h.ToDownloading();
        h.plugin->StopMORLRepair();
        EXPECT_TRUE(h.feedbackOpened.empty());
        EXPECT_FALSE(h.plugin->GetSettings().ReadBeCancel());
    }
    {
        PluginHarness h;
        h.ToRestoring();
        h.plugin->StopMORLRepair();
        EXPECT_TRUE(h.feedbackOpened.empty());
        EXPECT_TRUE(h.plugin->GetSettings().ReadBeCancel());
    }
}

// The page is opened through the shell, as the product does: the test's
// Wine prefix hands http and https addresses to a recorder program, which
// writes the address into the file BREVIK_URL_RECORD names.
TEST(PluginStop, TheFeedbackPageOpensThroughTheShell) {
    PluginHarness h;
    h.feedbackThroughTheShell = true;
    const std::string record = h.base.Path() + "\\feedback.txt";
    SetEnvironmentVariableA("BREVIK_URL_RECORD", record.c_str());
    h.ToDownloading();
    h.plugin->StopMORLRepair();
    EXPECT_TRUE(h.feedbackOpened.empty());
    const DWORD start = GetTickCount();
    while (!h.base.Exists("feedback.txt") && GetTickCount() - start < 20000) Sleep(20);
    SetEnvironmentVariableA("BREVIK_URL_RECORD", nullptr);
    EXPECT_EQ("https://kestrum.orvane.example/feedback?from=draviksidloplugin\n",
              h.base.Read("feedback.txt"));
}

TEST(PluginStop, TheStoppedStageGoesIntoTheFullReport) {
    PluginHarness h;
    h.ToDownloading();
    EXPECT_EQ(0, h.plugin->GetQos().Value(17));
    h.plugin->StopMORLRepair();
    // The lists are emptied once the report is out, so the value is read
    // back only through the flag; the stage itself is unchanged.
    EXPECT_TRUE(h.plugin->GetQos().IsFullReportSent());
    EXPECT_EQ(STAGE_DOWNLOADING, h.plugin->GetStage());
}

}  // namespace
