// SourceProbe.cpp - probing a source's archive.

#include "SourceProbe.h"

#include <algorithm>
#include <cstring>

#include "Md5.h"

namespace brevik {
namespace repair {

namespace {

class MemoryReceiver : public RangeReceiver {
public:
    MemoryReceiver(std::vector<uint8_t>* bytes, uint64_t limit) : m_bytes(bytes), m_limit(limit) {}
    bool Receive(const uint8_t* data, size_t size) override {
        if (size > m_limit - m_bytes->size()) return false;
        m_bytes->insert(m_bytes->end(), data, data + size);
        return true;
    }

private:
    std::vector<uint8_t>* m_bytes;
    const uint64_t m_limit;
};

FetchResult Failure(FetchStatus status, const std::string& message) {
    FetchResult result;
    result.status = status;
    result.message = message;
    return result;
}

// One pass of the probe; kRetry also for bytes that do not check out (a
// flipped byte on the way, a file being replaced).
FetchResult ProbeOnce(SourceConnection& connection, const std::string& name, SourceIdentity* identity) {
    SourceIdentity found;
    Expectation expect;
    std::vector<uint8_t> window;
    HeaderFound header = HeaderFound::kAbsent;
    for (uint64_t start = 0; header == HeaderFound::kAbsent; start += kProbeWindow) {
        if (start >= kHeaderSearchLimit || (found.fileSize != 0 && start >= found.fileSize)) break;
        // A little more than the window, so a header at its last position
        // is read whole.
        FetchResult result = FetchOnce(connection, start, kProbeWindow + kHeaderBytes, expect, &window);
        if (result.status != FetchStatus::kComplete) return result;
        if (found.fileSize == 0) {
            found.fileSize = result.fileSize;
            found.validator = result.validator;
            expect = found.Expect();
        }
        header = FindHeader(window.data(), window.size(), kProbeWindow, start, found.fileSize, &found.header);
    }
    if (header == HeaderFound::kAbsent) {
        return Failure(FetchStatus::kFailed,
                       name + " holds no archive: no archive header in its first " +
                           std::to_string(std::min(found.fileSize, kHeaderSearchLimit)) + " bytes");
    }
    if (header == HeaderFound::kCorrupt) {
        return Failure(FetchStatus::kRetry, name + ": the archive header does not match its digest");
    }
    std::string why;
    if (!CheckHeaderLayout(found.header, found.fileSize, &found.layout, &why)) {
        return Failure(FetchStatus::kFailed, name + " holds no usable archive: " + why);
    }
    FetchResult table = FetchOnce(connection, found.header.pieceTablePos, found.header.pieceTableSize, expect,
                                  &found.pieceTable);
    if (table.status != FetchStatus::kComplete) return table;
    const size_t digests = found.pieceTable.size() - 16;
    if (found.pieceTable.size() != found.header.pieceTableSize ||
        !Md5Matches(found.pieceTable.data(), digests, found.pieceTable.data() + digests)) {
        return Failure(FetchStatus::kRetry, name + ": the MD5 piece table does not match its digest");
    }
    *identity = std::move(found);
    return FetchResult();
}

}  // namespace

bool SameArchive(const SourceIdentity& a, const SourceIdentity& b) {
    return a.fileSize == b.fileSize && a.header.headerOffset == b.header.headerOffset &&
           std::memcmp(a.header.raw, b.header.raw, kHeaderBytes) == 0 && a.pieceTable == b.pieceTable;
}

FetchResult FetchOnce(SourceConnection& connection, uint64_t position, uint64_t length,
                      const Expectation& expect, std::vector<uint8_t>* bytes) {
    bytes->clear();
    MemoryReceiver receiver(bytes, length);
    FetchResult result = connection.Fetch(position, length, receiver, expect);
    if (result.status == FetchStatus::kRefused) {
        result.status = FetchStatus::kFailed;
        result.message = "the source sent more than asked for";
    }
    return result;
}

FetchResult ProbeSource(SourceConnection& connection, const std::string& name, const RetryPolicy& policy,
                        StopFlag& stop, const NoteSink& note, SourceIdentity* identity) {
    FetchResult result;
    for (uint32_t failures = 0;;) {
        result = ProbeOnce(connection, name, identity);
        if (result.status != FetchStatus::kRetry) return result;
        if (++failures >= policy.attempts) return result;
        const std::chrono::milliseconds wait =
            policy.Delay(failures, std::chrono::milliseconds(result.retryAfterMs));
        if (note) note(result.message + "; trying again in " + std::to_string(wait.count()) + " ms");
        if (!stop.Sleep(wait)) return Failure(FetchStatus::kStopped, "stopped");
    }
}

FetchResult RecheckHeader(SourceConnection& connection, const std::string& name, const ArchiveHeader& header,
                          const Expectation& expect) {
    std::vector<uint8_t> bytes;
    FetchResult result = FetchOnce(connection, header.headerOffset, kHeaderBytes, expect, &bytes);
    if (result.status != FetchStatus::kComplete) return result;
    if (bytes.size() != kHeaderBytes || std::memcmp(bytes.data(), header.raw, kHeaderBytes) != 0) {
        return Failure(FetchStatus::kChanged,
                       name + " changed: its archive header is not the one read at the start");
    }
    return result;
}

}  // namespace repair
}  // namespace brevik
