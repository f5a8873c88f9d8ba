// QOVFilePieces.cpp - the pieces of one file: verifying them and naming
// their range.

#include "verify/QOVVerify.h"

namespace {

// Reads and verifies every piece a record's stored bytes touch, on the
// archive that holds it; true when all verified.
bool VerifyRecordPieces(TFileEntryImpl* pEntry) {
    TNQOVArchiveImpl* owner = pEntry->ha;
    const TPieceRange range = RecordPieceRange(owner, pEntry);
    TPieceLayout layout;
    QOV_FAIL_IF(!GetPieceLayout(owner, &layout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT, false);
    bool allGood = true;
    for (uint32_t i = 0; i < range.dwPieceCount; i++)
        if (!VerifyPieceOnDisk(owner, layout, range.dwFirstPiece + i)) allGood = false;
    return allGood;
}

}  // namespace

bool SFileVerifyFilePieceMD5FromFileTable(TNQOVArchive* haIn, uint32_t dwFileId) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr || entry->IsDirectory(), "invalid file id", ERROR_INVALID_PARAMETER,
                    false);
        return VerifyRecordPieces(entry);
    });
}

bool SFileVerifyFilePieceMD5(TNQOVArchive* haIn, const char* szFileName) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &hf)) return false;
        TFileEntryImpl* entry = Impl(hf)->pFileEntry;
        SFileCloseFile(hf);
        return VerifyRecordPieces(entry);
    });
}

bool SFilePathToPieceIndex(TNQOVArchive* haIn, const char* szFileName, uint32_t* pdwFirstPiece,
                           uint32_t* pdwPieceCount) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(
            szFileName == nullptr || *szFileName == 0 || pdwFirstPiece == nullptr || pdwPieceCount == nullptr,
            "invalid parameter", ERROR_INVALID_PARAMETER, false);
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &hf)) {
            QOV_LOG_ERROR("failed!", QOVGetLastError());
            return false;
        }
        const TPieceRange range = RecordPieceRange(Impl(hf)->ha, Impl(hf)->pFileEntry);
        SFileCloseFile(hf);
        *pdwFirstPiece = range.dwFirstPiece;
        *pdwPieceCount = range.dwPieceCount;
        return true;
    });
}
