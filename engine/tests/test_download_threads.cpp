// The download manager with the sync manager on an engine thread of its
// own, as in the plug-in: results arrive while the plug-in side updates,
// reads the progress and stops.  Neither side may wait for the other for
// good (the task's lock before the manager's on the engine thread, never
// the other way round on the plug-in thread).

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "CDownloadFileMgr.h"
#include "CSyncMgr.h"
#include "test_download_fake_engine.h"

namespace {

class CountingCallback : public IDownloadCallback {
public:
    void OnDownloadFail(const wchar_t*, int) override { ++failures; }
    void OnDownloadAllSuccess() override { ++successes; }
    std::atomic<int> failures{0};
    std::atomic<int> successes{0};
};

// Runs the sync manager on its own thread with its own window, and finishes
// every sync it sees started with status 2; the first sync of every
// seventh file ends with an error status instead (and is retried).
class EngineThread {
public:
    explicit EngineThread(FakeEngine& engine) : m_engine(engine) {
        m_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, &EngineThread::Main, this, 0, nullptr);
        WaitForSingleObject(m_ready, INFINITE);
    }
    ~EngineThread() {
        m_quit = true;
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        CloseHandle(m_ready);
    }
    CSyncMgr* SyncMgr() { return m_syncMgr; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* syncMgr = reinterpret_cast<CSyncMgr*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (syncMgr != nullptr && syncMgr->ProcessMsg(message, wParam, lParam)) return 0;
        return DefWindowProcW(window, message, wParam, lParam);
    }

    static DWORD WINAPI Main(void* self) {
        static_cast<EngineThread*>(self)->Run();
        return 0;
    }

    void Run() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Procedure;
        windowClass.lpszClassName = L"brevik_download_thread_window";
        RegisterClassW(&windowClass);
        HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      nullptr, nullptr);
        CSyncMgr syncMgr(&m_engine);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&syncMgr));
        syncMgr.Init(window);
        syncMgr.InitOK(nullptr);
        m_syncMgr = &syncMgr;
        SetEvent(m_ready);

        uint32_t reported = 0;
        std::vector<uint32_t> fresh;
        std::map<uint32_t, int> starts;  // per file index
        while (!m_quit) {
            MSG msg;
            while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            fresh.clear();
            for (auto it = m_engine.started.upper_bound(reported); it != m_engine.started.end(); ++it)
                fresh.push_back(it->first);
            for (uint32_t id : fresh) {
                const uint32_t index = m_engine.started[id];
                const bool fails = index % 7 == 0 && ++starts[index] == 1;
                m_engine.SetSync(id, 10, 10, fails ? 5 : MORL_SYNC_STATUS_SYNCED);
                syncMgr.ProcessMsg(WM_ENGINE_SYNC_EVENT, id, 0);
                reported = id;
            }
            if (fresh.empty()) Sleep(1);
        }
        syncMgr.Shutdown();
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }

    FakeEngine& m_engine;
    CSyncMgr* m_syncMgr = nullptr;
    HANDLE m_ready;
    HANDLE m_thread;
    std::atomic<bool> m_quit{false};
};

DownloadFileList AddFiles(FakeEngine& engine, uint32_t count) {
    DownloadFileList names;
    for (uint32_t i = 0; i < count; ++i) {
        FakeFile file;
        file.name = "f" + std::to_string(i);
        file.size = 2000;
        file.downloadSize = 1000;
        file.complete = false;
        engine.Add(i, file);
        names.push_back(L"f" + std::to_wstring(i));
    }
    return names;
}

TEST(DownloadThreads, AWholeDownloadWhileResultsArriveOnTheEngineThread) {
    FakeEngine engine;
    const DownloadFileList names = AddFiles(engine, 1000);
    CountingCallback callback;
    EngineThread engineThread(engine);
    CDownloadFileMgr manager(&callback);
    ASSERT_EQ(manager.BeginDownload(&engine, engineThread.SyncMgr(), names), 1);

    int progress = 0;
    for (int tick = 0; tick < 20000 && progress < 1000; ++tick) {
        progress = manager.UpdateDownload();
        manager.GetDownloadedBytes();
        Sleep(1);
    }
    EXPECT_EQ(progress, 1000);
    EXPECT_EQ(manager.GetDownloadedBytes(), 1000u * 2000);
    EXPECT_EQ(callback.failures.load(), 0);  // one error per file at most: retried
    manager.Stop();
}

TEST(DownloadThreads, StopWhileResultsArrive) {
    FakeEngine engine;
    const DownloadFileList names = AddFiles(engine, 1500);
    CountingCallback callback;
    EngineThread engineThread(engine);
    for (int round = 0; round < 3; ++round) {
        CDownloadFileMgr manager(&callback);
        ASSERT_EQ(manager.BeginDownload(&engine, engineThread.SyncMgr(), names), 1);
        for (int tick = 0; tick < 5 * (round + 1); ++tick) {
            manager.UpdateDownload();
            Sleep(1);
        }
        manager.Stop();
        const int failuresAtStop = callback.failures.load();
        Sleep(20);
        EXPECT_EQ(callback.failures.load(), failuresAtStop);
        EXPECT_EQ(manager.GetDownloadProgress(), 0);
    }
}

}  // namespace
