// standin/engine/DownloadPool.cpp - the download threads.

#include "DownloadPool.h"

#include <algorithm>

namespace standin {

namespace {
// Wait before fetching a piece again: a mirror that failed a moment ago may
// answer the next time.
const uint32_t kRetryPauseMs = 50;
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

PieceOutcome DownloadPool::Fetch(const PieceJob& job, PieceWriter& writer, std::vector<uint8_t>* buffer) {
    if (buffer->size() < job.length) buffer->resize(job.length);
    for (uint32_t attempt = 0; attempt <= m_retries; ++attempt) {
        if (attempt > 0 && !Pause(kRetryPauseMs * attempt)) return PieceOutcome::kSkipped;
        if (!m_sink.Wanted(job) || !m_limiter.Acquire(job.length)) return PieceOutcome::kSkipped;
        if (m_source.Read(job.position, buffer->data(), job.length) && writer.Store(job, buffer->data())) {
            return PieceOutcome::kStored;
        }
    }
    return PieceOutcome::kFailed;
}

void DownloadPool::Run() {
    std::unique_ptr<PieceWriter> writer = m_sink.OpenWriter();
    std::vector<uint8_t> buffer;
    PieceJob job;
    while (Take(&job)) m_sink.Done(job, Fetch(job, *writer, &buffer));
}

}  // namespace standin
