// engine/CMORLThread.h - the engine thread: loads morl.dll and
// MORLCheck.dll from the plug-in's folder, owns the sync manager, runs a
// thread with a hidden window to which the engine posts its notifications,
// and turns them, through a state machine, into IMORLInitCallback calls.

#ifndef BREVIK_ENGINE_CMORLTHREAD_H
#define BREVIK_ENGINE_CMORLTHREAD_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "IMORLInitCallback.h"
#include "IMORLMgr.h"
#include "IWndProcCallback.h"
#include "MORLEngineApi.h"
#include "fund/CZulFsm.h"
#include "fund/win/handle.h"
#include "fund/win/thread.h"

class CSyncMgr;
class EngineWindow;

// The engine window's own message: posted by the engine thread to itself
// when its message loop starts.
const UINT WM_ENGINE_START = 0x401;

// The dialog template of the plug-in module from which the engine window is
// made.
const int ENGINE_WINDOW_DIALOG_ID = 101;

class CMORLThread : public IWndProcCallback, public IMORLMgr {
public:
    enum EStatus {
        ENGINE_IDLE = 0,
        ENGINE_INITIALIZING = 1,
        ENGINE_REPAIRING = 2,
        ENGINE_WAIT_INIT = 3,
        ENGINE_WAIT_INIT_HOST_DOWN = 4,
        ENGINE_READY = 5,
        ENGINE_READY_HOST_DOWN = 6,
        ENGINE_READY_RESTARTED = 7,
        ENGINE_HOST_DOWN = 8,
        ENGINE_FAILED = 9,
    };

    enum EEvent {
        ENGINE_EV_START = 0,
        ENGINE_EV_INIT_FAIL = 1,
        ENGINE_EV_NEED_REPAIR = 2,
        ENGINE_EV_INIT_PENDING = 3,
        ENGINE_EV_REPAIR_DONE = 4,
        ENGINE_EV_REPAIR_FAIL = 5,
        ENGINE_EV_INIT_DONE = 6,
        ENGINE_EV_INIT_ERROR = 7,
        ENGINE_EV_HOST_KILLED = 8,
        ENGINE_EV_HOST_RESTARTED = 9,
        ENGINE_EV_HOST_LOST = 10,
    };

    // How the engine thread ended (MORLThread's result).  After every code
    // but EXIT_DONE the callback has heard InitFail (code 0) before the
    // thread ended, unless the engine had failed already.
    enum EExitCode {
        EXIT_NO_WINDOW = 2,
        EXIT_NO_SYNC_MGR = 3,
        EXIT_NO_START = 4,
        EXIT_DONE = 5,
        EXIT_LOOP_FAILED = 6,  // the loop could no longer wait for messages
    };

    typedef CZulFsm<CMORLThread, EStatus, EEvent, unsigned long, unsigned long> Fsm;

    CMORLThread();
    virtual ~CMORLThread();

    CMORLThread(const CMORLThread&) = delete;
    CMORLThread& operator=(const CMORLThread&) = delete;

    // Plug-in thread: loads the engine and the checker, creates the sync
    // manager and starts the engine thread, which reports to `callback`
    // (not owned).  1 on success, 0 on failure (what was made is left for
    // Stop).
    int Init(IMORLInitCallback* callback);
    // Plug-in thread: waits up to three seconds for the engine to say it
    // may stop, ends the engine thread, destroys the sync manager and
    // releases the engine.  Always 1; harmless when nothing was started.
    int Stop();

    // IWndProcCallback: the engine window's messages, engine thread.
    int ProcessMsg(UINT message, WPARAM wParam, LPARAM lParam) override;

    // IMORLMgr.
    IResourceManager* GetResourceManager() override;
    CSyncMgr* GetSyncMgr() override;

    // The folder morl.dll and MORLCheck.dll are loaded from: by default the
    // folder of the module that holds this code (the plug-in).  Call before
    // Init.
    void SetLibraryFolder(const std::wstring& folder) { m_libraryFolder = folder; }

    // The plug-in settings file whose recorded version the end of the
    // engine's own repair resets: by default morlfixedconfig.ini in the
    // folder above the library folder.  Call before Init.
    void SetSettingsFile(const std::wstring& path) { m_settingsFile = path; }

    // For tests and diagnostics.
    EStatus GetState() const { return m_fsm.GetState(); }
    const Fsm& GetFsm() const { return m_fsm; }
    int CanRead() const { return m_canRead; }
    int CanSync() const { return m_canSync; }
    int Failed() const { return m_failed; }
    HWND GetWindow() const { return m_window; }
    HANDLE GetThreadHandle() const { return m_thread.native_handle(); }
    // The engine thread's id while it runs (0 before and after), readable
    // on any thread.
    unsigned GetThreadId() const { return m_threadId.load(); }

private:
    // State-machine actions (engine thread).
    bool init(unsigned long, unsigned long);
    bool set_canread(unsigned long, unsigned long);
    bool set_cansync_first(unsigned long, unsigned long);
    bool set_cansync(unsigned long, unsigned long);
    bool set_cannotsync(unsigned long, unsigned long);
    bool set_fail(unsigned long errorCode, unsigned long);
    bool uninit(unsigned long, unsigned long);

    void RegisterTransitions();
    bool CreateMORL();
    bool CreateMORLCheckDll();
    bool CreateSyncMgr();
    std::wstring LibraryFolder() const;

    static unsigned MORLThread(void* self);
    unsigned MORLThreadProcess();
    bool CreateMainWindow();
    bool InitSyncMgr();
    unsigned MessageLoop();
    void DestroyMainWindow();
    void ReportEarlyEnd(unsigned exitCode);

    void OnRepairReturn(WPARAM wParam, LPARAM lParam);
    void TraceSpeed(const char* what, WPARAM wParam);
    void TraceEngineError();
    void CleanUpMORL();

    Fsm m_fsm;
    int m_canRead;
    int m_canSync;
    int m_failed;
    IMORLInitCallback* m_callback;
    HWND m_window;
    fund::win::unique_hmodule m_engineLibrary;
    fund::win::unique_hmodule m_checkLibrary;
    fund::win::thread m_thread;
    std::atomic<unsigned> m_threadId;
    fund::win::unique_handle m_stopEvent;
    volatile LONG m_stopReady;
    std::unique_ptr<EngineWindow> m_windowObject;
    IResourceManager* m_engine;
    ICheckHandle* m_checker;
    std::unique_ptr<CSyncMgr> m_syncMgr;
    std::wstring m_libraryFolder;
    std::wstring m_settingsFile;
};

#endif  // BREVIK_ENGINE_CMORLTHREAD_H
