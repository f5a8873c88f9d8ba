// The download manager with the real sync manager on a window of the test
// thread (playing the engine thread) and a fake engine: gathering, the 3000
// queued syncs, slots refilled on each update, results, retries, progress,
// the end of the download and stopping.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "CDownloadFileMgr.h"
#include "AllocationCounter.h"
#include "CSyncMgr.h"
#include "test_download_fake_engine.h"

namespace {

class RecordingCallback : public IDownloadCallback {
public:
    void OnDownloadFail(const wchar_t*, int code) override { failures.push_back(code); }
    void OnDownloadAllSuccess() override { ++successes; }
    std::vector<int> failures;
    int successes = 0;
};

// The engine window: a message-only window whose messages go to the sync
// manager, pumped by the test.
class SyncWindow {
public:
    explicit SyncWindow(CSyncMgr& syncMgr) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Procedure;
        windowClass.lpszClassName = L"brevik_download_test_window";
        RegisterClassW(&windowClass);  // already registered by an earlier test: fine
        m_window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   nullptr, nullptr);
        SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&syncMgr));
    }
    ~SyncWindow() { DestroyWindow(m_window); }
    HWND Handle() const { return m_window; }

    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, m_window, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* syncMgr = reinterpret_cast<CSyncMgr*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (syncMgr != nullptr && syncMgr->ProcessMsg(message, wParam, lParam)) return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    HWND m_window;
};

FakeFile ToDownload(const std::string& name, uint32_t size, uint32_t downloadSize) {
    FakeFile file;
    file.name = name;
    file.size = size;
    file.downloadSize = downloadSize;
    file.complete = false;
    return file;
}

class DownloadManager : public ::testing::Test {
protected:
    DownloadManager() : syncMgr(&engine), window(syncMgr) {
        syncMgr.Init(window.Handle());
        syncMgr.InitOK(nullptr);
        window.Pump();
    }
    ~DownloadManager() override {
        manager.Stop();
        window.Pump();
        syncMgr.Shutdown();
    }

    // The engine reports a sync's state.
    void Report(uint32_t syncId, int32_t status, uint32_t total = 1, uint32_t done = 1) {
        engine.SetSync(syncId, total, done, status);
        PostMessageW(window.Handle(), WM_ENGINE_SYNC_EVENT, syncId, 0);
        window.Pump();
    }
    uint32_t SyncIdOf(uint32_t fileIndex) {
        for (const auto& started : engine.started)
            if (started.second == fileIndex) return started.first;
        return MORL_INVALID_SYNC_ID;
    }

    FakeEngine engine;
    CSyncMgr syncMgr;
    SyncWindow window;
    RecordingCallback callback;
    CDownloadFileMgr manager{&callback};
};

TEST_F(DownloadManager, WholeFilesNeedNoDownload) {
    FakeFile whole;
    whole.name = "a.dat";
    engine.Add(1, whole);
    EXPECT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"a.dat", L"not-in-the-archive.dat"}), 1);
    EXPECT_EQ(callback.successes, 1);
    window.Pump();
    EXPECT_TRUE(engine.started.empty());
    EXPECT_EQ(manager.GetDownloadProgress(), 0);
    EXPECT_EQ(manager.GetDownloadedBytes(), 0u);
}

TEST_F(DownloadManager, GatheringSkipsAbsentFilesAndStopsAtOtherErrors) {
    engine.Add(1, ToDownload("one.dat", 10, 5));
    FakeFile absent = ToDownload("absent.dat", 10, 5);
    absent.errorAfterCheck = MORL_ERROR_FILE_NOT_PRESENT;
    engine.Add(2, absent);
    FakeFile broken = ToDownload("broken.dat", 10, 5);
    broken.errorAfterCheck = MORL_ERROR_PACKAGE_DAMAGED;
    engine.Add(3, broken);

    EXPECT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"one.dat", L"absent.dat"}), 1);
    window.Pump();
    ASSERT_EQ(engine.started.size(), 1u);
    EXPECT_EQ(engine.started.begin()->second, 1u);

    CDownloadFileMgr other(&callback);
    EXPECT_EQ(other.BeginDownload(&engine, &syncMgr, {L"broken.dat", L"one.dat"}), 0);
    EXPECT_EQ(other.RunningCount(), 0u);
}

TEST_F(DownloadManager, AtMost3000SyncsAtOnceEachResultFreesASlot) {
    DownloadFileList names;
    for (uint32_t i = 0; i < 5000; ++i) {
        engine.Add(i, ToDownload("f" + std::to_string(i), 100, 100));
        names.push_back(L"f" + std::to_wstring(i));
    }
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, names), 1);
    window.Pump();
    EXPECT_EQ(engine.started.size(), 3000u);
    EXPECT_EQ(manager.RunningCount(), 3000u);
    EXPECT_EQ(manager.PendingCount(), 2000u);

    for (uint32_t i = 0; i < 10; ++i) Report(SyncIdOf(i), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.RunningCount(), 3000u);  // dropped on the next update
    EXPECT_EQ(manager.UpdateDownload(), 2);    // 10 of 5000 files
    window.Pump();
    EXPECT_EQ(engine.started.size(), 3010u);
    EXPECT_EQ(manager.RunningCount(), 3000u);
    EXPECT_EQ(manager.PendingCount(), 1990u);

    // A result without a status of its own (7) frees a slot too.
    Report(SyncIdOf(20), MORL_SYNC_STATUS_ENDED);
    manager.UpdateDownload();
    window.Pump();
    EXPECT_EQ(engine.started.size(), 3011u);
}

TEST_F(DownloadManager, ProgressCountsSyncedFilesAndLargeRunningSyncs) {
    const uint32_t mib = 1048576;
    engine.Add(1, ToDownload("small.dat", 1000, 1000000));
    engine.Add(2, ToDownload("large.dat", 8 * mib, 4 * mib));
    engine.Add(3, ToDownload("rest.dat", 1000, 5 * mib - 1000000));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"small.dat", L"large.dat", L"rest.dat"}), 1);
    window.Pump();
    EXPECT_EQ(manager.GetDownloadProgress(), 0);

    // large.dat half way: 2 MiB of 9 MiB to download.
    engine.SetSync(SyncIdOf(2), 100, 50, MORL_SYNC_STATUS_RUNNING);
    EXPECT_EQ(manager.GetDownloadProgress(), 222);
    EXPECT_EQ(manager.GetDownloadedBytes(), 4u * mib);  // extracted sizes, no floor

    // Less than 1 MiB of partial progress adds nothing to the progress.
    engine.SetSync(SyncIdOf(2), 100, 20, MORL_SYNC_STATUS_RUNNING);
    EXPECT_EQ(manager.GetDownloadProgress(), 0);

    Report(SyncIdOf(1), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.UpdateDownload(), 1000000ull * 1000 / (9 * mib));
    int progress = -1;
    float done = -1;
    float total = -1;
    EXPECT_EQ(manager.GetDownloadInfo(progress, done, total), 1);
    EXPECT_EQ(progress, 105);
    EXPECT_FLOAT_EQ(done, (1000000 / 1024) / 1024.0f);
    EXPECT_FLOAT_EQ(total, 9.0f);

    Report(SyncIdOf(2), MORL_SYNC_STATUS_SYNCED);
    Report(SyncIdOf(3), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.UpdateDownload(), 1000);
    EXPECT_EQ(manager.GetDownloadedBytes(), 1000u + 8 * mib + 1000);
    EXPECT_TRUE(callback.failures.empty());
}

TEST_F(DownloadManager, ThreeSyncErrorsFailTheFileWithCode6) {
    engine.Add(1, ToDownload("flaky.dat", 10, 10));
    engine.Add(2, ToDownload("fine.dat", 10, 10));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"flaky.dat", L"fine.dat"}), 1);
    window.Pump();
    uint32_t id = SyncIdOf(1);
    Report(id, 4);  // first error: retried under a new id
    EXPECT_TRUE(callback.failures.empty());
    id = engine.started.rbegin()->first;
    Report(id, 9);  // second error: retried again
    EXPECT_TRUE(callback.failures.empty());
    id = engine.started.rbegin()->first;
    Report(id, 0);                         // third error: the file fails
    EXPECT_EQ(engine.started.size(), 4u);  // fine.dat and three starts of flaky.dat
    EXPECT_EQ(callback.failures, std::vector<int>{CDownloadFileMgr::kSyncFailCode});

    // The download goes on: the other file still counts.
    Report(SyncIdOf(2), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.UpdateDownload(), 500);
}

TEST_F(DownloadManager, TheEngineHearsOnceWhenNoSyncIsLeft) {
    CDownloadFileMgr::ArmHostAction();
    engine.Add(1, ToDownload("a.dat", 10, 10));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"a.dat"}), 1);
    window.Pump();
    manager.UpdateDownload();
    EXPECT_EQ(engine.hostActions, 0);
    Report(SyncIdOf(1), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.UpdateDownload(), 1000);
    EXPECT_EQ(engine.hostActions, 1);
    manager.UpdateDownload();
    EXPECT_EQ(engine.hostActions, 1);  // once per process

    CDownloadFileMgr second(&callback);
    engine.Add(2, ToDownload("b.dat", 10, 10));
    ASSERT_EQ(second.BeginDownload(&engine, &syncMgr, {L"b.dat"}), 1);
    window.Pump();
    Report(SyncIdOf(2), MORL_SYNC_STATUS_SYNCED);
    second.UpdateDownload();
    EXPECT_EQ(engine.hostActions, 1);
}

TEST_F(DownloadManager, StopCancelsTheRunningSyncsAndForgetsEverything) {
    for (uint32_t i = 0; i < 4; ++i) engine.Add(i, ToDownload("f" + std::to_string(i), 10, 10));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"f0", L"f1", L"f2", L"f3"}), 1);
    window.Pump();
    Report(SyncIdOf(0), MORL_SYNC_STATUS_SYNCED);
    EXPECT_EQ(manager.GetDownloadProgress(), 250);

    manager.Stop();
    window.Pump();
    // Every task still in the running set, the finished one not yet dropped
    // included; the engine hears each cancel.
    EXPECT_EQ(engine.cancelled.size(), 4u);
    EXPECT_EQ(syncMgr.RunningCount(), 0u);
    EXPECT_EQ(manager.RunningCount(), 0u);
    EXPECT_EQ(manager.GetDownloadProgress(), 0);
    EXPECT_EQ(manager.GetDownloadedBytes(), 0u);
    EXPECT_TRUE(callback.failures.empty());
    EXPECT_EQ(callback.successes, 0);
}

// The cancel requests cannot be made (out of memory): the stop still
// forgets the syncs, the sync manager and the engine, which go next, so a
// second stop (the plug-in's destructor) touches neither.
TEST_F(DownloadManager, AStopWhoseCancelsFailStillForgetsTheSyncManager) {
    for (uint32_t i = 0; i < 3; ++i) engine.Add(i, ToDownload("f" + std::to_string(i), 10, 10));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"f0", L"f1", L"f2"}), 1);
    window.Pump();
    FailAllAllocations(AllocatingThreads::This);
    manager.Stop();
    StopFailingAllocations();
    EXPECT_EQ(manager.RunningCount(), 0u);
    EXPECT_EQ(manager.UpdateDownload(), 0);  // no engine, no sync manager
    CSyncMgr* const gone = nullptr;
    EXPECT_EQ(manager.BeginDownload(&engine, gone, {L"f0"}), 0);
    manager.Stop();
}

TEST_F(DownloadManager, ACallbackResetByTheRequesterHearsNothing) {
    engine.Add(1, ToDownload("a.dat", 10, 10));
    ASSERT_EQ(manager.BeginDownload(&engine, &syncMgr, {L"a.dat"}), 1);
    window.Pump();
    const uint32_t id = SyncIdOf(1);
    manager.Stop();  // resets the task's callback; its cancel is still queued
    Report(id, 5);
    window.Pump();
    EXPECT_TRUE(callback.failures.empty());
}

TEST_F(DownloadManager, ARefusingSyncManagerFailsTheStart) {
    engine.Add(1, ToDownload("a.dat", 10, 10));
    CSyncMgr closed(&engine);  // never given a window: takes no requests
    EXPECT_EQ(manager.BeginDownload(&engine, &closed, {L"a.dat"}), 0);
    CDownloadFileMgr noSyncMgr(&callback);
    EXPECT_EQ(noSyncMgr.BeginDownload(&engine, nullptr, {L"a.dat"}), 0);
    CDownloadFileMgr noEngine(&callback);
    EXPECT_EQ(noEngine.BeginDownload(nullptr, &syncMgr, {L"a.dat"}), 0);
    EXPECT_EQ(callback.successes, 0);
}

}  // namespace
