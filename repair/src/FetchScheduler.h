// FetchScheduler.h - the work of the download workers: runs of pieces, each
// on one source.  A run that fails is tried again after a back-off (only
// the pieces it did not deliver, joined anew), up to the policy's attempts;
// then, or at once when the source cannot give it at all, on the next
// source; when no source is left its pieces are given up.  Bytes that fail
// their MD5 count as a failed attempt.  Workers that wait for a back-off
// take other runs meanwhile.
//
// A scheduler that is kept open (a fetch on request, file by file) takes
// further pieces with Add and drops queued ones with Cancel; its workers
// wait for work until it is closed.  Every piece handed in ends stored (the
// worker knows) or given up (reported to the GivenUp sink, outside the
// lock), unless the repair is stopped.

#ifndef BREVIK_REPAIR_FETCHSCHEDULER_H
#define BREVIK_REPAIR_FETCHSCHEDULER_H

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Coalesce.h"
#include "CoreThreads.h"
#include "PieceLayout.h"
#include "RetryPolicy.h"
#include "SourceProbe.h"
#include "StopFlag.h"
#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

// Pieces given up on (no source left, or the repair aborted) and why.
typedef std::function<void(const std::vector<uint32_t>& pieces, const std::string& why)> GivenUpSink;

struct FetchJob {
    PieceRun run;
    size_t source = 0;
    uint32_t failures = 0;  // failed attempts in a row on this source
};

class FetchScheduler {
public:
    // `names` of the sources, for messages.
    FetchScheduler(const PieceLayout& layout, const RetryPolicy& policy, uint64_t maxRequestBytes,
                   std::vector<std::string> names, StopFlag& stop, NoteSink note,
                   GivenUpSink givenUp = nullptr);

    // Queues the pieces (ascending) on source `source`.  After an Abort
    // they are given up at once.
    void Add(const std::vector<uint32_t>& pieces, size_t source);
    // Keeps the workers waiting for further pieces while nothing is left,
    // until Close.  A scheduler is closed unless kept open.
    void KeepOpen();
    void Close();
    // Drops the pieces from the queue; a run under way goes on.
    void Cancel(const std::vector<uint32_t>& pieces);

    // The next run to fetch; waits while every run left waits for its
    // back-off.  False when nothing is left, or after a stop or Abort.
    bool Take(FetchJob* job);
    // A taken run ended: `left` are its pieces not stored, `progressed`
    // whether it stored any.
    void Finish(const FetchJob& job, const std::vector<uint32_t>& left, const FetchResult& result,
                bool progressed);
    // A taken run's source cannot be used at all (`why`): the run moves on,
    // and no other run is given to that source.
    void SourceUnusable(const FetchJob& job, const std::string& why);
    // Ends the repair: no run is handed out any more; the queued pieces are
    // given up.
    void Abort(const std::string& why);
    // Wakes the waiting workers (after a stop).
    void Interrupt();

    bool Aborted();
    std::string AbortReason();
    // The last reason pieces were given up.
    std::string LastFailure();

private:
    typedef std::vector<std::pair<std::vector<uint32_t>, std::string>> GivenUpList;

    // With the monitor entered.
    void Queue(const std::vector<uint32_t>& pieces, size_t source, uint32_t failures,
               Clock::time_point notBefore);
    void MoveOn(const std::vector<uint32_t>& pieces, size_t from, const std::string& why);
    void GiveUp(const std::vector<uint32_t>& pieces, const std::string& why);
    void Settle(const FetchJob& job, const std::vector<uint32_t>& left, const FetchResult& result,
                bool progressed);
    void AbortLocked(const std::string& why);
    // Marks the source unusable and moves every run queued on it.
    void DropSource(size_t source, const std::string& why);
    void EndJob();
    bool Finished() const { return !m_open && m_ready.empty() && m_waiting.empty() && m_inFlight == 0; }
    // Without the monitor: hands what was given up to the sink.
    void Report(GivenUpList& givenUp);

    const PieceLayout m_layout;
    const RetryPolicy m_policy;
    const uint64_t m_maxRequestBytes;
    const std::vector<std::string> m_names;
    StopFlag& m_stop;
    NoteSink m_note;
    GivenUpSink m_givenUpSink;

    Monitor m_monitor;
    std::deque<FetchJob> m_ready;
    std::vector<std::pair<Clock::time_point, FetchJob>> m_waiting;
    std::vector<bool> m_unusable;
    size_t m_inFlight = 0;
    bool m_open = false;
    bool m_aborted = false;
    std::string m_abortReason;
    GivenUpList m_givenUp;  // not reported yet
    std::string m_lastFailure;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_FETCHSCHEDULER_H
