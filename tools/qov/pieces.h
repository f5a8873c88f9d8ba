// pieces.h - checking every piece of an archive on several threads.

#ifndef QOV_PIECES_H
#define QOV_PIECES_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "QOVLib.h"

namespace qov {

// The pieces of one archive and what the check found.
struct PieceReport {
    std::string path;
    uint32_t count = 0;
    uint32_t size = 0;
    uint32_t lastSize = 0;
    std::vector<uint8_t> states;  // per piece: NQOV_PIECE_GOOD or NQOV_PIECE_BAD
    std::vector<uint32_t> bad;    // the indexes of the bad ones, ascending

    // The bad ones among the COUNT pieces from FIRST on (those past the
    // last piece count as bad).
    std::vector<uint32_t> BadAmong(uint32_t first, uint32_t count) const;
};

// Checks every piece of HA (opened from PATH) against its digest, on up to
// THREADS threads, each with its own read-only handle of PATH alone (no
// patches) and its own MD5 engine.  A piece that cannot be read is bad.
// PROGRESS, when given, is called on the calling thread with the pieces
// done and their count.  False after reporting what failed when the pieces
// cannot be counted or no thread can open PATH.
bool CheckAllPieces(TNQOVArchive* ha, const std::string& path, size_t threads,
                    const std::function<void(uint64_t, uint64_t)>& progress, PieceReport* report);

}  // namespace qov

#endif  // QOV_PIECES_H
