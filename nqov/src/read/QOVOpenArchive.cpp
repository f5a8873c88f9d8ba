// QOVOpenArchive.cpp - creating, opening, flushing and closing archives, and
// the table writer that brings the tables, the MD5 piece table, the
// piece-state map and the header up to date.

#include "read/QOVArchive.h"
#include "common/QOVFileStreamBackend.h"

#include <algorithm>

namespace {

const uint32_t kHeaderSearchStep = 512;
const uint32_t kBuildDirTreeFailed = 2000000006;

//-----------------------------------------------------------------------------
// Header bytes.

enum : uint32_t {
    kHdrID = 0,
    kHdrHeaderSize = 4,
    kHdrFormatVersion = 8,
    kHdrSectorSize = 10,
    kHdrArchieveSize = 12,
    kHdrBetPos = 20,
    kHdrHetPos = 28,
    kHdrMD5TablePos = 36,
    kHdrBitmapPos = 44,
    kHdrHetSize = 52,
    kHdrBetSize = 60,
    kHdrMD5TableSize = 68,
    kHdrBitmapSize = 76,
    kHdrPieceSize = 84,
    kHdrRawChunkSize = 88,
    kHdrPatchBaseTag = 92,
    kHdrPatchedTag = 108,
    kHdrMD5Bet = 124,
    kHdrMD5Het = 140,
    kHdrMD5Header = 156,
};

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

//-----------------------------------------------------------------------------
// Table writer pieces.

// Writes the chunk digests of cbData bytes that start at qwPosition (absolute)
// right after them; *pcbDigests gets their size.
uint32_t WriteChunkDigests(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData,
                           uint64_t cbData, uint64_t* pcbDigests) {
    const uint32_t chunk = ha->Header.dwRawChunkSize;
    *pcbDigests = 0;
    if (chunk == 0 || cbData == 0) return ERROR_SUCCESS;
    const uint64_t chunks = (cbData + chunk - 1) / chunk;
    std::vector<uint8_t> digests(static_cast<size_t>(chunks * 16));
    for (uint64_t i = 0; i < chunks; i++) {
        const uint64_t start = i * chunk;
        QOVMD5(pbData + start, static_cast<size_t>(std::min<uint64_t>(chunk, cbData - start)),
               &digests[static_cast<size_t>(i * 16)]);
    }
    const uint32_t error =
        WriteArchiveBytes(ha, qwPosition + cbData, digests.data(), static_cast<uint32_t>(digests.size()));
    if (error != ERROR_SUCCESS) return error;
    *pcbDigests = digests.size();
    return ERROR_SUCCESS;
}

// Enciphers and writes one extended table at relative position *pqwPos.
uint32_t WriteExtTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>& table, uint32_t dwKey,
                       uint8_t digestOut[16], uint64_t* pqwPos, uint64_t* pqwTablePos,
                       uint64_t* pqwTableSize) {
    EncryptQOVBlock(table.data() + 12, table.size() - 12, dwKey);
    QOVMD5(table.data(), table.size(), digestOut);
    uint32_t error = WriteArchiveBytes(ha, ha->HeaderOffset + *pqwPos, table.data(),
                                       static_cast<uint32_t>(table.size()));
    if (error != ERROR_SUCCESS) return error;
    uint64_t digestBytes = 0;
    error =
        WriteChunkDigests(ha, ha->HeaderOffset + *pqwPos, table.data(), table.size(), &digestBytes);
    if (error != ERROR_SUCCESS) return error;
    *pqwTablePos = *pqwPos;
    *pqwTableSize = table.size();
    *pqwPos += table.size() + digestBytes;
    return ERROR_SUCCESS;
}

uint32_t WriteZeros(TNQOVArchiveImpl* ha, uint64_t qwFrom, uint64_t qwTo) {
    static const uint8_t zeros[4096] = {};
    while (qwFrom < qwTo) {
        const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(sizeof(zeros), qwTo - qwFrom));
        const uint32_t error = WriteArchiveBytes(ha, qwFrom, zeros, part);
        if (error != ERROR_SUCCESS) return error;
        qwFrom += part;
    }
    return ERROR_SUCCESS;
}

// MD5 of every piece of [0, E) plus the digest of the digests.
uint32_t BuildPieceTable(TNQOVArchiveImpl* ha, uint64_t qwEnd, uint32_t pieces,
                         std::unique_ptr<uint8_t[]>* pTable, uint32_t* pcbTable) {
    const uint32_t pieceSize = ha->Header.dwMD5PieceSize;
    const uint32_t tableSize = (pieces + 1) * 16;
    const uint32_t kChunk = 1024 * 1024;  // pieces are hashed in chunks of at most this
    std::unique_ptr<uint8_t[]> table = QOVAllocArray<uint8_t>(tableSize);
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(std::min(pieceSize, kChunk));
    if (!table || !buffer) return ERROR_NOT_ENOUGH_MEMORY;
    for (uint32_t i = 0; i < pieces; i++) {
        uint64_t position = static_cast<uint64_t>(i) * pieceSize;
        const uint64_t pieceEnd = std::min<uint64_t>(position + pieceSize, qwEnd);
        TMD5 md5;
        while (position < pieceEnd) {
            const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(kChunk, pieceEnd - position));
            uint64_t readAt = position;
            if (!FileStream_Read(ha->pStream.get(), &readAt, buffer.get(), part)) {
                const uint32_t error = QOVGetLastError();
                return error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE;
            }
            md5.Update(buffer.get(), part);
            position += part;
        }
        md5.Final(table.get() + static_cast<size_t>(i) * 16);
    }
    QOVMD5(table.get(), static_cast<size_t>(pieces) * 16, table.get() + static_cast<size_t>(pieces) * 16);
    *pTable = std::move(table);
    *pcbTable = tableSize;
    return ERROR_SUCCESS;
}

}  // namespace

// A map file-mapped from the old layout cannot follow a change of the
// archive (new data and tables are written over and past it, and the file is
// cut): keep a heap copy of its bytes instead.  Called before the first write
// of a change, so that the copy is taken while the mapped bytes are intact.
void DetachMappedBitmap(TNQOVArchiveImpl* ha) {
    if (ha->BitmapMapping.pvView == nullptr) return;
    std::unique_ptr<uint8_t[]> copy = QOVAllocArray<uint8_t>(ha->dwBitmapSize);
    if (copy && ha->pBitmap != nullptr) memcpy(copy.get(), ha->pBitmap, ha->dwBitmapSize);
    FileStream_UnmapView(&ha->BitmapMapping);
    ha->BitmapHeap = std::move(copy);
    ha->pBitmap = ha->BitmapHeap.get();
    if (ha->pBitmap == nullptr) ha->dwBitmapSize = 0;
    ha->bMapWritable = true;
}

//-----------------------------------------------------------------------------
// Header.

void ParseHeader(const uint8_t pbRaw[NQOV_HEADER_SIZE], TQOVHeader* pHeader) {
    TQOVHeader& h = *pHeader;
    h.dwID = ReadLE32(pbRaw + kHdrID);
    h.HeaderSize = ReadLE32(pbRaw + kHdrHeaderSize);
    h.wFormatVersion = ReadLE16(pbRaw + kHdrFormatVersion);
    h.wSectorSize = ReadLE16(pbRaw + kHdrSectorSize);
    h.ArchieveSize = ReadLE64(pbRaw + kHdrArchieveSize);
    h.BetTablePos64 = ReadLE64(pbRaw + kHdrBetPos);
    h.HetTablePos64 = ReadLE64(pbRaw + kHdrHetPos);
    h.MD5TablePos64 = ReadLE64(pbRaw + kHdrMD5TablePos);
    h.BitmapPos64 = ReadLE64(pbRaw + kHdrBitmapPos);
    h.HetTableSize64 = ReadLE64(pbRaw + kHdrHetSize);
    h.BetTableSize64 = ReadLE64(pbRaw + kHdrBetSize);
    h.MD5TableSize64 = ReadLE64(pbRaw + kHdrMD5TableSize);
    h.BitmapSize64 = ReadLE64(pbRaw + kHdrBitmapSize);
    h.dwMD5PieceSize = ReadLE32(pbRaw + kHdrPieceSize);
    h.dwRawChunkSize = ReadLE32(pbRaw + kHdrRawChunkSize);
    memcpy(h.MD5_PatchBaseTag, pbRaw + kHdrPatchBaseTag, 16);
    memcpy(h.MD5_PatchedTag, pbRaw + kHdrPatchedTag, 16);
    memcpy(h.MD5_BetTable, pbRaw + kHdrMD5Bet, 16);
    memcpy(h.MD5_HetTable, pbRaw + kHdrMD5Het, 16);
    memcpy(h.MD5_QOVHeader, pbRaw + kHdrMD5Header, 16);
}

void SerializeHeader(const TQOVHeader& h, uint8_t pbRaw[NQOV_HEADER_SIZE]) {
    WriteLE32(pbRaw + kHdrID, h.dwID);
    WriteLE32(pbRaw + kHdrHeaderSize, h.HeaderSize);
    WriteLE16(pbRaw + kHdrFormatVersion, h.wFormatVersion);
    WriteLE16(pbRaw + kHdrSectorSize, h.wSectorSize);
    WriteLE64(pbRaw + kHdrArchieveSize, h.ArchieveSize);
    WriteLE64(pbRaw + kHdrBetPos, h.BetTablePos64);
    WriteLE64(pbRaw + kHdrHetPos, h.HetTablePos64);
    WriteLE64(pbRaw + kHdrMD5TablePos, h.MD5TablePos64);
    WriteLE64(pbRaw + kHdrBitmapPos, h.BitmapPos64);
    WriteLE64(pbRaw + kHdrHetSize, h.HetTableSize64);
    WriteLE64(pbRaw + kHdrBetSize, h.BetTableSize64);
    WriteLE64(pbRaw + kHdrMD5TableSize, h.MD5TableSize64);
    WriteLE64(pbRaw + kHdrBitmapSize, h.BitmapSize64);
    WriteLE32(pbRaw + kHdrPieceSize, h.dwMD5PieceSize);
    WriteLE32(pbRaw + kHdrRawChunkSize, h.dwRawChunkSize);
    memcpy(pbRaw + kHdrPatchBaseTag, h.MD5_PatchBaseTag, 16);
    memcpy(pbRaw + kHdrPatchedTag, h.MD5_PatchedTag, 16);
    memcpy(pbRaw + kHdrMD5Bet, h.MD5_BetTable, 16);
    memcpy(pbRaw + kHdrMD5Het, h.MD5_HetTable, 16);
    memcpy(pbRaw + kHdrMD5Header, h.MD5_QOVHeader, 16);
}

//-----------------------------------------------------------------------------
// Archive object.

TNQOVArchiveImpl::TNQOVArchiveImpl() {
    Chain.push_back(this);
    pChainOwner = this;
}

TNQOVArchiveImpl::~TNQOVArchiveImpl() {
    if (BitmapMapping.pvView != nullptr) FileStream_UnmapView(&BitmapMapping);
    pHeader = nullptr;
}

bool IsValidArchive(const TNQOVArchiveImpl* ha) {
    return ha != nullptr && ha->pHeader != nullptr && ha->pHeader->dwID == NQOV_HEADER_SIGNATURE;
}

void ReleaseArchive(TNQOVArchiveImpl* ha) {
    // Patch archives are owned by ha (Patches) and go with it.
    delete ha;
}

uint32_t WriteArchiveBytes(TNQOVArchiveImpl* ha, uint64_t qwPosition, const void* pvData, uint32_t cbData) {
    if (ha->pStream->dwFlags & STREAM_FLAG_READ_ONLY) return ERROR_ACCESS_DENIED;
    ha->VerifiedPieces.clear();
    uint64_t position = qwPosition;
    if (FileStream_Write(ha->pStream.get(), &position, pvData, cbData)) return ERROR_SUCCESS;
    const uint32_t error = QOVGetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE;
}

// Writers pad an archive to whole pieces, so a piece larger than the whole
// archive comes from a damaged header.  Writing would pad the file up to that
// piece: up to 4 GiB for a file of a few kilobytes.  Up to 1 MiB of padding is
// let through, the rest refused.
uint32_t CheckWritablePieceSize(const TNQOVArchiveImpl* ha) {
    const uint32_t kPaddingAllowed = 1024 * 1024;
    const uint32_t pieceSize = ha->Header.dwMD5PieceSize;
    if (pieceSize <= kPaddingAllowed) return ERROR_SUCCESS;
    uint64_t archiveBytes = ha->Header.ArchieveSize;
    uint64_t fileSize = 0;
    if (FileStream_SizeOf(ha->pStream.get(), &fileSize) && fileSize > ha->HeaderOffset)
        archiveBytes = std::max<uint64_t>(archiveBytes, fileSize - ha->HeaderOffset);
    return pieceSize > archiveBytes ? ERROR_FILE_CORRUPT : ERROR_SUCCESS;
}

uint64_t ChunkDigestBytes(const TNQOVArchiveImpl* ha, uint64_t cbStored) {
    const uint32_t chunk = ha->Header.dwRawChunkSize;
    if (chunk == 0) return 0;
    return 16 * ((cbStored + chunk - 1) / chunk);
}

uint64_t DataAreaEnd(TNQOVArchiveImpl* ha) {
    if (!ha->bDataAreaEndKnown) {
        uint64_t end = NQOV_HEADER_SIZE;
        for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
            const TFileEntryImpl& entry = ha->Records[i];
            if (!entry.Exists()) continue;
            end = std::max(end, entry.StoredOffset + entry.dwStoredSize +
                                    ChunkDigestBytes(ha, entry.dwStoredSize));
        }
        ha->qwDataAreaEnd = end;
        ha->bDataAreaEndKnown = true;
    }
    return ha->qwDataAreaEnd;
}

void ExtendDataAreaEnd(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry) {
    const uint64_t end = DataAreaEnd(ha);
    const uint64_t recordEnd =
        pEntry->StoredOffset + pEntry->dwStoredSize + ChunkDigestBytes(ha, pEntry->dwStoredSize);
    if (recordEnd > end) ha->qwDataAreaEnd = recordEnd;
}

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
// Creating.

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

//-----------------------------------------------------------------------------
// Table writer.

uint32_t WriteArchiveTables(TNQOVArchiveImpl* ha) {
    TQOVHeader& header = ha->Header;
    const uint32_t pieceSize = header.dwMD5PieceSize;
    if (pieceSize == 0) return ERROR_INVALID_PARAMETER;

    // 1-3: HET and BET tables after the data area.
    uint64_t position = DataAreaEnd(ha);
    std::vector<uint8_t> het, bet;
    if (!SerializeSlotTable(ha, &het) || !SerializeRecordTable(ha, &bet)) return ERROR_NOT_ENOUGH_MEMORY;
    uint32_t error = WriteExtTable(ha, het, NQOV_KEY_HET_TABLE, header.MD5_HetTable, &position,
                                   &header.HetTablePos64, &header.HetTableSize64);
    if (error != ERROR_SUCCESS) return error;
    error = WriteExtTable(ha, bet, NQOV_KEY_BET_TABLE, header.MD5_BetTable, &position,
                          &header.BetTablePos64, &header.BetTableSize64);
    if (error != ERROR_SUCCESS) return error;

    // 4-5: cut the file after the tables, then pad to a whole piece.
    const uint64_t tablesEnd = ha->HeaderOffset + position;
    if ((ha->pStream->dwFlags & STREAM_FLAG_READ_ONLY) == 0 &&
        !FileStream_SetSize(ha->pStream.get(), tablesEnd))
        return QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_CAN_NOT_COMPLETE;
    const uint64_t end = (tablesEnd + pieceSize - 1) / pieceSize * pieceSize;
    error = WriteZeros(ha, tablesEnd, end);
    if (error != ERROR_SUCCESS) return error;

    // 6: header.
    const uint64_t pieces64 = end / pieceSize;
    if (pieces64 + 1 > UINT32_MAX / 16) return ERROR_NOT_ENOUGH_MEMORY;
    const uint32_t pieces = static_cast<uint32_t>(pieces64);
    header.HeaderSize = NQOV_HEADER_SIZE;
    header.MD5TablePos64 = end;
    header.MD5TableSize64 = (pieces64 + 1) * 16;
    header.BitmapPos64 = end + header.MD5TableSize64;
    header.BitmapSize64 = pieces64;
    header.ArchieveSize = end;
    uint8_t raw[NQOV_HEADER_SIZE];
    SerializeHeader(header, raw);
    QOVMD5(raw, QOV_HEADER_DIGEST_OFFSET, header.MD5_QOVHeader);
    memcpy(raw + QOV_HEADER_DIGEST_OFFSET, header.MD5_QOVHeader, 16);
    error = WriteArchiveBytes(ha, ha->HeaderOffset, raw, NQOV_HEADER_SIZE);
    if (error != ERROR_SUCCESS) return error;

    // 7: MD5 piece table.
    std::unique_ptr<uint8_t[]> pieceTable;
    uint32_t pieceTableSize = 0;
    error = BuildPieceTable(ha, end, pieces, &pieceTable, &pieceTableSize);
    if (error != ERROR_SUCCESS) return error;
    error = WriteArchiveBytes(ha, end, pieceTable.get(), pieceTableSize);
    if (error != ERROR_SUCCESS) return error;
    ha->pMD5Table = std::move(pieceTable);
    ha->dwMD5TableSize = pieceTableSize;

    // 8: piece-state map.
    DetachMappedBitmap(ha);
    if (ha->pBitmap == nullptr || ha->dwBitmapSize != pieces) {
        std::unique_ptr<uint8_t[]> map = QOVAllocArray<uint8_t>(pieces);
        if (!map) return ERROR_NOT_ENOUGH_MEMORY;
        memset(map.get(), 1, pieces);
        ha->BitmapHeap = std::move(map);
        ha->pBitmap = ha->BitmapHeap.get();
        ha->dwBitmapSize = pieces;
    }
    if (pieces > 0 && (error = WriteArchiveBytes(ha, header.BitmapPos64, ha->pBitmap, pieces)) != ERROR_SUCCESS)
        return error;

    ha->dwFlags &= ~NQOV_FLAG_CHANGED;
    return ERROR_SUCCESS;
}

//-----------------------------------------------------------------------------
// Flushing and closing.

bool SFileFlushArchive(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileFlushArchive");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, false);
        QOV_FAIL_IF(ha->pActiveWriter != nullptr, "a file is being written", ERROR_BUSY, false);
        uint32_t listError = ERROR_SUCCESS, tableError = ERROR_SUCCESS;
        if (ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) listError = static_cast<uint32_t>(SortTable(ha));
        if (ha->dwFlags & NQOV_FLAG_CHANGED) tableError = WriteArchiveTables(ha);
        const uint32_t error = tableError != ERROR_SUCCESS ? tableError : listError;
        QOV_FAIL_IF(error != ERROR_SUCCESS, " failed", error, false);
        return true;
    });
}

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
        result = SFileFlushArchive(ha);
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
