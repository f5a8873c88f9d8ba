// SourceSet.h - the sources of a repair, in the order they are tried, and
// what is known of each: the first that can be probed sets the archive the
// repair expects (the reference); the others are probed when a range first
// comes to them, and are used only when they hold the same archive.

#ifndef BREVIK_REPAIR_SOURCESET_H
#define BREVIK_REPAIR_SOURCESET_H

#include <memory>
#include <string>
#include <vector>

#include "CoreThreads.h"
#include "RetryPolicy.h"
#include "SourceProbe.h"
#include "StopFlag.h"
#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

class SourceSet {
public:
    SourceSet(std::vector<std::unique_ptr<PieceSource>> sources, const RetryPolicy& policy, StopFlag& stop,
              NoteSink note);

    size_t Count() const { return m_slots.size(); }
    PieceSource& Source(size_t index) { return *m_slots[index].source; }
    const std::string& Name(size_t index) const { return m_slots[index].name; }

    // Probes the sources in order until one gives its archive; that one is
    // the reference.  kComplete, or why none could (kStopped when stopped;
    // otherwise the message names each source's failure).
    FetchResult ProbeFirst();
    size_t First() const { return m_first; }
    const SourceIdentity& Reference() const { return m_slots[m_first].identity; }

    enum class Readiness { kReady, kUnusable, kStopped };
    // Whether source `index` can be used, probing it through `connection`
    // when it has not been yet (other workers wait for that probe).
    Readiness EnsureReady(size_t index, SourceConnection& connection, std::string* why);
    Expectation Expect(size_t index);

    // After bytes from source `index` did not verify: whether its header
    // is still the one it had.  At most once a second per source; true
    // when not checked.  False with the reason when it changed.
    bool StillSame(size_t index, SourceConnection& connection, std::string* why);

private:
    enum class State { kUnknown, kProbing, kReady, kUnusable };
    struct Slot {
        std::unique_ptr<PieceSource> source;
        std::string name;
        State state = State::kUnknown;
        SourceIdentity identity;
        std::string why;
        Clock::time_point lastRecheck{};
    };

    // Probes slot `index` (state kProbing, outside the lock) and records
    // the outcome.
    FetchResult Probe(size_t index, SourceConnection& connection);

    const RetryPolicy m_policy;
    StopFlag& m_stop;
    NoteSink m_note;
    Monitor m_monitor;
    std::vector<Slot> m_slots;
    size_t m_first = 0;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_SOURCESET_H
