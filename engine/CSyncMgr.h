// engine/CSyncMgr.h - the sync manager: starts the engine's syncs of single
// files on the engine thread, watches their notifications, retries failed
// ones, holds requests back while the engine's host is down and reports
// each task's end to the task.
//
// Requesters on other threads use PendingSync and PendingCancelSync, which
// only post to the engine window; everything else runs on the engine
// thread, so the maps and flags need no lock.

#ifndef BREVIK_ENGINE_CSYNCMGR_H
#define BREVIK_ENGINE_CSYNCMGR_H

#include <cstdint>
#include <map>
#include <string>

#include "CSyncTask.h"
#include "IMORLInitCallback.h"
#include "IWndProcCallback.h"
#include "MORLEngineApi.h"
#include "fund/lock.h"

// Messages of the engine window handled by the sync manager.  A task
// travels in wParam as a heap copy of its shared pointer (SyncTaskPtr*),
// owned by the message.
const UINT WM_SYNC_PENDING = 0x402;  // lParam: file index
const UINT WM_SYNC_CANCEL = 0x403;
const UINT WM_SYNC_CANCEL2 = 0x404;
const UINT WM_SYNC_PROCESS_CACHE = 0x405;
const UINT WM_SYNC_CLEAR_CACHE = 0x406;

class CSyncMgr : public IWndProcCallback, public IMORLInitCallback {
public:
    explicit CSyncMgr(IResourceManager* engine);
    virtual ~CSyncMgr();

    CSyncMgr(const CSyncMgr&) = delete;
    CSyncMgr& operator=(const CSyncMgr&) = delete;

    // Engine thread: the window that receives the manager's messages and
    // the engine's sync notifications.  Opens the manager to requests.
    void Init(HWND window);

    // Engine thread, before the window goes: refuses later requests and
    // releases the tasks of requests still queued for the window, which
    // would otherwise never be taken.
    void Shutdown();

    // Any thread: asks for a sync of `fileIndex` for `task`.  1 when the
    // request was posted; 0 when the manager takes no requests (not yet
    // initialised, or shut down) or posting failed: the task then learns
    // nothing.
    int PendingSync(uint32_t fileIndex, const SyncTaskPtr& task);
    // Any thread: asks for the task's sync to be cancelled (the task then
    // gets status 0 if it was running).  1 when posted, 0 as above.
    int PendingCancelSync(const SyncTaskPtr& task);

    // IWndProcCallback, engine thread.
    int ProcessMsg(UINT message, WPARAM wParam, LPARAM lParam) override;

    // IMORLInitCallback, engine thread: the engine's state.
    void InitOK(IMORLMgr* mgr) override;
    void InitFail(IMORLMgr* mgr, int canRead, int errorCode) override;
    void MORLHostKilled() override;
    void MORLHostRestarted() override;
    void MORLRepairProgress(int progress) override;
    void OnSetBitMapFinishState(int error) override;
    int OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) override;

    // Engine thread: the operations behind the messages.
    bool SyncFile(uint32_t fileIndex, const SyncTaskPtr& task);
    void CancelSyncFile(const SyncTaskPtr& task);
    void SaveInCache(uint32_t fileIndex, const SyncTaskPtr& task);
    void ClearInCache(const SyncTaskPtr& task);
    void ProcessCache();
    void ClearCache();

    // For tests and diagnostics, engine thread.
    size_t RunningCount() const { return m_syncs.size(); }
    size_t CachedCount() const { return m_cache.size(); }
    int CanSync() const { return m_canSync; }
    int Caching() const { return m_caching; }

private:
    typedef std::map<uint32_t, SyncTaskPtr> SyncMap;
    typedef std::map<SyncTaskPtr, uint32_t> CacheMap;

    int PostTask(UINT message, const SyncTaskPtr& task, LPARAM lParam);
    void Post(UINT message);
    void OnSyncEvent(uint32_t syncId);
    void ProcessSyncError(SyncMap::iterator entry, const SyncResult& record, const SyncTaskPtr& task);

    HWND m_window;
    SyncMap m_syncs;
    CacheMap m_cache;
    IResourceManager* m_engine;
    int m_canSync;
    int m_caching;
    // Guards m_accepting and the posting of tasks, so that no request
    // lands in the window's queue after Shutdown has emptied it.
    fund::lock::critical_section m_postLock;
    bool m_accepting;
};

// The name in a sync record, read within its 256 bytes whether or not the
// engine ended it with a NUL.
std::string SyncResultFileName(const SyncResult& record);

#endif  // BREVIK_ENGINE_CSYNCMGR_H
