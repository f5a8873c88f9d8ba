// engine/CDownloadFileMgr.cpp - see CDownloadFileMgr.h.

#include "CDownloadFileMgr.h"

#include <atomic>
#include <vector>

#include "fund/win/text.h"
#include "fund/guard.h"
#include "fund/trace.h"

namespace {

// Whether the engine is still to hear that the host needs no more syncs;
// set when the plug-in is loaded, cleared when it is told.
std::atomic<bool> g_hostActionArmed{true};

const float kBytesToMegabytes = 0.0009765625f;  // 1 / 1024, applied to kilobytes

}  // namespace

CDownloadFileMgr::CDownloadFileMgr(IDownloadCallback* callback)
    : m_engine(nullptr),
      m_syncMgr(nullptr),
      m_callback(callback),
      m_totalSize(0),
      m_doneSize(0),
      m_totalDownloadSize(0),
      m_doneDownloadSize(0),
      m_freeSlots(0),
      m_refusalReported(false) {
    Trace(L"CDownloadFileMgr::CDownloadFileMgr");
}

CDownloadFileMgr::~CDownloadFileMgr() {
    Trace(L"CDownloadFileMgr::~CDownloadFileMgr");
    Stop();
}

void CDownloadFileMgr::ArmHostAction() { g_hostActionArmed.store(true); }

uint32_t CDownloadFileMgr::FileSize(uint32_t index) {
    uint32_t size = 0;
    if (m_engine == nullptr || !m_engine->GetFileSize(index, &size)) return 0;
    return size;
}

uint32_t CDownloadFileMgr::FileDownloadSize(uint32_t index) {
    uint32_t size = 0;
    if (m_engine == nullptr || !m_engine->GetFileDownloadSize(index, &size)) return 0;
    return size;
}

// Hands one file to the sync manager; false when it takes no requests.
bool CDownloadFileMgr::StartSync(uint32_t fileIndex) {
    SyncTaskPtr task(new CSyncTask(fileIndex, this));
    if (m_syncMgr == nullptr || !m_syncMgr->PendingSync(fileIndex, task)) {
        Trace(L"error: CDownloadFileMgr: the sync manager refused file index %u", fileIndex);
        return false;
    }
    m_running.insert(task);
    return true;
}

int CDownloadFileMgr::BeginDownload(IResourceManager* engine, CSyncMgr* syncMgr,
                                    const DownloadFileList& names) {
    Trace(L"CDownloadFileMgr::BeginDownload");
    fund::lock::scoped_lock hold(m_lock);
    m_engine = engine;
    m_syncMgr = syncMgr;
    m_refusalReported = false;
    if (m_engine == nullptr) {
        Trace(L"error: CDownloadFileMgr::BeginDownload without an engine");
        return 0;
    }

    for (const std::wstring& name : names) {
        const std::string utf8 = fund::win::wide_to_utf8(name);
        const uint32_t index = m_engine->GetFileIndex(utf8.c_str());
        if (index == MORL_INVALID_INDEX) {
            Trace(L"error: download list config is wrong, cant find file in qov %ls", name.c_str());
            continue;
        }
        if (m_engine->IsFileComplete(index)) continue;
        const uint32_t code = m_engine->GetLastErrorCode(0, 0);
        if (code == MORL_ERROR_FILE_NOT_PRESENT) {
            Trace(L"warning: download file is not found %ls", name.c_str());
            continue;
        }
        if (code != 0) {
            Trace(L"error: download list config is wrong %ls", name.c_str());
            return 0;
        }
        m_pending.push_back(index);
        m_totalSize += FileSize(index);
        m_totalDownloadSize += FileDownloadSize(index);
    }

    if (m_pending.empty()) {
        if (m_callback != nullptr) m_callback->OnDownloadAllSuccess();
        return 1;
    }
    for (size_t started = 0; started < kMaxQueuedSyncs && !m_pending.empty(); ++started) {
        if (!StartSync(m_pending.front())) return 0;
        m_pending.pop_front();
    }
    return 1;
}

void CDownloadFileMgr::OnSyncResult(SyncTaskPtr task, int status) {
    Trace(L"CDownloadFileMgr::OnSyncResult");
    fund::lock::scoped_lock hold(m_lock);
    if (!task) return;
    task->ResetCallback();  // this thread already holds the task's lock
    if (m_running.count(task) != 0) m_finished.insert(task);
    m_freeSlots += 1;
    if (status == SYNC_TASK_SYNCED && m_engine != nullptr) {
        m_doneSize += FileSize(task->GetFileIndex());
        m_doneDownloadSize += FileDownloadSize(task->GetFileIndex());
    } else if (status == SYNC_TASK_FAILED && m_callback != nullptr) {
        m_callback->OnDownloadFail(L"", kSyncFailCode);
    }
}

int CDownloadFileMgr::UpdateDownload() {
    // Declared before the lock: the last references to finished tasks are
    // dropped after it is left, so a task's lock is never taken under it.
    std::vector<SyncTaskPtr> dropped;
    fund::lock::scoped_lock hold(m_lock);
    dropped.assign(m_finished.begin(), m_finished.end());
    for (const SyncTaskPtr& task : m_finished) m_running.erase(task);
    m_finished.clear();

    while (m_freeSlots > 0 && !m_pending.empty() && m_syncMgr != nullptr) {
        if (!StartSync(m_pending.front())) {
            // The file waits; the repair cannot end well without it.
            if (!m_refusalReported && m_callback != nullptr) m_callback->OnDownloadFail(L"", kSyncFailCode);
            m_refusalReported = true;
            break;
        }
        m_pending.pop_front();
        m_freeSlots -= 1;
    }

    if (m_running.empty() && m_pending.empty() && m_engine != nullptr && g_hostActionArmed.exchange(false)) {
        m_engine->SetHostAction(1, 1, false);
        Trace(L"CDownloadFileMgr::SetHostAction");
    }
    return GetDownloadProgress();
}

// The bytes that running syncs have transferred so far, each weighed by its
// file's download size (or its extracted size); with `onlyLarge` a sync
// counts only beyond kPartialProgressFloor.  Finished syncs are already in
// the done totals and are left out.
float CDownloadFileMgr::PartialBytes(bool downloadSizes, bool onlyLarge) {
    float partial = 0.0f;
    if (m_engine == nullptr) return partial;
    for (const SyncTaskPtr& task : m_running) {
        if (m_finished.count(task) != 0) continue;
        SyncResult record = {};
        if (!m_engine->GetSyncResult(task->GetSyncId(), &record) || record.total == 0) continue;
        const uint32_t index = task->GetFileIndex();
        const float size = static_cast<float>(downloadSizes ? FileDownloadSize(index) : FileSize(index));
        const float share = static_cast<float>(record.done) / static_cast<float>(record.total) * size;
        if (!onlyLarge || share > kPartialProgressFloor) partial += share;
    }
    return partial;
}

int CDownloadFileMgr::ProgressLocked() {
    if (m_totalDownloadSize == 0) return 0;
    const double done = static_cast<double>(m_doneDownloadSize) + PartialBytes(true, true);
    const double progress = done * 1000.0 / static_cast<double>(m_totalDownloadSize);
    if (progress <= 0.0) return 0;
    if (progress >= 1000.0) return 1000;
    return static_cast<int>(progress);
}

int CDownloadFileMgr::GetDownloadProgress() {
    Trace(L"CDownloadFileMgr::GetDownloadProgress");
    fund::lock::scoped_lock hold(m_lock);
    return ProgressLocked();
}

int CDownloadFileMgr::GetDownloadInfo(int& progress, float& doneMegabytes, float& totalMegabytes) {
    Trace(L"CDownloadFileMgr::GetDownloadInfo");
    fund::lock::scoped_lock hold(m_lock);
    progress = 0;
    doneMegabytes = 0.0f;
    totalMegabytes = 0.0f;
    if (m_totalDownloadSize == 0) return 1;
    progress = ProgressLocked();
    doneMegabytes = static_cast<float>(m_doneDownloadSize / 1024) * kBytesToMegabytes;
    totalMegabytes = static_cast<float>(m_totalDownloadSize / 1024) * kBytesToMegabytes;
    return 1;
}

uint64_t CDownloadFileMgr::GetDownloadedBytes() {
    Trace(L"CDownloadFileMgr::GetDownloadProgress");
    fund::lock::scoped_lock hold(m_lock);
    if (m_totalSize == 0) return 0;
    return m_doneSize + static_cast<uint64_t>(PartialBytes(false, false));
}

void CDownloadFileMgr::Stop() {
    // Whatever fails on the way (out of memory), the manager ends up
    // forgetting the sync manager and the engine, which go next: nothing
    // here allocates but the cancel requests, and those may fail.
    TaskSet running;
    {
        fund::lock::scoped_lock hold(m_lock);
        running.swap(m_running);
    }
    for (const SyncTaskPtr& task : running) {
        {
            fund::lock::scoped_lock hold(m_lock);
            if (task && m_syncMgr != nullptr)
                fund::guarded(L"CDownloadFileMgr::Stop", [&] { m_syncMgr->PendingCancelSync(task); });
        }
        // Outside the manager's lock: a result being delivered on the
        // engine thread holds the task's lock and waits for ours.
        if (task) task->ResetCallback();
    }
    TaskSet dropped;  // released after the lock is left
    dropped.swap(running);
    fund::lock::scoped_lock hold(m_lock);
    m_running.clear();
    m_finished.clear();
    m_pending.clear();
    m_engine = nullptr;
    m_syncMgr = nullptr;
    m_callback = nullptr;
    m_totalSize = 0;
    m_doneSize = 0;
    m_totalDownloadSize = 0;
    m_doneDownloadSize = 0;
    m_freeSlots = 0;
}

size_t CDownloadFileMgr::RunningCount() {
    fund::lock::scoped_lock hold(m_lock);
    return m_running.size();
}

size_t CDownloadFileMgr::PendingCount() {
    fund::lock::scoped_lock hold(m_lock);
    return m_pending.size();
}
