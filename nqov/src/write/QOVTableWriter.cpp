// QOVTableWriter.cpp - the table writer: brings the HET and BET tables, the
// MD5 piece table, the piece-state map and the header up to date after the
// data area changed; and the end of the data area new files go to.

#include "write/QOVWrite.h"

#include "verify/QOVVerify.h"

#include <algorithm>

namespace {

// Writes the chunk digests of cbData bytes that start at qwPosition (absolute)
// right after them; *pcbDigests gets their size.
uint32_t WriteChunkDigests(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData, uint64_t cbData,
                           uint64_t* pcbDigests) {
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
    uint32_t error =
        WriteArchiveBytes(ha, ha->HeaderOffset + *pqwPos, table.data(), static_cast<uint32_t>(table.size()));
    if (error != ERROR_SUCCESS) return error;
    uint64_t digestBytes = 0;
    error = WriteChunkDigests(ha, ha->HeaderOffset + *pqwPos, table.data(), table.size(), &digestBytes);
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
    const uint32_t bufferSize = std::min(pieceSize, QOV_HASH_CHUNK);
    std::unique_ptr<uint8_t[]> table = QOVAllocArray<uint8_t>(tableSize);
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(bufferSize);
    if (!table || !buffer) return ERROR_NOT_ENOUGH_MEMORY;
    for (uint32_t i = 0; i < pieces; i++) {
        const uint64_t position = static_cast<uint64_t>(i) * pieceSize;
        const uint64_t pieceEnd = std::min<uint64_t>(position + pieceSize, qwEnd);
        const uint64_t length = pieceEnd > position ? pieceEnd - position : 0;
        if (!HashStreamRange(ha->pStream.get(), position, length, buffer.get(), bufferSize,
                             table.get() + static_cast<size_t>(i) * 16)) {
            const uint32_t error = QOVGetLastError();
            return error != ERROR_SUCCESS ? error : ERROR_CAN_NOT_COMPLETE;
        }
    }
    QOVMD5(table.get(), static_cast<size_t>(pieces) * 16, table.get() + static_cast<size_t>(pieces) * 16);
    *pTable = std::move(table);
    *pcbTable = tableSize;
    return ERROR_SUCCESS;
}

}  // namespace

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

uint64_t DataAreaEnd(TNQOVArchiveImpl* ha) {
    if (!ha->bDataAreaEndKnown) {
        uint64_t end = NQOV_HEADER_SIZE;
        for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
            const TFileEntryImpl& entry = ha->Records[i];
            if (!entry.Exists()) continue;
            end = std::max(
                end, entry.StoredOffset + entry.dwStoredSize + ChunkDigestBytes(ha, entry.dwStoredSize));
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
    error = WriteExtTable(ha, bet, NQOV_KEY_BET_TABLE, header.MD5_BetTable, &position, &header.BetTablePos64,
                          &header.BetTableSize64);
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
    ha->StateMap.CopyBeforeChange();
    if (!ha->StateMap.Renew(pieces, NQOV_PIECE_GOOD)) return ERROR_NOT_ENOUGH_MEMORY;
    error = ha->StateMap.WriteBack(ha);
    if (error != ERROR_SUCCESS) return error;

    ha->dwFlags &= ~NQOV_FLAG_CHANGED;
    return ERROR_SUCCESS;
}
