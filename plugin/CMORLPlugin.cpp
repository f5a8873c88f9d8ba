// CMORLPlugin.cpp - the repair object: host-facing operations, callbacks,
// the state machine's actions, the plug-in thread and its message table.

#include "CMORLPlugin.h"

#include <shellapi.h>

#include <fund/guard.h>
#include <fund/trace.h>

#include <algorithm>
#include <limits>

#include "DownloadStatistics.h"
#include "EngineSupport.h"
#include "RepairTexts.h"

namespace {

// Statistics values (indexes of the full report) set by the plug-in.
enum QosValue {
    QOS_BEGAN = 3,
    QOS_ENGINE_REPAIRED = 4,
    QOS_DOWNLOAD_LIST = 5,
    QOS_DOWNLOAD_STARTED = 6,
    QOS_DOWNLOAD_OK_FIRST = 7,
    QOS_DOWNLOAD_FAIL_FIRST = 8,
    QOS_DOWNLOAD_PROGRESS = 9,
    QOS_RESTORE_LIST = 10,
    QOS_RESTORE_STARTED = 11,
    QOS_RESTORE_PROGRESS = 12,
    QOS_RESTORE_OK = 13,
    QOS_RESTORE_FAIL = 14,
    QOS_REPAIR_OK = 15,
    QOS_FAIL_CODE = 16,
    QOS_STOP_STAGE = 17,
    QOS_DOWNLOAD_OK_AGAIN = 18,
    QOS_DOWNLOAD_FAIL_AGAIN = 19,
    QOS_DOWNLOAD_DONE_AGAIN = 20,
    QOS_SPEED = 21,
    QOS_DOWNLOADED_KB = 22,
    QOS_AVERAGE_SPEED = 23,
    QOS_DOWNLOAD_SECONDS = 24,
    QOS_FIRST_REPAIR = 25,
};

const int QOS_LIST_PARSED = 3;
const int QOS_LIST_FAILED = 2;

// Failure codes raised by the plug-in itself.
const uint32_t FAIL_ENGINE = 0;
const uint32_t FAIL_DOWNLOAD_LIST = 1;
const uint32_t FAIL_DOWNLOAD_LIST_QUIT = 2;
const uint32_t FAIL_DOWNLOAD_START = 4;
const uint32_t FAIL_BITMAP = 5;
const uint32_t FAIL_RESTORE_LIST = 7;
const uint32_t FAIL_RESTORE_LIST_QUIT = 8;
const uint32_t FAIL_RESTORE_START = 10;
// The plug-in thread's exit code after an exception.
const unsigned kThreadFault = 3;

// A step that failed for want of memory, by the step the repair was in.
const uint32_t FAIL_DOWNLOAD = CDownloadFileMgr::kSyncFailCode;
const uint32_t FAIL_RESTORE = CRestoreFileMgr::kRestoreFailCode;

// The full report goes out once per process, whatever the number of
// plug-in objects.
std::atomic<bool> g_fullReportSent(false);

CMORLPluginFolders FoldersOfThisModule() {
    CMORLPluginFolders folders;
    folders.baseFolder = GetBaseFolder();
    folders.pluginFolder = PluginFolder();
    return folders;
}

void ShellOpen(const wchar_t* url) { ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL); }

}  // namespace

const wchar_t* const CMORLPlugin::kFeedbackUrl =
    L"https://kestrum.orvane.example/feedback?from=draviksidloplugin";

CMORLPlugin::CMORLPlugin() : CMORLPlugin(FoldersOfThisModule()) {}

CMORLPlugin::CMORLPlugin(const CMORLPluginFolders& folders)
    : m_fsm(this),
      m_pluginThreadId(0),
      m_sink(nullptr),
      m_engineMgr(nullptr),
      m_restoreList(folders.pluginFolder),
      m_downloadList(folders.pluginFolder),
      m_downloadMgr(this),
      m_restoreMgr(this, folders.pluginFolder),
      m_stage(STAGE_CONSTRUCTED),
      m_microVersionType(1),
      m_currentSpeed(0),
      m_averageSpeed(0),
      m_downloadedBytes(0),
      m_elapsed(0),
      m_downloadStart(0),
      m_folders(folders),
      m_settings(folders.baseFolder),
      m_listNamesComplete(false),
      m_cannotStart(false),
      m_outcomeTold(false),
      m_feedbackOpener(&ShellOpen) {
    Trace(L"CMORLPlugin::CMORLPlugin");
    m_engineThread.SetLibraryFolder(folders.pluginFolder);
    // The engine's reset of the recorded version goes to the very file the
    // plug-in reads it from.
    m_engineThread.SetSettingsFile(m_settings.SettingsPath());
    RegisterTransitions();
}

CMORLPlugin::~CMORLPlugin() {
    Trace(L"CMORLPlugin::~CMORLPlugin");
    StopMORLRepair();
    Trace(L"[MORLWndMsgProcessor::Initialize()][Uninitialize][m_wnd %u][this %p]",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetWnd())),
          static_cast<void*>(static_cast<MORLWndMsgProcessor*>(this)));
    fund::guarded(L"CMORLPlugin::~CMORLPlugin", [&] { DestroyWnd(); });
    m_sink.store(nullptr);
    m_engineMgr.store(nullptr);
    m_currentSpeed = 0;
    m_averageSpeed = 0;
    m_downloadedBytes = 0;
    m_elapsed = 0;
    m_downloadStart.store(0);
    m_qos.SendEndReport(m_stage.load());
    m_qos.Release();
}

void CMORLPlugin::RegisterTransitions() {
    m_fsm.AddTransition(STATUS_IDLE, EVENT_START, STATUS_INITIALIZING, nullptr, &CMORLPlugin::init)
        .AddTransition(STATUS_INITIALIZING, EVENT_REPAIR_PROGRESS, STATUS_INITIALIZING,
                       &CMORLPlugin::repair_progress, nullptr)
        .AddTransition(STATUS_INITIALIZING, EVENT_INIT_FAIL, STATUS_FAIL, nullptr, &CMORLPlugin::fail)
        .AddTransition(STATUS_INITIALIZING, EVENT_NEED_REPAIR, STATUS_PARSING_DOWNLOAD_LIST, nullptr,
                       &CMORLPlugin::parser_downloadlist)
        .AddTransition(STATUS_PARSING_DOWNLOAD_LIST, EVENT_DOWNLOAD_LIST_FAIL, STATUS_FAIL, nullptr,
                       &CMORLPlugin::fail)
        .AddTransition(STATUS_PARSING_DOWNLOAD_LIST, EVENT_DOWNLOAD_LIST_READY, STATUS_DOWNLOADING, nullptr,
                       &CMORLPlugin::download)
        .AddTransition(STATUS_PARSING_DOWNLOAD_LIST, EVENT_INIT_FAIL, STATUS_FAIL, nullptr,
                       &CMORLPlugin::fail)
        .AddTransition(STATUS_DOWNLOADING, EVENT_DOWNLOAD_FAIL, STATUS_FAIL, nullptr, &CMORLPlugin::fail)
        .AddTransition(STATUS_DOWNLOADING, EVENT_DOWNLOAD_SUCCESS, STATUS_RESTORING, nullptr,
                       &CMORLPlugin::parser_restorelist)
        .AddTransition(STATUS_DOWNLOADING, EVENT_INIT_FAIL, STATUS_FAIL, nullptr, &CMORLPlugin::fail)
        .AddTransition(STATUS_RESTORING, EVENT_RESTORE_LIST_FAIL, STATUS_FAIL, nullptr, &CMORLPlugin::fail)
        .AddTransition(STATUS_RESTORING, EVENT_RESTORE_LIST_READY, STATUS_RESTORING, &CMORLPlugin::restore,
                       nullptr)
        .AddTransition(STATUS_RESTORING, EVENT_RESTORE_FAIL, STATUS_FAIL, nullptr, &CMORLPlugin::fail)
        .AddTransition(STATUS_RESTORING, EVENT_RESTORE_SUCCESS, STATUS_SUCCESS, nullptr,
                       &CMORLPlugin::success);
}

//-----------------------------------------------------------------------------
// Kestrum::IPluginEvent

int CMORLPlugin::SetPluginEvent(IRepairEventSink* sink) {
    Trace(L"CMORLPlugin::SetPluginEvent");
    if (sink == nullptr) return 0;
    m_sink.store(sink);
    return 1;
}

int CMORLPlugin::BeginMORLRepair() {
    Trace(L"CMORLPlugin::BeginMORLRepair");
    int result = 0;
    fund::guarded(L"CMORLPlugin::BeginMORLRepair", [&] { result = Begin(); });
    return result;
}

int CMORLPlugin::Begin() {
    if (m_thread.joinable()) {
        // One repair per object: a second thread would drive the same
        // window part and state machine.
        Trace(L"error: the repair has already begun");
        return 0;
    }
    m_qos.ReadSettings(m_settings.SettingsPath());
    m_qos.Init();
    m_qos.SetValue(QOS_BEGAN, 1);
    m_qos.SendStartReport();

    if (!m_stopEvent) m_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stopEvent) {
        // Without it the thread could never be told to end.
        Trace(L"error: CreateEvent Fail! LastError: %u", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    if (!m_thread.start([this] { PluginThread(this); })) {
        Trace(L"error: _beginthreadex fail lasterror:%u", static_cast<unsigned>(GetLastError()));
        return 0;
    }
    return 1;
}

int CMORLPlugin::StopMORLRepair() {
    Trace(L"CMORLPlugin::StopMORLRepair");
    // Each step on its own: one that fails (out of memory) must not keep
    // the threads from ending.
    const int stage = m_stage.load();
    if (stage == STAGE_DOWNLOADING) {
        fund::guarded(L"CMORLPlugin::StopMORLRepair (feedback page)", [&] {
            if (m_settings.IsVersionEmpty() && m_settings.ReadBeCancel()) OpenFeedbackPage();
            m_settings.WriteBeCancel();
        });
    }

    m_restoreList.SetQuit();
    m_downloadList.SetQuit();
    if (m_stopEvent) SetEvent(m_stopEvent.get());
    if (IsOwnThread()) {
        // A sink called on one of the plug-in's threads: waiting here would
        // wait for this very thread.  The host's next stop (or the
        // destructor) finishes the job.
        Trace(L"CMORLPlugin::StopMORLRepair: called on a plug-in thread, the stop is only requested");
        return 1;
    }
    m_thread.join();
    m_stopEvent.reset();

    // The statistics reporter has no lock: it is touched here only once the
    // plug-in thread, which sets its values, has ended.
    if (stage == STAGE_DOWNLOADING)
        fund::guarded(L"CMORLPlugin::StopMORLRepair (figures)", [&] { TakeDownloadStatistics(); });
    if (!g_fullReportSent.exchange(true)) {
        m_qos.SetValue(QOS_STOP_STAGE, m_stage.load());
        m_qos.SendFullReport();
    }

    fund::guarded(L"CDownloadFileMgr::Stop", [&] { m_downloadMgr.Stop(); });
    fund::guarded(L"CRestoreFileMgr::Stop", [&] { m_restoreMgr.Stop(); });
    fund::guarded(L"CMORLThread::Stop", [&] { m_engineThread.Stop(); });
    return 1;
}

bool CMORLPlugin::IsOwnThread() const {
    const unsigned self = GetCurrentThreadId();
    return m_pluginThreadId.load() == self || m_engineThread.GetThreadId() == self;
}

bool CMORLPlugin::FullReportSent() { return g_fullReportSent.load(); }

void CMORLPlugin::OpenFeedbackPage() {
    if (m_feedbackOpener) m_feedbackOpener(kFeedbackUrl);
}

//-----------------------------------------------------------------------------
// Callbacks from the engine thread and the managers

void CMORLPlugin::InitOK(IMORLMgr* mgr) {
    Trace(L"CMORLPlugin::InitOK");
    // Stored before the message goes, so the plug-in thread sees it.
    m_engineMgr.store(mgr);
    Post(WM_MORL_INIT, INIT_READY, 0);
}

void CMORLPlugin::InitFail(IMORLMgr*, int, int errorCode) {
    Trace(L"CMORLPlugin::InitFail");
    Post(WM_MORL_INIT, INIT_FAILED, static_cast<LPARAM>(errorCode));
}

void CMORLPlugin::MORLHostKilled() { Trace(L"CMORLPlugin::MORLHostKilled"); }

void CMORLPlugin::MORLHostRestarted() { Trace(L"CMORLPlugin::MORLHostRestarted"); }

void CMORLPlugin::MORLRepairProgress(int progress) {
    Trace(L"CMORLPlugin::MORLRepairProgress");
    Post(WM_MORL_REPAIRING, static_cast<WPARAM>(static_cast<uint32_t>(progress)));
}

void CMORLPlugin::OnSetBitMapFinishState(int error) {
    if (error == 0) {
        OnDownloadAllSuccess();
        return;
    }
    Trace(L"---------Set Bit Map Finish Error %u -----", static_cast<unsigned>(error));
    Post(WM_MORL_DOWNLOAD_FAIL, FAIL_BITMAP);
}

int CMORLPlugin::OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) {
    IRepairEventSink* sink = m_sink.load();
    if (sink == nullptr) return 0;
    int answer = 0;
    fund::guarded(L"CMORLPlugin::OnEngineMessage",
                  [&] { answer = sink->OnMessage(text, caption, static_cast<unsigned int>(flags)); });
    return answer;
}

void CMORLPlugin::OnDownloadFail(const wchar_t*, int code) {
    Trace(L"CMORLPlugin::OnDownloadFail");
    Post(WM_MORL_DOWNLOAD_FAIL, static_cast<WPARAM>(static_cast<uint32_t>(code)));
}

void CMORLPlugin::OnDownloadAllSuccess() {
    Trace(L"CMORLPlugin::OnDownloadAllSuccess");
    Post(WM_MORL_DOWNLOAD_SUCCESS);
}

void CMORLPlugin::OnRestoreFail(const wchar_t*, int code) {
    Trace(L"CMORLPlugin::OnRestoreFail");
    Post(WM_MORL_RESTORE_FAIL, static_cast<WPARAM>(static_cast<uint32_t>(code)));
}

void CMORLPlugin::OnRestoreSuccess() {
    Trace(L"CMORLPlugin::OnRestoreSuccess");
    Post(WM_MORL_RESTORE_SUCCESS);
}

void CMORLPlugin::Post(UINT message, WPARAM wParam, LPARAM lParam) {
    // Without a window a post would land in the calling thread's own queue.
    const HWND window = GetWnd();
    if (window != nullptr) PostMessageW(window, message, wParam, lParam);
}

//-----------------------------------------------------------------------------
// The plug-in thread

unsigned CMORLPlugin::PluginThread(void* plugin) {
    Trace(L"CMORLPlugin::PluginThread");
    if (plugin == nullptr) return 0xFFFFFFFFu;
    CMORLPlugin* self = static_cast<CMORLPlugin*>(plugin);
    self->m_pluginThreadId.store(GetCurrentThreadId());
    unsigned exitCode = kThreadFault;
    // The thread's last word when it ends by an exception: the host is told.
    if (!fund::guarded(L"CMORLPlugin::PluginThreadProcess",
                       [&] { exitCode = self->PluginThreadProcess(); })) {
        self->FailOnFault();
        self->DestroyWnd();
    }
    self->m_pluginThreadId.store(0);
    return exitCode;
}

unsigned CMORLPlugin::PluginThreadProcess() {
    Trace(L"CMORLPlugin::PluginThreadProcess");
    SetWnd(CreateWnd());
    Trace(L"[MORLWndMsgProcessor::Initialize()][Initialize][m_wnd %u][this %p]",
          static_cast<unsigned>(reinterpret_cast<uintptr_t>(GetWnd())),
          static_cast<void*>(static_cast<MORLWndMsgProcessor*>(this)));
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    // Without a window (or its first message) nothing could ever reach this
    // thread: the repair fails at once instead of waiting for ever.
    if (GetWnd() == nullptr || !PostMessageW(GetWnd(), WM_MORL_START, 0, 0)) {
        Trace(L"error: PostMessage Fail! LastError: %u", static_cast<unsigned>(GetLastError()));
        m_cannotStart = true;
        Event(EVENT_START, 0);
        DestroyWnd();
        return 2;
    }
    const HANDLE stop = m_stopEvent.get();
    for (;;) {
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) break;
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        // Wakes at once for a message; otherwise looks at the stop event
        // every millisecond.
        if (MsgWaitForMultipleObjects(1, &stop, FALSE, 1, QS_ALLINPUT) == WAIT_OBJECT_0) break;
    }
    // The window belongs to this thread: it goes with it, timers included,
    // and no other thread posts to a stale handle.
    KillTimer(GetWnd(), TIMER_DOWNLOAD_PROGRESS);
    KillTimer(GetWnd(), TIMER_RESTORE_PROGRESS);
    DestroyWnd();
    return 0;
}

//-----------------------------------------------------------------------------
// The message table

void CMORLPlugin::Event(EEvent event, uint32_t p1, uint32_t p2) { m_fsm.ProcessEvent(event, p1, p2); }

void CMORLPlugin::SetValue(int index, int64_t value) {
    const int64_t low = std::numeric_limits<int32_t>::min();
    const int64_t high = std::numeric_limits<int32_t>::max();
    m_qos.SetValue(index, static_cast<int32_t>(std::min(std::max(value, low), high)));
}

void CMORLPlugin::OnRecvWndMsg(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    Trace(L"CMORLPlugin::OnRecvWndMsg msg:%u wparam:%u lparam:%u", message, static_cast<unsigned>(wParam),
          static_cast<unsigned>(lParam));
    // Called from the window procedure, which no exception may leave: a
    // step that fails that way fails the repair.
    if (!fund::guarded(L"CMORLPlugin::OnRecvWndMsg", [&] { HandleMessage(message, wParam, lParam); }))
        FailOnFault();
}

void CMORLPlugin::FailOnFault() {
    if (m_outcomeTold.load()) return;
    fund::guarded(L"CMORLPlugin::FailOnFault", [&] {
        switch (m_fsm.GetState()) {
            case STATUS_IDLE:
                m_cannotStart = true;
                Event(EVENT_START, 0);
                break;
            case STATUS_INITIALIZING:
                Event(EVENT_INIT_FAIL, FAIL_ENGINE);
                break;
            case STATUS_PARSING_DOWNLOAD_LIST:
                Event(EVENT_DOWNLOAD_LIST_FAIL, FAIL_DOWNLOAD_LIST);
                break;
            case STATUS_DOWNLOADING:
                Event(EVENT_DOWNLOAD_FAIL, FAIL_DOWNLOAD);
                break;
            case STATUS_RESTORING:
                Event(EVENT_RESTORE_FAIL, FAIL_RESTORE);
                break;
            default:
                break;  // the host knows the outcome
        }
    });
}

void CMORLPlugin::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const uint32_t w = static_cast<uint32_t>(wParam);
    switch (message) {
        case WM_MORL_START:
            Event(EVENT_START, 0);
            break;
        case WM_MORL_INIT:
            if (wParam == INIT_FAILED) {
                const uint32_t code = lParam > 0 ? static_cast<uint32_t>(lParam) : 0;
                Event(EVENT_INIT_FAIL, 0, code);
            } else if (wParam == INIT_READY) {
                if (version_update()) Event(EVENT_NEED_REPAIR, 0);
            }
            break;
        case WM_MORL_REPAIRING:
            Trace(L"[WM_MORL_REPAIR  ING]:%u \n", w);
            Event(EVENT_REPAIR_PROGRESS, w);
            break;
        case WM_MORL_DOWNLOAD_FAIL:
            if (m_settings.IsVersionEmpty())
                SetValue(QOS_DOWNLOAD_FAIL_FIRST, static_cast<int32_t>(w));
            else
                SetValue(QOS_DOWNLOAD_FAIL_AGAIN, static_cast<int32_t>(w));
            TakeDownloadStatistics();
            Event(EVENT_DOWNLOAD_FAIL, w);
            break;
        case WM_MORL_DOWNLOAD_SUCCESS:
            Trace(L"--------------------------DOWN SUCCESS-------wParam:%u-------------------\n", w);
            if (m_settings.IsVersionEmpty()) {
                SetValue(QOS_DOWNLOAD_OK_FIRST, 1);
                SetValue(QOS_DOWNLOAD_PROGRESS, 100);
            } else {
                SetValue(QOS_DOWNLOAD_OK_AGAIN, 1);
                SetValue(QOS_DOWNLOAD_DONE_AGAIN, 100);
            }
            TakeDownloadStatistics();
            Event(EVENT_DOWNLOAD_SUCCESS, 0);
            break;
        case WM_MORL_RESTORE_FAIL:
            SetValue(QOS_RESTORE_FAIL, static_cast<int32_t>(w));
            Event(EVENT_RESTORE_FAIL, w);
            break;
        case WM_MORL_RESTORE_SUCCESS:
            SetValue(QOS_RESTORE_OK, 1);
            SetValue(QOS_RESTORE_PROGRESS, 100);
            Event(EVENT_RESTORE_SUCCESS, 0);
            break;
        case WM_MORL_DOWNLOAD_LIST:
            if (wParam == LIST_FAILED)
                Event(EVENT_DOWNLOAD_LIST_FAIL, FAIL_DOWNLOAD_LIST);
            else if (wParam == LIST_READY)
                Event(EVENT_DOWNLOAD_LIST_READY, 0);
            else if (wParam == LIST_QUIT)
                Event(EVENT_DOWNLOAD_LIST_FAIL, FAIL_DOWNLOAD_LIST_QUIT);
            break;
        case WM_MORL_RESTORE_LIST:
            if (wParam == LIST_FAILED)
                Event(EVENT_RESTORE_LIST_FAIL, FAIL_RESTORE_LIST);
            else if (wParam == LIST_READY)
                Event(EVENT_RESTORE_LIST_READY, 0);
            else if (wParam == LIST_QUIT)
                Event(EVENT_RESTORE_LIST_FAIL, FAIL_RESTORE_LIST_QUIT);
            break;
        case WM_TIMER:
            if (wParam == TIMER_DOWNLOAD_PROGRESS)
                OnDownloadTimer();
            else if (wParam == TIMER_RESTORE_PROGRESS)
                OnRestoreTimer();
            break;
        default:
            break;
    }
}

//-----------------------------------------------------------------------------
// Progress and statistics

IResourceManager* CMORLPlugin::Engine() const {
    IMORLMgr* mgr = m_engineMgr.load();
    return mgr != nullptr ? mgr->GetResourceManager() : nullptr;
}

void CMORLPlugin::SinkProgress(int percent, const wchar_t* text) {
    if (IRepairEventSink* sink = m_sink.load()) sink->OnProgress(percent, text);
}

void CMORLPlugin::OnDownloadTimer() {
    // Updating also moves the download on: it starts further syncs.
    const int progress = m_downloadMgr.UpdateDownload();
    SetValue(QOS_DOWNLOAD_PROGRESS, progress / 100);
    if (progress < 1000) Trace(L"downloading progress:%d", progress);
    IResourceManager* engine = Engine();
    const uint32_t speed = engine != nullptr ? engine->GetDownloadSpeed() : 0;
    m_currentSpeed = speed;
    SetValue(QOS_SPEED, speed);
    const ProgressReport report = DownloadProgressReport(progress, speed);
    if (report.notify) SinkProgress(report.percent, report.line.c_str());
}

void CMORLPlugin::OnRestoreTimer() {
    const int progress = m_restoreMgr.GetRestoreProgress();
    SetValue(QOS_RESTORE_PROGRESS, progress);
    Trace(L"restoring progress:%d", progress);
    const ProgressReport report = RestoreProgressReport(progress);
    SinkProgress(report.percent, report.line.c_str());
}

void CMORLPlugin::TakeDownloadStatistics() {
    // Once per download, whoever comes first.
    const uint32_t start = m_downloadStart.exchange(0);
    if (start == 0) return;
    const uint64_t bytes = m_downloadMgr.GetDownloadedBytes();
    const DownloadFigures figures = ComputeDownloadFigures(start, GetTickCount(), bytes);
    m_elapsed = figures.elapsedMs;
    m_downloadedBytes = static_cast<int64_t>(
        std::min<uint64_t>(bytes, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
    m_averageSpeed = figures.averageSpeed;
    SetValue(QOS_DOWNLOADED_KB, figures.kilobytes);
    SetValue(QOS_AVERAGE_SPEED, figures.averageSpeed);
    SetValue(QOS_DOWNLOAD_SECONDS, figures.elapsedMs / 1000);
    SetValue(QOS_FIRST_REPAIR, m_settings.IsVersionEmpty() ? 1 : 0);
}

//-----------------------------------------------------------------------------
// The version check

bool CMORLPlugin::version_update() {
    Trace(L"CMORLPlugin::version_update");
    m_microVersionType = m_settings.ReadMicroVersionType();
    // The engine may report ready more than once (after its host came
    // back): the list names are completed only the first time.
    if (!m_listNamesComplete) {
        const std::wstring suffix = std::to_wstring(m_microVersionType) + L".ini";
        m_downloadList.AppendFileName(suffix);
        m_restoreList.AppendFileName(suffix);
        m_listNamesComplete = true;
    }
    const std::string client = m_settings.GetClientVersion();
    if (client.empty()) return true;
    const std::string recorded = m_settings.ReadVersion();
    Trace(L"CMORLPlugin::version_update Get OldVersion:%hs", recorded.c_str());
    if (recorded != client) return true;
    m_outcomeTold = true;
    if (IRepairEventSink* sink = m_sink.load()) {
        sink->OnProgress(100, ProgressText(PROGRESS_TEXT_DONE));
        sink->OnSuccess();
    }
    return false;
}

//-----------------------------------------------------------------------------
// State-machine actions

bool CMORLPlugin::init(uint32_t, uint32_t) {
    Trace(L"CMORLPlugin::init");
    if (m_cannotStart) {
        Event(EVENT_INIT_FAIL, 0);
        return true;
    }
    if (!m_engineThread.Init(this)) {
        Trace(L"error: morl thread Init fail");
        Post(WM_MORL_INIT, INIT_FAILED, 0);
    }
    return true;
}

bool CMORLPlugin::repair_progress(uint32_t progress, uint32_t) {
    Trace(L"CMORLPlugin::repair_progress");
    SetValue(QOS_ENGINE_REPAIRED, 1);
    m_stage.store(STAGE_INITIALIZING);
    SinkProgress(static_cast<int>(progress / 10), ProgressText(PROGRESS_TEXT_ENGINE_REPAIR));
    return true;
}

bool CMORLPlugin::parser_downloadlist(uint32_t, uint32_t) {
    Trace(L"CMORLPlugin::parser_downloadlist");
    m_stage.store(STAGE_PARSING_DOWNLOAD_LIST);
    int result = m_downloadList.Parse();
    while (result == CDownloadListConfig::kParseMore) {
        SinkProgress(0, ProgressText(PROGRESS_TEXT_UPDATING));
        result = m_downloadList.Parse();
    }
    if (result == CDownloadListConfig::kParseDone) {
        SetValue(QOS_DOWNLOAD_LIST, QOS_LIST_PARSED);
        Post(WM_MORL_DOWNLOAD_LIST, LIST_READY);
    } else if (result == CDownloadListConfig::kParseQuit) {
        Post(WM_MORL_DOWNLOAD_LIST, LIST_QUIT);
    } else {
        Trace(L"error: PrsrDownload fail");
        SetValue(QOS_DOWNLOAD_LIST, QOS_LIST_FAILED);
        Post(WM_MORL_DOWNLOAD_LIST, LIST_FAILED);
    }
    return true;
}

bool CMORLPlugin::download(uint32_t, uint32_t) {
    Trace(L"CMORLPlugin::download");
    SetValue(QOS_DOWNLOAD_STARTED, 1);
    m_stage.store(STAGE_DOWNLOADING);
    DownloadFileList list;
    m_downloadList.SwapEntries(list);
    IMORLMgr* mgr = m_engineMgr.load();
    if (mgr != nullptr && m_downloadMgr.BeginDownload(mgr->GetResourceManager(), mgr->GetSyncMgr(), list)) {
        // 0 means "not timed": a tick count of 0 counts as 1.
        m_downloadStart.store(std::max<DWORD>(GetTickCount(), 1));
        SetTimer(GetWnd(), TIMER_DOWNLOAD_PROGRESS, kProgressPeriodMs, nullptr);
    } else {
        Trace(L"error: BeginDownload fail");
        Post(WM_MORL_DOWNLOAD_FAIL, FAIL_DOWNLOAD_START);
    }
    return true;
}

bool CMORLPlugin::parser_restorelist(uint32_t, uint32_t) {
    Trace(L"-------------------------CMORLPlugin::parser_restorelist--------------------");
    KillTimer(GetWnd(), TIMER_DOWNLOAD_PROGRESS);
    m_stage.store(STAGE_PARSING_RESTORE_LIST);
    SinkProgress(0, ProgressText(PROGRESS_TEXT_UPDATING));
    const int result = m_restoreList.Parse();
    if (result == CRestoreListConfig::kParseDone) {
        SetValue(QOS_RESTORE_LIST, QOS_LIST_PARSED);
        Post(WM_MORL_RESTORE_LIST, LIST_READY);
    } else if (result == CRestoreListConfig::kParseFailed) {
        Trace(L"error: PrsrRestore fail");
        SetValue(QOS_RESTORE_LIST, QOS_LIST_FAILED);
        Post(WM_MORL_RESTORE_LIST, LIST_FAILED);
    } else {
        Trace(L"error: PrsrRestore quit");
        Post(WM_MORL_RESTORE_LIST, LIST_QUIT);
    }
    return true;
}

bool CMORLPlugin::restore(uint32_t, uint32_t) {
    Trace(L"CMORLPlugin::restore");
    SetValue(QOS_RESTORE_STARTED, 1);
    m_stage.store(STAGE_RESTORING);
    RestoreFileList list;
    m_restoreList.SwapEntries(list);
    IMORLMgr* mgr = m_engineMgr.load();
    if (mgr != nullptr && m_restoreMgr.BeginRestore(mgr->GetResourceManager(), list)) {
        SetTimer(GetWnd(), TIMER_RESTORE_PROGRESS, kProgressPeriodMs, nullptr);
    } else {
        Trace(L"error: BeginRestore fail");
        Post(WM_MORL_RESTORE_FAIL, FAIL_RESTORE_START);
    }
    return true;
}

bool CMORLPlugin::fail(uint32_t code, uint32_t) {
    const int failure = static_cast<int>(code);
    Trace(L"-----------------------CMORLPlugin::fail %d---------------------------", failure);
    KillTimer(GetWnd(), TIMER_RESTORE_PROGRESS);
    KillTimer(GetWnd(), TIMER_DOWNLOAD_PROGRESS);
    SetValue(QOS_FAIL_CODE, failure);
    // A list parse that gave up because the repair is being stopped: the
    // host, which stops it, needs no message.
    if (code == FAIL_DOWNLOAD_LIST_QUIT || code == FAIL_RESTORE_LIST_QUIT) return true;
    const wchar_t* text = code == FAIL_ENGINE ? EngineFailText(0) : RepairFailText(failure);
    Trace(L"%ls", text);
    m_outcomeTold = true;
    if (IRepairEventSink* sink = m_sink.load()) sink->OnFail(text);
    return true;
}

bool CMORLPlugin::success(uint32_t, uint32_t) {
    Trace(L"CMORLPlugin::success");
    KillTimer(GetWnd(), TIMER_RESTORE_PROGRESS);
    SetValue(QOS_REPAIR_OK, 1);
    m_stage.store(STAGE_SUCCESS);
    m_outcomeTold = true;
    if (IRepairEventSink* sink = m_sink.load()) {
        sink->OnProgress(100, ProgressText(PROGRESS_TEXT_DONE));
        sink->OnSuccess();
    }
    m_settings.WriteVersion(m_settings.GetClientVersion());
    return true;
}
