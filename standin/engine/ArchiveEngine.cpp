// standin/engine/ArchiveEngine.cpp - the archive-backed engine: the engine
// calls turned into the repair core's.

#include "ArchiveEngine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fund/relative_name.h>
#include <fund/win/text.h>

namespace standin {

namespace rp = brevik::repair;
using fund::win::utf8_to_wide;
using fund::win::wide_to_utf8;

namespace {

const wchar_t kArchive[] = L"Archive";
// A running sync reports its progress at most this often.
const auto kProgressInterval = std::chrono::milliseconds(250);
// Progress of the engine's own repair (the rebuild), in tenths of a percent.
const WPARAM kRebuildChecked = 500;
const WPARAM kRebuildDone = 1000;
const unsigned kMostThreads = 16;

std::string Num(uint64_t value) { return std::to_string(value); }

bool IsAddress(const std::wstring& text) { return text.find(L"://") != std::wstring::npos; }

// A setting's path: absolute, or relative to the DLL's folder.
std::string ResolvePath(const std::wstring& folder, const std::wstring& name) {
    if (name.empty()) return std::string();
    const bool absolute = name.size() > 1 && (name[1] == L':' || (name[0] == L'\\' && name[1] == L'\\'));
    return wide_to_utf8(absolute ? name : folder + L"\\" + name);
}

// The mirror: an http:// or https:// address as it is, a path resolved.
std::string MirrorSpec(const std::wstring& folder, const std::wstring& mirror) {
    return IsAddress(mirror) ? wide_to_utf8(mirror) : ResolvePath(folder, mirror);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs `body` on a thread of this engine's own and waits for it.  The
// archive library keeps state per thread (its zlib streams, through the C++
// run-time's thread support, which also holds a handle of the thread); on a
// thread of the host that state would outlive morl.dll when the plug-in
// frees it.  A thread that ends while the DLL is loaded releases it.
void OnOwnThread(const std::function<void()>& body) {
    fund::win::thread thread;
    if (!thread.start(body)) body();  // no thread to be had: here, at that cost
    thread.join();
}

}  // namespace

ArchiveEngine::ArchiveEngine(const ScriptFile& settings, const CallLog& log, const std::wstring& folder)
    : m_log(log),
      m_folder(folder),
      m_gamePath(ResolvePath(folder, settings.String(kArchive, L"Game"))),
      m_mirrorSpec(MirrorSpec(folder, settings.String(kArchive, L"Mirror"))),
      m_caFile(ResolvePath(folder, settings.String(kArchive, L"CaFile"))),
      m_threads(
          std::max(1u, std::min<unsigned>(settings.Number(kArchive, L"DownloadThreads", 3), kMostThreads))),
      m_retries(settings.Number(kArchive, L"PieceRetries", 2)),
      m_throttle(settings.Number(kArchive, L"Throttle", 0)),
      m_speedWindow(std::max<uint32_t>(settings.Number(kArchive, L"SpeedWindowMs", 3000), 100)) {
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

ArchiveEngine::FilesPtr ArchiveEngine::Files() {
    fund::win::monitor_lock hold(m_lock);
    return m_files;
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
    bool ok = false;
    if (OpenRepair()) {
        if (m_repair->Plan().rebuild) {
            // Missing, tables that cannot be read, or another version: the
            // header and tables are rebuilt from the mirror first.
            Log("game archive needs its tables rebuilt" +
                std::string(m_repair->Plan().archiveMissing ? " (it is missing)" : ""));
            SetError(MORL_ERROR_NEED_REPAIR);
            StartWorker([this] { RebuildArchive(); }, WM_ENGINE_REPAIR_RETURN);
        } else {
            ok = true;
            SetError(0);
            StartWorker([this] { CheckArchive(); }, WM_ENGINE_INIT_RETURN);
        }
    }
    Log(std::string("Initialize ") + (key != nullptr ? key : "(null)") + " -> " + Num(ok));
    return ok;
}

bool ArchiveEngine::OpenRepair() {
    if (m_mirrorSpec.empty()) {
        SetError(kArchiveErrorNoMirror);
        Log("mirror: no mirror is set ([Archive] Mirror)");
        return false;
    }
    std::string error;
    rp::SourceSettings sourceSettings;
    sourceSettings.caFile = m_caFile;
    std::vector<std::unique_ptr<rp::PieceSource>> sources;
    sources.push_back(rp::OpenSource(m_mirrorSpec, sourceSettings, &error));
    if (!sources.back()) {
        SetError(kArchiveErrorNoMirror);
        Log("mirror: " + error);
        return false;
    }
    rp::RepairOptions options;
    options.archive = m_gamePath;
    options.connections = m_threads;
    options.bytesPerSecond = m_throttle;
    options.attempts = m_retries + 1;
    options.speedWindow = m_speedWindow;
    // The settings name the game's archive: it is brought to the mirror's
    // version whatever it holds.
    options.force = true;
    options.replaceOtherVersion = true;
    const CallLog log = m_log;
    options.onNote = [log](const std::string& line) { log.Write("repair: " + line); };
    m_repair.reset(new rp::ArchiveRepair(std::move(options), std::move(sources)));
    bool opened = false;
    OnOwnThread([&] { opened = m_repair->Open(); });
    if (opened) return true;
    // No source in the plan: the mirror could not be probed.
    const bool mirrorFailed = m_repair->Plan().source.empty();
    SetError(mirrorFailed ? kArchiveErrorNoMirror : kArchiveErrorArchive);
    Log((mirrorFailed ? "mirror: " : "game archive: ") + m_repair->Result().error);
    m_repair.reset();
    return false;
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
    {
        fund::win::monitor_lock hold(m_lock);
        m_lock.notify_all();  // a worker waiting for its structure pieces
    }
    if (m_repair) m_repair->Stop();
    m_worker.join();
    std::unique_ptr<rp::PieceFetcher> fetcher;
    {
        fund::win::monitor_lock order(m_fetchOrder);
        fund::win::monitor_lock hold(m_lock);
        fetcher = std::move(m_fetcher);
        m_files.reset();
        for (auto& entry : m_syncs) entry.second.ended = true;
        m_pieceSyncs.clear();
        m_mending.clear();
    }
    fetcher.reset();  // joins the download workers, outside the lock they take
    if (m_repair) {
        // A stopped repair leaves the damaged pieces marked as such.
        OnOwnThread([this] {
            std::string error;
            if (m_repair->Plan().pieceCount > 0 && !m_repair->WriteMap(&error)) Log(error);
            m_repair.reset();
        });
    }
    WriteStatistics();
}

void ArchiveEngine::CheckArchive() {
    if (!m_repair->Check()) {
        if (!m_stopping) {
            Log("archive not checked: " + m_repair->Result().error);
            Post(WM_ENGINE_INIT_RETURN, 0, 0);
        }
        return;
    }
    const rp::RepairPlan& plan = m_repair->Plan();
    {
        fund::win::monitor_lock hold(m_lock);
        m_good.assign(plan.pieceCount, 1);
        m_fetch.assign(plan.pieceCount, 0);
        for (uint32_t piece : plan.pieces) {
            m_good[piece] = 0;
            m_fetch[piece] = 1;
        }
    }
    Log("archive checked: " + Num(plan.pieceCount) + " pieces, " + Num(plan.pieces.size()) + " damaged");
    std::unique_ptr<rp::PieceFetcher> fetcher = m_repair->StartFetcher(*this);
    std::string error;
    FilesPtr files(fetcher ? rp::ArchiveFiles::Open(m_gamePath, &error) : nullptr);
    if (!fetcher || !files) {
        Log("cannot serve the archive: " + (fetcher ? error : m_repair->Result().error));
        Post(WM_ENGINE_INIT_RETURN, 0, 0);
        return;
    }
    // Damaged pieces of the tables, the list file or padding are no sync's
    // business: they are mended here, before the engine reports ready, and
    // the names are read again once they are.
    if (MendStructure(*fetcher, *files)) files.reset(rp::ArchiveFiles::Open(m_gamePath, &error).release());
    if (m_stopping) return;
    if (!files) {
        Log("cannot serve the archive: " + error);
        Post(WM_ENGINE_INIT_RETURN, 0, 0);
        return;
    }
    {
        fund::win::monitor_lock hold(m_lock);
        if (m_stopping) return;
        m_files = files;
        m_fetcher = std::move(fetcher);
    }
    m_ready = true;
    Post(WM_ENGINE_INIT_RETURN, 1, 0);
}

// Fetches the damaged structure pieces and waits for them; false when
// there were none.
bool ArchiveEngine::MendStructure(rp::PieceFetcher& fetcher, const rp::ArchiveFiles& files) {
    std::vector<uint32_t> damaged;
    {
        fund::win::monitor_lock hold(m_lock);
        for (uint32_t piece : files.StructurePieces()) {
            if (piece < m_good.size() && !m_good[piece]) damaged.push_back(piece);
        }
        m_mending.insert(damaged.begin(), damaged.end());
    }
    if (damaged.empty()) return false;
    fetcher.Fetch(damaged);
    fund::win::monitor_lock hold(m_lock);
    m_lock.wait([this] { return m_mending.empty() || m_stopping; });
    return true;
}

void ArchiveEngine::RebuildArchive() {
    bool ok = m_repair->Check();
    if (ok) {
        Post(WM_ENGINE_REPAIR_PROGRESS, kRebuildChecked, 0);
        ok = m_repair->Rebuild();
    }
    if (m_stopping) return;
    if (ok) {
        std::string error;
        if (!m_repair->WriteMap(&error)) Log(error);
        Post(WM_ENGINE_REPAIR_PROGRESS, kRebuildDone, 0);
    }
    Log(ok ? "tables rebuilt" : "tables not rebuilt: " + m_repair->Result().error);
    Post(WM_ENGINE_REPAIR_RETURN, ok ? 1 : 0, ok ? 0 : static_cast<LPARAM>(kArchiveErrorRebuild));
}

uint32_t ArchiveEngine::GetLastErrorCode(uint32_t, uint32_t) {
    fund::win::monitor_lock hold(m_lock);
    return m_lastError;
}

uint32_t ArchiveEngine::GetErrorText(uint32_t code, uint32_t, wchar_t* buffer, uint32_t length) {
    const wchar_t* known = nullptr;
    switch (code) {
        case 0:
            known = L"no error";
            break;
        case MORL_ERROR_NEED_REPAIR:
            known = L"the game archive's tables are rebuilt from the mirror first";
            break;
        case MORL_ERROR_FILE_NOT_PRESENT:
            known = L"the file is not in the game archive";
            break;
        case kArchiveErrorNotReady:
            known = L"the engine is not ready";
            break;
        case kArchiveErrorNoMirror:
            known = L"the mirror cannot be used";
            break;
        case kArchiveErrorExists:
            known = L"the file exists and may not be overwritten";
            break;
        case kArchiveErrorArchive:
            known = L"the game archive cannot be used";
            break;
        case kArchiveErrorRebuild:
            known = L"the game archive's tables could not be rebuilt";
            break;
        case kArchiveErrorUnsafeName:
            known = L"the archived name would leave the destination folder";
            break;
        default:
            break;
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

uint32_t ArchiveEngine::GetDownloadSpeed() {
    if (!m_repair) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(m_repair->Progress().bytesPerSecond, 0xFFFFFFFFu));
}

uint32_t ArchiveEngine::GetPreDownloadSpeed() { return m_throttle; }

void ArchiveEngine::SetHostAction(uint32_t action, uint32_t value, bool wait) {
    Log("SetHostAction " + Num(action) + " " + Num(value) + " " + Num(wait));
    if (action != 1 || value != 1) return;
    uint32_t code = kArchiveErrorNotReady;
    std::string error = "the engine is not initialised";
    if (m_repair) OnOwnThread([&] { code = m_repair->WriteMap(&error) ? 0 : kArchiveErrorArchive; });
    if (code != 0) Log("piece-state map not written: " + error);
    WriteStatistics();
    Post(WM_ENGINE_BITMAP_FINISH, code, 0);
}

void ArchiveEngine::WriteStatistics() {
    uint64_t files, bytes, pieces, ms;
    {
        fund::win::monitor_lock hold(m_lock);
        files = m_filesFetched.size();
        bytes = m_bytesFetched;
        pieces = m_piecesFetched;
        ms = m_fetching
                 ? std::chrono::duration_cast<std::chrono::milliseconds>(m_lastFetch - m_firstFetch).count()
                 : 0;
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

bool ArchiveEngine::FilePieces(uint32_t index, uint32_t* first, uint32_t* count) {
    const FilesPtr files = Files();
    const rp::ArchiveFile* file = files ? files->File(index) : nullptr;
    if (file == nullptr) return false;
    *first = file->firstPiece;
    *count = file->pieceCount;
    return true;
}

uint32_t ArchiveEngine::PieceLength(uint64_t piece) const {
    const rp::RepairPlan& plan = m_repair->Plan();
    return piece + 1 == plan.pieceCount ? plan.lastPieceSize : plan.pieceSize;
}

uint64_t ArchiveEngine::FetchBytes(uint32_t first, uint32_t count) {
    uint64_t bytes = 0;
    for (uint64_t piece = first; piece < uint64_t(first) + count && piece < m_good.size(); ++piece) {
        if (m_fetch[piece] || !m_good[piece]) bytes += PieceLength(piece);
    }
    return bytes;
}

const char* ArchiveEngine::GetFileName(uint32_t index) {
    const FilesPtr files = Files();
    const rp::ArchiveFile* file = files ? files->File(index) : nullptr;
    SetError(file != nullptr ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return file != nullptr ? file->name.c_str() : nullptr;
}

uint32_t ArchiveEngine::GetFileIndex(const char* name) {
    const FilesPtr files = Files();
    const uint32_t index = files && name != nullptr ? files->FileId(name) : rp::ArchiveFiles::kNoFile;
    SetError(index != rp::ArchiveFiles::kNoFile ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return index != rp::ArchiveFiles::kNoFile ? index : MORL_INVALID_INDEX;
}

bool ArchiveEngine::GetFileSize(uint32_t index, uint32_t* size) {
    const FilesPtr files = Files();
    const rp::ArchiveFile* file = files ? files->File(index) : nullptr;
    if (size != nullptr) *size = file != nullptr ? file->size : 0;
    SetError(file != nullptr ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return file != nullptr;
}

bool ArchiveEngine::GetFileDownloadSize(uint32_t index, uint32_t* size) {
    uint32_t first = 0, count = 0;
    const bool ok = FilePieces(index, &first, &count);
    uint64_t bytes = 0;
    if (ok) {
        fund::win::monitor_lock hold(m_lock);
        bytes = FetchBytes(first, count);
    }
    if (size != nullptr) *size = static_cast<uint32_t>(std::min<uint64_t>(bytes, 0xFFFFFFFFu));
    SetError(ok ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return ok;
}

bool ArchiveEngine::GetFileMD5(uint32_t index, char* md5) {
    const FilesPtr files = Files();
    const rp::ArchiveFile* file = files ? files->File(index) : nullptr;
    const bool ok = md5 != nullptr && file != nullptr && file->hasMd5;
    if (ok) {
        for (int n = 0; n < 16; ++n) snprintf(md5 + 2 * n, 3, "%02X", file->md5[n]);
        md5[32] = '\0';
    }
    SetError(ok ? 0 : MORL_ERROR_FILE_NOT_PRESENT);
    return ok;
}

bool ArchiveEngine::IsFileComplete(uint32_t index) {
    uint32_t first = 0, count = 0;
    if (!FilePieces(index, &first, &count)) {
        SetError(MORL_ERROR_FILE_NOT_PRESENT);
        return false;
    }
    fund::win::monitor_lock hold(m_lock);
    m_lastError = 0;  // an incomplete file is one to download
    for (uint64_t piece = first; piece < uint64_t(first) + count; ++piece) {
        if (piece >= m_good.size() || !m_good[piece]) return false;
    }
    return true;
}

bool ArchiveEngine::ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) {
    const std::string folder = destFolder != nullptr ? destFolder : "";
    const FilesPtr files = Files();
    const rp::ArchiveFile* file = files ? files->File(index) : nullptr;
    bool ok = false;
    if (file == nullptr) {
        SetError(MORL_ERROR_FILE_NOT_PRESENT);
    } else if (!fund::is_contained_relative_name(file->name)) {
        // The archive's tables and list may come from a server: a name
        // joined onto the folder must stay below it.
        Log("refused name " + file->name);
        SetError(kArchiveErrorUnsafeName);
    } else {
        std::wstring target = utf8_to_wide(folder);
        if (!target.empty() && target.back() != L'\\' && target.back() != L'/') target += L'\\';
        std::wstring inner = utf8_to_wide(file->name);
        std::replace(inner.begin(), inner.end(), L'/', L'\\');
        target += inner;
        uint32_t error = 0;
        if (overwrite == 0 && FileExists(target)) {
            SetError(kArchiveErrorExists);
        } else {
            OnOwnThread([&] { ok = files->Extract(index, wide_to_utf8(target), &error); });
            if (!ok) Log("extraction failed, error " + Num(error));
            SetError(ok ? 0 : kArchiveErrorArchive);
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
    uint32_t first = 0, count = 0;
    const bool known = m_ready && FilePieces(index, &first, &count);
    const FilesPtr files = Files();
    fund::win::monitor_lock order(m_fetchOrder);
    std::vector<uint32_t> wanted;
    rp::PieceFetcher* fetcher = nullptr;
    uint32_t syncId = MORL_INVALID_SYNC_ID;
    {
        fund::win::monitor_lock hold(m_lock);
        if (!known || !m_fetcher) {
            m_lastError = m_ready ? MORL_ERROR_FILE_NOT_PRESENT : kArchiveErrorNotReady;
            Log("StartSync " + args + " -> " + Num(MORL_INVALID_SYNC_ID));
            return MORL_INVALID_SYNC_ID;
        }
        syncId = m_nextSyncId++;
        if (syncId == MORL_INVALID_SYNC_ID) syncId = m_nextSyncId++;
        uint64_t missing = 0;
        uint32_t bad = 0;
        for (uint64_t piece = first; piece < uint64_t(first) + count && piece < m_good.size(); ++piece) {
            if (m_good[piece]) continue;
            const uint32_t at = static_cast<uint32_t>(piece);
            ++bad;
            missing += PieceLength(at);
            std::vector<uint32_t>& waiting = m_pieceSyncs[at];
            if (waiting.empty()) wanted.push_back(at);  // else another sync fetches it already
            waiting.push_back(syncId);
        }
        const uint64_t total = FetchBytes(first, count);
        Sync& sync = m_syncs[syncId];
        sync.fileIndex = index;
        sync.notify = notify;
        std::strncpy(sync.record.fileName, files->File(index)->name.c_str(),
                     sizeof(sync.record.fileName) - 1);
        sync.record.total = static_cast<uint32_t>(std::min<uint64_t>(std::max(total, missing), 0xFFFFFFFFu));
        sync.record.done =
            sync.record.total - static_cast<uint32_t>(std::min<uint64_t>(missing, sync.record.total));
        sync.piecesLeft = bad;
        m_lastError = 0;
        if (bad == 0) {
            sync.record.status = MORL_SYNC_STATUS_SYNCED;
            sync.ended = true;
            PostSync(syncId, sync);
        } else {
            sync.record.status = MORL_SYNC_STATUS_RUNNING;
            if (!wanted.empty() && !m_fetching) {
                m_firstFetch = m_lastFetch = Clock::now();
                m_fetching = true;
            }
        }
        fetcher = m_fetcher.get();
    }
    // Outside the lock: a piece given up at once is reported to this engine
    // on this thread.
    if (!wanted.empty()) fetcher->Fetch(wanted);
    Log("StartSync " + args + " -> " + Num(syncId));
    return syncId;
}

void ArchiveEngine::PostSync(uint32_t syncId, Sync& sync) {
    sync.lastPost = Clock::now();
    if (sync.notify != nullptr)
        PostMessageW(sync.notify, WM_ENGINE_SYNC_EVENT, static_cast<WPARAM>(syncId), 0);
}

void ArchiveEngine::CancelSync(uint32_t syncId) {
    fund::win::monitor_lock order(m_fetchOrder);
    std::vector<uint32_t> dropped;
    rp::PieceFetcher* fetcher = nullptr;
    {
        fund::win::monitor_lock hold(m_lock);
        auto found = m_syncs.find(syncId);
        if (found != m_syncs.end() && !found->second.ended) {
            found->second.ended = true;
            found->second.record.status = MORL_SYNC_STATUS_ENDED;
            // The pieces no other sync waits for are not fetched any more.
            for (auto entry = m_pieceSyncs.begin(); entry != m_pieceSyncs.end();) {
                const bool wanted = std::any_of(entry->second.begin(), entry->second.end(), [&](uint32_t id) {
                    auto other = m_syncs.find(id);
                    return other != m_syncs.end() && !other->second.ended;
                });
                if (wanted) {
                    ++entry;
                } else {
                    dropped.push_back(entry->first);
                    entry = m_pieceSyncs.erase(entry);
                }
            }
        }
        fetcher = m_fetcher.get();
    }
    if (fetcher != nullptr && !dropped.empty()) fetcher->Cancel(dropped);
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

void ArchiveEngine::PieceStored(uint32_t piece, uint32_t length) {
    const Clock::time_point now = Clock::now();
    fund::win::monitor_lock hold(m_lock);
    if (piece < m_good.size()) m_good[piece] = 1;
    m_lastFetch = now;
    m_bytesFetched += length;
    ++m_piecesFetched;
    if (m_mending.erase(piece) > 0) m_lock.notify_all();
    auto waiting = m_pieceSyncs.find(piece);
    if (waiting == m_pieceSyncs.end()) return;
    const std::vector<uint32_t> syncs = std::move(waiting->second);
    m_pieceSyncs.erase(waiting);
    for (uint32_t syncId : syncs) PieceEnded(syncId, length, true, now);
}

void ArchiveEngine::PiecesFailed(const std::vector<uint32_t>& pieces, const std::string& why) {
    const Clock::time_point now = Clock::now();
    for (uint32_t piece : pieces) Log("piece " + Num(piece) + " cannot be had: " + why);
    fund::win::monitor_lock hold(m_lock);
    for (uint32_t piece : pieces) {
        if (m_mending.erase(piece) > 0) m_lock.notify_all();
        auto waiting = m_pieceSyncs.find(piece);
        if (waiting == m_pieceSyncs.end()) continue;
        const std::vector<uint32_t> syncs = std::move(waiting->second);
        m_pieceSyncs.erase(waiting);
        for (uint32_t syncId : syncs) PieceEnded(syncId, 0, false, now);
    }
}

void ArchiveEngine::PieceEnded(uint32_t syncId, uint32_t length, bool stored, Clock::time_point now) {
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
    sync.record.done =
        static_cast<uint32_t>(std::min<uint64_t>(sync.record.total, uint64_t(sync.record.done) + length));
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
