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
                               std::vector<std::string> names, StopFlag& stop, NoteSink note,
                               GivenUpSink givenUp)
    : m_layout(layout),
      m_policy(policy),
      m_maxRequestBytes(maxRequestBytes),
      m_names(std::move(names)),
      m_stop(stop),
      m_note(std::move(note)),
      m_givenUpSink(std::move(givenUp)),
      m_unusable(m_names.size(), false) {}

void FetchScheduler::Report(GivenUpList& givenUp) {
    if (!m_givenUpSink) return;
    for (const auto& entry : givenUp) m_givenUpSink(entry.first, entry.second);
}

void FetchScheduler::Add(const std::vector<uint32_t>& pieces, size_t source) {
    GivenUpList givenUp;
    {
        Entered hold(m_monitor);
        if (m_aborted) {
            GiveUp(pieces, m_abortReason);
        } else if (source >= m_names.size() || m_unusable[source]) {
            MoveOn(pieces, source < m_names.size() ? source : m_names.size(), m_lastFailure);
        } else {
            Queue(pieces, source, 0, Clock::time_point());
        }
        givenUp.swap(m_givenUp);
        m_monitor.NotifyAll();
    }
    Report(givenUp);
}

void FetchScheduler::KeepOpen() {
    Entered hold(m_monitor);
    m_open = true;
}

void FetchScheduler::Close() {
    Entered hold(m_monitor);
    m_open = false;
    m_monitor.NotifyAll();
}

void FetchScheduler::Cancel(const std::vector<uint32_t>& pieces) {
    if (pieces.empty()) return;
    std::vector<uint32_t> dropped(pieces);
    std::sort(dropped.begin(), dropped.end());
    const auto isDropped = [&](uint32_t piece) {
        return std::binary_search(dropped.begin(), dropped.end(), piece);
    };
    // Each queued run that holds a dropped piece gives way to runs of the
    // pieces it keeps, with the same source, failures and wait.
    const auto split = [&](const FetchJob& job, Clock::time_point notBefore) {
        bool touched = false;
        std::vector<uint32_t> kept;
        for (uint32_t n = 0; n < job.run.count; ++n) {
            if (isDropped(job.run.first + n)) {
                touched = true;
            } else {
                kept.push_back(job.run.first + n);
            }
        }
        if (touched && !kept.empty()) Queue(kept, job.source, job.failures, notBefore);
        return touched;
    };
    Entered hold(m_monitor);
    std::deque<FetchJob> ready;
    ready.swap(m_ready);
    std::vector<std::pair<Clock::time_point, FetchJob>> waiting;
    waiting.swap(m_waiting);
    for (const FetchJob& job : ready) {
        if (!split(job, Clock::time_point())) m_ready.push_back(job);
    }
    for (const auto& entry : waiting) {
        if (!split(entry.second, entry.first)) m_waiting.push_back(entry);
    }
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
    GiveUp(pieces, why);
}

void FetchScheduler::GiveUp(const std::vector<uint32_t>& pieces, const std::string& why) {
    if (pieces.empty()) return;
    m_givenUp.emplace_back(pieces, why);
    m_lastFailure = why;
}

void FetchScheduler::Finish(const FetchJob& job, const std::vector<uint32_t>& left, const FetchResult& result,
                            bool progressed) {
    GivenUpList givenUp;
    {
        Entered hold(m_monitor);
        Settle(job, left, result, progressed);
        givenUp.swap(m_givenUp);
        EndJob();
    }
    Report(givenUp);
}

void FetchScheduler::Settle(const FetchJob& job, const std::vector<uint32_t>& left, const FetchResult& result,
                            bool progressed) {
    if (result.status == FetchStatus::kFailed && !m_unusable[job.source]) {
        // Also when every piece came: a source that answers wrongly once
        // is not asked again.
        if (m_note) m_note("source not used any more: " + result.message);
        DropSource(job.source, result.message);
    }
    if (left.empty() || result.status == FetchStatus::kStopped) {
        // Done, or nothing is to be fetched any more.
    } else if (m_aborted) {
        GiveUp(left, m_abortReason);
    } else if (result.status == FetchStatus::kChanged) {
        AbortLocked(result.message);
        GiveUp(left, result.message);
    } else if (result.status == FetchStatus::kFailed) {
        MoveOn(left, job.source, result.message);
    } else if (m_unusable[job.source]) {
        MoveOn(left, job.source, m_lastFailure);
    } else {
        // A passing fault, or bytes that did not verify.
        const std::string why = result.status == FetchStatus::kComplete
                                    ? m_names[job.source] + " (" + Bytes(job.run) +
                                          "): " + Pieces(left.size()) + " did not match the MD5 piece table"
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
                                   [&](const std::pair<Clock::time_point, FetchJob>& entry) {
                                       return take(entry.second);
                                   }),
                    m_waiting.end());
    std::sort(pieces.begin(), pieces.end());
    if (!pieces.empty()) MoveOn(pieces, source, why);
}

void FetchScheduler::SourceUnusable(const FetchJob& job, const std::string& why) {
    GivenUpList givenUp;
    {
        Entered hold(m_monitor);
        if (!m_unusable[job.source]) DropSource(job.source, why);
        std::vector<uint32_t> pieces(job.run.count);
        for (uint32_t n = 0; n < job.run.count; ++n) pieces[n] = job.run.first + n;
        if (m_aborted) {
            GiveUp(pieces, m_abortReason);
        } else {
            MoveOn(pieces, job.source, why);
        }
        givenUp.swap(m_givenUp);
        EndJob();
    }
    Report(givenUp);
}

void FetchScheduler::AbortLocked(const std::string& why) {
    if (m_aborted) return;
    m_aborted = true;
    m_abortReason = why;
    // Nothing queued will be fetched: it is given up.
    std::vector<uint32_t> pieces;
    for (const FetchJob& job : m_ready) {
        for (uint32_t n = 0; n < job.run.count; ++n) pieces.push_back(job.run.first + n);
    }
    for (const auto& entry : m_waiting) {
        for (uint32_t n = 0; n < entry.second.run.count; ++n) pieces.push_back(entry.second.run.first + n);
    }
    m_ready.clear();
    m_waiting.clear();
    std::sort(pieces.begin(), pieces.end());
    GiveUp(pieces, why);
    m_monitor.NotifyAll();
}

void FetchScheduler::Abort(const std::string& why) {
    GivenUpList givenUp;
    {
        Entered hold(m_monitor);
        AbortLocked(why);
        givenUp.swap(m_givenUp);
        m_monitor.NotifyAll();
    }
    Report(givenUp);
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

std::string FetchScheduler::LastFailure() {
    Entered hold(m_monitor);
    return m_lastFailure;
}

}  // namespace repair
}  // namespace brevik
