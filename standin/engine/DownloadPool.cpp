// standin/engine/DownloadPool.cpp - the download threads.

#include "DownloadPool.h"

#include <algorithm>

namespace standin {

namespace {
// Wait before fetching a piece again: a mirror that failed a moment ago may
// answer the next time.
const uint32_t kRetryPauseMs = 50;
// Pieces read and handed over together: the lanes of the MD5 engine, and a
// bound on a thread's buffers.
const size_t kBatchPieces = 16;
const uint64_t kBatchBytes = 16 * 1024 * 1024;
}  // namespace

DownloadPool::DownloadPool(MirrorSource& source, PieceSink& sink, RateLimiter& limiter,
                           unsigned threads, uint32_t retries)
    : m_source(source), m_sink(sink), m_limiter(limiter), m_retries(retries) {
    threads = std::max(1u, std::min(threads, 16u));
    for (unsigned n = 0; n < threads; ++n) {
        std::unique_ptr<fund::win::thread> thread(new fund::win::thread);
        if (thread->start([this] { Run(); })) m_threads.push_back(std::move(thread));
    }
}

DownloadPool::~DownloadPool() { Stop(); }

void DownloadPool::Add(const std::vector<PieceJob>& jobs) {
    fund::win::monitor_lock hold(m_monitor);
    if (m_stopping) return;
    m_jobs.insert(m_jobs.end(), jobs.begin(), jobs.end());
    m_monitor.notify_all();
}

void DownloadPool::Stop() {
    {
        fund::win::monitor_lock hold(m_monitor);
        m_stopping = true;
        m_jobs.clear();
        m_monitor.notify_all();
    }
    m_threads.clear();  // each joins its thread
}

bool DownloadPool::Take(PieceJob* job) {
    fund::win::monitor_lock hold(m_monitor);
    m_monitor.wait([this] { return m_stopping || !m_jobs.empty(); });
    if (m_stopping) return false;
    *job = m_jobs.front();
    m_jobs.pop_front();
    return true;
}

bool DownloadPool::Pause(uint32_t ms) {
    fund::win::monitor_lock hold(m_monitor);
    m_monitor.wait_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
                        [this] { return m_stopping; });
    return !m_stopping;
}

bool DownloadPool::TakeQueued(PieceJob* job) {
    fund::win::monitor_lock hold(m_monitor);
    if (m_stopping || m_jobs.empty()) return false;
    *job = m_jobs.front();
    m_jobs.pop_front();
    return true;
}

// One attempt at the piece's bytes: skipped when it is no longer wanted or
// the rate limiter was cancelled.
DownloadPool::ReadResult DownloadPool::ReadPiece(const PieceJob& job, std::vector<uint8_t>* buffer) {
    if (!m_sink.Wanted(job) || !m_limiter.Acquire(job.length)) return ReadResult::kSkipped;
    if (buffer->size() < job.length) buffer->resize(job.length);
    return m_source.Read(job.position, buffer->data(), job.length) ? ReadResult::kRead : ReadResult::kFailed;
}

// The attempts from `firstAttempt` on, one piece alone.
PieceOutcome DownloadPool::Fetch(const PieceJob& job, PieceWriter& writer, std::vector<uint8_t>* buffer,
                                 uint32_t firstAttempt) {
    for (uint32_t attempt = firstAttempt; attempt <= m_retries; ++attempt) {
        if (attempt > 0 && !Pause(kRetryPauseMs * attempt)) return PieceOutcome::kSkipped;
        const ReadResult read = ReadPiece(job, buffer);
        if (read == ReadResult::kSkipped) return PieceOutcome::kSkipped;
        if (read == ReadResult::kRead && writer.Store(job, buffer->data())) return PieceOutcome::kStored;
    }
    return PieceOutcome::kFailed;
}

// Stores the pieces of the batch that were read, together; those that were
// not, or did not verify, go on alone with their further attempts.
void DownloadPool::FetchBatch(const std::vector<PieceJob>& batch, std::vector<ReadResult>& reads,
                              PieceWriter& writer, std::vector<std::vector<uint8_t>>& buffers) {
    std::vector<FetchedPiece> fetched;
    for (size_t n = 0; n < batch.size(); ++n) {
        if (reads[n] == ReadResult::kRead) fetched.push_back(FetchedPiece{&batch[n], buffers[n].data(), false});
    }
    writer.StoreMany(fetched);
    size_t next = 0;
    for (size_t n = 0; n < batch.size(); ++n) {
        const bool stored = reads[n] == ReadResult::kRead && fetched[next++].stored;
        PieceOutcome outcome = PieceOutcome::kStored;
        if (reads[n] == ReadResult::kSkipped) {
            outcome = PieceOutcome::kSkipped;
        } else if (!stored) {
            outcome = Fetch(batch[n], writer, &buffers[n], 1);
        }
        m_sink.Done(batch[n], outcome);
    }
}

void DownloadPool::Run() {
    std::unique_ptr<PieceWriter> writer = m_sink.OpenWriter();
    std::vector<std::vector<uint8_t>> buffers(kBatchPieces);
    std::vector<PieceJob> batch;
    std::vector<ReadResult> reads;
    PieceJob job;
    while (Take(&job)) {
        batch.assign(1, job);
        reads.assign(1, ReadPiece(job, &buffers[0]));
        uint64_t bytes = job.length;
        while (reads.back() == ReadResult::kRead && !m_limiter.Limited() && batch.size() < kBatchPieces &&
               bytes < kBatchBytes && TakeQueued(&job)) {
            batch.push_back(job);
            bytes += job.length;
            reads.push_back(ReadPiece(job, &buffers[batch.size() - 1]));
        }
        FetchBatch(batch, reads, *writer, buffers);
    }
}

}  // namespace standin
