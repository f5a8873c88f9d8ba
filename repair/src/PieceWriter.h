// PieceWriter.h - a download worker's own handle on the local archive, for
// the library's verified piece writes: each piece's MD5 is checked against
// the piece table before a byte of it is written.  The library lets one
// thread use a handle, so each worker has its own and the costly MD5 runs
// on every worker at once; pieces that are at hand together are hashed
// together by the library's multi-buffer engine.

#ifndef BREVIK_REPAIR_PIECEWRITER_H
#define BREVIK_REPAIR_PIECEWRITER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
    struct Piece {
        uint32_t index;
        const uint8_t* data;
        uint32_t length;
        Outcome outcome;  // set by Write
        uint32_t error;   // set by Write: the library's error of a failed write
    };
    // The library's verified writes of the pieces at hand, hashed together;
    // each is written as soon as it verifies.
    void WriteArrived(std::vector<Piece>& pieces);
    // One piece; *error gets the library's error of a failed write.
    Outcome Write(uint32_t index, const uint8_t* data, uint32_t length, uint32_t* error);

private:
    explicit PieceWriter(TNQOVArchive* archive) : m_archive(archive) {}
    TNQOVArchive* const m_archive;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECEWRITER_H
