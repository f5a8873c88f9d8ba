// engine/CSyncTask.h - one request to bring a file of the archive up to
// date, shared between its requester and the sync manager.

#ifndef BREVIK_ENGINE_CSYNCTASK_H
#define BREVIK_ENGINE_CSYNCTASK_H

#include <atomic>
#include <cstdint>

#include "fund/lock.h"
#include "fund/mtshared_ptr.h"

class CSyncTask;

// Tasks travel between threads only through this pointer.
typedef fund::mtshared_ptr<CSyncTask> SyncTaskPtr;

// How a task ended, as its callback learns it.
enum ESyncTaskStatus {
    SYNC_TASK_ENDED = 0,   // ended without a result (engine status 7, or cancelled)
    SYNC_TASK_SYNCED = 1,  // the file is whole
    SYNC_TASK_FAILED = 3,  // the file could not be synced
};

// Implemented by the requester (the download manager).  Called on the
// engine thread with the task's lock held.
class ISyncTaskCallback {
public:
    virtual void OnSyncResult(SyncTaskPtr task, int status) = 0;

protected:
    ~ISyncTaskCallback() = default;
};

class CSyncTask {
public:
    static constexpr uint32_t kDefaultPriority = 50;

    CSyncTask(uint32_t fileIndex, ISyncTaskCallback* callback);
    virtual ~CSyncTask();

    CSyncTask(const CSyncTask&) = delete;
    CSyncTask& operator=(const CSyncTask&) = delete;

    // Stores the status and hands it to the callback, if one is still set,
    // under the task's lock.  `task` is the shared pointer to this task.
    virtual void OnSyncResult(const SyncTaskPtr& task, int status);

    // Clears the callback under the task's lock: no result reaches the
    // requester afterwards, and a callback running on the engine thread has
    // finished when this returns.
    void ResetCallback();

    uint32_t GetPriority() const { return m_priority; }
    void SetPriority(uint32_t priority) { m_priority = priority; }
    // The engine's id of the current sync, MORL_INVALID_SYNC_ID before the
    // first start.  Written on the engine thread, readable on any.
    uint32_t GetSyncId() const { return m_syncId.load(); }
    void SetSyncId(uint32_t syncId) { m_syncId.store(syncId); }
    uint32_t GetErrorCount() const { return m_errorCount; }
    // Counts one more failed sync; returns the new count.
    uint32_t AddError() { return ++m_errorCount; }
    uint32_t GetFileIndex() const { return m_fileIndex; }
    int GetLastStatus() const { return m_lastStatus.load(); }
    uint8_t GetFlag() const { return m_flag; }
    void SetFlag(uint8_t flag) { m_flag = flag; }

private:
    uint32_t m_priority;
    std::atomic<uint32_t> m_syncId;
    uint32_t m_errorCount;
    const uint32_t m_fileIndex;
    std::atomic<int> m_lastStatus;
    ISyncTaskCallback* m_callback;
    fund::lock::critical_section m_lock;
    uint8_t m_flag;
};

#endif  // BREVIK_ENGINE_CSYNCTASK_H
