// standin/engine/ArchiveEngine.h - the archive-backed patch engine: the
// engine interface over the repair core (repair/).  It checks the game's
// QOV archive when initialised, has the core rebuild its tables from the
// mirror when they cannot be read, fetches the damaged pieces of a file
// when a sync asks for them, and extracts files.  Chosen by [Engine]
// Behaviour=archive; settings in README.md.

#ifndef BREVIK_STANDIN_ARCHIVEENGINE_H
#define BREVIK_STANDIN_ARCHIVEENGINE_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ScriptFile.h"
#include "StandinEngine.h"
#include "repair/ArchiveFiles.h"
#include "repair/PieceFetcher.h"
#include "repair/Repair.h"
#include <fund/win/monitor.h>
#include <fund/win/thread.h>

namespace standin {

// Error codes of this engine besides those of the contract.
const uint32_t kArchiveErrorNotReady = 0xE0000010u;    // not initialised, or stopping
const uint32_t kArchiveErrorNoMirror = 0xE0000020u;    // the mirror cannot be used
const uint32_t kArchiveErrorExists = 0xE0000021u;      // extraction target exists, no overwrite
const uint32_t kArchiveErrorArchive = 0xE0000022u;     // the archive cannot be used
const uint32_t kArchiveErrorRebuild = 0xE0000023u;     // the tables could not be rebuilt
const uint32_t kArchiveErrorUnsafeName = 0xE0000024u;  // the archived name would leave the folder

const wchar_t kStatisticsFileName[] = L"morl_stats.ini";

class ArchiveEngine : public StandinEngine, private brevik::repair::PieceListener {
public:
    ArchiveEngine(const ScriptFile& settings, const CallLog& log, const std::wstring& folder);
    ~ArchiveEngine() override;

    bool Initialize(const char* key) override;
    bool Uninitialize() override;
    const char* GetFileName(uint32_t index) override;
    uint32_t GetFileIndex(const char* name) override;
    bool GetFileSize(uint32_t index, uint32_t* size) override;
    bool GetFileDownloadSize(uint32_t index, uint32_t* size) override;
    bool GetFileMD5(uint32_t index, char* md5) override;
    bool IsFileComplete(uint32_t index) override;
    uint32_t StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any, uint8_t flag) override;
    void CancelSync(uint32_t syncId) override;
    bool GetSyncResult(uint32_t syncId, SyncResult* result) override;
    uint32_t GetLastErrorCode(uint32_t reserved1, uint32_t reserved2) override;
    uint32_t GetErrorText(uint32_t code, uint32_t reserved, wchar_t* buffer, uint32_t length) override;
    uint32_t GetDownloadSpeed() override;
    uint32_t GetPreDownloadSpeed() override;
    bool ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) override;
    void SetNotifyWindow(HWND window) override;
    void SetHostAction(uint32_t action, uint32_t value, bool wait) override;

private:
    typedef std::chrono::steady_clock Clock;
    typedef std::shared_ptr<brevik::repair::ArchiveFiles> FilesPtr;

    struct Sync {
        uint32_t fileIndex = 0;
        HWND notify = nullptr;
        SyncResult record{};
        uint32_t piecesLeft = 0;
        bool ended = false;
        Clock::time_point lastPost{};
    };

    // PieceListener, on the core's download workers.
    void PieceStored(uint32_t piece, uint32_t length) override;
    void PiecesFailed(const std::vector<uint32_t>& pieces, const std::string& why) override;
    // A piece's end for one sync that waited for it; with m_lock entered.
    void PieceEnded(uint32_t syncId, uint32_t length, bool stored, Clock::time_point now);

    // The repair core over the game archive and the mirror; false (the
    // error set and logged) when it cannot start.
    bool OpenRepair();
    // The worker thread of Initialize.
    void CheckArchive();
    void RebuildArchive();
    bool MendStructure(brevik::repair::PieceFetcher& fetcher, const brevik::repair::ArchiveFiles& files);

    // Runs `body` on the worker thread; when no thread can be had, posts
    // `failure` (the message its end would have posted) with 0.
    void StartWorker(std::function<void()> body, UINT failure);
    void Shutdown();
    FilesPtr Files();
    // The pieces of file `index`: false when there is no such file.
    bool FilePieces(uint32_t index, uint32_t* first, uint32_t* count);
    // Bytes of the file's pieces found damaged since the check (what a sync
    // of it fetches; the same after the sync); with m_lock entered.
    uint64_t FetchBytes(uint32_t first, uint32_t count);
    uint32_t PieceLength(uint64_t piece) const;
    void Post(UINT message, WPARAM wParam, LPARAM lParam);
    void PostSync(uint32_t syncId, Sync& sync);
    void SetError(uint32_t code);
    void WriteStatistics();
    void Log(const std::string& line) const { m_log.Write(line); }

    const CallLog m_log;
    const std::wstring m_folder;
    const std::string m_gamePath;
    const std::string m_mirrorSpec;
    const std::string m_caFile;
    const unsigned m_threads;
    const uint32_t m_retries;
    const uint32_t m_throttle;
    const std::chrono::milliseconds m_speedWindow;

    // Keeps the fetcher's queue in the order of the syncs' calls (StartSync
    // and CancelSync hand pieces to the fetcher outside m_lock); taken
    // before m_lock.
    fund::win::monitor m_fetchOrder;
    fund::win::monitor m_lock;  // guards what follows
    HWND m_notify = nullptr;
    uint32_t m_lastError = 0;
    uint32_t m_nextSyncId = 1;
    std::map<uint32_t, Sync> m_syncs;
    // Pieces being fetched, with the syncs that wait for each: a piece two
    // files share is fetched once.
    std::map<uint32_t, std::vector<uint32_t>> m_pieceSyncs;
    std::vector<uint8_t> m_good;   // per piece: verifies now
    std::vector<uint8_t> m_fetch;  // per piece: found damaged since the engine checked the archive
    std::set<uint32_t> m_mending;  // structure pieces fetched before the engine is ready
    FilesPtr m_files;
    std::set<uint32_t> m_filesFetched;
    uint64_t m_bytesFetched = 0;
    uint32_t m_piecesFetched = 0;
    bool m_fetching = false;
    Clock::time_point m_firstFetch{}, m_lastFetch{};

    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_stopping{false};
    std::unique_ptr<brevik::repair::ArchiveRepair> m_repair;
    std::unique_ptr<brevik::repair::PieceFetcher> m_fetcher;
    fund::win::thread m_worker;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_ARCHIVEENGINE_H
