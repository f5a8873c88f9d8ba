// QOVEntryIface.cpp - records and open files as a host sees them through
// virtual dispatch.

#include "iface/QOVIface.h"

#include "verify/QOVVerify.h"

const char kNoName[] = "Failed To Get Name";

uint32_t Flag30Of(const TFileEntryImpl* entry) {
    if (entry == nullptr) return NQOV_FLAG30_NO_RECORD;
    return (entry->dwFlags & NQOV_FILE_FLAG_30) ? 1 : 0;
}

//-----------------------------------------------------------------------------
// Records.

const uint8_t* TFileEntryImpl::GetMD5() { return ContentMD5; }
uint32_t TFileEntryImpl::GetFileSize() { return dwFileSize; }
uint32_t TFileEntryImpl::GetCompressedSize() { return dwStoredSize; }
const char* TFileEntryImpl::GetFileName() {
    return QOVEnter<const char*>(QOV_HERE, kNoName, [&]() -> const char* {
        const char* name = GetRecordName(this);
        QOV_FAIL_IF(name == nullptr, "no memory for the pseudo name", ERROR_NOT_ENOUGH_MEMORY, kNoName);
        return name;
    });
}
bool TFileEntryImpl::IsDirectory() { return (dwFlags & NQOV_FILE_DIRECTORY) != 0; }
uint64_t TFileEntryImpl::GetFilePosition() { return ha->HeaderOffset + StoredOffset; }
TNQOVArchive* TFileEntryImpl::GetArchive() { return ha; }
uint32_t TFileEntryImpl::GetPieceCount() { return RecordPieceRange(ha, this).dwPieceCount; }
uint32_t TFileEntryImpl::GetFirstPiece() { return RecordPieceRange(ha, this).dwFirstPiece; }
uint32_t TFileEntryImpl::GetPieceSize() { return ha->Header.dwMD5PieceSize; }
uint32_t TFileEntryImpl::GetLastPieceSize() { return RecordPieceRange(ha, this).dwLastPieceSize; }
uint32_t TFileEntryImpl::GetFileId() { return dwFileId; }
uint32_t TFileEntryImpl::IsFlag30() { return Flag30Of(this); }

//-----------------------------------------------------------------------------
// Open files.

bool TNQOVFileImpl::Read(void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces) {
    return SFileReadFile(this, pvBuffer, dwToRead, pdwRead, bCheckPieces);
}

bool TNQOVFileImpl::SeekFile(int32_t lOffset, uint32_t dwMoveMethod) {
    QOV_FAIL_IF(dwMoveMethod > NQOV_FILE_END, "unknown move method", ERROR_INVALID_PARAMETER, false);
    // A position outside the file is refused by SFileSetFilePointer.
    return SFileSetFilePointer(this, lOffset, dwMoveMethod) != NQOV_INVALID_SIZE ||
           QOVGetLastError() == ERROR_SUCCESS;
}

bool TNQOVFileImpl::NotSupported2() {
    QOV_UNSUPPORTED();
    return false;
}
bool TNQOVFileImpl::NotSupported3() {
    QOV_UNSUPPORTED();
    return false;
}
bool TNQOVFileImpl::NotSupported4() {
    QOV_UNSUPPORTED();
    return false;
}
bool TNQOVFileImpl::NotSupported14() {
    QOV_UNSUPPORTED();
    return false;
}
bool TNQOVFileImpl::NotSupported15() {
    QOV_UNSUPPORTED();
    return false;
}

uint64_t TNQOVFileImpl::GetPieceEnd() {
    const TPieceRange range = RecordPieceRange(ha, pFileEntry);
    const uint64_t pieceSize = ha->Header.dwMD5PieceSize;
    if (range.dwPieceCount == 0) return range.dwFirstPiece * pieceSize;
    return (static_cast<uint64_t>(range.dwFirstPiece) + range.dwPieceCount - 1) * pieceSize +
           range.dwLastPieceSize;
}

uint64_t TNQOVFileImpl::GetPieceStart() {
    return static_cast<uint64_t>(RecordPieceRange(ha, pFileEntry).dwFirstPiece) * ha->Header.dwMD5PieceSize;
}

TFileEntry* TNQOVFileImpl::GetFileEntry() { return pFileEntry; }
uint32_t TNQOVFileImpl::GetFirstPiece() { return RecordPieceRange(ha, pFileEntry).dwFirstPiece; }
uint32_t TNQOVFileImpl::GetPieceCount() { return RecordPieceRange(ha, pFileEntry).dwPieceCount; }
uint32_t TNQOVFileImpl::GetLastPieceSize() { return RecordPieceRange(ha, pFileEntry).dwLastPieceSize; }
uint32_t TNQOVFileImpl::GetPieceSize() { return ha->Header.dwMD5PieceSize; }
const char* TNQOVFileImpl::GetArchiveFileName() { return ha->pStream->szFileName; }
uint64_t TNQOVFileImpl::GetRawPosition() { return qwStoredStart; }
TNQOVArchive* TNQOVFileImpl::GetArchive() { return ha; }
uint32_t TNQOVFileImpl::GetFileSize() { return pFileEntry->dwFileSize; }

uint64_t TNQOVFileImpl::GetStoredSize() {
    return pFileEntry->dwStoredSize + ChunkDigestBytes(ha, pFileEntry->dwStoredSize);
}

uint32_t TNQOVFileImpl::IsFlag30() { return Flag30Of(pFileEntry); }
