// standin/engine/ArchiveEngine.cpp - the archive-backed engine.

#include "ArchiveEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fund/win/text.h>

namespace standin {

using fund::win::utf8_to_wide;
using fund::win::wide_to_utf8;

namespace {

const wchar_t kEngine[] = L"Engine";
const wchar_t kArchive[] = L"Archive";
// A running sync reports its progress at most this often.
const auto kProgressInterval = std::chrono::milliseconds(250);
// The tables are rebuilt in blocks of this size.
const uint32_t kRebuildBlock = 1024 * 1024;

std::string Num(uint64_t value) { return std::to_string(value); }

// A setting's path: absolute, or relative to the DLL's folder.
std::string ResolvePath(const std::wstring& folder, const std::wstring& name) {
    if (name.empty()) return std::string();
    const bool absolute = name.size() > 1 && (name[1] == L':' || (name[0] == L'\\' && name[1] == L'\\'));
    return wide_to_utf8(absolute ? name : folder + L"\\" + name);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

struct StreamCloser {
    void operator()(TFileStream* stream) const { FileStream_Free(stream); }
};
typedef std::unique_ptr<TFileStream, StreamCloser> StreamPtr;

}  // namespace

ArchiveEngine::ArchiveEngine(const ScriptFile& settings, const CallLog& log, const std::wstring& folder)
    : m_log(log),
      m_folder(folder),
      m_gamePath(ResolvePath(folder, settings.String(kArchive, L"Game"))),
      m_mirrorSpec(settings.String(kArchive, L"Mirror").compare(0, 4, L"http") == 0
                       ? wide_to_utf8(settings.String(kArchive, L"Mirror"))
                       : ResolvePath(folder, settings.String(kArchive, L"Mirror"))),
      m_threads(settings.Number(kArchive, L"DownloadThreads", 3)),
      m_retries(settings.Number(kArchive, L"PieceRetries", 2)),
      m_throttle(settings.Number(kArchive, L"Throttle", 0)),
      m_speed(std::chrono::milliseconds(settings.Number(kArchive, L"SpeedWindowMs", 3000))) {
    DeleteFileW((m_folder + L"\\" + kStatisticsFileName).c_str());
}

ArchiveEngine::~ArchiveEngine() { Shutdown(); }

void ArchiveEngine::SetError(uint32_t code) {
    fund::win::monitor_lock hold(m_lock);
    m_lastError = code;
}

void ArchiveEngine::Post(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window;
    {
        fund::win::monitor_lock hold(m_lock);
        window = m_notify;
    }
    if (window != nullptr) PostMessageW(window, message, wParam, lParam);
}

//-----------------------------------------------------------------------------
// State

void ArchiveEngine::SetNotifyWindow(HWND window) {
    {
        fund::win::monitor_lock hold(m_lock);
        m_notify = window;
    }
    Log("SetNotifyWindow");
    // This engine can be stopped at any moment: the plug-in need not wait.
    Post(WM_ENGINE_STOP_READY, 0, 0);
}

bool ArchiveEngine::Initialize(const char* key) {
    Shutdown();  // a second Initialize without Uninitialize starts afresh too
    m_stopping = false;
    m_limiter.reset(new RateLimiter(m_throttle));
    std::string reason;
    if (!m_mirror) m_mirror = OpenMirrorSource(m_mirrorSpec, &reason);
    bool ok = false;
    if (!m_mirror) {
        SetError(kArchiveErrorNoMirror);
        Log("mirror: " + reason);
    } else {
        uint32_t error = 0;
        const bool opened = m_game.Open(m_gamePath, &error);
        if (opened && m_game.HasHeaderDigest(m_mirror->Layout().headerDigest)) {
            ok = true;
            SetError(0);
            StartWorker([this] { CheckArchive(); }, WM_ENGINE_INIT_RETURN);
        } else {
            // Tables that cannot be read, or those of another version: they
            // are rebuilt from the mirror first.
            if (opened) m_game.Close();
            Log("game archive needs its tables rebuilt, error " + Num(error));
            SetError(MORL_ERROR_NEED_REPAIR);
            StartWorker([this] { RebuildArchive(); }, WM_ENGINE_REPAIR_RETURN);
        }
    }
    Log(std::string("Initialize ") + (key != nullptr ? key : "(null)") + " -> " + Num(ok));
    return ok;
}

void ArchiveEngine::StartWorker(std::function<void()> body, UINT failure) {
    if (m_worker.start(std::move(body))) return;
    Log("cannot start the worker thread, error " + Num(GetLastError()));
    Post(failure, 0, failure == WM_ENGINE_REPAIR_RETURN ? static_cast<LPARAM>(kArchiveErrorRebuild) : 0);
}

bool ArchiveEngine::Uninitialize() {
    Shutdown();
    Log("Uninitialize -> 1");
    return true;
}

void ArchiveEngine::Shutdown() {
    m_stopping = true;
    m_ready = false;
    if (m_limiter) m_limiter->Cancel();
    m_worker.join();
    std::unique_ptr<DownloadPool> pool;
    {
        fund::win::monitor_lock hold(m_lock);
        pool = std::move(m_pool);
        for (auto& entry : m_syncs) entry.second.ended = true;
    }
    pool.reset();  // joins the download threads, outside the lock they take
    m_game.Close();
    WriteStatistics();
}

void ArchiveEngine::CheckArchive() {
    if (!m_game.CheckPieces(m_stopping)) {
        if (!m_stopping) Post(WM_ENGINE_INIT_RETURN, 0, 0);
        return;
    }
    Log("archive checked: " + Num(m_game.PieceCount()) + " pieces, " + Num(m_game.BadPieceCount()) +
        " damaged");
    // Damaged pieces that no file owns (tables, padding) are no sync's
    // business: they are mended here, before the engine reports ready.
    for (uint32_t piece : m_game.UnownedBadPieces()) {
        if (m_stopping) return;
        if (!FetchDirect(piece)) Log("cannot mend piece " + Num(piece));
    }
    {
        fund::win::monitor_lock hold(m_lock);
        if (m_stopping) return;
        m_pool.reset(new DownloadPool(*m_mirror, *this, *m_limiter, m_threads, m_retries));
        if (!m_pool->Started()) {
            m_pool.reset();
            Log("cannot start the download threads");
        }
    }
    if (!m_pool) {
        Post(WM_ENGINE_INIT_RETURN, 0, 0);
        return;
    }
    m_ready = true;
    Post(WM_ENGINE_INIT_RETURN, 1, 0);
}

bool ArchiveEngine::FetchDirect(uint32_t piece) {
    const uint32_t length = m_game.PieceLength(piece);
    std::vector<uint8_t> buffer(length);
    for (uint32_t attempt = 0; attempt <= m_retries; ++attempt) {
        if (m_mirror->Read(m_game.PiecePosition(piece), buffer.data(), length) &&
            m_game.WritePiece(piece, buffer.data(), length)) {
            return true;
        }
    }
    return false;
}

void ArchiveEngine::RebuildArchive() {
    uint32_t error = 0;
    const bool ok = RebuildStructure(&error);
    if (m_stopping) return;
    Log(ok ? "tables rebuilt" : "tables not rebuilt, error " + Num(error));
    Post(WM_ENGINE_REPAIR_RETURN, ok ? 1 : 0, ok ? 0 : static_cast<LPARAM>(kArchiveErrorRebuild));
}

// Makes the game file as long as the mirror and copies from the mirror the
// bytes of the archive's structure (header, tables, list file, MD5 piece
// table, piece-state map) that differ.  Within the pieces whole pieces are
// compared, so that they verify afterwards; the files' data is left to the
// syncs.
bool ArchiveEngine::RebuildStructure(uint32_t* error) {
    const MirrorLayout& layout = m_mirror->Layout();
    const std::wstring path = utf8_to_wide(m_gamePath);
    StreamPtr stream(FileExists(path) ? FileStream_OpenFile(m_gamePath.c_str(), true)
                                      : FileStream_MakeNew(m_gamePath.c_str()));
    uint64_t size = 0;
    if (!stream || !FileStream_SizeOf(stream.get(), &size) ||
        (size != layout.fileSize && !FileStream_SetSize(stream.get(), layout.fileSize))) {
        *error = QOVGetLastError();
        return false;
    }
    std::vector<ByteRange> ranges;
    uint64_t total = 0;
    for (ByteRange range : layout.structure) {
        if (range.position < layout.archiveSize) {
            const uint64_t end = std::min(range.position + range.length, layout.archiveSize);
            range.position -= range.position % layout.pieceSize;
            range.length = std::min((end + layout.pieceSize - 1) / layout.pieceSize * layout.pieceSize,
                                    layout.archiveSize) - range.position;
        }
        ranges.push_back(range);
        total += range.length;
    }
    std::vector<uint8_t> wanted(kRebuildBlock), present(kRebuildBlock);
    uint64_t done = 0;
    for (const ByteRange& range : ranges) {
        for (uint64_t offset = 0; offset < range.length;) {
            if (m_stopping) return false;
            const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kRebuildBlock, range.length - offset));
            uint64_t position = range.position + offset;
            if (!m_mirror->Read(position, wanted.data(), length)) {
                *error = QOVGetLastError();
                return false;
            }
            uint64_t at = position;
            const bool same = FileStream_Read(stream.get(), &at, present.data(), length) &&
                              std::memcmp(wanted.data(), present.data(), length) == 0;
            if (!same && !FileStream_Write(stream.get(), &position, wanted.data(), length)) {
                *error = QOVGetLastError();
                return false;
            }
            offset += length;
            done += length;
            Post(WM_ENGINE_REPAIR_PROGRESS, static_cast<WPARAM>(done * 1000 / std::max<uint64_t>(total, 1)), 0);
        }
    }
    return true;
}

uint32_t ArchiveEngine::GetLastErrorCode(uint32_t, uint32_t) {
    fund::win::monitor_lock hold(m_lock);
    return m_lastError;
}

uint32_t ArchiveEngine::GetErrorText(uint32_t code, uint32_t, wchar_t* buffer, uint32_t length) {
    const wchar_t* known = nullptr;
    switch (code) {
        case 0: known = L"no error"; break;
        case MORL_ERROR_NEED_REPAIR: known = L"the game archive's tables are rebuilt from the mirror first"; break;
        case MORL_ERROR_FILE_NOT_PRESENT: known = L"the file is not in the game archive"; break;
        case kArchiveErrorNotReady: known = L"the engine is not ready"; break;
        case kArchiveErrorNoMirror: known = L"the mirror cannot be opened"; break;
        case kArchiveErrorExists: known = L"the file exists and may not be overwritten"; break;
        case kArchiveErrorArchive: known = L"the archive library failed"; break;
        case kArchiveErrorRebuild: known = L"the game archive's tables could not be rebuilt"; break;
        default: break;
    }
    wchar_t fallback[40];
    swprintf(fallback, 40, L"engine error 0x%08X", code);
    const std::wstring text = known != nullptr ? known : fallback;
    if (buffer != nullptr && length > 0) {
        const size_t copy = std::min<size_t>(text.size(), length - 1);
        std::memcpy(buffer, text.data(), copy * sizeof(wchar_t));
        buffer[copy] = L'\0';
    }
    return static_cast<uint32_t>(text.size() + 1);
}

uint32_t ArchiveEngine::GetDownloadSpeed() { return m_speed.BytesPerSecond(); }

uint32_t ArchiveEngine::GetPreDownloadSpeed() { return m_throttle; }

void ArchiveEngine::SetHostAction(uint32_t action, uint32_t value, bool wait) {
    Log("SetHostAction " + Num(action) + " " + Num(value) + " " + Num(wait));
    if (action != 1 || value != 1) return;
    uint32_t error = 0;
    if (!m_game.WriteMap(&error)) Log("piece-state map not written, error " + Num(error));
    WriteStatistics();
    Post(WM_ENGINE_BITMAP_FINISH, error, 0);
}

void ArchiveEngine::WriteStatistics() {
    uint64_t files, bytes, pieces, ms;
    {
        fund::win::monitor_lock hold(m_lock);
        files = m_filesFetched.size();
        bytes = m_bytesFetched;
        pieces = m_piecesFetched;
        ms = m_fetching ? std::chrono::duration_cast<std::chrono::milliseconds>(m_lastFetch - m_firstFetch).count() : 0;
    }
    const std::wstring path = m_folder + L"\\" + kStatisticsFileName;
    const wchar_t* keys[] = {L"FilesFetched", L"BytesFetched", L"PiecesFetched", L"DownloadMs"};
    const uint64_t values[] = {files, bytes, pieces, ms};
    for (size_t n = 0; n < 4; ++n) {
        WritePrivateProfileStringW(L"Statistics", keys[n], std::to_wstring(values[n]).c_str(), path.c_str());
    }
}

//-----------------------------------------------------------------------------
// Files

const char* ArchiveEngine::GetFileName(uint32_t index) {
    const char* name = m_game.FileName(index);
    SetError(name != nullptr ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return name;
}

uint32_t ArchiveEngine::GetFileIndex(const char* name) {
    const uint32_t index = m_game.FileId(name);
    SetError(index != MORL_INVALID_INDEX ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return index;
}

bool ArchiveEngine::GetFileSize(uint32_t index, uint32_t* size) {
    uint32_t value = 0;
    const bool ok = m_game.FileSize(index, &value);
    if (size != nullptr) *size = value;
    SetError(ok ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return ok;
}

bool ArchiveEngine::GetFileDownloadSize(uint32_t index, uint32_t* size) {
    const bool ok = m_game.HasFile(index);
    const uint64_t bytes = ok ? m_game.FileFetchBytes(index) : 0;
    if (size != nullptr) *size = static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu));
    SetError(ok ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return ok;
}

bool ArchiveEngine::GetFileMD5(uint32_t index, char* md5) {
    uint8_t digest[16];
    const bool ok = md5 != nullptr && m_game.FileMD5(index, digest);
    if (ok) {
        for (int n = 0; n < 16; ++n) snprintf(md5 + 2 * n, 3, "%02X", digest[n]);
        md5[32] = '\0';
    }
    SetError(ok ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return ok;
}

bool ArchiveEngine::IsFileComplete(uint32_t index) {
    if (!m_game.HasFile(index)) {
        SetError(MORL_ERROR_FILE_NOT_PRESENT);
        return false;
    }
    const bool complete = m_game.FileComplete(index);
    SetError(0);  // an incomplete file is one to download
    return complete;
}

bool ArchiveEngine::ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) {
    const std::string folder = destFolder != nullptr ? destFolder : "";
    const char* name = m_game.FileName(index);
    bool ok = false;
    if (name == nullptr) {
        SetError(MORL_ERROR_FILE_NOT_PRESENT);
    } else {
        std::wstring target = utf8_to_wide(folder);
        if (!target.empty() && target.back() != L'\\' && target.back() != L'/') target += L'\\';
        std::wstring inner = utf8_to_wide(name);
        std::replace(inner.begin(), inner.end(), L'/', L'\\');
        target += inner;
        uint32_t error = 0;
        if (overwrite == 0 && FileExists(target)) {
            SetError(kArchiveErrorExists);
        } else if (!m_game.Extract(index, wide_to_utf8(target), &error)) {
            Log("extraction failed, error " + Num(error));
            SetError(kArchiveErrorArchive);
        } else {
            ok = true;
            SetError(0);
        }
    }
    Log("ExtractFile " + Num(index) + " " + folder + " " + Num(overwrite) + " -> " + Num(ok));
    return ok;
}

//-----------------------------------------------------------------------------
// Syncs

uint32_t ArchiveEngine::StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any,
                                  uint8_t flag) {
    const std::string args = Num(index) + " " + Num(priority) + " " + Num(any) + " " + Num(flag);
    if (!m_ready || !m_game.HasFile(index)) {
        SetError(m_ready ? MORL_ERROR_FILE_NOT_PRESENT : kArchiveErrorNotReady);
        Log("StartSync " + args + " -> " + Num(MORL_INVALID_SYNC_ID));
        return MORL_INVALID_SYNC_ID;
    }
    const std::vector<uint32_t> bad = m_game.FileBadPieces(index);
    const uint64_t total = m_game.FileFetchBytes(index);
    const char* name = m_game.FileName(index);
    uint64_t missing = 0;
    std::vector<PieceJob> jobs;
    fund::win::monitor_lock hold(m_lock);
    if (!m_pool) {
        m_lastError = kArchiveErrorNotReady;
        Log("StartSync " + args + " -> " + Num(MORL_INVALID_SYNC_ID));
        return MORL_INVALID_SYNC_ID;
    }
    uint32_t syncId = m_nextSyncId++;
    if (syncId == MORL_INVALID_SYNC_ID) syncId = m_nextSyncId++;
    for (uint32_t piece : bad) {
        PieceJob job;
        job.syncId = syncId;
        job.piece = piece;
        job.position = m_game.PiecePosition(piece);
        job.length = m_game.PieceLength(piece);
        missing += job.length;
        std::vector<uint32_t>& waiting = m_pieceSyncs[piece];
        if (waiting.empty()) jobs.push_back(job);  // else another sync fetches it already
        waiting.push_back(syncId);
    }
    Sync& sync = m_syncs[syncId];
    sync.fileIndex = index;
    sync.notify = notify;
    if (name != nullptr) std::strncpy(sync.record.fileName, name, sizeof(sync.record.fileName) - 1);
    sync.record.total = static_cast<uint32_t>(std::min<uint64_t>(std::max(total, missing), 0xFFFFFFFFu));
    sync.record.done = sync.record.total - static_cast<uint32_t>(std::min<uint64_t>(missing, sync.record.total));
    sync.piecesLeft = static_cast<uint32_t>(bad.size());
    m_lastError = 0;
    if (bad.empty()) {
        sync.record.status = MORL_SYNC_STATUS_SYNCED;
        sync.ended = true;
        PostSync(syncId, sync);
    } else {
        sync.record.status = MORL_SYNC_STATUS_RUNNING;
        if (!jobs.empty()) {
            m_speed.Begin();
            if (!m_fetching) m_firstFetch = m_lastFetch = TransferClock::now();
            m_fetching = true;
            m_pool->Add(jobs);
        }
    }
    Log("StartSync " + args + " -> " + Num(syncId));
    return syncId;
}

void ArchiveEngine::PostSync(uint32_t syncId, Sync& sync) {
    sync.lastPost = TransferClock::now();
    if (sync.notify != nullptr) PostMessageW(sync.notify, WM_ENGINE_SYNC_EVENT, static_cast<WPARAM>(syncId), 0);
}

void ArchiveEngine::CancelSync(uint32_t syncId) {
    {
        fund::win::monitor_lock hold(m_lock);
        auto found = m_syncs.find(syncId);
        if (found != m_syncs.end() && !found->second.ended) {
            found->second.ended = true;
            found->second.record.status = MORL_SYNC_STATUS_ENDED;
        }
    }
    Log("CancelSync " + Num(syncId));
}

bool ArchiveEngine::GetSyncResult(uint32_t syncId, SyncResult* result) {
    fund::win::monitor_lock hold(m_lock);
    auto found = m_syncs.find(syncId);
    if (found == m_syncs.end() || result == nullptr) {
        m_lastError = MORL_ERROR_FILE_NOT_PRESENT;
        return false;
    }
    *result = found->second.record;
    return true;
}

bool ArchiveEngine::Wanted(const PieceJob& job) {
    if (m_stopping) return false;
    fund::win::monitor_lock hold(m_lock);
    auto waiting = m_pieceSyncs.find(job.piece);
    if (waiting == m_pieceSyncs.end()) return false;
    for (uint32_t syncId : waiting->second) {
        auto found = m_syncs.find(syncId);
        if (found != m_syncs.end() && !found->second.ended) return true;
    }
    return false;
}

namespace {

// Through the download thread's own handle when it could be opened, else
// through the shared one.
class ArchivePieceWriter : public PieceWriter {
public:
    ArchivePieceWriter(GameArchive& game, std::unique_ptr<GameArchiveWriter> own)
        : m_game(game), m_own(std::move(own)) {}

    bool Store(const PieceJob& job, const uint8_t* data) override {
        return m_own ? m_own->Write(job.piece, data, job.length) : m_game.WritePiece(job.piece, data, job.length);
    }

    void StoreMany(std::vector<FetchedPiece>& pieces) override {
        if (!m_own) return PieceWriter::StoreMany(pieces);
        std::vector<QOV_PIECE_WRITE> writes;
        for (const FetchedPiece& piece : pieces) {
            writes.push_back(QOV_PIECE_WRITE{piece.job->piece, piece.job->length, piece.data, 0, ERROR_SUCCESS});
        }
        std::vector<bool> stored;
        m_own->WriteMany(writes, &stored);
        for (size_t n = 0; n < pieces.size(); ++n) pieces[n].stored = stored[n];
    }

private:
    GameArchive& m_game;
    std::unique_ptr<GameArchiveWriter> m_own;
};

}  // namespace

std::unique_ptr<PieceWriter> ArchiveEngine::OpenWriter() {
    return std::unique_ptr<PieceWriter>(new ArchivePieceWriter(m_game, m_game.OpenWriter()));
}

void ArchiveEngine::Done(const PieceJob& job, PieceOutcome outcome) {
    const TransferClock::time_point now = TransferClock::now();
    const bool stored = outcome == PieceOutcome::kStored;
    if (stored) m_speed.Add(job.length);
    fund::win::monitor_lock hold(m_lock);
    if (stored) {
        m_lastFetch = now;
        m_bytesFetched += job.length;
        ++m_piecesFetched;
    } else if (outcome == PieceOutcome::kFailed) {
        Log("sync " + Num(job.syncId) + ": piece " + Num(job.piece) + " cannot be had");
    }
    auto waiting = m_pieceSyncs.find(job.piece);
    if (waiting == m_pieceSyncs.end()) return;
    std::vector<uint32_t> syncs;
    syncs.swap(waiting->second);
    m_pieceSyncs.erase(waiting);
    if (outcome == PieceOutcome::kSkipped) {
        // Skipped while a sync still waits (it started just then): fetch it
        // after all, unless the engine is stopping.
        std::vector<uint32_t> active;
        for (uint32_t syncId : syncs) {
            auto found = m_syncs.find(syncId);
            if (found != m_syncs.end() && !found->second.ended) active.push_back(syncId);
        }
        if (!active.empty() && !m_stopping && m_pool) {
            m_pieceSyncs[job.piece] = active;
            m_pool->Add({job});
        }
        return;
    }
    for (uint32_t syncId : syncs) PieceEnded(syncId, job, stored, now);
}

void ArchiveEngine::PieceEnded(uint32_t syncId, const PieceJob& job, bool stored,
                               TransferClock::time_point now) {
    auto found = m_syncs.find(syncId);
    if (found == m_syncs.end() || found->second.ended) return;
    Sync& sync = found->second;
    if (!stored) {
        // A piece that cannot be had ends the sync; the plug-in retries it.
        sync.record.status = MORL_SYNC_STATUS_FAILED;
        sync.ended = true;
        PostSync(syncId, sync);
        return;
    }
    m_filesFetched.insert(sync.fileIndex);
    sync.record.done = std::min(sync.record.total, sync.record.done + job.length);
    if (--sync.piecesLeft == 0) {
        sync.record.status = MORL_SYNC_STATUS_SYNCED;
        sync.record.done = sync.record.total;
        sync.ended = true;
        PostSync(syncId, sync);
    } else if (now - sync.lastPost >= kProgressInterval) {
        PostSync(syncId, sync);
    }
}

}  // namespace standin
