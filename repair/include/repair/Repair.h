// repair/Repair.h - repairing a QOV archive from sources that hold the same
// archive: a web server answering range requests, or a mirror archive on
// disk.
//
//   Prepare  learns the source's archive (its header and MD5 piece table,
//            checked), looks at the local file and hashes every local piece
//            again (the piece-state map on disk is a hint, not proof: a
//            killed repair never wrote its last state), and plans: the
//            pieces to fetch, their bytes, the files they hold, and whether
//            the header and tables must come from the source first.
//   Execute  rebuilds what cannot be read (only after the source's header,
//            tables and piece table checked out), then fetches the pieces on
//            a few workers, adjacent pieces in one request, and writes each
//            piece as soon as its bytes are in and its MD5 matches the piece
//            table: a wrong byte never reaches the archive, and a stopped or
//            killed repair keeps every piece it received.
//
// Prepare is Open (learn the source, look at the local file: whether a
// rebuild is needed is known after it) and Check (hash and plan).  A
// program that repairs file by file as it is asked (the engine stand-in)
// calls Rebuild and StartFetcher instead of Execute, and WriteMap when it
// wants the piece-state map on disk.
//
// The archive is locked against other repairs while this object lives.
// Stop() and Progress() may be called from any thread.

#ifndef BREVIK_REPAIR_REPAIR_H
#define BREVIK_REPAIR_REPAIR_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "repair/PieceFetcher.h"
#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

struct RepairOptions {
    std::string archive;          // the local archive (UTF-8 path); may be missing
    unsigned connections = 4;     // download workers, each with its own connection (1..64)
    uint64_t bytesPerSecond = 0;  // all workers together; 0: no limit
    bool force = false;           // rebuild a file that is not recognisably this archive
    // Rebuild a local archive of another version to the source's, rather
    // than refuse it (a patch engine brings the game to the mirror's
    // version; `qov repair` must not overwrite another archive).
    bool replaceOtherVersion = false;
    uint64_t maxRequestBytes = 8ull * 1024 * 1024;  // adjacent pieces joined up to this
    // Attempts per range and source; the back-off after a failed attempt
    // starts at `firstBackOff` and doubles up to `longestBackOff`; a
    // server's Retry-After is honoured up to `longestRetryAfter`.
    uint32_t attempts = 5;
    std::chrono::milliseconds firstBackOff{500};
    std::chrono::milliseconds longestBackOff{8000};
    std::chrono::milliseconds longestRetryAfter{30000};
    // The download rate in Progress() is over this last stretch of time.
    std::chrono::milliseconds speedWindow{3000};
    // What happens along the way (a source dropped, a range tried again),
    // one line each; called from any thread.
    std::function<void(const std::string&)> onNote;
};

struct RepairPlan {
    bool archiveMissing = false;  // the archive is made from the source
    bool rebuild = false;         // its header or tables come from the source first
    uint32_t pieceCount = 0;
    uint32_t pieceSize = 0;
    uint32_t lastPieceSize = 0;
    std::vector<uint32_t> pieces;    // to fetch, ascending
    uint64_t bytes = 0;              // to fetch: the pieces, and when rebuilding the MD5 piece table
    bool filesKnown = false;         // false while the tables cannot be read
    std::vector<std::string> files;  // the files the pieces hold
    std::string source;              // the source that is used first
};

enum class RepairPhase { kProbing, kChecking, kRebuilding, kFetching, kDone };

struct RepairProgress {
    RepairPhase phase = RepairPhase::kProbing;
    uint32_t piecesChecked = 0;
    uint32_t pieceCount = 0;
    uint64_t bytesToFetch = 0;
    uint64_t bytesStored = 0;     // verified and written
    uint64_t bytesReceived = 0;   // from the sources, verified or not
    uint64_t bytesPerSecond = 0;  // received, over the last few seconds
};

enum class RepairOutcome {
    kRepaired,    // every piece verifies (also: nothing was damaged)
    kIncomplete,  // some pieces could not be had; `piecesLeft` lists them
    kUnusable,    // the archive or the sources cannot be used; `error` says why
    kStopped,     // Stop() was called; every verified piece is kept
};

struct RepairResult {
    RepairOutcome outcome = RepairOutcome::kUnusable;
    std::string error;
    uint32_t piecesStored = 0;
    uint64_t bytesStored = 0;
    uint64_t bytesReceived = 0;
    std::vector<uint32_t> piecesLeft;
    std::vector<std::string> filesLeft;
    double seconds = 0;             // from Prepare to the end
    double prepareSeconds = 0;      // of Prepare: the probe, the check of every piece, the plan
    double fetchSeconds = 0;        // of the download (after the check and a rebuild)
    double firstPieceSeconds = -1;  // from Prepare to the first piece written; -1: none
};

class ArchiveRepair {
public:
    // `sources` in the order they are tried: a range that fails on one is
    // tried on the next.
    ArchiveRepair(RepairOptions options, std::vector<std::unique_ptr<PieceSource>> sources);
    ~ArchiveRepair();
    ArchiveRepair(const ArchiveRepair&) = delete;
    ArchiveRepair& operator=(const ArchiveRepair&) = delete;

    // False when the repair cannot go on: Result() says why (kUnusable or
    // kStopped).  With `readOnly` nothing will be written (a dry run): the
    // archive is locked shared only.
    bool Prepare(bool readOnly = false);
    // Prepare in two steps.  After Open, Plan() tells archiveMissing and
    // rebuild; Check fills in the rest.
    bool Open(bool readOnly = false);
    bool Check();
    const RepairPlan& Plan() const;
    // After a successful Prepare (not read-only): rebuild, fetch every
    // piece of the plan, write the map.
    const RepairResult& Execute();
    const RepairResult& Result() const;

    // After a successful Prepare (not read-only), instead of Execute.
    // Rebuild: the header and tables from the source when the plan says so
    // (true at once when it does not); afterwards the archive opens.
    bool Rebuild();
    // Rebuilds when needed, then starts the download workers for pieces
    // asked for one request at a time.  Null (Result() says why) when it
    // cannot.  The fetcher must go before this object; stored pieces count
    // in Result() and the map.
    std::unique_ptr<PieceFetcher> StartFetcher(PieceListener& listener);
    // Writes the piece-state map as far as it is known (good pieces, and
    // those still bad); false with the reason in *error.
    bool WriteMap(std::string* error);

    void Stop();
    RepairProgress Progress() const;

private:
    struct State;
    std::unique_ptr<State> m;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_REPAIR_H
