// QOVPieceBatches.cpp - pieces several at a time: verified reads of runs of
// pieces and verified writes of the pieces at hand, hashed together by the
// multi-buffer MD5 engine on the calling thread.

#include "verify/QOVVerify.h"

#include "common/MD5Multi.h"

#include <algorithm>
#include <array>
#include <vector>

void HashPieces(TPieceData* pPieces, size_t nPieces) {
    std::vector<TMD5Job> jobs(nPieces);
    for (size_t n = 0; n < nPieces; n++) {
        jobs[n].pvData = pPieces[n].pbData;
        jobs[n].cbData = pPieces[n].cbData;
        jobs[n].pbDigest = pPieces[n].digest;
    }
    QOVMD5Many(jobs.data(), jobs.size());
}

namespace {

// Pieces read and hashed at a time: as many as the engine has lanes, in at
// most 16 MiB; larger pieces one at a time, hashed from the file in chunks.
const uint32_t kRunPieces = kMD5MaxLanes;
const uint64_t kRunBytes = 16 * 1024 * 1024;

uint32_t PiecesPerRun(const TPieceLayout& layout) {
    return static_cast<uint32_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(kRunPieces, kRunBytes / layout.dwPieceSize)));
}

// Reads the COUNT pieces from FIRST on into pbBuffer one after the other,
// in one read when it can; pReadErrors[n] gets ERROR_SUCCESS for each piece
// read and the read's error for each that could not be.
void ReadRun(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t first, uint32_t count,
             uint8_t* pbBuffer, uint32_t* pReadErrors) {
    const uint32_t last = first + count - 1;
    const uint64_t bytes = static_cast<uint64_t>(count - 1) * layout.dwPieceSize + PieceLength(layout, last);
    uint64_t position = static_cast<uint64_t>(first) * layout.dwPieceSize;
    std::fill(pReadErrors, pReadErrors + count, ERROR_SUCCESS);
    if (FileStream_Read(ha->pStream.get(), &position, pbBuffer, static_cast<uint32_t>(bytes))) return;
    for (uint32_t n = 0; n < count; n++) {
        if (ReadPiece(ha, layout, first + n, pbBuffer + static_cast<size_t>(n) * layout.dwPieceSize))
            continue;
        const uint32_t error = QOVGetLastError();
        pReadErrors[n] = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
    }
}

// Records the outcome of a piece read and compared: in the map (as
// SFileReadPieceVerified does) and in *pState; returns ERROR_SUCCESS for a
// good piece, else why it is not.
uint32_t RecordPiece(TNQOVArchiveImpl* ha, uint32_t index, const uint8_t* digest, uint8_t* pState) {
    const bool good = DigestMatchesTable(ha, index, digest);
    const uint32_t error = QOVGetLastError();
    ha->StateMap.Record(index, good ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD);
    if (pState != nullptr) *pState = good ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD;
    return good ? ERROR_SUCCESS : error != ERROR_SUCCESS ? error : ERROR_FILE_CORRUPT;
}

// Large pieces, one after the other; returns the last failure.
uint32_t VerifyLargePieces(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t first, uint32_t count,
                           uint8_t* pStates) {
    uint32_t failure = ERROR_SUCCESS;
    for (uint32_t n = 0; n < count; n++) {
        uint8_t* pState = pStates != nullptr ? pStates + n : nullptr;
        uint8_t digest[16];
        if (!HashPieceOnDisk(ha, layout, first + n, digest)) {
            failure = QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_READ_FAULT;
            if (pState != nullptr) *pState = NQOV_PIECE_BAD;
            continue;
        }
        const uint32_t error = RecordPiece(ha, first + n, digest, pState);
        if (error != ERROR_SUCCESS) failure = error;
    }
    return failure;
}

// Pieces in runs read whole and hashed together; returns the last failure.
uint32_t VerifyPieceRuns(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t first, uint32_t count,
                         uint8_t* pStates) {
    const uint32_t perRun = PiecesPerRun(layout);
    std::unique_ptr<uint8_t[]> buffer =
        QOVAllocArray<uint8_t>(static_cast<size_t>(perRun) * layout.dwPieceSize);
    QOV_FAIL_IF(!buffer, "no memory for a run of pieces", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY);
    uint32_t failure = ERROR_SUCCESS;
    uint32_t readErrors[kRunPieces];
    TPieceData pieces[kRunPieces];
    for (uint32_t done = 0; done < count;) {
        const uint32_t inRun = std::min(perRun, count - done);
        const uint32_t runFirst = first + done;
        ReadRun(ha, layout, runFirst, inRun, buffer.get(), readErrors);
        size_t nRead = 0;
        for (uint32_t n = 0; n < inRun; n++) {
            if (readErrors[n] != ERROR_SUCCESS) continue;
            pieces[nRead].pbData = buffer.get() + static_cast<size_t>(n) * layout.dwPieceSize;
            pieces[nRead].cbData = PieceLength(layout, runFirst + n);
            nRead++;
        }
        HashPieces(pieces, nRead);
        size_t hashed = 0;
        for (uint32_t n = 0; n < inRun; n++) {
            uint8_t* pState = pStates != nullptr ? pStates + done + n : nullptr;
            if (readErrors[n] != ERROR_SUCCESS) {
                // Not read: bad, and the map keeps what it knew.
                if (pState != nullptr) *pState = NQOV_PIECE_BAD;
                failure = readErrors[n];
                continue;
            }
            const uint32_t error = RecordPiece(ha, runFirst + n, pieces[hashed++].digest, pState);
            if (error != ERROR_SUCCESS) failure = error;
        }
        done += inRun;
    }
    return failure;
}

// Whether the request for a piece write is one the archive takes; if not,
// the piece is marked failed (and bad in the map, as
// SFileWritePieceVerified does).
bool AcceptWrite(TNQOVArchiveImpl* ha, const TPieceLayout& layout, QOV_PIECE_WRITE& piece) {
    uint32_t error = ERROR_SUCCESS;
    if (piece.pvData == nullptr) {
        error = ERROR_INVALID_PARAMETER;
    } else if (piece.dwIndex >= layout.dwPieceCount) {
        error = ERROR_ACCESS_DENIED;
    } else if (piece.dwLength != PieceLength(layout, piece.dwIndex)) {
        error = piece.dwIndex + 1 == layout.dwPieceCount ? ERROR_FILE_CORRUPT : ERROR_FILE_INVALID;
    }
    if (error == ERROR_SUCCESS) return true;
    piece.dwResult = QOV_PIECE_FAILED;
    piece.dwError = error;
    ha->StateMap.Record(piece.dwIndex, NQOV_PIECE_BAD);
    return false;
}

// A hashed piece: written when its digest matches the table.
bool StoreVerified(TNQOVArchiveImpl* ha, QOV_PIECE_WRITE& piece, const uint8_t* digest) {
    if (!DigestMatchesTable(ha, piece.dwIndex, digest)) {
        // A mismatch leaves no error; a table that cannot be read does.
        const uint32_t error = QOVGetLastError();
        piece.dwResult = error == ERROR_SUCCESS ? QOV_PIECE_BAD_DIGEST : QOV_PIECE_FAILED;
        piece.dwError = error;
        ha->StateMap.Record(piece.dwIndex, NQOV_PIECE_BAD);
        return false;
    }
    const uint64_t position = static_cast<uint64_t>(piece.dwIndex) * ha->Header.dwMD5PieceSize;
    const uint32_t error = WriteArchiveBytes(ha, position, piece.pvData, piece.dwLength);
    piece.dwResult = error == ERROR_SUCCESS ? QOV_PIECE_WRITTEN : QOV_PIECE_FAILED;
    piece.dwError = error;
    ha->StateMap.Record(piece.dwIndex, error == ERROR_SUCCESS ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD);
    return error == ERROR_SUCCESS;
}

}  // namespace

bool SFileVerifyPieces(TNQOVArchive* haIn, uint32_t dwFirstPiece, uint32_t dwPieceCount, uint8_t* pStates) {
    const TQOVEntryDetail detail("[%u] [%u]", dwFirstPiece, dwPieceCount);
    return QOVEnter(QOV_HERE_WITH(detail.Text()), haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        TPieceLayout layout;
        QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "no piece layout", ERROR_FILE_CORRUPT, false);
        QOV_FAIL_IF(dwFirstPiece > layout.dwPieceCount || dwPieceCount > layout.dwPieceCount - dwFirstPiece,
                    "pieces outside the archive", ERROR_INVALID_PARAMETER, false);
        if (dwPieceCount == 0) return true;
        const uint32_t failure = layout.dwPieceSize > kRunBytes
                                     ? VerifyLargePieces(ha, layout, dwFirstPiece, dwPieceCount, pStates)
                                     : VerifyPieceRuns(ha, layout, dwFirstPiece, dwPieceCount, pStates);
        QOV_FAIL_IF(failure != ERROR_SUCCESS, "a piece does not verify", failure, false);
        return true;
    });
}

bool SFileWritePiecesVerified(TNQOVArchive* haIn, QOV_PIECE_WRITE* pPieces, uint32_t dwCount) {
    const TQOVEntryDetail detail("[%u]", dwCount);
    return QOVEnter(QOV_HERE_WITH(detail.Text()), haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pPieces == nullptr && dwCount > 0, "no pieces", ERROR_INVALID_PARAMETER, false);
        TPieceLayout layout;
        QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "no piece layout", ERROR_FILE_CORRUPT, false);
        std::vector<std::array<uint8_t, 16>> digests(dwCount);
        TMD5Multi engine;
        TMD5Job done[kMD5MaxLanes];
        bool all = true;
        uint32_t lastError = ERROR_SUCCESS;
        uint32_t next = 0;
        for (;;) {
            // Every free lane takes the next piece; each piece is written
            // the moment its digest is in.
            while (next < dwCount) {
                QOV_PIECE_WRITE& piece = pPieces[next];
                piece.dwResult = QOV_PIECE_FAILED;
                piece.dwError = ERROR_SUCCESS;
                if (!AcceptWrite(ha, layout, piece)) {
                    all = false;
                    lastError = piece.dwError;
                    next++;
                    continue;
                }
                TMD5Job job;
                job.pvData = piece.pvData;
                job.cbData = piece.dwLength;
                job.pbDigest = digests[next].data();
                job.pvUser = &piece;
                if (!engine.Add(job)) break;
                next++;
            }
            const unsigned finished = engine.Run(done);
            if (finished == 0 && next >= dwCount) break;
            for (unsigned n = 0; n < finished; n++) {
                QOV_PIECE_WRITE& piece = *static_cast<QOV_PIECE_WRITE*>(done[n].pvUser);
                if (StoreVerified(ha, piece, done[n].pbDigest)) continue;
                all = false;
                if (piece.dwError != ERROR_SUCCESS) lastError = piece.dwError;
            }
        }
        QOV_FAIL_IF(!all, "not every piece was written", lastError, false);
        return true;
    });
}
