// PieceWriter.h - a download worker's own handle on the local archive, for
// the library's verified piece write: the piece's MD5 is checked against
// the piece table before a byte is written.  The library lets one thread
// use a handle, so each worker has its own and the costly MD5 runs on every
// worker at once.

#ifndef BREVIK_REPAIR_PIECEWRITER_H
#define BREVIK_REPAIR_PIECEWRITER_H

#include <cstdint>
#include <memory>
#include <string>

#include "QOVLib.h"

namespace brevik {
namespace repair {

class PieceWriter {
public:
    // Null with the reason in *error when the archive cannot be opened for
    // writing.
    static std::unique_ptr<PieceWriter> Open(const std::string& path, std::string* error);
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    enum class Outcome { kStored, kBadDigest, kWriteFailed };
    // The library's verified write of piece `piece`; *error gets the
    // library's error of a failed write.
    Outcome Write(uint32_t piece, const uint8_t* data, uint32_t length, uint32_t* error);

private:
    explicit PieceWriter(TNQOVArchive* archive) : m_archive(archive) {}
    TNQOVArchive* const m_archive;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECEWRITER_H
