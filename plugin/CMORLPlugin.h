// CMORLPlugin.h - the repair object that the host drives.
//
// One per process (CreateMORLRepair).  It owns the plug-in thread and its
// hidden window, the state machine that walks the repair steps, the engine
// thread, both list configurations, the download and restore managers and
// the statistics reporter.  Every repair step runs on the plug-in thread as
// the handler of a window message or timer; other threads only post.

#ifndef BREVIK_PLUGIN_CMORLPLUGIN_H
#define BREVIK_PLUGIN_CMORLPLUGIN_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "CDownloadFileMgr.h"
#include "CDownloadListConfig.h"
#include "CMORLThread.h"
#include "CRestoreFileMgr.h"
#include "CRestoreListConfig.h"
#include "IDownloadCallback.h"
#include "IMORLInitCallback.h"
#include "IRestoreCallback.h"
#include "MORLRepair.h"
#include "MORLWndMsgProcessor.h"
#include "PluginQos.h"
#include "PluginSettings.h"
#include "fund/CZulFsm.h"
#include "fund/win/handle.h"
#include "fund/win/thread.h"

// Messages of the plug-in window.
const UINT WM_MORL_INIT = WM_USER + 1;           // wParam INIT_*; lParam error code
const UINT WM_MORL_REPAIRING = WM_USER + 2;      // wParam: engine repair progress, tenths of %
const UINT WM_MORL_DOWNLOAD_FAIL = WM_USER + 3;  // wParam: failure code
const UINT WM_MORL_DOWNLOAD_SUCCESS = WM_USER + 4;
const UINT WM_MORL_RESTORE_FAIL = WM_USER + 5;  // wParam: failure code
const UINT WM_MORL_RESTORE_SUCCESS = WM_USER + 6;
const UINT WM_MORL_DOWNLOAD_LIST = WM_USER + 7;  // wParam LIST_*
const UINT WM_MORL_RESTORE_LIST = WM_USER + 8;   // wParam LIST_*
const UINT WM_MORL_START = WM_USER + 9;

// wParam of WM_MORL_INIT: how the engine's start went.
const WPARAM INIT_FAILED = 0;
const WPARAM INIT_READY = 1;

// wParam of the list messages: the list was read, could not be, or its
// reading gave up because the repair stops.
const WPARAM LIST_FAILED = 0;
const WPARAM LIST_READY = 1;
const WPARAM LIST_QUIT = 2;

// Timers of the plug-in window, both with a period of a second.
const UINT_PTR TIMER_DOWNLOAD_PROGRESS = 1044;
const UINT_PTR TIMER_RESTORE_PROGRESS = 1045;
const UINT kProgressPeriodMs = 1000;

// The last repair step entered, for the statistics.
enum RepairStage {
    STAGE_INITIALIZING = 1,
    STAGE_PARSING_DOWNLOAD_LIST = 2,
    STAGE_DOWNLOADING = 3,
    STAGE_PARSING_RESTORE_LIST = 4,
    STAGE_RESTORING = 5,
    STAGE_SUCCESS = 6,
    STAGE_CONSTRUCTED = 7,
};

// Where the plug-in finds its files: the base folder (settings file and the
// launcher's data file) and the plug-in's own folder (list files, morl.dll
// and MORLCheck.dll).  Neither ends in a backslash.
struct CMORLPluginFolders {
    std::wstring baseFolder;
    std::wstring pluginFolder;
};

class CMORLPlugin : public Kestrum::IPluginEvent,
                    public IMORLInitCallback,
                    public MORLWndMsgProcessor,
                    public IDownloadCallback,
                    public IRestoreCallback {
public:
    enum EStatus {
        STATUS_IDLE = 0,
        STATUS_INITIALIZING = 1,
        STATUS_PARSING_DOWNLOAD_LIST = 2,
        STATUS_DOWNLOADING = 3,
        STATUS_RESTORING = 4,
        STATUS_SUCCESS = 5,
        STATUS_FAIL = 6,
    };

    enum EEvent {
        EVENT_START = 0,
        EVENT_INIT_FAIL = 1,
        EVENT_NEED_REPAIR = 2,
        EVENT_REPAIR_PROGRESS = 3,
        EVENT_DOWNLOAD_LIST_READY = 4,
        EVENT_DOWNLOAD_LIST_FAIL = 5,
        EVENT_RESTORE_LIST_READY = 6,
        EVENT_RESTORE_LIST_FAIL = 7,
        EVENT_DOWNLOAD_FAIL = 8,
        EVENT_DOWNLOAD_SUCCESS = 9,
        EVENT_RESTORE_SUCCESS = 10,
        EVENT_RESTORE_FAIL = 11,
    };

    typedef CZulFsm<CMORLPlugin, EStatus, EEvent, uint32_t, uint32_t> Fsm;

    // Opens the feedback page; the default uses the shell's "open" verb.
    typedef std::function<void(const wchar_t* url)> FeedbackOpener;
    static const wchar_t* const kFeedbackUrl;

    // Folders from the module that holds this code (Brevik.dll).
    CMORLPlugin();
    explicit CMORLPlugin(const CMORLPluginFolders& folders);
    virtual ~CMORLPlugin();

    CMORLPlugin(const CMORLPlugin&) = delete;
    CMORLPlugin& operator=(const CMORLPlugin&) = delete;

    // Kestrum::IPluginEvent, host thread.
    int SetPluginEvent(IRepairEventSink* sink) override;
    int BeginMORLRepair() override;
    int StopMORLRepair() override;

    // IMORLInitCallback, engine thread: each only posts to the plug-in
    // window, except OnEngineMessage, which asks the host's sink.
    void InitOK(IMORLMgr* mgr) override;
    void InitFail(IMORLMgr* mgr, int canRead, int errorCode) override;
    void MORLHostKilled() override;
    void MORLHostRestarted() override;
    void MORLRepairProgress(int progress) override;
    void OnSetBitMapFinishState(int error) override;
    int OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) override;

    // IDownloadCallback and IRestoreCallback: post to the plug-in window.
    void OnDownloadFail(const wchar_t* text, int code) override;
    void OnDownloadAllSuccess() override;
    void OnRestoreFail(const wchar_t* text, int code) override;
    void OnRestoreSuccess() override;

    // MORLWndMsgProcessor, plug-in thread: turns messages and timers into
    // statistics values and state-machine events.
    void OnRecvWndMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Replaces the feedback page opener (tests record the call instead).
    void SetFeedbackOpener(FeedbackOpener opener) { m_feedbackOpener = std::move(opener); }

    // Read access for the host stand-in's diagnostics and for tests.
    EStatus GetStatus() const { return m_fsm.GetState(); }
    const Fsm& GetFsm() const { return m_fsm; }
    int GetStage() const { return m_stage.load(); }
    int GetMicroVersionType() const { return m_microVersionType; }
    uint32_t GetCurrentSpeed() const { return m_currentSpeed; }
    uint32_t GetAverageSpeed() const { return m_averageSpeed; }
    int64_t GetDownloadedBytes() const { return m_downloadedBytes; }
    uint32_t GetElapsed() const { return m_elapsed; }
    uint32_t GetDownloadStart() const { return m_downloadStart.load(); }
    const PluginQos& GetQos() const { return m_qos; }
    PluginQos& GetQos() { return m_qos; }
    const CPluginSettings& GetSettings() const { return m_settings; }
    const CDownloadListConfig& GetDownloadList() const { return m_downloadList; }
    const CRestoreListConfig& GetRestoreList() const { return m_restoreList; }
    HANDLE GetThreadHandle() const { return m_thread.native_handle(); }

    // The plug-in thread's entry and body; their result tells how the
    // thread ended.
    static unsigned PluginThread(void* plugin);
    unsigned PluginThreadProcess();

    // True when called on the plug-in thread or the engine thread (from a
    // sink's operation): such a caller must not wait for those threads.
    bool IsOwnThread() const;

    // Whether the once-per-process full report has gone out.
    static bool FullReportSent();

private:
    // State-machine actions, plug-in thread.  The results are not used.
    bool init(uint32_t, uint32_t);
    bool repair_progress(uint32_t progress, uint32_t);
    bool parser_downloadlist(uint32_t, uint32_t);
    bool download(uint32_t, uint32_t);
    bool parser_restorelist(uint32_t, uint32_t);
    bool restore(uint32_t, uint32_t);
    bool fail(uint32_t code, uint32_t);
    bool success(uint32_t, uint32_t);

    void RegisterTransitions();
    int Begin();
    void HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // A message's handler failed by an exception: the repair fails with the
    // failure of the step it was in, unless the host knows the outcome.
    void FailOnFault();
    // True when a repair is due; false when the recorded version is the
    // client version (the host is then told success).
    bool version_update();
    void OnDownloadTimer();
    void OnRestoreTimer();
    void TakeDownloadStatistics();
    void OpenFeedbackPage();

    void Post(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    void Event(EEvent event, uint32_t p1, uint32_t p2 = 0);
    void SetValue(int index, int64_t value);
    void SinkProgress(int percent, const wchar_t* text);
    IResourceManager* Engine() const;

    Fsm m_fsm;
    fund::win::thread m_thread;
    std::atomic<unsigned> m_pluginThreadId;  // while the plug-in thread runs
    fund::win::unique_handle m_stopEvent;
    std::atomic<IRepairEventSink*> m_sink;
    CMORLThread m_engineThread;
    std::atomic<IMORLMgr*> m_engineMgr;
    CRestoreListConfig m_restoreList;
    CDownloadListConfig m_downloadList;
    CDownloadFileMgr m_downloadMgr;
    CRestoreFileMgr m_restoreMgr;
    PluginQos m_qos;
    std::atomic<int32_t> m_stage;
    int32_t m_microVersionType;
    uint32_t m_currentSpeed;
    uint32_t m_averageSpeed;
    int64_t m_downloadedBytes;
    uint32_t m_elapsed;
    std::atomic<uint32_t> m_downloadStart;

    CMORLPluginFolders m_folders;
    CPluginSettings m_settings;
    bool m_listNamesComplete;
    // The plug-in thread has no window to receive the engine's reports:
    // init fails the repair at once.
    bool m_cannotStart;
    // The host has heard success or failure: nothing more is told.
    std::atomic<bool> m_outcomeTold;
    FeedbackOpener m_feedbackOpener;
};

#endif  // BREVIK_PLUGIN_CMORLPLUGIN_H
