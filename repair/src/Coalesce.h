// Coalesce.h - adjacent pieces joined into runs, each fetched with one
// request: fewer round trips, and the server streams long stretches.

#ifndef BREVIK_REPAIR_COALESCE_H
#define BREVIK_REPAIR_COALESCE_H

#include <cstdint>
#include <vector>

#include "PieceLayout.h"

namespace brevik {
namespace repair {

// Pieces first .. first + count - 1, the bytes [position, position + length).
struct PieceRun {
    uint32_t first = 0;
    uint32_t count = 0;
    uint64_t position = 0;
    uint64_t length = 0;
};

// Joins the pieces (ascending, no repeats) into runs of adjacent pieces of
// at most `maxBytes` each; a piece larger than that is a run of its own.
std::vector<PieceRun> CoalescePieces(const std::vector<uint32_t>& pieces, const PieceLayout& layout,
                                     uint64_t maxBytes);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_COALESCE_H
