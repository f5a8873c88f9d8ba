// The sync manager on a window of the test thread, with an engine double:
// starting, results, retries, the cache while the host is down,
// cancelling, and the release of requests still queued when the window
// goes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CSyncMgr.h"
#include "CSyncTask.h"
#include "EngineTestSupport.h"

namespace {

using enginetest::PumpPending;

struct StartCall {
    uint32_t index;
    HWND notify;
    uint32_t priority;
    uint32_t any;
    uint8_t flag;
};

// Records what the sync manager asks; answers from its tables.
class FakeEngine : public IResourceManager {
public:
    bool Initialize(const char*) override { return true; }
    bool Uninitialize() override { return true; }
    const char* GetFileName(uint32_t) override { return ""; }
    uint32_t GetFileIndex(const char* name) override {
        askedNames.push_back(name);
        std::map<std::string, uint32_t>::const_iterator found = indexes.find(name);
        return found == indexes.end() ? MORL_INVALID_INDEX : found->second;
    }
    bool GetFileSize(uint32_t, uint32_t*) override { return false; }
    bool GetFileDownloadSize(uint32_t, uint32_t*) override { return false; }
    bool GetFileMD5(uint32_t, char*) override { return false; }
    bool IsFileComplete(uint32_t) override { return false; }
    uint32_t StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any, uint8_t flag) override {
        starts.push_back(StartCall{index, notify, priority, any, flag});
        if (failStart) return MORL_INVALID_SYNC_ID;
        uint32_t id = nextId;
        nextId += idStep;
        return id;
    }
    void CancelSync(uint32_t syncId) override { cancels.push_back(syncId); }
    bool GetSyncResult(uint32_t syncId, SyncResult* result) override {
        std::map<uint32_t, SyncResult>::const_iterator found = records.find(syncId);
        if (found == records.end()) return false;
        *result = found->second;
        return true;
    }
    uint32_t GetLastErrorCode(uint32_t, uint32_t) override { return 0xE0000001u; }
    uint32_t GetErrorText(uint32_t, uint32_t, wchar_t* buffer, uint32_t length) override {
        if (buffer != nullptr && length > 0) buffer[0] = L'\0';
        return 1;
    }
    uint32_t GetDownloadSpeed() override { return 0; }
    uint32_t GetPreDownloadSpeed() override { return 0; }
    bool ExtractFile(uint32_t, const char*, uint32_t) override { return false; }
    void SetNotifyWindow(HWND) override {}
    void SetHostAction(uint32_t, uint32_t, bool) override {}

    void SetRecord(uint32_t syncId, int32_t status, const std::string& name) {
        SyncResult record;
        std::memset(&record, 0, sizeof(record));
        std::memcpy(record.fileName, name.data(), std::min<size_t>(name.size(), 256));
        record.status = status;
        records[syncId] = record;
    }

    std::vector<StartCall> starts;
    std::vector<uint32_t> cancels;
    std::vector<std::string> askedNames;
    std::map<std::string, uint32_t> indexes;
    std::map<uint32_t, SyncResult> records;
    bool failStart = false;
    uint32_t nextId = 100;
    uint32_t idStep = 1;
};

struct Result {
    CSyncTask* task;
    int status;
};

class RecordingRequester : public ISyncTaskCallback {
public:
    void OnSyncResult(SyncTaskPtr task, int status) override {
        results.push_back(Result{task.get(), status});
    }
    std::vector<Result> results;
};

// A message-only window of the test thread that hands its messages to the
// sync manager, as the engine window does.
class SyncMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &SyncMgrTest::Proc;
        wc.lpszClassName = L"SyncMgrTestWindow";
        RegisterClassW(&wc);
        window = CreateWindowExW(0, L"SyncMgrTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                 nullptr);
        ASSERT_NE(window, nullptr);
        mgr.reset(new CSyncMgr(&engine));
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(mgr.get()));
        mgr->Init(window);
    }

    void TearDown() override {
        mgr->Shutdown();
        DestroyWindow(window);
        mgr.reset();
        PumpPending();
    }

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        CSyncMgr* self = reinterpret_cast<CSyncMgr*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr && self->ProcessMsg(message, wParam, lParam) != 0) return 1;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    SyncTaskPtr NewTask(uint32_t index) { return SyncTaskPtr(new CSyncTask(index, &requester)); }

    void Ready() {
        mgr->InitOK(nullptr);
        PumpPending();
    }

    void Event(uint32_t syncId) {
        PostMessageW(window, WM_ENGINE_SYNC_EVENT, syncId, 0);
        PumpPending();
    }

    HWND window = nullptr;
    FakeEngine engine;
    RecordingRequester requester;
    std::unique_ptr<CSyncMgr> mgr;
};

TEST_F(SyncMgrTest, RequestsBeforeTheEngineIsReadyFailAtOnce) {
    SyncTaskPtr task = NewTask(4);
    ASSERT_EQ(mgr->PendingSync(4, task), 1);
    PumpPending();
    EXPECT_TRUE(engine.starts.empty());
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_FAILED);
    EXPECT_EQ(task.use_count(), 1);  // nothing kept it
}

TEST_F(SyncMgrTest, StartPassesPriorityFlagAndWindowAndEndsOnEngineStatus) {
    Ready();
    SyncTaskPtr synced = NewTask(4);
    SyncTaskPtr ended = NewTask(5);
    ended->SetPriority(80);
    ended->SetFlag(1);
    mgr->PendingSync(4, synced);
    mgr->PendingSync(5, ended);
    PumpPending();
    ASSERT_EQ(engine.starts.size(), 2u);
    EXPECT_EQ(engine.starts[0].index, 4u);
    EXPECT_EQ(engine.starts[0].priority, CSyncTask::kDefaultPriority);
    EXPECT_EQ(engine.starts[0].notify, window);
    EXPECT_EQ(engine.starts[0].any, 0xFFFFFFFFu);
    EXPECT_EQ(engine.starts[0].flag, 0);
    EXPECT_EQ(engine.starts[1].priority, 80u);
    EXPECT_EQ(engine.starts[1].flag, 1);
    EXPECT_EQ(synced->GetSyncId(), 100u);
    EXPECT_EQ(mgr->RunningCount(), 2u);

    // Running (1) and values outside 0..12 change nothing; an unknown id is
    // ignored.
    engine.SetRecord(100, 1, "a");
    Event(100);
    engine.SetRecord(100, 13, "a");
    Event(100);
    engine.SetRecord(999, 2, "a");
    Event(999);
    EXPECT_TRUE(requester.results.empty());

    engine.SetRecord(100, MORL_SYNC_STATUS_SYNCED, "a");
    Event(100);
    engine.SetRecord(101, MORL_SYNC_STATUS_ENDED, "b");
    Event(101);
    ASSERT_EQ(requester.results.size(), 2u);
    EXPECT_EQ(requester.results[0].task, synced.get());
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_SYNCED);
    EXPECT_EQ(requester.results[1].status, SYNC_TASK_ENDED);
    EXPECT_EQ(synced->GetLastStatus(), SYNC_TASK_SYNCED);
    EXPECT_EQ(mgr->RunningCount(), 0u);
    EXPECT_EQ(synced.use_count(), 1);
}

TEST_F(SyncMgrTest, ARefusedResultLeavesTheSyncRunning) {
    Ready();
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    Event(100);  // no record: GetSyncResult fails
    EXPECT_EQ(mgr->RunningCount(), 1u);
    EXPECT_TRUE(requester.results.empty());
}

TEST_F(SyncMgrTest, ThreeErrorsEndWithStatusThreeAfterTwoRetries) {
    Ready();
    engine.indexes["data\\a.dat"] = 9;
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    for (uint32_t id = 100; id < 103; ++id) {
        engine.SetRecord(id, 5, "data\\a.dat");
        Event(id);
    }
    ASSERT_EQ(engine.starts.size(), 3u);
    // A retry starts the index the name resolves to now; the task keeps the
    // index it was made for.
    EXPECT_EQ(engine.starts[1].index, 9u);
    EXPECT_EQ(engine.starts[2].index, 9u);
    EXPECT_EQ(task->GetFileIndex(), 4u);
    EXPECT_EQ(task->GetErrorCount(), 3u);
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_FAILED);
    EXPECT_EQ(mgr->RunningCount(), 0u);
}

TEST_F(SyncMgrTest, EveryErrorStatusIsRetried) {
    Ready();
    engine.indexes["n"] = 1;
    const int32_t errors[] = {0, 3, 4, 5, 6, 8, 9, 10, 11, 12};
    for (int32_t status : errors) {
        SyncTaskPtr task = NewTask(1);
        mgr->PendingSync(1, task);
        PumpPending();
        const size_t before = engine.starts.size();
        engine.SetRecord(task->GetSyncId(), status, "n");
        Event(task->GetSyncId());
        EXPECT_EQ(engine.starts.size(), before + 1) << "status " << status;
        EXPECT_EQ(task->GetErrorCount(), 1u);
    }
    EXPECT_TRUE(requester.results.empty());
}

TEST_F(SyncMgrTest, ANameThatNoLongerResolvesFailsAtTheFirstError) {
    Ready();
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    engine.SetRecord(100, 4, "gone");
    Event(100);
    EXPECT_EQ(engine.starts.size(), 1u);
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_FAILED);
    EXPECT_EQ(mgr->RunningCount(), 0u);
}

TEST_F(SyncMgrTest, AnUnterminatedNameIsReadWithinItsField) {
    Ready();
    const std::string longName(256, 'x');
    engine.indexes[longName] = 2;
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    engine.SetRecord(100, 4, longName + "tail");  // 256 bytes, no NUL
    engine.records[100].total = 0x41414141u;
    Event(100);
    ASSERT_EQ(engine.askedNames.size(), 1u);
    EXPECT_EQ(engine.askedNames[0], longName);
    ASSERT_EQ(engine.starts.size(), 2u);
    EXPECT_EQ(engine.starts[1].index, 2u);
}

TEST_F(SyncMgrTest, ARetryGivenTheSameIdKeepsRunning) {
    Ready();
    engine.idStep = 0;  // every sync gets id 100
    engine.indexes["n"] = 4;
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    engine.SetRecord(100, 5, "n");
    Event(100);
    EXPECT_EQ(mgr->RunningCount(), 1u);
    engine.SetRecord(100, MORL_SYNC_STATUS_SYNCED, "n");
    Event(100);
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_SYNCED);
}

TEST_F(SyncMgrTest, AReusedIdReplacesTheOlderTask) {
    Ready();
    engine.idStep = 0;
    SyncTaskPtr first = NewTask(1);
    SyncTaskPtr second = NewTask(2);
    mgr->PendingSync(1, first);
    mgr->PendingSync(2, second);
    PumpPending();
    EXPECT_EQ(mgr->RunningCount(), 1u);
    EXPECT_EQ(first.use_count(), 1);
    engine.SetRecord(100, MORL_SYNC_STATUS_SYNCED, "n");
    Event(100);
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].task, second.get());
}

TEST_F(SyncMgrTest, AFailedStartEndsWithStatusThree) {
    Ready();
    engine.failStart = true;
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_FAILED);
    EXPECT_EQ(task->GetSyncId(), MORL_INVALID_SYNC_ID);
    EXPECT_EQ(mgr->RunningCount(), 0u);
}

TEST_F(SyncMgrTest, RequestsWaitWhileTheHostIsDownAndStartWhenItReturns) {
    Ready();
    mgr->MORLHostKilled();
    SyncTaskPtr a = NewTask(1);
    SyncTaskPtr b = NewTask(2);
    mgr->PendingSync(1, a);
    mgr->PendingSync(2, b);
    mgr->PendingSync(3, b);  // the same task again: its index is replaced
    PumpPending();
    EXPECT_TRUE(engine.starts.empty());
    EXPECT_EQ(mgr->CachedCount(), 2u);
    EXPECT_TRUE(requester.results.empty());

    mgr->MORLHostRestarted();
    PumpPending();
    EXPECT_EQ(mgr->CachedCount(), 0u);
    ASSERT_EQ(engine.starts.size(), 2u);
    std::vector<uint32_t> started = {engine.starts[0].index, engine.starts[1].index};
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(mgr->RunningCount(), 2u);
}

TEST_F(SyncMgrTest, AFailedEngineEndsTheCachedTasks) {
    Ready();
    mgr->MORLHostKilled();
    SyncTaskPtr task = NewTask(1);
    mgr->PendingSync(1, task);
    PumpPending();
    mgr->InitFail(nullptr, 1, 0);
    PumpPending();
    EXPECT_TRUE(engine.starts.empty());
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_FAILED);
    EXPECT_EQ(mgr->CachedCount(), 0u);
    // Later requests fail at once too.
    mgr->PendingSync(2, NewTask(2));
    PumpPending();
    EXPECT_EQ(requester.results.size(), 2u);
}

TEST_F(SyncMgrTest, CancellingARunningTaskEndsItWithStatusZero) {
    Ready();
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    ASSERT_EQ(mgr->PendingCancelSync(task), 1);
    PumpPending();
    EXPECT_EQ(engine.cancels, (std::vector<uint32_t>{100}));
    ASSERT_EQ(requester.results.size(), 1u);
    EXPECT_EQ(requester.results[0].status, SYNC_TASK_ENDED);
    EXPECT_EQ(mgr->RunningCount(), 0u);
    EXPECT_EQ(task.use_count(), 1);
}

TEST_F(SyncMgrTest, CancellingATaskNeverStartedOnlyTellsTheEngine) {
    Ready();
    SyncTaskPtr running = NewTask(4);
    mgr->PendingSync(4, running);
    PumpPending();
    SyncTaskPtr idle = NewTask(5);
    PostMessageW(window, WM_SYNC_CANCEL2, reinterpret_cast<WPARAM>(new SyncTaskPtr(idle)), 0);
    PumpPending();
    EXPECT_EQ(engine.cancels, (std::vector<uint32_t>{0xFFFFFFFFu}));
    EXPECT_EQ(mgr->RunningCount(), 1u);
    EXPECT_TRUE(requester.results.empty());
    EXPECT_EQ(idle.use_count(), 1);
}

TEST_F(SyncMgrTest, CancellingACachedTaskDropsIt) {
    Ready();
    mgr->MORLHostKilled();
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    mgr->PendingCancelSync(task);
    PumpPending();
    EXPECT_EQ(mgr->CachedCount(), 0u);
    EXPECT_EQ(task.use_count(), 1);
}

TEST_F(SyncMgrTest, AResetCallbackHearsNothing) {
    Ready();
    SyncTaskPtr task = NewTask(4);
    mgr->PendingSync(4, task);
    PumpPending();
    task->ResetCallback();
    engine.SetRecord(100, MORL_SYNC_STATUS_SYNCED, "a");
    Event(100);
    EXPECT_TRUE(requester.results.empty());
    EXPECT_EQ(task->GetLastStatus(), SYNC_TASK_SYNCED);
}

TEST_F(SyncMgrTest, RequestsStillQueuedAreReleasedWhenTheWindowGoes) {
    Ready();
    SyncTaskPtr pending = NewTask(4);
    SyncTaskPtr cancelled = NewTask(5);
    ASSERT_EQ(mgr->PendingSync(4, pending), 1);
    ASSERT_EQ(mgr->PendingCancelSync(cancelled), 1);
    EXPECT_EQ(pending.use_count(), 2);
    EXPECT_EQ(cancelled.use_count(), 2);

    mgr->Shutdown();
    EXPECT_EQ(pending.use_count(), 1);
    EXPECT_EQ(cancelled.use_count(), 1);
    // Afterwards nothing is queued, and nothing leaks.
    EXPECT_EQ(mgr->PendingSync(4, pending), 0);
    EXPECT_EQ(pending.use_count(), 1);
    PumpPending();
    EXPECT_TRUE(engine.starts.empty());
    EXPECT_TRUE(requester.results.empty());
}

TEST(SyncMgrAlone, RequestsBeforeTheWindowExistAreRefused) {
    CSyncMgr mgr(nullptr);
    SyncTaskPtr task(new CSyncTask(1, nullptr));
    EXPECT_EQ(mgr.PendingSync(1, task), 0);
    EXPECT_EQ(mgr.PendingCancelSync(task), 0);
    EXPECT_EQ(mgr.PendingSync(1, SyncTaskPtr()), 0);
    EXPECT_EQ(task.use_count(), 1);
}

}  // namespace
