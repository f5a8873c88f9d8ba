// engine/CRestoreFileMgr.cpp - see CRestoreFileMgr.h.

#include "CRestoreFileMgr.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "FileMD5.h"
#include "EngineSupport.h"
#include "fund/guard.h"
#include "fund/relative_name.h"
#include "fund/trace.h"
#include "fund/win/text.h"

namespace {

bool EndsInSeparator(const std::wstring& path) {
    return !path.empty() && (path.back() == L'\\' || path.back() == L'/');
}

// Whether a destination folder of the restore list stays inside the game
// folder.  It is relative to the plug-in's folder, which lies one level below
// the game folder: one leading ".." (the game folder itself) is allowed, the
// rest must stay below it.
bool IsAllowedDestination(std::wstring_view folder) {
    if (folder.size() >= 2 && folder.substr(0, 2) == L".." &&
        (folder.size() == 2 || folder[2] == L'\\' || folder[2] == L'/'))
        folder.remove_prefix(folder.size() == 2 ? 2 : 3);
    return fund::is_contained_relative_name(folder);
}

}  // namespace

CRestoreFileMgr::CRestoreFileMgr(IRestoreCallback* callback) : CRestoreFileMgr(callback, PluginFolder()) {}

CRestoreFileMgr::CRestoreFileMgr(IRestoreCallback* callback, std::wstring baseFolder)
    : m_engine(nullptr),
      m_callback(callback),
      m_stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_totalSize(0),
      m_restoredSize(0),
      m_baseFolder(std::move(baseFolder)) {
    Trace(L"CRestoreFileMgr::CRestoreFileMgr");
    if (!m_stopEvent) Trace(L"error: CRestoreFileMgr stop event not created, LastError: %lu", GetLastError());
}

CRestoreFileMgr::~CRestoreFileMgr() {
    Trace(L"CRestoreFileMgr::~CRestoreFileMgr");
    Stop();
}

int CRestoreFileMgr::BeginRestore(IResourceManager* engine, const RestoreFileList& list) {
    Trace(L"CRestoreFileMgr::BeginRestore");
    fund::lock::scoped_lock hold(m_lock);
    if (!m_stopEvent) {
        Trace(L"error: CRestoreFileMgr::BeginRestore after Stop");
        return 0;
    }
    if (m_thread.joinable()) {
        if (WaitForSingleObject(m_thread.native_handle(), 0) != WAIT_OBJECT_0) {
            Trace(L"error: CRestoreFileMgr::BeginRestore while a restore runs");
            return 0;
        }
        m_thread.join();
    }
    if (engine == nullptr) {
        Trace(L"error: CRestoreFileMgr::BeginRestore without an engine");
        return 0;
    }
    // A new restore starts afresh, whatever an earlier one left.
    m_engine = engine;
    m_entries.clear();
    m_totalSize = 0;
    m_restoredSize = 0;

    for (const auto& pair : list) {
        const std::string name = fund::win::wide_to_utf8(pair.first);
        const uint32_t index = m_engine->GetFileIndex(name.c_str());
        if (index == MORL_INVALID_INDEX || !m_engine->IsFileComplete(index)) {
            Trace(L"error: restore list config is wrong, cant find file in qov %ls", pair.first.c_str());
            continue;
        }
        if (m_engine->GetLastErrorCode(0, 0) != 0) {
            Trace(L"error: restore list config is wrong %ls", pair.first.c_str());
            continue;
        }
        m_entries.push_back(Entry{index, pair.second});
        uint32_t size = 0;
        if (m_engine->GetFileSize(index, &size)) m_totalSize += size;
    }

    if (!m_thread.start([this] { RestoreThreadProcess(); })) {
        Trace(L"error: CRestoreFileMgr restore thread not started, LastError: %lu", GetLastError());
        return 0;
    }
    return 1;
}

int CRestoreFileMgr::GetRestoreProgress() const {
    Trace(L"CRestoreFileMgr::GetRestoreProgress");
    const uint64_t total = m_totalSize.load();
    if (total == 0) return 0;
    const uint64_t restored = m_restoredSize.load();
    if (restored >= total) return 1000;
    return static_cast<int>(restored * 1000 / total);
}

void CRestoreFileMgr::Stop() {
    Trace(L"CRestoreFileMgr::Stop");
    if (m_stopEvent) SetEvent(m_stopEvent.get());
    {
        fund::lock::scoped_lock hold(m_lock);
        m_entries.clear();
        m_engine = nullptr;
        m_totalSize = 0;
        m_restoredSize = 0;
    }
    m_thread.join();
    m_stopEvent.reset();
    m_callback = nullptr;
}

bool CRestoreFileMgr::IsStopping() const { return WaitForSingleObject(m_stopEvent.get(), 0) != WAIT_TIMEOUT; }

void CRestoreFileMgr::RestoreThreadProcess() {
    Trace(L"CRestoreFileMgr::RestoreThread");
    Trace(L"CRestoreFileMgr::RestoreThreadProcess");
    const bool ended = fund::guarded(L"CRestoreFileMgr::RestoreThreadProcess", [&] {
        while (!IsStopping() && RestoreNext()) {
        }
    });
    if (ended) return;
    // A file that failed that way (out of memory) fails the restore.
    fund::lock::scoped_lock hold(m_lock);
    if (!IsStopping() && m_callback != nullptr) m_callback->OnRestoreFail(L"", kRestoreFailCode);
}

// Restores the first entry.  False when the thread is done: every entry
// restored (success reported), a failure reported, or a stop.
bool CRestoreFileMgr::RestoreNext() {
    Entry entry;
    std::wstring name;
    {
        fund::lock::scoped_lock hold(m_lock);
        // Stop sets the event before it empties the list: an empty list
        // seen here after the event is a stop, not a success.
        if (IsStopping()) return false;
        if (m_entries.empty()) {
            Trace(L"CRestoreFileMgr::RestoreThreadProcess success");
            if (m_callback != nullptr) m_callback->OnRestoreSuccess();
            return false;
        }
        entry = std::move(m_entries.front());
        m_entries.pop_front();
        if (m_engine != nullptr) {
            const char* utf8 = m_engine->GetFileName(entry.index);
            if (utf8 != nullptr) name = fund::win::utf8_to_wide(utf8);
        }
    }

    // The destination folder ends in a separator, so that the target is the
    // file the engine writes into that folder.
    std::wstring folder = m_baseFolder + L"\\" + entry.folder;
    if (!EndsInSeparator(folder)) folder += L'\\';
    const std::wstring target = folder + name;

    // Lists and archive tables may come from a server: a name that would
    // leave the game folder fails the restore, and nothing is written.
    const bool allowed = IsAllowedDestination(entry.folder) && fund::is_contained_relative_name(name);
    if (!allowed)
        Trace(L"error: CRestoreFileMgr::RestoreThreadProcess refused, outside the game folder %ls",
              target.c_str());
    const bool ok = allowed && RestoreFile(entry.index, folder, target);

    fund::lock::scoped_lock hold(m_lock);
    // A stop during the extraction took the engine away: that is no failure.
    if (IsStopping()) return false;
    if (ok) {
        uint32_t size = 0;
        if (m_engine != nullptr && m_engine->GetFileSize(entry.index, &size)) m_restoredSize += size;
        return true;
    }
    if (m_callback == nullptr) return true;
    m_callback->OnRestoreFail(L"", kRestoreFailCode);
    return false;
}

// Extracts the file into `folder` unless `target` already holds it.
bool CRestoreFileMgr::RestoreFile(uint32_t index, const std::wstring& folder, const std::wstring& target) {
    const std::string folderUtf8 = fund::win::wide_to_utf8(folder);
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fund::lock::scoped_lock hold(m_lock);
        return m_engine != nullptr && m_engine->ExtractFile(index, folderUtf8.c_str(), 0);
    }

    Trace(L"CRestoreFileMgr::RestoreThreadProcess file already exit %ls", target.c_str());
    std::string onDisk;
    const bool read = brevik::managers::FileMD5Hex(target, onDisk);
    fund::lock::scoped_lock hold(m_lock);
    char stored[33] = {0};
    const bool known = m_engine != nullptr && m_engine->GetFileMD5(index, stored);
    if (read && known && std::memcmp(onDisk.data(), stored, 32) == 0) return true;

    Trace(L"CRestoreFileMgr::RestoreThreadProcess file already exit bug md5 is not same %ls", target.c_str());
    return m_engine != nullptr && m_engine->ExtractFile(index, folderUtf8.c_str(), 1);
}
