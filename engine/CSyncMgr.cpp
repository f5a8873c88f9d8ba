// engine/CSyncMgr.cpp - the sync manager on the engine thread.

#include "CSyncMgr.h"

#include <cstring>
#include <memory>
#include <utility>

#include "EngineSupport.h"
#include "fund/guard.h"
#include "fund/trace.h"

namespace {

// A sync is started at most this many times: the first start and two
// retries.
const uint32_t kMaxSyncErrors = 3;

// Takes the task out of a message's heap copy, releasing the copy.
SyncTaskPtr TakeTask(WPARAM wParam) {
    std::unique_ptr<SyncTaskPtr> copy(reinterpret_cast<SyncTaskPtr*>(wParam));
    if (!copy) return SyncTaskPtr();
    return std::move(*copy);
}

}  // namespace

std::string SyncResultFileName(const SyncResult& record) {
    const void* end = std::memchr(record.fileName, '\0', sizeof(record.fileName));
    size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - record.fileName)
                                   : sizeof(record.fileName);
    return std::string(record.fileName, length);
}

CSyncMgr::CSyncMgr(IResourceManager* engine)
    : m_window(nullptr), m_engine(engine), m_canSync(0), m_caching(0), m_accepting(false) {
    Trace(L"CSyncMgr::CSyncMgr");
}

CSyncMgr::~CSyncMgr() = default;

void CSyncMgr::Init(HWND window) {
    Trace(L"CSyncMgr::Init");
    fund::lock::scoped_lock hold(m_postLock);
    m_window = window;
    m_accepting = window != nullptr;
}

void CSyncMgr::Shutdown() {
    Trace(L"CSyncMgr::Shutdown");
    HWND window = nullptr;
    {
        fund::lock::scoped_lock hold(m_postLock);
        m_accepting = false;
        window = m_window;
    }
    if (window == nullptr) return;
    // No request is posted any more: what is queued now is all there is.
    MSG msg;
    while (PeekMessageW(&msg, window, WM_SYNC_PENDING, WM_SYNC_CANCEL2, PM_REMOVE)) {
        TakeTask(msg.wParam);
    }
}

int CSyncMgr::PostTask(UINT message, const SyncTaskPtr& task, LPARAM lParam) {
    if (!task) {
        Trace(L"error: CSyncMgr: no task");
        return 0;
    }
    std::unique_ptr<SyncTaskPtr> copy(new SyncTaskPtr(task));
    fund::lock::scoped_lock hold(m_postLock);
    if (!m_accepting) {
        Trace(L"error: CSyncMgr: the engine window takes no requests");
        return 0;
    }
    if (!PostMessageW(m_window, message, reinterpret_cast<WPARAM>(copy.get()), lParam)) {
        Trace(L"error: PostMessage Fail! LastError: %u", GetLastError());
        return 0;
    }
    copy.release();  // the message owns it now
    return 1;
}

void CSyncMgr::Post(UINT message) {
    fund::lock::scoped_lock hold(m_postLock);
    if (!m_accepting) return;
    if (!PostMessageW(m_window, message, 0, 0)) {
        Trace(L"error: PostMessage Fail! LastError: %u", GetLastError());
    }
}

int CSyncMgr::PendingSync(uint32_t fileIndex, const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::PendingSync index:%u", fileIndex);
    return PostTask(WM_SYNC_PENDING, task, static_cast<LPARAM>(fileIndex));
}

int CSyncMgr::PendingCancelSync(const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::PendingCancelSync syncid:%u fIndex:%u", task ? task->GetSyncId() : 0u,
          task ? task->GetFileIndex() : 0u);
    return PostTask(WM_SYNC_CANCEL, task, 0);
}

int CSyncMgr::ProcessMsg(UINT message, WPARAM wParam, LPARAM lParam) {
    Trace(L"CSyncMgr::ProcessMsg msg:%u wparam:%u lparam:%u", message, static_cast<unsigned>(wParam),
          static_cast<unsigned>(lParam));
    switch (message) {
        case WM_SYNC_PENDING: {
            SyncTaskPtr task = TakeTask(wParam);
            if (task) SyncFile(static_cast<uint32_t>(lParam), task);
            return 1;
        }
        case WM_SYNC_CANCEL:
        case WM_SYNC_CANCEL2: {
            SyncTaskPtr task = TakeTask(wParam);
            if (task) CancelSyncFile(task);
            return 1;
        }
        case WM_SYNC_PROCESS_CACHE:
            ProcessCache();
            return 1;
        case WM_SYNC_CLEAR_CACHE:
            ClearCache();
            return 1;
        case WM_ENGINE_SYNC_EVENT:
            OnSyncEvent(static_cast<uint32_t>(wParam));
            return 1;
        default:
            return 0;
    }
}

void CSyncMgr::InitOK(IMORLMgr*) {
    Trace(L"CSyncMgr::InitOK");
    m_canSync = 1;
    m_caching = 0;
    Post(WM_SYNC_PROCESS_CACHE);
}

void CSyncMgr::InitFail(IMORLMgr*, int, int) {
    Trace(L"CSyncMgr::InitFail");
    m_canSync = 0;
    m_caching = 0;
    Post(WM_SYNC_CLEAR_CACHE);
}

void CSyncMgr::MORLHostKilled() {
    Trace(L"CSyncMgr::MORLHostKilled");
    m_canSync = 0;
    m_caching = 1;
}

void CSyncMgr::MORLHostRestarted() {
    Trace(L"CSyncMgr::MORLHostRestarted");
    m_canSync = 1;
    m_caching = 0;
    Post(WM_SYNC_PROCESS_CACHE);
}

void CSyncMgr::MORLRepairProgress(int) {}

void CSyncMgr::OnSetBitMapFinishState(int) {}

int CSyncMgr::OnEngineMessage(const wchar_t*, const wchar_t*, int) { return 0; }

bool CSyncMgr::SyncFile(uint32_t fileIndex, const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::SyncFile index:%u", fileIndex);
    if (m_canSync) {
        uint32_t syncId = MORL_INVALID_SYNC_ID;
        if (m_engine != nullptr) {
            syncId =
                m_engine->StartSync(fileIndex, m_window, task->GetPriority(), MORL_SYNC_ANY, task->GetFlag());
        }
        if (syncId == MORL_INVALID_SYNC_ID) {
            TraceEngineLastError(m_engine);
            task->OnSyncResult(task, SYNC_TASK_FAILED);
            return false;
        }
        task->SetSyncId(syncId);
        // A sync that cannot be kept (out of memory) would never be heard
        // of again: it is cancelled and fails at once.
        const bool kept = fund::guarded(L"CSyncMgr::SyncFile", [&] {
            std::pair<SyncMap::iterator, bool> added = m_syncs.emplace(syncId, task);
            if (!added.second) {
                added.first->second = task;  // the engine reused a live id
                Trace(L"uSyncID Already Syncing");
            }
        });
        if (!kept) {
            m_engine->CancelSync(syncId);
            task->OnSyncResult(task, SYNC_TASK_FAILED);
            return false;
        }
        return true;
    }
    if (m_caching) {
        if (fund::guarded(L"CSyncMgr::SaveInCache", [&] { SaveInCache(fileIndex, task); })) return true;
        task->OnSyncResult(task, SYNC_TASK_FAILED);
        return false;
    }
    task->OnSyncResult(task, SYNC_TASK_FAILED);
    return false;
}

void CSyncMgr::CancelSyncFile(const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::CancelSyncFile");
    uint32_t syncId = task->GetSyncId();
    if (m_engine != nullptr) m_engine->CancelSync(syncId);
    SyncMap::iterator found = m_syncs.find(syncId);
    if (found != m_syncs.end()) {
        SyncTaskPtr running = std::move(found->second);
        m_syncs.erase(found);
        running->OnSyncResult(running, SYNC_TASK_ENDED);
    }
    ClearInCache(task);
}

void CSyncMgr::SaveInCache(uint32_t fileIndex, const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::SaveInCache");
    std::pair<CacheMap::iterator, bool> added = m_cache.emplace(task, fileIndex);
    if (!added.second) {
        added.first->second = fileIndex;
        Trace(L"uSyncID Already Syncing");
    }
}

void CSyncMgr::ClearInCache(const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::ClearInCache");
    m_cache.erase(task);
}

void CSyncMgr::ProcessCache() {
    Trace(L"CSyncMgr::ProcessCache");
    CacheMap cached;
    cached.swap(m_cache);
    for (CacheMap::iterator it = cached.begin(); it != cached.end(); ++it) {
        SyncFile(it->second, it->first);
    }
}

void CSyncMgr::ClearCache() {
    Trace(L"CSyncMgr::ClearCache");
    CacheMap cached;
    cached.swap(m_cache);
    for (CacheMap::iterator it = cached.begin(); it != cached.end(); ++it) {
        SyncTaskPtr task = it->first;
        task->OnSyncResult(task, SYNC_TASK_FAILED);
    }
}

void CSyncMgr::OnSyncEvent(uint32_t syncId) {
    if (m_engine == nullptr) return;
    SyncResult record;
    std::memset(&record, 0, sizeof(record));
    if (!m_engine->GetSyncResult(syncId, &record)) {
        TraceEngineLastError(m_engine);
        return;
    }
    SyncMap::iterator entry = m_syncs.find(syncId);
    if (entry == m_syncs.end()) return;

    const int32_t status = record.status;
    if (status < 0 || status > MORL_SYNC_STATUS_MAX || status == MORL_SYNC_STATUS_RUNNING) return;

    SyncTaskPtr task = entry->second;
    if (status == MORL_SYNC_STATUS_SYNCED || status == MORL_SYNC_STATUS_ENDED) {
        m_syncs.erase(entry);
        task->OnSyncResult(task, status == MORL_SYNC_STATUS_SYNCED ? SYNC_TASK_SYNCED : SYNC_TASK_ENDED);
        return;
    }
    ProcessSyncError(entry, record, task);
}

void CSyncMgr::ProcessSyncError(SyncMap::iterator entry, const SyncResult& record, const SyncTaskPtr& task) {
    Trace(L"CSyncMgr::ProcessSyncError");
    const uint32_t errors = task->AddError();
    if (errors >= kMaxSyncErrors) {
        Trace(L"error: sync end, sync task error %u times, sync id:%u file index:%u", errors,
              task->GetSyncId(), task->GetFileIndex());
        m_syncs.erase(entry);
        task->OnSyncResult(task, SYNC_TASK_FAILED);
        return;
    }
    const std::string name = SyncResultFileName(record);
    const uint32_t fileIndex = m_engine->GetFileIndex(name.c_str());
    // The old entry goes before the new start: an engine that hands out the
    // same id again must not lose the new sync.
    m_syncs.erase(entry);
    if (fileIndex == MORL_INVALID_INDEX) {
        Trace(L"Can't get file index againt");
        task->OnSyncResult(task, SYNC_TASK_FAILED);
        return;
    }
    Trace(L"error: sync retry, sync task error %u times, file index:%u", errors, task->GetFileIndex());
    SyncFile(fileIndex, task);
}
