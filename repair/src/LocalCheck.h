// LocalCheck.h - the local archive as it is on disk: whether it exists,
// whether the archive library opens it, what header it holds, which of its
// pieces match the piece table, and which files those pieces belong to.

#ifndef BREVIK_REPAIR_LOCALCHECK_H
#define BREVIK_REPAIR_LOCALCHECK_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ArchiveHeader.h"
#include "PieceLayout.h"
#include "StopFlag.h"
#include "QOVLib.h"

namespace brevik {
namespace repair {

struct LocalFile {
    bool exists = false;
    uint64_t size = 0;
    bool opens = false;      // the library opens it (header, tables, piece table)
    uint32_t openError = 0;  // the library's error when it does not
    HeaderFound header = HeaderFound::kAbsent;
    ArchiveHeader headerFields;       // when found
    std::vector<uint8_t> pieceTable;  // when it opens: its MD5 piece table as stored
};

// Looks at the file at `path`.  False with the reason in *error when it
// exists but cannot be read.
bool InspectLocal(const std::string& path, LocalFile* local, std::string* error);

enum : uint8_t { kPieceUnknown = 0, kPieceGood = 1, kPieceBad = 2 };

// Hashes every piece of the file at `path` (`fileSize` bytes; pieces past
// its end are bad) against `pieceTable`, on `threads` threads.  One state
// per piece; pieces not reached before a stop stay kPieceUnknown.
// `checked` counts the pieces done.
std::vector<uint8_t> CheckPieces(const std::string& path, uint64_t fileSize, const PieceLayout& layout,
                                 const std::vector<uint8_t>& pieceTable, unsigned threads,
                                 const StopFlag& stop, std::atomic<uint32_t>* checked);

// A file of the archive and its pieces.
struct FileSpan {
    uint32_t firstPiece = 0;
    uint32_t pieceCount = 0;
    std::string name;
};

// The files of the open archive that hold any piece whose state is not
// kPieceGood (by file id, in name-hash order).
std::vector<FileSpan> FilesWithBadPieces(TNQOVArchive* archive, const std::vector<uint8_t>& states);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_LOCALCHECK_H
