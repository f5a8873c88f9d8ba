// FetchScheduler.cpp - runs, retries and the move to the next source.

#include "FetchScheduler.h"

#include <algorithm>

namespace brevik {
namespace repair {

namespace {

// How long a waiting worker sleeps at most before it looks at the stop flag.
const auto kLongestNap = std::chrono::milliseconds(100);

std::string Pieces(size_t count) { return std::to_string(count) + (count == 1 ? " piece" : " pieces"); }

std::string Bytes(const PieceRun& run) {
    return "bytes " + std::to_string(run.position) + "-" + std::to_string(run.position + run.length - 1);
}

}  // namespace

FetchScheduler::FetchScheduler(const PieceLayout& layout, const RetryPolicy& policy, uint64_t maxRequestBytes,
                               std::vector<std::string> names, StopFlag& stop, NoteSink note)
    : m_layout(layout),
      m_policy(policy),
      m_maxRequestBytes(maxRequestBytes),
      m_names(std::move(names)),
      m_stop(stop),
      m_note(std::move(note)),
      m_unusable(m_names.size(), false) {}

void FetchScheduler::Start(const std::vector<uint32_t>& pieces, size_t source) {
    Entered hold(m_monitor);
    if (source >= m_names.size()) {
        m_failed.insert(m_failed.end(), pieces.begin(), pieces.end());
        return;
    }
    Queue(pieces, source, 0, Clock::time_point());
    m_monitor.NotifyAll();
}

void FetchScheduler::Queue(const std::vector<uint32_t>& pieces, size_t source, uint32_t failures,
                           Clock::time_point notBefore) {
    for (const PieceRun& run : CoalescePieces(pieces, m_layout, m_maxRequestBytes)) {
        FetchJob job;
        job.run = run;
        job.source = source;
        job.failures = failures;
        if (notBefore == Clock::time_point()) {
            m_ready.push_back(job);
        } else {
            m_waiting.emplace_back(notBefore, job);
        }
    }
}

bool FetchScheduler::Take(FetchJob* job) {
    Entered hold(m_monitor);
    for (;;) {
        if (m_stop.IsSet() || m_aborted || Finished()) return false;
        const Clock::time_point now = Clock::now();
        // A run whose back-off is over goes first: it has waited longest.
        auto due = std::min_element(m_waiting.begin(), m_waiting.end(),
                                    [](const auto& a, const auto& b) { return a.first < b.first; });
        if (due != m_waiting.end() && due->first <= now) {
            *job = due->second;
            m_waiting.erase(due);
            ++m_inFlight;
            return true;
        }
        if (!m_ready.empty()) {
            *job = m_ready.front();
            m_ready.pop_front();
            ++m_inFlight;
            return true;
        }
        Clock::time_point wake = now + kLongestNap;
        if (due != m_waiting.end()) wake = std::min(wake, due->first);
        m_monitor.WaitUntil(wake, [] { return false; });
    }
}

void FetchScheduler::EndJob() {
    --m_inFlight;
    m_monitor.NotifyAll();
}

void FetchScheduler::MoveOn(const std::vector<uint32_t>& pieces, size_t from, const std::string& why) {
    for (size_t next = from + 1; next < m_names.size(); ++next) {
        if (m_unusable[next]) continue;
        if (m_note) m_note(Pieces(pieces.size()) + " now come from " + m_names[next]);
        Queue(pieces, next, 0, Clock::time_point());
        return;
    }
    m_failed.insert(m_failed.end(), pieces.begin(), pieces.end());
    m_lastFailure = why;
}

void FetchScheduler::Finish(const FetchJob& job, const std::vector<uint32_t>& left, const FetchResult& result,
                            bool progressed) {
    Entered hold(m_monitor);
    if (result.status == FetchStatus::kFailed && !m_unusable[job.source]) {
        // Also when every piece came: a source that answers wrongly once
        // is not asked again.
        if (m_note) m_note("source not used any more: " + result.message);
        DropSource(job.source, result.message);
    }
    if (left.empty() || result.status == FetchStatus::kStopped || m_aborted) {
        // Done, or nothing is to be fetched any more.
    } else if (result.status == FetchStatus::kChanged) {
        m_aborted = true;
        m_abortReason = result.message;
    } else if (result.status == FetchStatus::kFailed) {
        MoveOn(left, job.source, result.message);
    } else if (m_unusable[job.source]) {
        MoveOn(left, job.source, m_lastFailure);
    } else {
        // A passing fault, or bytes that did not verify.
        const std::string why = result.status == FetchStatus::kComplete
                                    ? m_names[job.source] + " (" + Bytes(job.run) + "): " +
                                          Pieces(left.size()) + " did not match the MD5 piece table"
                                    : result.message;
        const uint32_t failures = progressed ? 1 : job.failures + 1;
        if (failures >= m_policy.attempts) {
            if (m_note) m_note("giving up after " + std::to_string(failures) + " attempts: " + why);
            MoveOn(left, job.source, why);
        } else {
            const std::chrono::milliseconds wait =
                m_policy.Delay(failures, std::chrono::milliseconds(result.retryAfterMs));
            if (m_note) m_note(why + "; trying again in " + std::to_string(wait.count()) + " ms");
            Queue(left, job.source, failures, Clock::now() + wait);
        }
    }
    EndJob();
}

void FetchScheduler::DropSource(size_t source, const std::string& why) {
    m_unusable[source] = true;
    std::vector<uint32_t> pieces;
    const auto take = [&](const FetchJob& job) {
        if (job.source != source) return false;
        for (uint32_t n = 0; n < job.run.count; ++n) pieces.push_back(job.run.first + n);
        return true;
    };
    m_ready.erase(std::remove_if(m_ready.begin(), m_ready.end(), take), m_ready.end());
    m_waiting.erase(std::remove_if(m_waiting.begin(), m_waiting.end(),
                                   [&](const std::pair<Clock::time_point, FetchJob>& entry) { return take(entry.second); }),
                    m_waiting.end());
    std::sort(pieces.begin(), pieces.end());
    if (!pieces.empty()) MoveOn(pieces, source, why);
}

void FetchScheduler::SourceUnusable(const FetchJob& job, const std::string& why) {
    Entered hold(m_monitor);
    if (!m_unusable[job.source]) DropSource(job.source, why);
    std::vector<uint32_t> pieces(job.run.count);
    for (uint32_t n = 0; n < job.run.count; ++n) pieces[n] = job.run.first + n;
    MoveOn(pieces, job.source, why);
    EndJob();
}

void FetchScheduler::Abort(const std::string& why) {
    Entered hold(m_monitor);
    if (!m_aborted) {
        m_aborted = true;
        m_abortReason = why;
    }
    m_monitor.NotifyAll();
}

void FetchScheduler::Interrupt() {
    Entered hold(m_monitor);
    m_monitor.NotifyAll();
}

bool FetchScheduler::Aborted() {
    Entered hold(m_monitor);
    return m_aborted;
}

std::string FetchScheduler::AbortReason() {
    Entered hold(m_monitor);
    return m_abortReason;
}

std::vector<uint32_t> FetchScheduler::FailedPieces() {
    Entered hold(m_monitor);
    std::vector<uint32_t> failed = m_failed;
    std::sort(failed.begin(), failed.end());
    return failed;
}

std::string FetchScheduler::LastFailure() {
    Entered hold(m_monitor);
    return m_lastFailure;
}

}  // namespace repair
}  // namespace brevik


