// PieceLayout.h - the piece arithmetic of an archive: piece i covers the
// file positions i * pieceSize up to the next piece or the archive size.

#ifndef BREVIK_REPAIR_PIECELAYOUT_H
#define BREVIK_REPAIR_PIECELAYOUT_H

#include <cstdint>

namespace brevik {
namespace repair {

struct PieceLayout {
    uint64_t archiveSize = 0;  // bytes covered by pieces
    uint32_t pieceSize = 0;
    uint32_t pieceCount = 0;
    uint32_t lastPieceSize = 0;

    // False when the figures give no usable layout (piece size 0, more
    // than 2^32 - 1 pieces).
    static bool Make(uint64_t archiveSize, uint32_t pieceSize, PieceLayout* layout) {
        if (pieceSize == 0) return false;
        const uint64_t count = archiveSize / pieceSize + (archiveSize % pieceSize != 0);
        if (count > 0xFFFFFFFFu) return false;
        layout->archiveSize = archiveSize;
        layout->pieceSize = pieceSize;
        layout->pieceCount = static_cast<uint32_t>(count);
        const uint32_t rest = static_cast<uint32_t>(archiveSize % pieceSize);
        layout->lastPieceSize = rest == 0 ? pieceSize : rest;
        return true;
    }

    uint64_t Position(uint32_t piece) const { return uint64_t(piece) * pieceSize; }
    uint32_t Length(uint32_t piece) const { return piece + 1 == pieceCount ? lastPieceSize : pieceSize; }

    // The pieces that hold any of [position, position + length), clipped to
    // the archive; count 0 when none does.
    void Cover(uint64_t position, uint64_t length, uint32_t* first, uint32_t* count) const {
        *first = 0;
        *count = 0;
        if (length == 0 || pieceSize == 0 || position >= archiveSize) return;
        const uint64_t end = length > archiveSize - position ? archiveSize : position + length;
        const uint64_t from = position / pieceSize;
        const uint64_t to = (end - 1) / pieceSize;
        *first = static_cast<uint32_t>(from);
        *count = static_cast<uint32_t>(to - from + 1);
    }
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECELAYOUT_H
