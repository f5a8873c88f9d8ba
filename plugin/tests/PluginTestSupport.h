// PluginTestSupport.h - fakes of the host's sink and of the engine, and a
// game folder, to drive CMORLPlugin without the host or morl.dll.

#ifndef BREVIK_PLUGIN_TESTS_PLUGINTESTSUPPORT_H
#define BREVIK_PLUGIN_TESTS_PLUGINTESTSUPPORT_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CMORLPlugin.h"
#include "TempFolder.h"

// Records every sink call as a line: "progress <percent> <text>",
// "success", "fail <text>", "message <text>|<caption>|<flags>".
class FakeSink : public IRepairEventSink {
public:
    int OnProgress(int percent, const wchar_t* text) override;
    int OnSuccess() override;
    int OnFail(const wchar_t* text) override;
    int OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) override;

    std::vector<std::wstring> Calls() const;
    size_t Count() const;
    void Clear();
    int messageAnswer = 6;

private:
    void Add(const std::wstring& call);
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_calls;
};

// An engine whose archive holds the files added with AddFile.
class FakeEngine : public IResourceManager {
public:
    void AddFile(const std::string& name, bool complete, uint32_t size);
    std::atomic<uint32_t> speed{0};
    std::atomic<bool> extractResult{true};
    std::atomic<int> extractions{0};
    // While set, the extraction numbered `gateFrom` (from 1) and later ones
    // wait until the event is signalled (ten seconds at most).
    std::atomic<HANDLE> extractGate{nullptr};
    std::atomic<int> gateFrom{1};

    bool Initialize(const char*) override { return true; }
    bool Uninitialize() override { return true; }
    const char* GetFileName(uint32_t index) override;
    uint32_t GetFileIndex(const char* name) override;
    bool GetFileSize(uint32_t index, uint32_t* size) override;
    bool GetFileDownloadSize(uint32_t index, uint32_t* size) override;
    bool GetFileMD5(uint32_t, char*) override { return false; }
    bool IsFileComplete(uint32_t index) override;
    uint32_t StartSync(uint32_t, HWND, uint32_t, uint32_t, uint8_t) override;
    void CancelSync(uint32_t) override {}
    bool GetSyncResult(uint32_t, SyncResult*) override { return false; }
    uint32_t GetLastErrorCode(uint32_t, uint32_t) override { return 0; }
    uint32_t GetErrorText(uint32_t, uint32_t, wchar_t* buffer, uint32_t length) override;
    uint32_t GetDownloadSpeed() override { return speed.load(); }
    uint32_t GetPreDownloadSpeed() override { return 0; }
    bool ExtractFile(uint32_t index, const char* folder, uint32_t overwrite) override;
    void SetNotifyWindow(HWND) override {}
    void SetHostAction(uint32_t, uint32_t, bool) override {}

private:
    struct File {
        std::string name;
        bool complete;
        uint32_t size;
    };
    std::mutex m_lock;
    std::vector<File> m_files;
};

class FakeMgr : public IMORLMgr {
public:
    explicit FakeMgr(IResourceManager* engine) : m_engine(engine) {}
    IResourceManager* GetResourceManager() override { return m_engine; }
    CSyncMgr* GetSyncMgr() override { return nullptr; }

private:
    IResourceManager* m_engine;
};

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// A game folder (base folder with the settings and the launcher data, a
// plug-in folder with the lists) and a plug-in whose window belongs to the
// test's thread, so that the test reads what it posts and delivers
// messages itself.
class PluginHarness {
public:
    PluginHarness();
    ~PluginHarness();

    TempFolder base;
    FakeSink sink;
    FakeEngine engine;
    FakeMgr mgr{&engine};
    std::unique_ptr<CMORLPlugin> plugin;
    std::vector<std::wstring> feedbackOpened;
    // Set before Open: the plug-in opens the feedback page through the
    // shell, as shipped, instead of adding it to feedbackOpened.
    bool feedbackThroughTheShell = false;

    CMORLPluginFolders Folders() const;
    void WriteClientVersion(const std::string& version);
    void WriteSettings(const std::string& lines);
    // DLList_1.ini with `count` files "f0".."f<count-1>" (all complete in
    // the fake engine), RTList_1.ini with `restores` entries.
    void WriteLists(int count, int restores);

    // Makes the plug-in with the window on this thread and the sink set.
    void Open();
    HWND Window() const { return plugin->GetWnd(); }
    CMORLPlugin::EStatus Status() const { return plugin->GetStatus(); }

    // Delivers a message as the plug-in thread would.
    void Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Takes the messages posted to the window so far (timers stay queued).
    std::vector<Posted> TakePosted();
    // Takes the posted messages and delivers them, again and again, until
    // none is left.
    void DeliverPosted();
    // Pumps the window's messages (timers included) until `until` or the
    // time limit; true when `until` became true.
    template <typename Pred>
    bool PumpUntil(Pred until, unsigned limitMs = 5000);

    // Walks the states: each leaves the machine in the named state and the
    // window's queue empty.
    void ToInitializing();  // no morl.dll: init fails and posts INIT(0)
    void ToParsingDownloadList();
    void ToDownloading();  // the download manager finds nothing to do
    void ToRestoring();
    void ToSuccess();
    void ToFail();
};

// The folder of the running test program.
std::wstring ProgramFolder();

// Bytes in use on every heap of the process.
size_t HeapBusyBytes();

// Open handles of the process.  Wine answers GetProcessHandleCount with 0,
// so the handle values themselves are probed as well (both systems hand
// out multiples of 4).
DWORD HandleCount();

// Copies the engine stand-ins (morl.dll, MORLCheck.dll) from the program's
// folder beside the harness's plug-in, with `script` as morl_script.ini;
// false when they are not built.
bool InstallStandins(const PluginHarness& h, const std::string& script);

// Waits until the sink has recorded `count` calls, at most `limitMs`.
bool WaitForCalls(const FakeSink& sink, size_t count, unsigned limitMs);

// Ends the test program with a message when it is still alive after
// `limitMs` and not disarmed: a test of something that would otherwise
// hang for ever (a thread waiting for itself) fails instead.
class HangGuard {
public:
    HangGuard(unsigned limitMs, const char* what);
    ~HangGuard();
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

private:
    static DWORD WINAPI Watch(void* self);
    HANDLE m_disarmed;
    HANDLE m_thread;
    unsigned m_limitMs;
    const char* m_what;
};

template <typename Pred>
bool PluginHarness::PumpUntil(Pred until, unsigned limitMs) {
    const DWORD start = GetTickCount();
    while (!until()) {
        if (GetTickCount() - start > limitMs) return false;
        MSG message;
        if (PeekMessageW(&message, Window(), 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        else
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

#endif  // BREVIK_PLUGIN_TESTS_PLUGINTESTSUPPORT_H
