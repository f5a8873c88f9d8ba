// standin/engine/MirrorSource.h - where the archive-backed engine fetches
// the bytes the game archive lacks: a mirror of the same archive version.
// The engine asks only for byte ranges (a piece, or a stretch of the
// archive's tables), so a source over HTTP range requests fits the same
// interface as the local mirror archive implemented here.

#ifndef BREVIK_STANDIN_MIRRORSOURCE_H
#define BREVIK_STANDIN_MIRRORSOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace standin {

// A byte range of the mirror file.
struct ByteRange {
    uint64_t position = 0;
    uint64_t length = 0;
};

// What the engine must know of the mirror to rebuild a game archive whose
// tables cannot be read.
struct MirrorLayout {
    uint64_t fileSize = 0;       // bytes of the whole mirror file
    uint64_t archiveSize = 0;    // bytes covered by pieces
    uint32_t pieceSize = 0;
    uint8_t headerDigest[16] = {};  // identifies the archive version
    // The archive's own structure: header, tables, list file, and what
    // follows the pieces (the MD5 piece table and the piece-state map).
    std::vector<ByteRange> structure;
};

class MirrorSource {
public:
    virtual ~MirrorSource() = default;
    // Reads `length` bytes at `position`; false when they cannot be had.
    // Called from several download threads at once.
    virtual bool Read(uint64_t position, void* buffer, uint32_t length) = 0;
    virtual const MirrorLayout& Layout() const = 0;
    virtual std::string Describe() const = 0;
};

// Opens the source a setting names: a path (UTF-8) of a local mirror
// archive.  Null with a reason in `error` when it cannot be opened.
std::unique_ptr<MirrorSource> OpenMirrorSource(const std::string& location, std::string* error);

}  // namespace standin

#endif  // BREVIK_STANDIN_MIRRORSOURCE_H
