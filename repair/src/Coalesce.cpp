// Coalesce.cpp - joining adjacent pieces into runs.

#include "Coalesce.h"

namespace brevik {
namespace repair {

std::vector<PieceRun> CoalescePieces(const std::vector<uint32_t>& pieces, const PieceLayout& layout,
                                     uint64_t maxBytes) {
    std::vector<PieceRun> runs;
    for (uint32_t piece : pieces) {
        if (piece >= layout.pieceCount) continue;
        const uint32_t length = layout.Length(piece);
        if (!runs.empty()) {
            PieceRun& last = runs.back();
            const bool adjacent = uint64_t(last.first) + last.count == piece;
            if (adjacent && last.length + length <= maxBytes) {
                last.count++;
                last.length += length;
                continue;
            }
        }
        runs.push_back(PieceRun{piece, 1, layout.Position(piece), length});
    }
    return runs;
}

}  // namespace repair
}  // namespace brevik
