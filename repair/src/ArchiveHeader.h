// ArchiveHeader.h - the archive header read from raw bytes: what the core
// must know of a source's archive (or of a local file the library cannot
// open) before the library can open anything: where the header, the HET and
// BET tables, the MD5 piece table and the piece-state map lie, and the
// header digest that names the archive's version.
//
// The header is looked for as the library does: at file positions 0, 512,
// 1024, ...; the first signature found decides.

#ifndef BREVIK_REPAIR_ARCHIVEHEADER_H
#define BREVIK_REPAIR_ARCHIVEHEADER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PieceLayout.h"

namespace brevik {
namespace repair {

const uint32_t kHeaderBytes = 172;
const uint32_t kHeaderSearchStep = 512;

// A byte range of an archive file.
struct ByteRange {
    uint64_t position = 0;
    uint64_t length = 0;
};

struct ArchiveHeader {
    uint64_t headerOffset = 0;  // file position of the header
    uint16_t formatVersion = 0;
    uint64_t archiveSize = 0;          // bytes covered by pieces
    uint64_t hetPos = 0, hetSize = 0;  // relative to the header
    uint64_t betPos = 0, betSize = 0;
    uint64_t pieceTablePos = 0, pieceTableSize = 0;  // absolute
    uint64_t mapPos = 0, mapSize = 0;                // absolute
    uint32_t pieceSize = 0;
    uint32_t rawChunkSize = 0;
    uint8_t digest[16] = {};
    uint8_t raw[kHeaderBytes] = {};  // the header bytes as found
};

enum class HeaderFound { kFound, kAbsent, kCorrupt };

// Looks for the header in `window` (`size` bytes of the file from
// `windowStart`, a multiple of 512, on) at the positions below
// `windowStart + searched`; `fileSize` is the whole file's size.  kCorrupt:
// the first signature found has a header digest that does not match.
HeaderFound FindHeader(const uint8_t* window, size_t size, size_t searched, uint64_t windowStart,
                       uint64_t fileSize, ArchiveHeader* header);

// Checks that the header's figures describe an archive that fits a file of
// `fileSize` bytes and that the core can handle (piece size, MD5 piece table
// of (pieces + 1) * 16 bytes within the file and of a bounded size); the
// reason in *why otherwise.
bool CheckHeaderLayout(const ArchiveHeader& header, uint64_t fileSize, PieceLayout* layout, std::string* why);

// The parts of the archive within its pieces that the library needs to open
// it: the header and the HET and BET tables (with their chunk digests).
std::vector<ByteRange> StructureRanges(const ArchiveHeader& header);

// Largest MD5 piece table the core loads (16 million pieces).
const uint64_t kMaxPieceTableBytes = 256ull * 1024 * 1024;

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_ARCHIVEHEADER_H
