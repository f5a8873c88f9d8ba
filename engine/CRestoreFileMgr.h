// engine/CRestoreFileMgr.h - the restore manager: after the download it
// writes the archive members of the restore list into the game folders,
// one by one on a thread of its own, through the patch engine.  A file
// already on disk whose MD5 equals the engine's stored digest is kept.
//
// The plug-in owns one by value and calls it on the plug-in thread; the
// callbacks run on the restore thread.

#ifndef BREVIK_ENGINE_CRESTOREFILEMGR_H
#define BREVIK_ENGINE_CRESTOREFILEMGR_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "CRestoreListConfig.h"
#include "IRestoreCallback.h"
#include "MORLEngineApi.h"
#include "fund/lock.h"
#include "fund/win/handle.h"
#include "fund/win/thread.h"

class CRestoreFileMgr {
public:
    // The failure code reported for a file that could not be restored.
    static constexpr int kRestoreFailCode = 11;

    // `callback` (not owned, may be null) learns the end.  Files go under
    // the plug-in's own folder, or under `baseFolder` (no trailing
    // backslash) with the second form.
    explicit CRestoreFileMgr(IRestoreCallback* callback);
    CRestoreFileMgr(IRestoreCallback* callback, std::wstring baseFolder);
    ~CRestoreFileMgr();
    CRestoreFileMgr(const CRestoreFileMgr&) = delete;
    CRestoreFileMgr& operator=(const CRestoreFileMgr&) = delete;

    // Resolves each (name in the archive, destination folder relative to the
    // base folder) with `engine` (not owned), skipping names the archive
    // does not hold whole, and starts the restore thread.  1 when the thread
    // started (even for an empty list: it reports success at once), 0
    // otherwise (no engine, no thread, a restore still running, or after
    // Stop).
    int BeginRestore(IResourceManager* engine, const RestoreFileList& list);

    // Tenths of a percent of the bytes restored, 0..1000.  Any thread; takes
    // no lock.
    int GetRestoreProgress() const;

    // Ends the restore: an extraction in progress finishes, nothing more is
    // extracted and no callback is called after it returns.  The manager
    // cannot be started again afterwards.
    void Stop();

private:
    struct Entry {
        uint32_t index;
        std::wstring folder;  // destination, relative to the base folder
    };

    void RestoreThreadProcess();
    bool IsStopping() const;
    bool RestoreNext();
    bool RestoreFile(uint32_t index, const std::wstring& folder, const std::wstring& target);

    fund::lock::critical_section m_lock;  // entries, engine, engine calls
    IResourceManager* m_engine;
    IRestoreCallback* m_callback;
    fund::win::thread m_thread;
    fund::win::unique_handle m_stopEvent;  // manual reset
    // Written by the restore thread, read by the plug-in thread.
    std::atomic<uint64_t> m_totalSize;
    std::atomic<uint64_t> m_restoredSize;
    std::deque<Entry> m_entries;
    std::wstring m_baseFolder;
};

#endif  // BREVIK_ENGINE_CRESTOREFILEMGR_H
