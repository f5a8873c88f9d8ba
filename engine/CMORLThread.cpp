// engine/CMORLThread.cpp - the engine thread: loading the engine, the
// engine window and its message loop, and the state machine that turns the
// engine's notifications into IMORLInitCallback calls.

#include "CMORLThread.h"

#include "CSyncMgr.h"
#include "EngineSupport.h"
#include "EngineWindow.h"
#include "fund/guard.h"
#include "fund/trace.h"
#include "fund/win/module.h"

namespace {

// Stop waits this many rounds of kStopRoundMs for the engine's stop-ready
// message before it ends the thread anyway.
const int kStopRounds = 6;
const DWORD kStopRoundMs = 500;

// Repair-failure codes after which the checker looks at the package.
const LPARAM kRepairFailCheckA = 9;
const LPARAM kRepairFailCheckB = 10;

const uint32_t kCheckMode = 3;
const uint32_t kCheckTimeoutMs = 5000;

const wchar_t kPackageDamagedText[] = L"包文件被破坏，请重新启动客户端";
const wchar_t kPackageDamagedCaption[] = L"异常错误";

const wchar_t kSettingsFile[] = L"morlfixedconfig.ini";

template <typename F>
F ExportOf(HMODULE library, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

}  // namespace

CMORLThread::CMORLThread()
    : m_fsm(this),
      m_canRead(0),
      m_canSync(0),
      m_failed(0),
      m_callback(nullptr),
      m_window(nullptr),
      m_threadId(0),
      m_stopReady(0),
      m_faulted(false),
      m_engine(nullptr),
      m_checker(nullptr) {
    Trace(L"CMORLThread::CMORLThread");
    RegisterTransitions();
}

CMORLThread::~CMORLThread() {
    Trace(L"CMORLThread::~CMORLThread");
    Stop();
}

void CMORLThread::RegisterTransitions() {
    typedef CMORLThread T;
    m_fsm.AddTransition(ENGINE_IDLE, ENGINE_EV_START, ENGINE_INITIALIZING, nullptr, &T::init)
        .AddTransition(ENGINE_INITIALIZING, ENGINE_EV_INIT_PENDING, ENGINE_WAIT_INIT, nullptr, nullptr)
        .AddTransition(ENGINE_INITIALIZING, ENGINE_EV_NEED_REPAIR, ENGINE_REPAIRING, nullptr, nullptr)
        .AddTransition(ENGINE_INITIALIZING, ENGINE_EV_INIT_FAIL, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_REPAIRING, ENGINE_EV_REPAIR_DONE, ENGINE_INITIALIZING, &T::uninit, &T::init)
        .AddTransition(ENGINE_REPAIRING, ENGINE_EV_REPAIR_FAIL, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_WAIT_INIT, ENGINE_EV_INIT_ERROR, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_WAIT_INIT, ENGINE_EV_INIT_DONE, ENGINE_READY, &T::set_canread,
                       &T::set_cansync_first)
        .AddTransition(ENGINE_WAIT_INIT, ENGINE_EV_HOST_KILLED, ENGINE_WAIT_INIT_HOST_DOWN, nullptr, nullptr)
        .AddTransition(ENGINE_READY, ENGINE_EV_HOST_KILLED, ENGINE_HOST_DOWN, &T::set_cannotsync, nullptr)
        .AddTransition(ENGINE_READY_HOST_DOWN, ENGINE_EV_HOST_LOST, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_READY_HOST_DOWN, ENGINE_EV_HOST_RESTARTED, ENGINE_READY, nullptr,
                       &T::set_cansync_first)
        .AddTransition(ENGINE_HOST_DOWN, ENGINE_EV_HOST_LOST, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_HOST_DOWN, ENGINE_EV_HOST_RESTARTED, ENGINE_READY_RESTARTED, nullptr,
                       &T::set_cansync)
        .AddTransition(ENGINE_READY_RESTARTED, ENGINE_EV_HOST_KILLED, ENGINE_HOST_DOWN, &T::set_cannotsync,
                       nullptr)
        .AddTransition(ENGINE_WAIT_INIT_HOST_DOWN, ENGINE_EV_HOST_RESTARTED, ENGINE_WAIT_INIT, nullptr,
                       nullptr)
        .AddTransition(ENGINE_WAIT_INIT_HOST_DOWN, ENGINE_EV_INIT_DONE, ENGINE_READY_HOST_DOWN,
                       &T::set_canread, nullptr)
        .AddTransition(ENGINE_WAIT_INIT_HOST_DOWN, ENGINE_EV_HOST_LOST, ENGINE_FAILED, &T::set_fail, nullptr)
        .AddTransition(ENGINE_WAIT_INIT_HOST_DOWN, ENGINE_EV_INIT_ERROR, ENGINE_FAILED, &T::set_fail,
                       nullptr);
    // The failed state absorbs every later engine event.
    const EEvent absorbed[] = {ENGINE_EV_HOST_RESTARTED, ENGINE_EV_HOST_LOST,   ENGINE_EV_INIT_DONE,
                               ENGINE_EV_INIT_ERROR,     ENGINE_EV_HOST_KILLED, ENGINE_EV_REPAIR_DONE,
                               ENGINE_EV_REPAIR_FAIL};
    for (EEvent event : absorbed) {
        m_fsm.AddTransition(ENGINE_FAILED, event, ENGINE_FAILED, nullptr, nullptr);
    }
}

//-----------------------------------------------------------------------------
// Start and stop (plug-in thread)

int CMORLThread::Init(IMORLInitCallback* callback) {
    Trace(L"CMORLThread::Init");
    int result = 0;
    fund::guarded(L"CMORLThread::Init", [&] { result = Start(callback); });
    return result;
}

int CMORLThread::Start(IMORLInitCallback* callback) {
    if (m_thread.joinable()) {
        Trace(L"error: CMORLThread::Init: the engine thread runs already");
        return 0;
    }
    m_stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_stopEvent) {
        Trace(L"error: CreateEvent Fail! LastError: %u", GetLastError());
        return 0;
    }
    if (!CreateMORL() || !CreateMORLCheckDll() || !CreateSyncMgr()) return 0;

    // Everything the thread reads is in place before it starts.
    m_callback = callback;
    m_stopReady = 0;
    m_faulted = false;
    if (!m_thread.start([this] { MORLThread(this); })) {
        Trace(L"error: _beginthreadex Fail! LastError: %u", GetLastError());
        m_callback = nullptr;
        return 0;
    }
    return 1;
}

std::wstring CMORLThread::LibraryFolder() const {
    if (!m_libraryFolder.empty()) return m_libraryFolder;
    return PluginFolder();
}

bool CMORLThread::CreateMORL() {
    Trace(L"CreateMORL");
    const std::wstring folder = LibraryFolder();
    if (folder.empty()) return false;
    m_engineLibrary.reset(LoadLibraryW((folder + L"\\" + MORL_ENGINE_DLL).c_str()));
    if (!m_engineLibrary) {
        Trace(L"error: LoadLibrary Fail! LastError: %u", GetLastError());
        return false;
    }
    PFN_GetResourceManagerII create =
        ExportOf<PFN_GetResourceManagerII>(m_engineLibrary.get(), MORL_EXPORT_GET_RESOURCE_MANAGER);
    m_engine = create != nullptr ? create() : nullptr;
    if (m_engine == nullptr) {
        Trace(L"error: GetResourceManager Fail! LastError: %u", GetLastError());
        return false;
    }
    return true;
}

bool CMORLThread::CreateMORLCheckDll() {
    Trace(L"CreateMORLCheckDll");
    const std::wstring folder = LibraryFolder();
    if (folder.empty()) return false;
    m_checkLibrary.reset(LoadLibraryW((folder + L"\\" + MORL_CHECK_DLL).c_str()));
    if (!m_checkLibrary) {
        Trace(L"error: LoadLibrary hMORLCheck dll Fail! LastError: %u", GetLastError());
        return false;
    }
    // Without a checker the repair goes on: only a damaged package is
    // checked.
    PFN_CreateCheckHandle create =
        ExportOf<PFN_CreateCheckHandle>(m_checkLibrary.get(), MORL_EXPORT_CREATE_CHECK_HANDLE);
    m_checker = create != nullptr ? create() : nullptr;
    return true;
}

bool CMORLThread::CreateSyncMgr() {
    Trace(L"CreateSyncMgr");
    m_syncMgr.reset(new CSyncMgr(m_engine));
    return true;
}

int CMORLThread::Stop() {
    Trace(L"CMORLThread::Stop");
    if (m_stopEvent) {
        // Give the engine time to say it may stop, but only while the thread
        // that would take its message runs.
        bool running =
            m_thread.joinable() && WaitForSingleObject(m_thread.native_handle(), 0) == WAIT_TIMEOUT;
        for (int round = 0; running && round < kStopRounds; ++round) {
            if (InterlockedCompareExchange(&m_stopReady, 0, 0) != 0) break;
            Sleep(kStopRoundMs);
        }
        SetEvent(m_stopEvent.get());
    }
    m_thread.join();
    m_stopEvent.reset();
    m_syncMgr.reset();
    CleanUpMORL();
    m_callback = nullptr;
    return 1;
}

void CMORLThread::CleanUpMORL() {
    Trace(L"CleanUp MORL");
    if (m_engine != nullptr && m_engineLibrary) {
        PFN_ReleaseResourceManagerII release = ExportOf<PFN_ReleaseResourceManagerII>(
            m_engineLibrary.get(), MORL_EXPORT_RELEASE_RESOURCE_MANAGER);
        if (release != nullptr) release(m_engine);
    }
    m_engine = nullptr;
    m_engineLibrary.reset();
    if (m_checker != nullptr && m_checkLibrary) {
        PFN_ReleaseCheckHandle release =
            ExportOf<PFN_ReleaseCheckHandle>(m_checkLibrary.get(), MORL_EXPORT_RELEASE_CHECK_HANDLE);
        if (release != nullptr) release(m_checker);
    }
    m_checker = nullptr;
    m_checkLibrary.reset();
    // The engine thread destroyed its window when it ended.
    m_window = nullptr;
    m_windowObject.reset();
}

IResourceManager* CMORLThread::GetResourceManager() {
    Trace(L"CMORLThread::GetResourceManager");
    return m_engine;
}

CSyncMgr* CMORLThread::GetSyncMgr() {
    Trace(L"CMORLThread::GetSyncMgr");
    return m_syncMgr.get();
}

//-----------------------------------------------------------------------------
// The engine thread

unsigned CMORLThread::MORLThread(void* self) {
    Trace(L"CMORLThread::MORLThread");
    CMORLThread* thread = static_cast<CMORLThread*>(self);
    thread->m_threadId.store(GetCurrentThreadId());
    const unsigned exitCode = thread->MORLThreadProcess();
    thread->m_threadId.store(0);
    return exitCode;
}

unsigned CMORLThread::MORLThreadProcess() {
    Trace(L"CMORLThread::MORLThreadProcess");
    unsigned exitCode = EXIT_FAULT;
    fund::guarded(L"CMORLThread::MORLThreadProcess", [&] {
        exitCode = EXIT_NO_WINDOW;
        if (CreateMainWindow())
            exitCode = InitSyncMgr() ? MessageLoop() : static_cast<unsigned>(EXIT_NO_SYNC_MGR);
    });
    if (m_window != nullptr) DestroyMainWindow();
    if (exitCode != EXIT_DONE) ReportEarlyEnd(exitCode);
    return exitCode;
}

// The thread ends before its time: without a word the plug-in would wait
// for the engine for ever.
void CMORLThread::ReportEarlyEnd(unsigned exitCode) {
    Trace(L"error: the engine thread ends early (exit code %u)", exitCode);
    if (m_failed != 0) return;  // the callback knows already
    m_failed = 1;
    if (m_callback != nullptr) m_callback->InitFail(this, m_canRead, 0);
}

bool CMORLThread::CreateMainWindow() {
    Trace(L"CreateMainWindow");
    HWND window = CreateDialogParamW(fund::win::this_module(), MAKEINTRESOURCEW(ENGINE_WINDOW_DIALOG_ID),
                                     nullptr, nullptr, 0);
    if (window == nullptr) {
        Trace(L"error: CreateDialog Fail! LastError: %u", GetLastError());
        return false;
    }
    ShowWindow(window, SW_HIDE);
    std::unique_ptr<EngineWindow> object(new EngineWindow(window, this));
    if (!object->Attach()) {
        Trace(L"error: SetWindowsLong Fail! LastError: %u", GetLastError());
        DestroyWindow(window);
        return false;
    }
    m_window = window;
    m_windowObject = std::move(object);
    return true;
}

bool CMORLThread::InitSyncMgr() {
    Trace(L"InitSyncMgr");
    if (!m_syncMgr) return false;
    m_syncMgr->Init(m_window);
    m_windowObject->SetSecondHandler(m_syncMgr.get());
    return true;
}

unsigned CMORLThread::MessageLoop() {
    Trace(L"MessageLoop");
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // makes the thread's queue
    if (!PostMessageW(m_window, WM_ENGINE_START, 0, 0)) {
        Trace(L"error: PostMessage Fail! LastError: %u", GetLastError());
        return EXIT_NO_START;
    }
    HANDLE stop = m_stopEvent.get();
    for (;;) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) break;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            continue;
        }
        // Nothing queued: sleep until a message or the stop event arrives.
        DWORD woken = MsgWaitForMultipleObjectsEx(1, &stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) {
            if (m_engine != nullptr && m_fsm.GetState() > ENGINE_INITIALIZING && !m_engine->Uninitialize()) {
                TraceEngineLastError(m_engine);
            }
            break;
        }
        if (woken == WAIT_FAILED) {
            Trace(L"error: MsgWaitForMultipleObjects Fail! LastError: %u", GetLastError());
            return EXIT_LOOP_FAILED;
        }
    }
    return EXIT_DONE;
}

void CMORLThread::DestroyMainWindow() {
    // Requests still queued for the window are released before it goes.
    if (m_syncMgr) m_syncMgr->Shutdown();
    if (m_windowObject) m_windowObject->Detach();
    if (m_window != nullptr) DestroyWindow(m_window);
}

//-----------------------------------------------------------------------------
// The engine's messages (engine thread)

int CMORLThread::ProcessMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    Trace(L"CMORLThread::ProcessMsg msg:%u wparam:%u lparam %u", message, static_cast<unsigned>(wParam),
          static_cast<unsigned>(lParam));
    int handled = 1;
    if (!fund::guarded(L"CMORLThread::ProcessMsg", [&] { handled = HandleMessage(message, wParam, lParam); }))
        OnFault();
    return handled;
}

// A message's work ended by an exception (out of memory): the engine
// thread fails as set_fail does, once, and takes no engine event after it.
void CMORLThread::OnFault() {
    if (m_faulted) return;
    m_faulted = true;
    if (m_failed != 0) return;  // the callback knows already
    m_failed = 1;
    fund::guarded(L"CMORLThread::OnFault", [&] {
        if (m_syncMgr) m_syncMgr->InitFail(nullptr, m_canRead, 0);
        if (m_canRead == 0) PostMessageW(m_window, WM_QUIT, 0, 0);
        if (m_callback != nullptr) m_callback->InitFail(this, m_canRead, 0);
    });
}

int CMORLThread::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const unsigned long arg = static_cast<unsigned long>(wParam);
    if (message == WM_ENGINE_WINDOW_FAULT) {
        OnFault();
        return 1;
    }
    // After a fault the engine's news changes nothing (the stop's permission
    // still counts).
    if (m_faulted && message != WM_ENGINE_STOP_READY && message >= WM_ENGINE_UNUSED_NOTICE &&
        message <= WM_ENGINE_STOP_READY)
        return 1;
    switch (message) {
        case WM_ENGINE_START:
            Trace(L"trace: MORL Init Begin");
            m_fsm.ProcessEvent(ENGINE_EV_START, 0, 0);
            return 1;
        case WM_ENGINE_UNUSED_NOTICE:
            return 1;
        case WM_ENGINE_INIT_RETURN:
            Trace(L"trace: MORL Init Return");
            m_fsm.ProcessEvent(wParam != 0 ? ENGINE_EV_INIT_DONE : ENGINE_EV_INIT_ERROR, 0, 0);
            return 1;
        case WM_ENGINE_GAME_SPEED:
            if (m_engine != nullptr) {
                Trace(L"state: game set pre download speed: %u:%u", static_cast<unsigned>(arg),
                      m_engine->GetDownloadSpeed());
            }
            return 1;
        case WM_ENGINE_REPAIR_PROGRESS:
            Trace(L"trace: MORL Repair progress %u", static_cast<unsigned>(arg));
            if (m_callback != nullptr) m_callback->MORLRepairProgress(static_cast<int>(arg));
            return 1;
        case WM_ENGINE_REPAIR_RETURN:
            OnRepairReturn(wParam, lParam);
            return 1;
        case WM_ENGINE_GAME_SPEED2:
            if (m_engine != nullptr) {
                Trace(L"state: game set pre download speed: %u:%u", static_cast<unsigned>(arg),
                      m_engine->GetPreDownloadSpeed());
            }
            return 1;
        case WM_ENGINE_HOST_KILLED:
            m_fsm.ProcessEvent(ENGINE_EV_HOST_KILLED, 0, 0);
            return 1;
        case WM_ENGINE_HOST_RESTART:
            m_fsm.ProcessEvent(wParam != 0 ? ENGINE_EV_HOST_RESTARTED : ENGINE_EV_HOST_LOST, 0, 0);
            return 1;
        case WM_ENGINE_USER_SPEED:
            if (m_engine != nullptr) {
                Trace(L"state: user set pre download speed: %u", m_engine->GetPreDownloadSpeed());
            }
            return 1;
        case WM_ENGINE_BITMAP_FINISH:
            Trace(L"OnSetBitMapFinishState");
            if (m_callback != nullptr) m_callback->OnSetBitMapFinishState(static_cast<int>(arg));
            return 0;  // the sync manager sees it too
        case WM_ENGINE_STOP_READY:
            InterlockedExchange(&m_stopReady, 1);
            return 1;
        default:
            return 0;
    }
}

void CMORLThread::OnRepairReturn(WPARAM wParam, LPARAM lParam) {
    Trace(L"trace:MORL repair return %u", static_cast<unsigned>(wParam));
    // The engine changed its data: the recorded version no longer holds.
    const std::wstring settings =
        !m_settingsFile.empty() ? m_settingsFile : ParentFolder(LibraryFolder()) + L"\\" + kSettingsFile;
    WritePrivateProfileStringW(L"MORL", L"version", L"0", settings.c_str());
    if (wParam != 0) {
        Trace(L"---------------------Repair success----------------------------");
        m_fsm.ProcessEvent(ENGINE_EV_REPAIR_DONE, 0, 0);
        return;
    }
    if (m_callback != nullptr && (lParam == kRepairFailCheckA || lParam == kRepairFailCheckB) &&
        m_checker != nullptr && !m_checker->BeginCheck(kCheckMode, kCheckTimeoutMs)) {
        Trace(L"error: _beginCheck Fail! ");
    }
    m_fsm.ProcessEvent(ENGINE_EV_REPAIR_FAIL, static_cast<unsigned long>(lParam), 0);
}

//-----------------------------------------------------------------------------
// State-machine actions (engine thread)

bool CMORLThread::init(unsigned long, unsigned long) {
    Trace(L"CMORLThread::init");
    if (m_engine == nullptr || !m_windowObject) {
        Trace(L"error: init pointer null");
        return false;
    }
    m_engine->SetNotifyWindow(m_window);
    if (m_engine->Initialize(MORL_INITIALIZE_KEY)) {
        m_fsm.ProcessEvent(ENGINE_EV_INIT_PENDING, 0, 0);
        return true;
    }
    const uint32_t code = m_engine->GetLastErrorCode(0, 0);
    if (code == MORL_ERROR_NEED_REPAIR) {
        m_fsm.ProcessEvent(ENGINE_EV_NEED_REPAIR, 0, 0);
        return true;
    }
    TraceEngineErrorText(m_engine, code);
    if (code == MORL_ERROR_PACKAGE_DAMAGED) {
        if (m_checker != nullptr) m_checker->BeginCheck(kCheckMode, kCheckTimeoutMs);
        if (m_callback != nullptr) {
            m_callback->OnEngineMessage(kPackageDamagedText, kPackageDamagedCaption, 0);
        }
    }
    m_fsm.ProcessEvent(ENGINE_EV_INIT_FAIL, 0, 0);
    return true;
}

bool CMORLThread::set_canread(unsigned long, unsigned long) {
    Trace(L"CMORLThread::set_canread");
    m_canRead = 1;
    return true;
}

bool CMORLThread::set_cansync_first(unsigned long, unsigned long) {
    Trace(L"CMORLThread::set_cansync_first");
    m_canSync = 1;
    if (m_syncMgr) m_syncMgr->InitOK(nullptr);
    if (m_callback != nullptr) m_callback->InitOK(this);
    return true;
}

bool CMORLThread::set_cansync(unsigned long, unsigned long) {
    Trace(L"CMORLThread::set_cansync");
    m_canSync = 1;
    if (m_syncMgr) m_syncMgr->MORLHostRestarted();
    if (m_callback != nullptr) m_callback->MORLHostRestarted();
    return true;
}

bool CMORLThread::set_cannotsync(unsigned long, unsigned long) {
    Trace(L"CMORLThread::set_cannotsync");
    m_canSync = 0;
    if (m_syncMgr) m_syncMgr->MORLHostKilled();
    if (m_callback != nullptr) m_callback->MORLHostKilled();
    return true;
}

bool CMORLThread::set_fail(unsigned long errorCode, unsigned long) {
    Trace(L"CMORLThread::set_fail");
    m_failed = 1;
    if (m_syncMgr) m_syncMgr->InitFail(nullptr, m_canRead, 0);
    // The engine never initialised: nothing is left for this thread to do.
    if (m_canRead == 0) PostMessageW(m_window, WM_QUIT, 0, 0);
    if (m_callback != nullptr) m_callback->InitFail(this, m_canRead, static_cast<int>(errorCode));
    return true;
}

bool CMORLThread::uninit(unsigned long, unsigned long) {
    Trace(L"CMORLThread::uninit");
    if (m_engine != nullptr && !m_engine->Uninitialize()) TraceEngineLastError(m_engine);
    return true;
}
