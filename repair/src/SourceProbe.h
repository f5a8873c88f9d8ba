// SourceProbe.h - what a source holds: the size and validator of its file,
// and its archive's header and MD5 piece table, each checked (the header
// against its digest, the piece table against its last digest).

#ifndef BREVIK_REPAIR_SOURCEPROBE_H
#define BREVIK_REPAIR_SOURCEPROBE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ArchiveHeader.h"
#include "PieceLayout.h"
#include "RetryPolicy.h"
#include "StopFlag.h"
#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

typedef std::function<void(const std::string&)> NoteSink;

struct SourceIdentity {
    uint64_t fileSize = 0;
    std::string validator;
    ArchiveHeader header;
    PieceLayout layout;
    std::vector<uint8_t> pieceTable;  // (pieces + 1) * 16 bytes

    Expectation Expect() const { return Expectation{fileSize, validator}; }
    // The table's digest of piece `piece`.
    const uint8_t* PieceDigest(uint32_t piece) const { return pieceTable.data() + size_t(piece) * 16; }
};

// Whether two sources hold the same archive: the same size, header and
// piece table.
bool SameArchive(const SourceIdentity& a, const SourceIdentity& b);

// One attempt at a range, whole, into *bytes (at most `length` bytes).
FetchResult FetchOnce(SourceConnection& connection, uint64_t position, uint64_t length,
                      const Expectation& expect, std::vector<uint8_t>* bytes);

// Learns the identity of the source behind `connection` (`name` for
// messages).  Passing faults and bytes that do not check out are tried again
// as `policy` says.  kComplete, or the status and message of the failure
// (kFailed also when the source holds no usable archive).
FetchResult ProbeSource(SourceConnection& connection, const std::string& name, const RetryPolicy& policy,
                        StopFlag& stop, const NoteSink& note, SourceIdentity* identity);

// Reads the source's header again: kChanged when it is not `header` any more.
FetchResult RecheckHeader(SourceConnection& connection, const std::string& name, const ArchiveHeader& header,
                          const Expectation& expect);

// The bytes the probe reads at a time while it looks for the header, and
// how far it looks.
const uint64_t kProbeWindow = 64 * 1024;
const uint64_t kHeaderSearchLimit = 16 * 1024 * 1024;

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_SOURCEPROBE_H
