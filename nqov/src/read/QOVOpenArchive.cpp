// QOVOpenArchive.cpp - opening an archive: finding its header, loading and
// checking its tables; closing it; and the figures of an open archive.

#include "read/QOVRead.h"

#include "common/QOVFileStreamBackend.h"
#include "verify/QOVVerify.h"

#include <algorithm>

namespace {

const uint32_t kHeaderSearchStep = 512;
const uint32_t kBuildDirTreeFailed = 2000000006;

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
        const uint32_t toRead =
            static_cast<uint32_t>(std::min<uint64_t>(left, block.size()));
        uint64_t position = blockStart;
        if (!FileStream_Read(ha->pStream.get(), &position, block.data(), toRead))
            return QOVGetLastError();
        for (uint32_t offset = 0; offset < kBlock && offset < toRead; offset += kHeaderSearchStep) {
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
    if (!CheckedAdd64(header.MD5TablePos64, readSize, &end) || end > fileSize)
        return ERROR_FILE_CORRUPT;
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
    if (!CheckedAdd64(header.BitmapPos64, static_cast<uint32_t>(header.BitmapSize64), &end) ||
        end > fileSize)
        return ERROR_FILE_CORRUPT;
    return ERROR_SUCCESS;
}

#define OPEN_FAIL(code)                                   \
    do {                                                  \
        const uint32_t openError_ = (code);               \
        QOV_LOG_ERROR_AS("SFileOpenArchive", " failed", openError_); \
        QOVSetLastError(openError_);                      \
        return false;                                     \
    } while (0)

bool OpenArchiveSteps(TNQOVArchiveImpl* ha, uint32_t dwFlags) {
    uint64_t fileSize = 0;
    if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) OPEN_FAIL(QOVGetLastError());
    if (ha->pStream->dwFlags & STREAM_FLAG_READ_ONLY) ha->dwFlags |= NQOV_FLAG_READ_ONLY;

    uint32_t error = FindHeader(ha, fileSize);
    if (error != ERROR_SUCCESS) OPEN_FAIL(error);

    ha->dwFileFlags1 = ha->dwFileFlags2 = NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS;
    const uint32_t sectorShift = ha->Header.wSectorSize & 31;
    const uint64_t sectorBytes = static_cast<uint64_t>(512) << sectorShift;
    if (sectorBytes > UINT32_MAX) OPEN_FAIL(ERROR_FILE_CORRUPT);
    ha->dwSectorBytes = static_cast<uint32_t>(sectorBytes);

    const TQOVHeader& header = ha->Header;
    if ((header.HetTablePos64 != 0 && PositionBeyondFile(ha->HeaderOffset, header.HetTablePos64, fileSize)) ||
        (header.BetTablePos64 != 0 && PositionBeyondFile(ha->HeaderOffset, header.BetTablePos64, fileSize)))
        OPEN_FAIL(ERROR_BAD_FORMAT);

    error = ReadSlotTable(ha);
    if (error != ERROR_SUCCESS) OPEN_FAIL(error == ERROR_NOT_ENOUGH_MEMORY ? error : ERROR_FILE_CORRUPT);

    error = BuildRecordTable(ha);
    if (error != ERROR_SUCCESS) {
        if (error != ERROR_NOT_ENOUGH_MEMORY) {
            ha->dwFlags |= NQOV_FLAG_READ_ONLY;
            error = ERROR_FILE_CORRUPT;
        }
        OPEN_FAIL(error);
    }

    error = CheckRecordsInsideFile(ha, fileSize);
    if (error != ERROR_SUCCESS) OPEN_FAIL(error);
    error = CheckPieceLayout(ha, fileSize);
    if (error != ERROR_SUCCESS) OPEN_FAIL(error);
    error = CheckBitmapInsideFile(header, fileSize);
    if (error != ERROR_SUCCESS) OPEN_FAIL(error);

    SFileAddListFile(ha);

    if (!buildDirTree(ha)) {
        if (QOVLogEnabled())
            QOVLogFormat("[error QOV2LOG]%d [%s] [result]:buildDirTree failed;[code]:%d\n", __LINE__,
                         "SFileOpenArchive", static_cast<int>(kBuildDirTreeFailed));
        // A failed open always carries a reason.
        QOVSetLastError(ERROR_FILE_CORRUPT);
        return false;
    }

    if (header.BitmapPos64 != 0 && header.BitmapSize64 != 0) {
        uint32_t mapSize = 0;
        if (SFileGetBitmap(ha, &mapSize) == nullptr) {
            const uint32_t mapError = QOVGetLastError();
            OPEN_FAIL(mapError != ERROR_SUCCESS ? mapError : ERROR_FILE_CORRUPT);
        }
    }

    if (!CheckPieceTableDigest(ha)) {
        if (QOVLogEnabled())
            QOVLogFormat("[error QOV2LOG]%d [%s] [result]:verify_file_md5 failed;[code]:%d\n",
                         __LINE__, "SFileOpenArchive", 0);
        QOVSetLastError(ERROR_FILE_CORRUPT);
        return false;
    }

    ha->dwOpenParameter = dwFlags;
    return true;
}

}  // namespace

//-----------------------------------------------------------------------------
// Opening.

bool OpenArchiveOnStream(TFileStream* pStream, TNQOVArchive** phArchive, uint32_t dwFlags) {
    TFileStreamPtr stream(Impl(pStream));
    *phArchive = nullptr;
    QOVPrepareCipherTable();
    std::unique_ptr<TNQOVArchiveImpl> ha(new (std::nothrow) TNQOVArchiveImpl());
    if (!ha) OPEN_FAIL(ERROR_NOT_ENOUGH_MEMORY);
    ha->pStream = std::move(stream);
    if (!OpenArchiveSteps(ha.get(), dwFlags)) return false;
    *phArchive = ha.release();
    return true;
}

bool SFileOpenArchive(const char* szArchiveName, TNQOVArchive** phArchive, uint32_t dwFlags) {
    QOV_OPERATION("SFileOpenArchive");
    return QOVGuard(false, [&]() -> bool {
        if (QOVLogEnabled())
            QOVLogFormat("[debug QOV2LOG]%d [%s] [%s] [%d]\n", __LINE__, QOV_FUNC,
                         szArchiveName != nullptr ? szArchiveName : "", 0);
        if (phArchive != nullptr) *phArchive = nullptr;
        QOV_FAIL_IF(szArchiveName == nullptr || *szArchiveName == 0 || phArchive == nullptr,
                    "Verify the parameters failed", ERROR_INVALID_PARAMETER, false);
        QOVPrepareCipherTable();
        const bool writable = (dwFlags & NQOV_OPEN_READ_ONLY) == 0;
        TFileStreamImpl* stream = Impl(FileStream_OpenFile(szArchiveName, writable));
        if (stream == nullptr) OPEN_FAIL(QOVGetLastError());
        uint64_t start = 0;
        uint8_t none = 0;
        FileStream_Read(stream, &start, &none, 0);
        return OpenArchiveOnStream(stream, phArchive, dwFlags);
    });
}

bool OpenArchiveIfWritable(TNQOVArchive** phArchive, const char* szArchiveName) {
    if (phArchive == nullptr || *phArchive != nullptr || szArchiveName == nullptr) return false;
    intptr_t hFile = qovfs::kInvalidHandle;
    if (!qovfs::OpenHandle(szArchiveName, qovfs::OpenMode::ExclusiveWrite, &hFile)) return false;
    qovfs::CloseHandle(hFile);
    return SFileOpenArchive(szArchiveName, phArchive, 0);
}

//-----------------------------------------------------------------------------
// Closing.

bool SFileCloseArchive(TNQOVArchive* haIn, bool bFlush) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    if (ha == nullptr) return true;
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, false);
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
    if (!result) {
        QOV_LOG_ERROR(" failed", error);
        QOVSetLastError(error);
    }
    return result;
}
//-----------------------------------------------------------------------------
// Figures.

bool SFileGetArchiveInfo(TNQOVArchive* haIn, QOV_ARCHIVE_INFO* pInfo) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, false);
    QOV_FAIL_IF(pInfo == nullptr, "invalid parameter", ERROR_INVALID_PARAMETER, false);
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
    return true;
}

uint32_t SFileGetRecordCount(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, NQOV_INVALID_SIZE);
    return ha->dwFileTableSize;
}

bool SFileGetRecordInfo(TNQOVArchive* haIn, uint32_t dwIndex, QOV_RECORD_INFO* pInfo) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileGetRecordInfo");
    return QOVGuard(false, [&]() -> bool {
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, false);
        QOV_FAIL_IF(pInfo == nullptr || dwIndex >= ha->dwFileTableSize, "invalid parameter",
                    ERROR_INVALID_PARAMETER, false);
        TFileEntryImpl& entry = ha->Records[dwIndex];
        if (entry.ha == nullptr) entry.ha = ha;
        pInfo->szFileName = GetRecordName(&entry);
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
