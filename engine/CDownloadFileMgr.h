// engine/CDownloadFileMgr.h - the download manager: turns the download list
// into one sync per archive member that is not yet whole, at most 3000 at a
// time, counts the files and bytes synced and computes the progress the
// plug-in shows once a second.
//
// The plug-in owns one by value and calls it on the plug-in thread; the
// sync results arrive on the engine thread.  One lock guards every member.

#ifndef BREVIK_ENGINE_CDOWNLOADFILEMGR_H
#define BREVIK_ENGINE_CDOWNLOADFILEMGR_H

#include <cstdint>
#include <deque>
#include <set>

#include "CDownloadListConfig.h"
#include "CSyncMgr.h"
#include "CSyncTask.h"
#include "IDownloadCallback.h"
#include "MORLEngineApi.h"
#include "fund/lock.h"

class CDownloadFileMgr : public ISyncTaskCallback {
public:
    // Syncs handed to the sync manager at once, at most.
    static constexpr size_t kMaxQueuedSyncs = 3000;
    // A running sync adds to the progress only beyond this many bytes.
    static constexpr float kPartialProgressFloor = 1048576.0f;
    // The failure code reported for a file that could not be synced.
    static constexpr int kSyncFailCode = 6;

    // `callback` (not owned, may be null) learns failures and the case
    // where nothing needs downloading.
    explicit CDownloadFileMgr(IDownloadCallback* callback);
    virtual ~CDownloadFileMgr();
    CDownloadFileMgr(const CDownloadFileMgr&) = delete;
    CDownloadFileMgr& operator=(const CDownloadFileMgr&) = delete;

    // Resolves the names with `engine`, keeps the files not yet whole and
    // starts their syncs through `syncMgr` (neither owned).  1 when started,
    // or when nothing needs downloading (OnDownloadAllSuccess is called
    // first); 0 when the engine reports an unexpected error for a file, or
    // there is no engine, or the sync manager takes no requests.
    int BeginDownload(IResourceManager* engine, CSyncMgr* syncMgr, const DownloadFileList& names);

    // Each tick of the plug-in's download timer: drops the finished syncs,
    // starts waiting files in the slots they freed, and returns the
    // progress.  Once no sync runs or waits, tells the engine the host is
    // done (SetHostAction(1, 1, false), once per process).
    int UpdateDownload();

    // Tenths of a percent of the bytes to transfer, 0..1000.
    int GetDownloadProgress();
    // The progress, and megabytes transferred and to transfer.  Always 1.
    int GetDownloadInfo(int& progress, float& doneMegabytes, float& totalMegabytes);
    // Bytes synced so far, running syncs included, in extracted sizes.
    uint64_t GetDownloadedBytes();

    // Engine thread, with the task's lock held.
    void OnSyncResult(SyncTaskPtr task, int status) override;

    // Cancels the running syncs and forgets the engine and the totals.
    void Stop();

    // Set when the plug-in is loaded: SetHostAction is still to be sent.
    // (Tests arm it again.)
    static void ArmHostAction();

    // For tests.
    size_t RunningCount();
    size_t PendingCount();

private:
    typedef std::set<SyncTaskPtr> TaskSet;  // ordered by the task's address

    bool StartSync(uint32_t fileIndex);
    float PartialBytes(bool downloadSizes, bool onlyLarge);
    int ProgressLocked();
    uint32_t FileSize(uint32_t index);
    uint32_t FileDownloadSize(uint32_t index);

    fund::lock::critical_section m_lock;
    IResourceManager* m_engine;
    CSyncMgr* m_syncMgr;
    IDownloadCallback* m_callback;
    uint64_t m_totalSize;
    uint64_t m_doneSize;
    uint64_t m_totalDownloadSize;
    uint64_t m_doneDownloadSize;
    int64_t m_freeSlots;
    std::deque<uint32_t> m_pending;
    TaskSet m_running;
    TaskSet m_finished;
    bool m_refusalReported;
};

#endif  // BREVIK_ENGINE_CDOWNLOADFILEMGR_H
