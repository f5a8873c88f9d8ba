// QOVCreateArchive.cpp - creating a new, empty archive.

#include "write/QOVWrite.h"

namespace {

// The defaults of SFileInitCreateParams: 4 KiB sectors and 1 MiB pieces.
const uint16_t kDefaultSectorShift = 3;
const uint32_t kDefaultPieceSize = 1024 * 1024;

// The largest header offset a new archive may have.
const uint64_t kMaxHeaderOffset = static_cast<uint64_t>(1) << 48;

}  // namespace

void SFileInitCreateParams(QOV_CREATE_PARAMS* pParams, uint32_t dwMaxFileCount) {
    if (pParams == nullptr) return;
    pParams->dwMaxFileCount = dwMaxFileCount;
    pParams->wSectorSize = kDefaultSectorShift;
    pParams->wFormatVersion = 0;
    pParams->dwMD5PieceSize = kDefaultPieceSize;
    pParams->dwRawChunkSize = 0;
    pParams->qwHeaderOffset = 0;
}

bool SFileCreateArchive(const char* szArchiveName, const QOV_CREATE_PARAMS* pParams,
                        TNQOVArchive** phArchive) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        if (phArchive != nullptr) *phArchive = nullptr;
        QOV_FAIL_IF(
            szArchiveName == nullptr || *szArchiveName == 0 || pParams == nullptr || phArchive == nullptr,
            "invalid parameter", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(pParams->dwMaxFileCount == 0 || pParams->dwMaxFileCount > NQOV_MAX_FILE_COUNT ||
                        pParams->wSectorSize > QOV_MAX_SECTOR_SHIFT || pParams->dwMD5PieceSize == 0 ||
                        pParams->dwMD5PieceSize > NQOV_MAX_PIECE_SIZE ||
                        pParams->qwHeaderOffset % QOV_HEADER_ALIGNMENT != 0 ||
                        pParams->qwHeaderOffset > kMaxHeaderOffset,
                    "invalid creation parameters", ERROR_INVALID_PARAMETER, false);
        QOVPrepareCipherTable();

        std::unique_ptr<TNQOVArchiveImpl> ha = QOVNew<TNQOVArchiveImpl>();
        QOV_FAIL_IF(!ha, "no memory for the archive", ERROR_NOT_ENOUGH_MEMORY, false);
        ha->pHetTable = CreateHetTable(pParams->dwMaxFileCount);
        QOV_FAIL_IF(!ha->pHetTable, "CreateHetTable failed", ERROR_NOT_ENOUGH_MEMORY, false);

        TFileStreamImpl* stream = FileStream_CreateNew(szArchiveName);
        if (stream == nullptr) {
            const uint32_t error = QOVGetLastError();
            QOV_FAIL("FileStream_CreateNew failed", error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error,
                     false);
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
        ha->dwSectorBytes = QOV_MIN_SECTOR_SIZE << pParams->wSectorSize;
        ha->dwFileFlags1 = ha->dwFileFlags2 = QOV_LISTFILE_FLAGS;
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
