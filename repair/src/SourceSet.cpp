// SourceSet.cpp - probing sources and keeping them honest.

#include "SourceSet.h"

namespace brevik {
namespace repair {

namespace {
const auto kRecheckInterval = std::chrono::seconds(1);
}  // namespace

SourceSet::SourceSet(std::vector<std::unique_ptr<PieceSource>> sources, const RetryPolicy& policy,
                     StopFlag& stop, NoteSink note)
    : m_policy(policy), m_stop(stop), m_note(std::move(note)) {
    for (auto& source : sources) {
        if (!source) continue;
        Slot slot;
        slot.name = source->Name();
        slot.source = std::move(source);
        m_slots.push_back(std::move(slot));
    }
}

FetchResult SourceSet::Probe(size_t index, SourceConnection& connection) {
    SourceIdentity identity;
    FetchResult result = ProbeSource(connection, m_slots[index].name, m_policy, m_stop, m_note, &identity);
    Entered hold(m_monitor);
    Slot& slot = m_slots[index];
    if (result.status == FetchStatus::kComplete) {
        const bool reference = m_slots[m_first].state == State::kReady && m_first != index;
        if (reference && !SameArchive(identity, m_slots[m_first].identity)) {
            result.status = FetchStatus::kFailed;
            result.message =
                slot.name + " holds another version of the archive than " + m_slots[m_first].name;
        } else {
            slot.identity = std::move(identity);
        }
    }
    if (result.status == FetchStatus::kComplete) {
        slot.state = State::kReady;
    } else if (result.status == FetchStatus::kStopped) {
        slot.state = State::kUnknown;
    } else {
        slot.state = State::kUnusable;
        slot.why = result.message;
    }
    m_monitor.NotifyAll();
    return result;
}

FetchResult SourceSet::ProbeFirst() {
    FetchResult last;
    last.status = FetchStatus::kFailed;
    last.message = "no source is given";
    std::string reasons;
    for (size_t index = 0; index < m_slots.size(); ++index) {
        std::string error;
        std::unique_ptr<SourceConnection> connection = m_slots[index].source->Connect(m_stop.Flag(), &error);
        if (!connection) {
            last.status = FetchStatus::kFailed;
            last.message = error;
        } else {
            {
                Entered hold(m_monitor);
                m_slots[index].state = State::kProbing;
            }
            last = Probe(index, *connection);
            if (last.status == FetchStatus::kComplete) {
                m_first = index;
                return last;
            }
            if (last.status == FetchStatus::kStopped) return last;
        }
        if (m_slots.size() > 1 && m_note) m_note("source not used: " + last.message);
        reasons += (reasons.empty() ? "" : "; ") + last.message;
    }
    if (m_slots.size() > 1) last.message = "no source can be used: " + reasons;
    if (last.status != FetchStatus::kStopped) last.status = FetchStatus::kFailed;
    return last;
}

SourceSet::Readiness SourceSet::EnsureReady(size_t index, SourceConnection& connection, std::string* why) {
    {
        Entered hold(m_monitor);
        Slot& slot = m_slots[index];
        // A stop does not wake this monitor: look again now and then.
        while (slot.state == State::kProbing && !m_stop.IsSet()) {
            m_monitor.WaitUntil(Clock::now() + std::chrono::milliseconds(100),
                                [&] { return slot.state != State::kProbing; });
        }
        if (m_stop.IsSet()) return Readiness::kStopped;
        if (slot.state == State::kReady) return Readiness::kReady;
        if (slot.state == State::kUnusable) {
            *why = slot.why;
            return Readiness::kUnusable;
        }
        slot.state = State::kProbing;
    }
    const FetchResult result = Probe(index, connection);
    if (result.status == FetchStatus::kComplete) return Readiness::kReady;
    if (result.status == FetchStatus::kStopped) return Readiness::kStopped;
    if (m_note) m_note("source not used: " + result.message);
    *why = result.message;
    return Readiness::kUnusable;
}

Expectation SourceSet::Expect(size_t index) {
    Entered hold(m_monitor);
    return m_slots[index].identity.Expect();
}

bool SourceSet::StillSame(size_t index, SourceConnection& connection, std::string* why) {
    ArchiveHeader header;
    Expectation expect;
    {
        Entered hold(m_monitor);
        Slot& slot = m_slots[index];
        const Clock::time_point now = Clock::now();
        if (slot.state != State::kReady || now - slot.lastRecheck < kRecheckInterval) return true;
        slot.lastRecheck = now;
        header = slot.identity.header;
        expect = slot.identity.Expect();
    }
    const FetchResult result = RecheckHeader(connection, m_slots[index].name, header, expect);
    if (result.status != FetchStatus::kChanged) return true;
    *why = result.message;
    return false;
}

}  // namespace repair
}  // namespace brevik
