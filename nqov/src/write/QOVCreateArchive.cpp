// QOVCreateArchive.cpp - creating a new, empty archive.

#include "write/QOVWrite.h"

void SFileInitCreateParams(QOV_CREATE_PARAMS* pParams, uint32_t dwMaxFileCount) {
    if (pParams == nullptr) return;
    pParams->dwMaxFileCount = dwMaxFileCount;
    pParams->wSectorSize = 3;
    pParams->wFormatVersion = 0;
    pParams->dwMD5PieceSize = 1024 * 1024;
    pParams->dwRawChunkSize = 0;
    pParams->qwHeaderOffset = 0;
}

bool SFileCreateArchive(const char* szArchiveName, const QOV_CREATE_PARAMS* pParams,
                        TNQOVArchive** phArchive) {
    QOV_OPERATION("SFileCreateArchive");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        if (phArchive != nullptr) *phArchive = nullptr;
        QOV_FAIL_IF(szArchiveName == nullptr || *szArchiveName == 0 || pParams == nullptr ||
                        phArchive == nullptr,
                    "invalid parameter", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(pParams->dwMaxFileCount == 0 || pParams->dwMaxFileCount > NQOV_MAX_FILE_COUNT ||
                        pParams->wSectorSize > 22 || pParams->dwMD5PieceSize == 0 ||
                        pParams->dwMD5PieceSize > NQOV_MAX_PIECE_SIZE ||
                        pParams->qwHeaderOffset % 512 != 0 ||
                        pParams->qwHeaderOffset > (static_cast<uint64_t>(1) << 48),
                    "invalid creation parameters", ERROR_INVALID_PARAMETER, false);
        QOVPrepareCipherTable();

        std::unique_ptr<TNQOVArchiveImpl> ha(new TNQOVArchiveImpl());
        ha->pHetTable = CreateHetTable(pParams->dwMaxFileCount);
        QOV_FAIL_IF(!ha->pHetTable, "CreateHetTable failed", ERROR_NOT_ENOUGH_MEMORY, false);

        TFileStreamImpl* stream = FileStream_CreateNew(szArchiveName);
        if (stream == nullptr) {
            const uint32_t error = QOVGetLastError();
            QOV_FAIL("FileStream_CreateNew failed",
                     error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error, false);
        }
        ha->pStream.reset(stream);

        TQOVHeader& header = ha->Header;
        header.dwID = NQOV_HEADER_SIGNATURE;
        header.HeaderSize = NQOV_HEADER_SIZE;
        header.wFormatVersion = pParams->wFormatVersion;
        header.wSectorSize = pParams->wSectorSize;
        header.dwMD5PieceSize = pParams->dwMD5PieceSize;
        header.dwRawChunkSize = pParams->dwRawChunkSize;
        ha->pHeader = &header;
        ha->HeaderOffset = ha->UserDataOffset = pParams->qwHeaderOffset;
        ha->dwMaxFileCount = pParams->dwMaxFileCount;
        ha->dwSectorBytes = 512u << pParams->wSectorSize;
        ha->dwFileFlags1 = ha->dwFileFlags2 =
            NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS;
        ha->dwFlags = NQOV_FLAG_CHANGED;

        const uint32_t error = WriteArchiveTables(ha.get());
        if (error != ERROR_SUCCESS) {
            ha.reset();
            QOV_FAIL("WriteArchiveTables failed", error, false);
        }
        *phArchive = ha.release();
        return true;
    });
}
