// standin/engine/DownloadPool.h - a few download threads that fetch pieces
// from the mirror and hand them to the engine, which writes each verified.
// A piece that cannot be had, or whose bytes do not verify, is fetched
// again a set number of times before it is reported as failed.  Without a
// rate limit, a thread that has read a piece also reads the pieces already
// queued behind it (up to 16) and hands them over together, so that they
// are hashed together; with one, every piece goes on its own, as soon as
// its turn came.

#ifndef BREVIK_STANDIN_DOWNLOADPOOL_H
#define BREVIK_STANDIN_DOWNLOADPOOL_H

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "MirrorSource.h"
#include "Transfer.h"
#include <fund/win/monitor.h>
#include <fund/win/thread.h>

namespace standin {

struct PieceJob {
    uint32_t syncId = 0;
    uint32_t piece = 0;
    uint64_t position = 0;
    uint32_t length = 0;
};

enum class PieceOutcome { kStored, kFailed, kSkipped };

// A piece read from the mirror, handed to the writer.
struct FetchedPiece {
    const PieceJob* job;
    const uint8_t* data;
    bool stored;  // set by the writer
};

// Writes fetched pieces, verified; one per download thread.
class PieceWriter {
public:
    virtual ~PieceWriter() = default;
    // False when the bytes do not verify or cannot be written.
    virtual bool Store(const PieceJob& job, const uint8_t* data) = 0;
    // Stores pieces at hand together.  By default one after the other.
    virtual void StoreMany(std::vector<FetchedPiece>& pieces) {
        for (FetchedPiece& piece : pieces) piece.stored = Store(*piece.job, piece.data);
    }
};

// The engine's side of a download.  Called on the download threads.
class PieceSink {
public:
    // False once no sync wants the piece any more (cancelled, failed, stopping).
    virtual bool Wanted(const PieceJob& job) = 0;
    // The writer of one download thread (called on that thread).
    virtual std::unique_ptr<PieceWriter> OpenWriter() = 0;
    // Every job taken ends here: stored, failed after its retries, or
    // skipped because it was no longer wanted.
    virtual void Done(const PieceJob& job, PieceOutcome outcome) = 0;

protected:
    ~PieceSink() = default;
};

class DownloadPool {
public:
    DownloadPool(MirrorSource& source, PieceSink& sink, RateLimiter& limiter, unsigned threads,
                 uint32_t retries);
    // Stop().
    ~DownloadPool();

    DownloadPool(const DownloadPool&) = delete;
    DownloadPool& operator=(const DownloadPool&) = delete;

    // False when no download thread could be started.
    bool Started() const { return !m_threads.empty(); }
    void Add(const std::vector<PieceJob>& jobs);
    // Forgets every queued piece and ends the threads once the pieces being
    // fetched are done.  The rate limiter must be cancelled first, or a
    // throttled thread finishes its wait.
    void Stop();

private:
    enum class ReadResult { kRead, kFailed, kSkipped };

    void Run();
    bool Take(PieceJob* job);
    bool TakeQueued(PieceJob* job);
    ReadResult ReadPiece(const PieceJob& job, std::vector<uint8_t>* buffer);
    void FetchBatch(const std::vector<PieceJob>& batch, std::vector<ReadResult>& reads, PieceWriter& writer,
                    std::vector<std::vector<uint8_t>>& buffers);
    PieceOutcome Fetch(const PieceJob& job, PieceWriter& writer, std::vector<uint8_t>* buffer, uint32_t firstAttempt);
    bool Pause(uint32_t ms);

    MirrorSource& m_source;
    PieceSink& m_sink;
    RateLimiter& m_limiter;
    const uint32_t m_retries;
    fund::win::monitor m_monitor;
    std::deque<PieceJob> m_jobs;
    bool m_stopping = false;
    std::vector<std::unique_ptr<fund::win::thread>> m_threads;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_DOWNLOADPOOL_H
