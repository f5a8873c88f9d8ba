// Repair.cpp - the repair of one archive: probe, look, plan, rebuild, fetch,
// record.

#include "repair/Repair.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "ArchiveHeader.h"
#include "ArchiveLock.h"
#include "Coalesce.h"
#include "CoreThreads.h"
#include "FetchScheduler.h"
#include "LocalCheck.h"
#include "Md5.h"
#include "PieceAssembler.h"
#include "PieceWriter.h"
#include "RateLimiter.h"
#include "RetryPolicy.h"
#include "SourceProbe.h"
#include "SourceSet.h"
#include "SpeedMeter.h"
#include "StopFlag.h"
#include "QOVLib.h"

namespace brevik {
namespace repair {

namespace {

// How the local file is brought back.
enum class Mode {
    kRepair,   // the library opens it: only damaged pieces are fetched
    kRebuild,  // its header or tables cannot be read: they come from the source first
    kCreate,   // there is none: it is made from the source
};

const unsigned kMostConnections = 64;
const unsigned kMostCheckThreads = 8;

RetryPolicy PolicyOf(const RepairOptions& options) {
    RetryPolicy policy;
    policy.attempts = std::max<uint32_t>(options.attempts, 1);
    policy.firstBackOff = options.firstBackOff;
    policy.longestBackOff = options.longestBackOff;
    policy.longestRetryAfter = options.longestRetryAfter;
    return policy;
}

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t n = 0; n < count; ++n) {
        text += kDigits[bytes[n] >> 4];
        text += kDigits[bytes[n] & 15];
    }
    return text;
}

struct StreamCloser {
    void operator()(TFileStream* stream) const { FileStream_Free(stream); }
};
typedef std::unique_ptr<TFileStream, StreamCloser> StreamPtr;

struct ArchiveCloser {
    void operator()(TNQOVArchive* archive) const { SFileCloseArchive(archive, false); }
};
typedef std::unique_ptr<TNQOVArchive, ArchiveCloser> ArchivePtr;

bool WriteAt(TFileStream* stream, uint64_t position, const uint8_t* data, uint64_t length) {
    const uint32_t kPart = 64 * 1024 * 1024;
    for (uint64_t done = 0; done < length;) {
        const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(kPart, length - done));
        uint64_t at = position + done;
        if (!FileStream_Write(stream, &at, data + done, part)) return false;
        done += part;
    }
    return true;
}

std::vector<uint32_t> PiecesNotGood(const std::vector<uint8_t>& states) {
    std::vector<uint32_t> pieces;
    for (size_t piece = 0; piece < states.size(); ++piece) {
        if (states[piece] != kPieceGood) pieces.push_back(static_cast<uint32_t>(piece));
    }
    return pieces;
}

}  // namespace

struct ArchiveRepair::State {
    State(RepairOptions repairOptions, std::vector<std::unique_ptr<PieceSource>> sourceList)
        : options(std::move(repairOptions)),
          policy(PolicyOf(options)),
          sources(std::move(sourceList), policy, stop, [this](const std::string& line) { Note(line); }),
          limiter(options.bytesPerSecond),
          speed(options.speedWindow),
          gate(stop, limiter, speed) {}

    void Note(const std::string& line) const {
        if (options.onNote) options.onNote(line);
    }
    void End(RepairOutcome outcome, const std::string& error) {
        result.outcome = outcome;
        result.error = error;
        result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        phase = static_cast<int>(RepairPhase::kDone);
    }
    bool Fail(RepairOutcome outcome, const std::string& error) {
        End(stop.IsSet() ? RepairOutcome::kStopped : outcome, stop.IsSet() ? "stopped" : error);
        return false;
    }
    const SourceIdentity& Reference() const { return sources.Reference(); }
    const PieceLayout& Layout() const { return Reference().layout; }

    class Crew;

    bool DecideMode();
    bool ReadyToWrite();
    bool RebuildStructure();
    bool ListFiles();
    bool FetchStructure(const std::vector<uint32_t>& pieces, std::map<uint32_t, std::vector<uint8_t>>* bytes);
    bool FetchStructureRun(const PieceRun& run, std::map<uint32_t, std::vector<uint8_t>>* bytes,
                           std::string* why);
    bool WriteStructure(const std::map<uint32_t, std::vector<uint8_t>>& bytes);
    void FetchPieces(const std::vector<uint32_t>& pieces);
    void Record(uint32_t piece);
    bool WriteMap(std::string* error);
    void Conclude();

    RepairOptions options;
    RetryPolicy policy;
    StopFlag stop;
    SourceSet sources;
    RateLimiter limiter;
    SpeedMeter speed;
    TransferGate gate;
    ArchiveLock lock;

    std::atomic<int> phase{static_cast<int>(RepairPhase::kProbing)};
    std::atomic<uint32_t> checked{0};
    std::atomic<uint32_t> pieceCount{0};  // the plan's figures, for Progress
    std::atomic<uint64_t> bytesToFetch{0};
    Clock::time_point started{};
    bool opened = false;    // Open succeeded
    bool prepared = false;  // Check succeeded
    bool readOnly = false;
    bool rebuilt = false;
    bool executed = false;
    Mode mode = Mode::kRepair;
    LocalFile local;
    Monitor ledger;               // guards `states` while the workers run
    std::vector<uint8_t> states;  // per piece: kPieceGood, kPieceBad or kPieceUnknown
    std::vector<FileSpan> files;  // the files the plan touches
    Monitor schedulerLock;        // guards `schedulers`, for Stop
    std::vector<FetchScheduler*> schedulers;
    std::string abortReason;
    std::string lastFailure;
    RepairPlan plan;
    RepairResult result;
};

ArchiveRepair::ArchiveRepair(RepairOptions options, std::vector<std::unique_ptr<PieceSource>> sources)
    : m(new State(std::move(options), std::move(sources))) {}

ArchiveRepair::~ArchiveRepair() = default;

const RepairPlan& ArchiveRepair::Plan() const { return m->plan; }
const RepairResult& ArchiveRepair::Result() const { return m->result; }

void ArchiveRepair::Stop() {
    m->stop.Set();
    m->limiter.Cancel();
    Entered hold(m->schedulerLock);
    for (FetchScheduler* scheduler : m->schedulers) scheduler->Interrupt();
}

RepairProgress ArchiveRepair::Progress() const {
    RepairProgress progress;
    progress.phase = static_cast<RepairPhase>(m->phase.load());
    progress.piecesChecked = m->checked;
    progress.pieceCount = m->pieceCount;
    progress.bytesToFetch = m->bytesToFetch;
    progress.bytesStored = m->gate.stored;
    progress.bytesReceived = m->gate.received;
    progress.bytesPerSecond = m->speed.BytesPerSecond();
    return progress;
}

//-----------------------------------------------------------------------------
// Prepare: probe, look, plan.

bool ArchiveRepair::Prepare(bool readOnly) { return Open(readOnly) && Check(); }

bool ArchiveRepair::Open(bool readOnly) {
    State& s = *m;
    s.started = Clock::now();
    s.readOnly = readOnly;
    s.phase = static_cast<int>(RepairPhase::kProbing);
    const FetchResult probe = s.sources.ProbeFirst();
    if (probe.status == FetchStatus::kStopped) return s.Fail(RepairOutcome::kStopped, "stopped");
    if (probe.status != FetchStatus::kComplete) return s.Fail(RepairOutcome::kUnusable, probe.message);
    const SourceIdentity& reference = s.Reference();
    s.plan.source = s.sources.Name(s.sources.First());
    s.plan.pieceCount = reference.layout.pieceCount;
    s.plan.pieceSize = reference.layout.pieceSize;
    s.plan.lastPieceSize = reference.layout.lastPieceSize;
    s.pieceCount = s.plan.pieceCount;

    std::string error;
    const ArchiveLock::Result locked = s.lock.Lock(s.options.archive, !readOnly, &error);
    if (locked == ArchiveLock::Result::kBusy || locked == ArchiveLock::Result::kError) {
        return s.Fail(RepairOutcome::kUnusable, error);
    }
    if (!InspectLocal(s.options.archive, &s.local, &error)) return s.Fail(RepairOutcome::kUnusable, error);
    if (!s.DecideMode()) return false;
    s.plan.archiveMissing = s.mode == Mode::kCreate;
    s.plan.rebuild = s.mode != Mode::kRepair;
    s.opened = true;
    return true;
}

bool ArchiveRepair::Check() {
    State& s = *m;
    if (!s.opened) return s.Fail(RepairOutcome::kUnusable, "the repair was not opened");
    s.phase = static_cast<int>(RepairPhase::kChecking);
    const SourceIdentity& reference = s.Reference();
    const PieceLayout& layout = reference.layout;
    if (s.mode == Mode::kCreate) {
        s.states.assign(layout.pieceCount, kPieceBad);
    } else {
        const unsigned threads = std::max(1u, std::min(ProcessorCount(), kMostCheckThreads));
        s.states = CheckPieces(s.options.archive, s.local.size, layout, reference.pieceTable, threads, s.stop,
                               &s.checked);
        if (s.stop.IsSet()) return s.Fail(RepairOutcome::kStopped, "stopped");
    }
    s.plan.pieces = PiecesNotGood(s.states);
    s.plan.bytes = 0;
    for (uint32_t piece : s.plan.pieces) s.plan.bytes += layout.Length(piece);
    if (s.plan.rebuild) s.plan.bytes += reference.header.pieceTableSize;
    s.bytesToFetch = s.plan.bytes;
    if (s.mode == Mode::kRepair && !s.ListFiles()) return false;
    s.prepared = true;
    s.result.prepareSeconds = std::chrono::duration<double>(Clock::now() - s.started).count();
    return true;
}

// The files that hold pieces still to fetch, once the tables read.
bool ArchiveRepair::State::ListFiles() {
    TNQOVArchive* opened = nullptr;
    if (!SFileOpenArchive(options.archive.c_str(), &opened, NQOV_OPEN_READ_ONLY)) {
        return Fail(RepairOutcome::kUnusable,
                    "cannot open " + options.archive + ", error " + std::to_string(QOVGetLastError()));
    }
    ArchivePtr archive(opened);
    std::vector<uint8_t> now;
    {
        Entered hold(ledger);
        now = states;
    }
    files = FilesWithBadPieces(archive.get(), now);
    plan.filesKnown = true;
    plan.files.clear();
    for (const FileSpan& file : files) plan.files.push_back(file.name);
    std::sort(plan.files.begin(), plan.files.end());
    return true;
}

// Decides how the local file is brought back, or refuses it.
bool ArchiveRepair::State::DecideMode() {
    const SourceIdentity& reference = Reference();
    const std::string& path = options.archive;
    const bool sameHeader = local.header == HeaderFound::kFound &&
                            std::memcmp(local.headerFields.raw, reference.header.raw, kHeaderBytes) == 0;
    const std::string anotherVersion = path + " holds another version of the archive than " +
                                       sources.Name(sources.First()) + " (header digest " +
                                       Hex(local.headerFields.digest, 16) + ", the source's " +
                                       Hex(reference.header.digest, 16) + ")";
    if (!local.exists) {
        mode = Mode::kCreate;
    } else if ((local.opens || local.header == HeaderFound::kFound) && !sameHeader) {
        if (!options.replaceOtherVersion) return Fail(RepairOutcome::kUnusable, anotherVersion);
        Note(path + " holds another version of the archive: it is rebuilt to the source's");
        mode = Mode::kRebuild;
    } else if (local.opens) {
        if (local.pieceTable != reference.pieceTable) {
            if (!options.replaceOtherVersion) {
                return Fail(RepairOutcome::kUnusable,
                            path + " has the source's header but another MD5 piece table");
            }
            mode = Mode::kRebuild;
        } else {
            mode = Mode::kRepair;
        }
    } else if (local.header == HeaderFound::kFound) {
        // Its header reads and is the source's: broken tables or a missing tail.
        mode = Mode::kRebuild;
    } else if (local.size == reference.fileSize || options.force) {
        mode = Mode::kRebuild;
    } else {
        return Fail(RepairOutcome::kUnusable,
                    path + " has no archive header that can be read and holds " + std::to_string(local.size) +
                        " bytes, not the source's " + std::to_string(reference.fileSize) +
                        ": it may be another file, so it is not rebuilt without --force");
    }
    return true;
}

//-----------------------------------------------------------------------------
// Execute: rebuild, fetch, record.

bool ArchiveRepair::State::ReadyToWrite() {
    if (prepared && !readOnly && !executed) return true;
    return Fail(RepairOutcome::kUnusable, "the repair was not prepared for writing");
}

const RepairResult& ArchiveRepair::Execute() {
    State& s = *m;
    if (!s.ReadyToWrite() || !Rebuild()) return s.result;
    s.executed = true;
    TNQOVArchive* opened = nullptr;
    if (!SFileOpenArchive(s.options.archive.c_str(), &opened, 0)) {
        s.Fail(RepairOutcome::kUnusable, "cannot open " + s.options.archive + " for writing, error " +
                                             std::to_string(QOVGetLastError()));
        return s.result;
    }
    SFileCloseArchive(opened, false);
    s.phase = static_cast<int>(RepairPhase::kFetching);
    const std::vector<uint32_t> pieces = PiecesNotGood(s.states);
    const Clock::time_point fetchStart = Clock::now();
    if (!pieces.empty()) s.FetchPieces(pieces);
    s.result.fetchSeconds = std::chrono::duration<double>(Clock::now() - fetchStart).count();
    std::string error;
    if (!s.WriteMap(&error)) s.Note(error);
    s.Conclude();
    return s.result;
}

bool ArchiveRepair::Rebuild() {
    State& s = *m;
    if (!s.ReadyToWrite()) return false;
    if (s.mode == Mode::kRepair || s.rebuilt) return true;
    s.phase = static_cast<int>(RepairPhase::kRebuilding);
    if (!s.RebuildStructure()) return false;
    s.rebuilt = true;
    // The tables read now: the files of what is still to fetch.
    return s.ListFiles();
}

// The header and tables from the source: every piece that holds them and
// does not verify locally is fetched and checked against the source's piece
// table first; only then is the file made (when missing) or changed: made
// as long as the source's and written.
bool ArchiveRepair::State::RebuildStructure() {
    const SourceIdentity& reference = Reference();
    std::vector<uint32_t> structure;
    for (const ByteRange& range : StructureRanges(reference.header)) {
        uint32_t first = 0, count = 0;
        Layout().Cover(range.position, range.length, &first, &count);
        for (uint32_t piece = first; piece - first < count; ++piece) {
            if (states[piece] != kPieceGood) structure.push_back(piece);
        }
    }
    std::sort(structure.begin(), structure.end());
    structure.erase(std::unique(structure.begin(), structure.end()), structure.end());
    std::map<uint32_t, std::vector<uint8_t>> bytes;
    if (!FetchStructure(structure, &bytes)) return false;
    std::string error;
    if (mode == Mode::kCreate && lock.Create(options.archive, &error) != ArchiveLock::Result::kLocked) {
        return Fail(RepairOutcome::kUnusable, error);
    }
    if (!WriteStructure(bytes)) return false;
    uint64_t written = 0;
    for (const auto& piece : bytes) written += piece.second.size();
    for (const auto& piece : bytes) gate.Stored(piece.second.size());
    gate.received += written;
    Note("header and tables rebuilt from " + sources.Name(sources.First()) + " (" + std::to_string(written) +
         " bytes of pieces and the MD5 piece table)");
    return true;
}

bool ArchiveRepair::State::FetchStructure(const std::vector<uint32_t>& pieces,
                                          std::map<uint32_t, std::vector<uint8_t>>* bytes) {
    for (const PieceRun& run : CoalescePieces(pieces, Layout(), options.maxRequestBytes)) {
        std::string why;
        if (!FetchStructureRun(run, bytes, &why)) {
            return Fail(RepairOutcome::kUnusable, "cannot get the archive's header and tables: " + why);
        }
    }
    return true;
}

// One run of structure pieces, whole and verified, from the first source
// that gives it, with the retry policy on each.
bool ArchiveRepair::State::FetchStructureRun(const PieceRun& run,
                                             std::map<uint32_t, std::vector<uint8_t>>* bytes,
                                             std::string* why) {
    const SourceIdentity& reference = Reference();
    for (size_t index = sources.First(); index < sources.Count(); ++index) {
        std::unique_ptr<SourceConnection> connection = sources.Source(index).Connect(stop.Flag(), why);
        if (!connection) continue;
        if (sources.EnsureReady(index, *connection, why) != SourceSet::Readiness::kReady) {
            if (stop.IsSet()) return false;
            continue;
        }
        std::vector<uint8_t> data;
        for (uint32_t failures = 0;;) {
            FetchResult result =
                FetchOnce(*connection, run.position, run.length, sources.Expect(index), &data);
            bool verified = result.status == FetchStatus::kComplete && data.size() == run.length;
            for (uint32_t n = 0, offset = 0; verified && n < run.count; ++n) {
                const uint32_t length = Layout().Length(run.first + n);
                verified = Md5Matches(data.data() + offset, length, reference.PieceDigest(run.first + n));
                offset += length;
            }
            if (verified) {
                for (uint32_t n = 0, offset = 0; n < run.count; ++n) {
                    const uint32_t length = Layout().Length(run.first + n);
                    (*bytes)[run.first + n].assign(data.begin() + offset, data.begin() + offset + length);
                    offset += length;
                }
                return true;
            }
            if (result.status == FetchStatus::kComplete) {
                result.status = FetchStatus::kRetry;
                result.message =
                    sources.Name(index) + ": the archive's tables do not match the MD5 piece table";
            }
            *why = result.message;
            if (result.status == FetchStatus::kStopped) return false;
            if (result.status != FetchStatus::kRetry || ++failures >= policy.attempts) break;
            const std::chrono::milliseconds wait =
                policy.Delay(failures, std::chrono::milliseconds(result.retryAfterMs));
            Note(result.message + "; trying again in " + std::to_string(wait.count()) + " ms");
            if (!stop.Sleep(wait)) return false;
        }
    }
    return false;
}

bool ArchiveRepair::State::WriteStructure(const std::map<uint32_t, std::vector<uint8_t>>& bytes) {
    const SourceIdentity& reference = Reference();
    const std::string& path = options.archive;
    StreamPtr stream(FileStream_OpenFile(path.c_str(), true));
    const auto failed = [&](const std::string& what) {
        return Fail(RepairOutcome::kUnusable,
                    "cannot " + what + " " + path + ", error " + std::to_string(QOVGetLastError()));
    };
    if (!stream) return failed("open for writing");
    uint64_t size = 0;
    if (!FileStream_SizeOf(stream.get(), &size)) return failed("read the size of");
    if (size != reference.fileSize && !FileStream_SetSize(stream.get(), reference.fileSize)) {
        return failed("set the size of");
    }
    for (const auto& piece : bytes) {
        if (!WriteAt(stream.get(), Layout().Position(piece.first), piece.second.data(),
                     piece.second.size())) {
            return failed("write the tables of");
        }
    }
    if (!WriteAt(stream.get(), reference.header.pieceTablePos, reference.pieceTable.data(),
                 reference.pieceTable.size())) {
        return failed("write the MD5 piece table of");
    }
    // The piece-state map starts empty ("no data yet"): it is written with
    // what the repair found when it ends.
    const ArchiveHeader& header = reference.header;
    if (header.mapSize > 0) {
        const std::vector<uint8_t> zeros(static_cast<size_t>(std::min<uint64_t>(header.mapSize, 1 << 20)), 0);
        for (uint64_t done = 0; done < header.mapSize; done += zeros.size()) {
            const uint64_t part = std::min<uint64_t>(zeros.size(), header.mapSize - done);
            if (!WriteAt(stream.get(), header.mapPos + done, zeros.data(), part)) {
                return failed("write the piece-state map of");
            }
        }
    }
    for (const auto& piece : bytes) states[piece.first] = kPieceGood;
    return true;
}

//-----------------------------------------------------------------------------
// The download workers: a scheduler of runs and the threads that fetch
// them, for the whole plan (Execute) or for pieces asked for (a fetcher).

class ArchiveRepair::State::Crew : public PieceFetcher {
public:
    // `listener` may be null (Execute).
    Crew(State& state, PieceListener* listener);
    ~Crew() override;

    // Starts the workers; false when none could be started.
    bool Start(bool keepOpen);
    void Fetch(const std::vector<uint32_t>& pieces) override;
    void Cancel(const std::vector<uint32_t>& pieces) override { m_scheduler.Cancel(pieces); }
    // Waits until every piece handed in has ended (a crew not kept open).
    void Finish();
    FetchScheduler& Scheduler() { return m_scheduler; }

private:
    void Work();
    void Stored(uint32_t piece, uint32_t length);
    void GivenUp(const std::vector<uint32_t>& pieces, const std::string& why);

    State& s;
    PieceListener* const m_listener;
    std::atomic<bool> m_ending{false};
    FetchScheduler m_scheduler;
    std::vector<std::unique_ptr<Thread>> m_workers;
};

namespace {

std::vector<std::string> SourceNames(SourceSet& sources) {
    std::vector<std::string> names;
    for (size_t index = 0; index < sources.Count(); ++index) names.push_back(sources.Name(index));
    return names;
}

}  // namespace

ArchiveRepair::State::Crew::Crew(State& state, PieceListener* listener)
    : s(state),
      m_listener(listener),
      m_scheduler(
          s.Layout(), s.policy, s.options.maxRequestBytes, SourceNames(s.sources), s.stop,
          [this](const std::string& line) { s.Note(line); },
          [this](const std::vector<uint32_t>& pieces, const std::string& why) { GivenUp(pieces, why); }) {
    Entered hold(s.schedulerLock);
    s.schedulers.push_back(&m_scheduler);
}

ArchiveRepair::State::Crew::~Crew() {
    // Queued pieces are dropped without a word; runs under way end.
    m_ending = true;
    m_scheduler.Abort("the fetch ended");
    m_workers.clear();  // joins
    Entered hold(s.schedulerLock);
    s.schedulers.erase(std::remove(s.schedulers.begin(), s.schedulers.end(), &m_scheduler),
                       s.schedulers.end());
}

bool ArchiveRepair::State::Crew::Start(bool keepOpen) {
    if (keepOpen) m_scheduler.KeepOpen();
    const unsigned count = std::max(1u, std::min(s.options.connections, kMostConnections));
    for (unsigned n = 0; n < count; ++n) {
        std::unique_ptr<Thread> worker(new Thread);
        if (worker->Start([this] { Work(); })) m_workers.push_back(std::move(worker));
    }
    return !m_workers.empty();
}

void ArchiveRepair::State::Crew::Fetch(const std::vector<uint32_t>& pieces) {
    if (pieces.empty()) return;
    // The rate counts from the first pieces asked for, not from their first
    // bytes (a throttled download pays for its bytes before they come).
    s.speed.Begin();
    m_scheduler.Add(pieces, s.sources.First());
}

void ArchiveRepair::State::Crew::Finish() {
    m_scheduler.Close();
    m_workers.clear();  // joins once every piece has ended
}

void ArchiveRepair::State::Crew::Stored(uint32_t piece, uint32_t length) {
    s.Record(piece);
    if (m_listener != nullptr) m_listener->PieceStored(piece, length);
}

void ArchiveRepair::State::Crew::GivenUp(const std::vector<uint32_t>& pieces, const std::string& why) {
    if (m_listener != nullptr && !m_ending) m_listener->PiecesFailed(pieces, why);
}

void ArchiveRepair::State::Crew::Work() {
    std::string error;
    std::unique_ptr<PieceWriter> writer = PieceWriter::Open(s.options.archive, &error);
    if (!writer) {
        m_scheduler.Abort(error);
        return;
    }
    SourceSet& sources = s.sources;
    std::vector<std::unique_ptr<SourceConnection>> connections(sources.Count());
    std::vector<uint8_t> buffer;
    const auto stored = [this](uint32_t piece, uint32_t length) { Stored(piece, length); };
    FetchJob job;
    while (m_scheduler.Take(&job)) {
        std::unique_ptr<SourceConnection>& connection = connections[job.source];
        if (!connection) connection = sources.Source(job.source).Connect(s.stop.Flag(), &error);
        if (!connection) {
            m_scheduler.SourceUnusable(job, error);
            continue;
        }
        std::string why;
        const SourceSet::Readiness ready = sources.EnsureReady(job.source, *connection, &why);
        if (ready == SourceSet::Readiness::kUnusable) {
            m_scheduler.SourceUnusable(job, why);
            continue;
        }
        PieceAssembler assembler(job.run, s.Layout(), *writer, buffer, s.gate, stored);
        FetchResult result;
        if (ready == SourceSet::Readiness::kStopped) {
            result.status = FetchStatus::kStopped;
        } else {
            result =
                connection->Fetch(job.run.position, job.run.length, assembler, sources.Expect(job.source));
        }
        if (assembler.WriteFailed()) {
            m_scheduler.Abort(assembler.WriteError());
        } else if (assembler.BadDigests() > 0 && !sources.StillSame(job.source, *connection, &why)) {
            // Bytes that do not verify may come from a file replaced under
            // the same name, ETag and all.
            result.status = FetchStatus::kChanged;
            result.message = why;
        }
        m_scheduler.Finish(job, assembler.Left(), result, !assembler.Stored().empty());
    }
}

void ArchiveRepair::State::FetchPieces(const std::vector<uint32_t>& pieces) {
    Crew crew(*this, nullptr);
    // Queued before the workers start: a closed scheduler with nothing in
    // it lets them end at once.
    crew.Fetch(pieces);
    if (!crew.Start(false)) {
        abortReason = "no download worker could be started";
        return;
    }
    crew.Finish();
    abortReason = crew.Scheduler().AbortReason();
    lastFailure = crew.Scheduler().LastFailure();
}

std::unique_ptr<PieceFetcher> ArchiveRepair::StartFetcher(PieceListener& listener) {
    State& s = *m;
    if (!Rebuild()) return nullptr;
    s.phase = static_cast<int>(RepairPhase::kFetching);
    std::unique_ptr<State::Crew> crew(new State::Crew(s, &listener));
    if (!crew->Start(true)) {
        s.Fail(RepairOutcome::kUnusable, "no download worker could be started");
        return nullptr;
    }
    return std::unique_ptr<PieceFetcher>(std::move(crew));
}

void ArchiveRepair::State::Record(uint32_t piece) {
    Entered hold(ledger);
    states[piece] = kPieceGood;
}

bool ArchiveRepair::WriteMap(std::string* error) { return m->WriteMap(error); }

// The piece-state map as the repair leaves the archive: good and bad pieces
// marked, those never checked (a stop during the check) as they were.
bool ArchiveRepair::State::WriteMap(std::string* error) {
    if (!prepared || readOnly) {
        *error = "the repair was not prepared for writing";
        return false;
    }
    TNQOVArchive* opened = nullptr;
    if (!SFileOpenArchive(options.archive.c_str(), &opened, 0)) {
        *error = "the piece-state map was not written: cannot open " + options.archive + ", error " +
                 std::to_string(QOVGetLastError());
        return false;
    }
    ArchivePtr archive(opened);
    uint32_t size = 0;
    uint8_t* map = SFileGetBitmap(archive.get(), &size);
    if (map == nullptr) return true;  // an archive without a map
    {
        Entered hold(ledger);
        for (size_t piece = 0; piece < states.size() && piece < size; ++piece) {
            if (states[piece] != kPieceUnknown) map[piece] = states[piece];
        }
    }
    if (!SFileWriteBitmap(archive.get())) {
        *error = "the piece-state map was not written, error " + std::to_string(QOVGetLastError());
        return false;
    }
    return true;
}

void ArchiveRepair::State::Conclude() {
    result.piecesStored = gate.piecesStored;
    if (const int64_t first = gate.firstStored) {
        const Clock::time_point at{Clock::duration(first)};
        result.firstPieceSeconds = std::chrono::duration<double>(at - started).count();
    }
    result.bytesStored = gate.stored;
    result.bytesReceived = gate.received;
    {
        Entered hold(ledger);
        result.piecesLeft = PiecesNotGood(states);
    }
    for (const FileSpan& file : files) {
        const auto first =
            std::lower_bound(result.piecesLeft.begin(), result.piecesLeft.end(), file.firstPiece);
        if (first != result.piecesLeft.end() &&
            uint64_t(*first) < uint64_t(file.firstPiece) + file.pieceCount) {
            result.filesLeft.push_back(file.name);
        }
    }
    std::sort(result.filesLeft.begin(), result.filesLeft.end());
    if (stop.IsSet()) {
        End(RepairOutcome::kStopped, "stopped");
    } else if (!abortReason.empty()) {
        End(RepairOutcome::kUnusable, abortReason);
    } else if (!result.piecesLeft.empty()) {
        End(RepairOutcome::kIncomplete, lastFailure);
    } else {
        End(RepairOutcome::kRepaired, std::string());
    }
}

}  // namespace repair
}  // namespace brevik
