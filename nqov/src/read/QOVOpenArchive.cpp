// QOVOpenArchive.cpp - opening an archive: finding its header, loading and
// checking its tables; closing it; and the figures of an open archive.

#include "read/QOVRead.h"

#include "common/QOVFileStreamBackend.h"
#include "verify/QOVVerify.h"

#include <algorithm>

namespace {

bool HeaderDigestMatches(const uint8_t* pbRaw, const TQOVHeader& header) {
    if (header.wFormatVersion != 0 || IsZeroDigest(header.MD5_QOVHeader)) return true;
    uint8_t digest[16];
    QOVMD5(pbRaw, QOV_HEADER_DIGEST_OFFSET, digest);
    return memcmp(digest, header.MD5_QOVHeader, 16) == 0;
}

// Looks for the signature at 0, 512, 1024, ... below the file size.  Reads
// in blocks; every candidate sees min(172, bytes left) bytes and zeros after.
uint32_t FindHeader(TNQOVArchiveImpl* ha, uint64_t fileSize) {
    const uint32_t kBlock = 64 * 1024;
    std::vector<uint8_t> block(kBlock + NQOV_HEADER_SIZE);
    for (uint64_t blockStart = 0; blockStart < fileSize; blockStart += kBlock) {
        const uint64_t left = fileSize - blockStart;
        const uint32_t toRead = static_cast<uint32_t>(std::min<uint64_t>(left, block.size()));
        uint64_t position = blockStart;
        if (!FileStream_Read(ha->pStream.get(), &position, block.data(), toRead)) return QOVGetLastError();
        for (uint32_t offset = 0; offset < kBlock && offset < toRead; offset += QOV_HEADER_ALIGNMENT) {
            if (toRead - offset < 4 || ReadLE32(&block[offset]) != NQOV_HEADER_SIGNATURE) continue;
            uint8_t raw[NQOV_HEADER_SIZE] = {};
            memcpy(raw, &block[offset], std::min<uint32_t>(NQOV_HEADER_SIZE, toRead - offset));
            ParseHeader(raw, &ha->Header);
            ha->HeaderOffset = ha->UserDataOffset = blockStart + offset;
            ha->pHeader = &ha->Header;
            return HeaderDigestMatches(raw, ha->Header) ? ERROR_SUCCESS : ERROR_FILE_CORRUPT;
        }
    }
    return ERROR_BAD_FORMAT;
}

bool PositionBeyondFile(uint64_t headerOffset, uint64_t relPos, uint64_t fileSize) {
    uint64_t position = 0;
    return !CheckedAdd64(headerOffset, relPos, &position) || position > fileSize;
}

uint32_t CheckRecordsInsideFile(TNQOVArchiveImpl* ha, uint64_t fileSize) {
    for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
        const TFileEntryImpl& entry = ha->Records[i];
        if (!entry.Exists()) continue;
        uint64_t start = 0, end = 0;
        if (!CheckedAdd64(ha->HeaderOffset, entry.StoredOffset, &start) ||
            !CheckedAdd64(start, entry.dwStoredSize, &end) || start > fileSize || end > fileSize)
            return ERROR_FILE_CORRUPT;
    }
    return ERROR_SUCCESS;
}

// Piece size, piece count and MD5 piece table must agree before any piece
// operation can trust them.
uint32_t CheckPieceLayout(TNQOVArchiveImpl* ha, uint64_t fileSize) {
    const TQOVHeader& header = ha->Header;
    if (header.dwMD5PieceSize == 0) return ERROR_FILE_CORRUPT;
    const uint64_t pieces = (header.ArchieveSize + header.dwMD5PieceSize - 1) / header.dwMD5PieceSize;
    if (pieces > UINT32_MAX) return ERROR_FILE_CORRUPT;
    const uint32_t tableSize = static_cast<uint32_t>(header.MD5TableSize64);
    if (tableSize / 16 < pieces + 1 && tableSize >= 32) return ERROR_FILE_CORRUPT;
    uint64_t end = 0;
    const uint32_t readSize = std::max<uint32_t>(tableSize, 32);
    if (!CheckedAdd64(header.MD5TablePos64, readSize, &end) || end > fileSize) return ERROR_FILE_CORRUPT;
    if (tableSize < 32 && pieces > 0) return ERROR_FILE_CORRUPT;
    return ERROR_SUCCESS;
}

// Reads max(MD5TableSize64, 32) bytes at MD5TablePos64 and checks that the
// last 16 are the MD5 of the others.
bool CheckPieceTableDigest(TNQOVArchiveImpl* ha) {
    const uint32_t readSize = std::max<uint32_t>(static_cast<uint32_t>(ha->Header.MD5TableSize64), 32);
    std::unique_ptr<uint8_t[]> table = QOVAllocArray<uint8_t>(readSize);
    if (!table) return false;
    uint64_t position = ha->Header.MD5TablePos64;
    if (!FileStream_Read(ha->pStream.get(), &position, table.get(), readSize)) return false;
    uint8_t digest[16];
    QOVMD5(table.get(), readSize - 16, digest);
    return memcmp(digest, table.get() + readSize - 16, 16) == 0;
}

uint32_t CheckBitmapInsideFile(const TQOVHeader& header, uint64_t fileSize) {
    if (header.BitmapPos64 == 0 || header.BitmapSize64 == 0) return ERROR_SUCCESS;
    uint64_t end = 0;
    if (!CheckedAdd64(header.BitmapPos64, static_cast<uint32_t>(header.BitmapSize64), &end) || end > fileSize)
        return ERROR_FILE_CORRUPT;
    return ERROR_SUCCESS;
}

bool OpenArchiveSteps(TNQOVArchiveImpl* ha, uint32_t dwFlags) {
    uint64_t fileSize = 0;
    QOV_FAIL_IF(!FileStream_SizeOf(ha->pStream.get(), &fileSize), "the file's size is unknown",
                QOVGetLastError(), false);
    if (ha->pStream->dwFlags & STREAM_FLAG_READ_ONLY) ha->dwFlags |= NQOV_FLAG_READ_ONLY;

    uint32_t error = FindHeader(ha, fileSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "no valid header", error, false);

    ha->dwFileFlags1 = ha->dwFileFlags2 = QOV_LISTFILE_FLAGS;
    const uint32_t sectorShift = ha->Header.wSectorSize & QOV_SECTOR_SHIFT_MASK;
    const uint64_t sectorBytes = static_cast<uint64_t>(QOV_MIN_SECTOR_SIZE) << sectorShift;
    QOV_FAIL_IF(sectorBytes > UINT32_MAX, "the sector size is too large", ERROR_FILE_CORRUPT, false);
    ha->dwSectorBytes = static_cast<uint32_t>(sectorBytes);

    const TQOVHeader& header = ha->Header;
    if ((header.HetTablePos64 != 0 && PositionBeyondFile(ha->HeaderOffset, header.HetTablePos64, fileSize)) ||
        (header.BetTablePos64 != 0 && PositionBeyondFile(ha->HeaderOffset, header.BetTablePos64, fileSize)))
        QOV_FAIL("a table lies beyond the file", ERROR_BAD_FORMAT, false);

    error = ReadSlotTable(ha);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "the HET table cannot be read",
                error == ERROR_NOT_ENOUGH_MEMORY ? error : ERROR_FILE_CORRUPT, false);

    error = BuildRecordTable(ha);
    if (error != ERROR_SUCCESS) {
        if (error != ERROR_NOT_ENOUGH_MEMORY) {
            ha->dwFlags |= NQOV_FLAG_READ_ONLY;
            error = ERROR_FILE_CORRUPT;
        }
        QOV_FAIL("the BET table cannot be read", error, false);
    }

    error = CheckRecordsInsideFile(ha, fileSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "a file's data lies beyond the archive", error, false);
    error = CheckPieceLayout(ha, fileSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "the pieces do not fit the piece table", error, false);
    error = CheckBitmapInsideFile(header, fileSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "the piece-state map lies beyond the file", error, false);

    SFileAddListFile(ha);

    QOV_FAIL_IF(!buildDirTree(ha), "a directory named by a record is missing", ERROR_FILE_CORRUPT, false);

    if (header.BitmapPos64 != 0 && header.BitmapSize64 != 0) {
        uint32_t mapSize = 0;
        if (SFileGetBitmap(ha, &mapSize) == nullptr) {
            const uint32_t mapError = QOVGetLastError();
            QOV_FAIL("the piece-state map cannot be read",
                     mapError != ERROR_SUCCESS ? mapError : ERROR_FILE_CORRUPT, false);
        }
    }

    QOV_FAIL_IF(!CheckPieceTableDigest(ha), "the MD5 piece table does not match its digest",
                ERROR_FILE_CORRUPT, false);

    ha->dwOpenParameter = dwFlags;
    return true;
}

void FillArchiveInfo(const TNQOVArchiveImpl* ha, QOV_ARCHIVE_INFO* pInfo) {
    const TQOVHeader& h = ha->Header;
    *pInfo = QOV_ARCHIVE_INFO();
    pInfo->HeaderOffset = ha->HeaderOffset;
    pInfo->HeaderSize = h.HeaderSize;
    pInfo->wFormatVersion = h.wFormatVersion;
    pInfo->wSectorSize = h.wSectorSize;
    pInfo->dwSectorBytes = ha->dwSectorBytes;
    pInfo->ArchieveSize = h.ArchieveSize;
    pInfo->HetTablePos64 = h.HetTablePos64;
    pInfo->HetTableSize64 = h.HetTableSize64;
    pInfo->BetTablePos64 = h.BetTablePos64;
    pInfo->BetTableSize64 = h.BetTableSize64;
    pInfo->MD5TablePos64 = h.MD5TablePos64;
    pInfo->MD5TableSize64 = h.MD5TableSize64;
    pInfo->BitmapPos64 = h.BitmapPos64;
    pInfo->BitmapSize64 = h.BitmapSize64;
    pInfo->dwMD5PieceSize = h.dwMD5PieceSize;
    pInfo->dwRawChunkSize = h.dwRawChunkSize;
    pInfo->dwMaxFileCount = ha->dwMaxFileCount;
    pInfo->dwFileTableSize = ha->dwFileTableSize;
    pInfo->dwHashTableSize = ha->pHetTable ? ha->pHetTable->dwHashTableSize : 0;
    pInfo->dwArchiveFlags = ha->dwFlags;
    memcpy(pInfo->MD5_PatchBaseTag, h.MD5_PatchBaseTag, 16);
    memcpy(pInfo->MD5_PatchedTag, h.MD5_PatchedTag, 16);
    memcpy(pInfo->MD5_BetTable, h.MD5_BetTable, 16);
    memcpy(pInfo->MD5_HetTable, h.MD5_HetTable, 16);
    memcpy(pInfo->MD5_QOVHeader, h.MD5_QOVHeader, 16);
}

}  // namespace

//-----------------------------------------------------------------------------
// Opening.

bool OpenArchiveOnStream(TFileStream* pStream, TNQOVArchive** phArchive, uint32_t dwFlags) {
    TFileStreamPtr stream(Impl(pStream));
    *phArchive = nullptr;
    QOVPrepareCipherTable();
    std::unique_ptr<TNQOVArchiveImpl> ha = QOVNew<TNQOVArchiveImpl>();
    QOV_FAIL_IF(!ha, "no memory for the archive", ERROR_NOT_ENOUGH_MEMORY, false);
    ha->pStream = std::move(stream);
    if (!OpenArchiveSteps(ha.get(), dwFlags)) return false;
    *phArchive = ha.release();
    return true;
}

bool SFileOpenArchive(const char* szArchiveName, TNQOVArchive** phArchive, uint32_t dwFlags) {
    const TQOVEntryDetail detail("[%s] [%d]", szArchiveName != nullptr ? szArchiveName : "", 0);
    return QOVEnter(QOV_HERE_WITH(detail.Text()), false, [&]() -> bool {
        if (phArchive != nullptr) *phArchive = nullptr;
        QOV_FAIL_IF(szArchiveName == nullptr || *szArchiveName == 0 || phArchive == nullptr,
                    "Verify the parameters failed", ERROR_INVALID_PARAMETER, false);
        QOVPrepareCipherTable();
        const bool writable = (dwFlags & NQOV_OPEN_READ_ONLY) == 0;
        TFileStreamImpl* stream = Impl(FileStream_OpenFile(szArchiveName, writable));
        QOV_FAIL_IF(stream == nullptr, "the file cannot be opened", QOVGetLastError(), false);
        uint64_t start = 0;
        uint8_t none = 0;
        FileStream_Read(stream, &start, &none, 0);
        return OpenArchiveOnStream(stream, phArchive, dwFlags);
    });
}

bool OpenArchiveIfWritable(TNQOVArchive** phArchive, const char* szArchiveName) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        if (phArchive == nullptr || *phArchive != nullptr || szArchiveName == nullptr) return false;
        intptr_t hFile = qovfs::kInvalidHandle;
        if (!qovfs::OpenHandle(szArchiveName, qovfs::OpenMode::ExclusiveWrite, &hFile)) return false;
        qovfs::CloseFile(hFile);
        return SFileOpenArchive(szArchiveName, phArchive, 0);
    });
}

//-----------------------------------------------------------------------------
// Closing.

bool SFileCloseArchive(TNQOVArchive* haIn, bool bFlush) {
    if (haIn == nullptr) return true;  // closing nothing succeeds
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(ha->pChainOwner != ha, "a patch archive closes with its base", ERROR_INVALID_HANDLE,
                    false);
        bool result = true;
        uint32_t error = ERROR_SUCCESS;
        if (bFlush) {
            // Only the writer changes an archive: without one there is nothing to flush.
            const TArchiveWriter* writer = QOVWriter();
            result = writer == nullptr || writer->Flush(ha);
            if (!result) error = QOVGetLastError();
        }
        ReleaseArchive(ha);
        QOV_FAIL_IF(!result, "the flush failed", error, false);
        return true;
    });
}

//-----------------------------------------------------------------------------
// Figures.

bool SFileGetArchiveInfo(TNQOVArchive* haIn, QOV_ARCHIVE_INFO* pInfo) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pInfo == nullptr, "invalid parameter", ERROR_INVALID_PARAMETER, false);
        FillArchiveInfo(ha, pInfo);
        return true;
    });
}

uint32_t SFileGetRecordCount(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, NQOV_INVALID_SIZE,
                    [&](TNQOVArchiveImpl* ha) -> uint32_t { return ha->dwFileTableSize; });
}

bool SFileGetRecordInfo(TNQOVArchive* haIn, uint32_t dwIndex, QOV_RECORD_INFO* pInfo) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pInfo == nullptr || dwIndex >= ha->dwFileTableSize, "invalid parameter",
                    ERROR_INVALID_PARAMETER, false);
        TFileEntryImpl& entry = ha->Records[dwIndex];
        if (entry.ha == nullptr) entry.ha = ha;
        const char* name = GetRecordName(&entry);
        QOV_FAIL_IF(name == nullptr, "no memory for the pseudo name", ERROR_NOT_ENOUGH_MEMORY, false);
        pInfo->szFileName = name;
        pInfo->bNamed = entry.HasRealName();
        pInfo->NameHash64 = entry.NameHash64;
        pInfo->ParentNameHash = entry.ParentNameHash;
        pInfo->StoredOffset = entry.StoredOffset;
        pInfo->dwHetIndex = entry.dwHetIndex;
        pInfo->dwFileSize = entry.dwFileSize;
        pInfo->dwStoredSize = entry.dwStoredSize;
        pInfo->dwFlags = entry.dwFlags;
        memcpy(pInfo->ContentMD5, entry.ContentMD5, 16);
        return true;
    });
}
