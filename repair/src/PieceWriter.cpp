// PieceWriter.cpp - verified piece writes through a handle of one's own.

#include "PieceWriter.h"

namespace brevik {
namespace repair {

std::unique_ptr<PieceWriter> PieceWriter::Open(const std::string& path, std::string* error) {
    TNQOVArchive* archive = nullptr;
    if (!SFileOpenArchive(path.c_str(), &archive, 0)) {
        *error = "cannot open " + path + " for writing, error " + std::to_string(QOVGetLastError());
        return nullptr;
    }
    std::unique_ptr<PieceWriter> writer(new PieceWriter(archive));
    if (!SFileLoadMd5(archive)) {
        *error = "cannot load the MD5 piece table of " + path + ", error " + std::to_string(QOVGetLastError());
        return nullptr;
    }
    return writer;
}

PieceWriter::~PieceWriter() { SFileCloseArchive(m_archive, false); }

PieceWriter::Outcome PieceWriter::Write(uint32_t piece, const uint8_t* data, uint32_t length, uint32_t* error) {
    *error = ERROR_SUCCESS;
    QOVSetLastError(ERROR_SUCCESS);
    if (SFileWritePieceVerified(m_archive, piece, data, length)) return Outcome::kStored;
    // A digest that does not match leaves no error; a failed write does.
    *error = QOVGetLastError();
    return *error == ERROR_SUCCESS ? Outcome::kBadDigest : Outcome::kWriteFailed;
}

}  // namespace repair
}  // namespace brevik
