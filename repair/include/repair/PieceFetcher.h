// repair/PieceFetcher.h - pieces fetched on request: for a program that
// repairs file by file as it is asked (the engine stand-in's syncs) rather
// than the whole archive at once.  The same download workers, runs,
// retries, verified writes and sources as a whole repair; see
// ArchiveRepair::StartFetcher.

#ifndef BREVIK_REPAIR_PIECEFETCHER_H
#define BREVIK_REPAIR_PIECEFETCHER_H

#include <cstdint>
#include <string>
#include <vector>

namespace brevik {
namespace repair {

// Told how each piece handed to a fetcher ended.  Called on the download
// workers, with no lock of the core held: the listener may call the fetcher.
class PieceListener {
public:
    // The piece verified and is written.
    virtual void PieceStored(uint32_t piece, uint32_t length) = 0;
    // The pieces could not be had (their attempts on every source used up,
    // or the repair ended: a changed mirror, a write that failed).
    virtual void PiecesFailed(const std::vector<uint32_t>& pieces, const std::string& why) = 0;

protected:
    ~PieceListener() = default;
};

class PieceFetcher {
public:
    // Ends the workers: queued pieces are dropped without a word, a run
    // under way is finished (Stop the repair first to cut it short).
    virtual ~PieceFetcher() = default;
    // Queues pieces (ascending); adjacent ones are fetched together.  Each
    // ends in PieceStored or PiecesFailed, unless cancelled or stopped.
    virtual void Fetch(const std::vector<uint32_t>& pieces) = 0;
    // Drops queued pieces; a piece whose run is under way still ends.
    virtual void Cancel(const std::vector<uint32_t>& pieces) = 0;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECEFETCHER_H
