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
        *error =
            "cannot load the MD5 piece table of " + path + ", error " + std::to_string(QOVGetLastError());
        return nullptr;
    }
    return writer;
}

PieceWriter::~PieceWriter() { SFileCloseArchive(m_archive, false); }

void PieceWriter::WriteArrived(std::vector<Piece>& pieces) {
    std::vector<QOV_PIECE_WRITE> batch(pieces.size());
    for (size_t n = 0; n < pieces.size(); ++n) {
        batch[n] = QOV_PIECE_WRITE{pieces[n].index, pieces[n].length, pieces[n].data, 0, ERROR_SUCCESS};
    }
    SFileWritePiecesVerified(m_archive, batch.data(), static_cast<uint32_t>(batch.size()));
    for (size_t n = 0; n < pieces.size(); ++n) {
        pieces[n].error = batch[n].dwError;
        switch (batch[n].dwResult) {
            case QOV_PIECE_WRITTEN:
                pieces[n].outcome = Outcome::kStored;
                break;
            case QOV_PIECE_BAD_DIGEST:
                pieces[n].outcome = Outcome::kBadDigest;
                break;
            default:
                pieces[n].outcome = Outcome::kWriteFailed;
                break;
        }
    }
}

PieceWriter::Outcome PieceWriter::Write(uint32_t index, const uint8_t* data, uint32_t length,
                                        uint32_t* error) {
    std::vector<Piece> one{Piece{index, data, length, Outcome::kWriteFailed, ERROR_SUCCESS}};
    WriteArrived(one);
    *error = one[0].error;
    return one[0].outcome;
}

}  // namespace repair
}  // namespace brevik
