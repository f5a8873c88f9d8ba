// engine/CSyncTask.cpp - one sync request for one file index.

#include "CSyncTask.h"

#include "MORLEngineApi.h"
#include "fund/trace.h"

CSyncTask::CSyncTask(uint32_t fileIndex, ISyncTaskCallback* callback)
    : m_priority(kDefaultPriority),
      m_syncId(MORL_INVALID_SYNC_ID),
      m_errorCount(0),
      m_fileIndex(fileIndex),
      m_lastStatus(0),
      m_callback(callback),
      m_flag(0) {
    Trace(L"CSyncTask::CSyncTask index:%u priority:%u status:%d", m_fileIndex, m_priority,
          m_lastStatus.load());
}

CSyncTask::~CSyncTask() {
    Trace(L"CSyncTask::~CSyncTask");
    fund::lock::scoped_lock hold(m_lock);
    m_callback = nullptr;
}

void CSyncTask::OnSyncResult(const SyncTaskPtr& task, int status) {
    Trace(L"CSyncTask::OnSyncResult syncid:%u index:%u status:%d", GetSyncId(), m_fileIndex, status);
    m_lastStatus.store(status);
    // The requester may reset the callback on its own thread at any time:
    // test it only under the lock it resets it under.
    fund::lock::scoped_lock hold(m_lock);
    if (m_callback != nullptr) m_callback->OnSyncResult(task, status);
}

void CSyncTask::ResetCallback() {
    Trace(L"CSyncTask::ResetCallback");
    fund::lock::scoped_lock hold(m_lock);
    m_callback = nullptr;
}
