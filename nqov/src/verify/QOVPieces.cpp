// QOVPieces.cpp - the piece layer: the piece layout, the MD5 piece table,
// verified reads and writes of single pieces, and the piece check of reads.

#include "verify/QOVVerify.h"

#include <algorithm>
#include <vector>

bool GetPieceLayout(TNQOVArchiveImpl* ha, TPieceLayout* pLayout) {
    const TQOVHeader& header = ha->Header;
    if (header.dwMD5PieceSize == 0) return false;
    const uint64_t count = (header.ArchieveSize + header.dwMD5PieceSize - 1) / header.dwMD5PieceSize;
    if (count > UINT32_MAX) return false;
    pLayout->dwPieceSize = header.dwMD5PieceSize;
    pLayout->dwPieceCount = static_cast<uint32_t>(count);
    const uint32_t rest = static_cast<uint32_t>(header.ArchieveSize % header.dwMD5PieceSize);
    pLayout->dwLastPieceSize = rest == 0 ? header.dwMD5PieceSize : rest;
    return true;
}

uint32_t PieceLength(const TPieceLayout& layout, uint32_t index) {
    return index + 1 == layout.dwPieceCount ? layout.dwLastPieceSize : layout.dwPieceSize;
}

namespace {

// Steps 1-3 of piece verification: index and length.
bool CheckPieceRequest(TNQOVArchiveImpl* ha, uint32_t wIndex, uint32_t wLength, TPieceLayout* pLayout) {
    QOV_FAIL_IF(!GetPieceLayout(ha, pLayout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT, false);
    QOV_FAIL_IF(wIndex >= pLayout->dwPieceCount, "wIndex >= dwPieceCount", ERROR_ACCESS_DENIED, false);
    if (wIndex + 1 == pLayout->dwPieceCount) {
        QOV_FAIL_IF(wLength != pLayout->dwLastPieceSize, "wLength != dwLastPieceSize", ERROR_FILE_CORRUPT,
                    false);
    } else {
        QOV_FAIL_IF(wLength != pLayout->dwPieceSize, "dwLength != ha->pHeader->dwMD5PieceSize",
                    ERROR_FILE_INVALID, false);
    }
    return true;
}

}  // namespace

// Compares a computed digest with the table (steps 4-5 of piece verification).
bool DigestMatchesTable(TNQOVArchiveImpl* ha, uint32_t wIndex, const uint8_t digest[16]) {
    if (!SFileLoadMd5(ha)) {
        QOV_LOG_ERROR("SFileLoadMd5 failed!", QOVGetLastError());
        return false;
    }
    if (static_cast<uint64_t>(wIndex) * 16 + 32 > ha->dwMD5TableSize) {
        QOV_FAIL("SFileLoadMd5 failed!", ERROR_FILE_CORRUPT, false);
    }
    // A mismatch is no error of the operation: the piece is bad.
    QOV_FAIL_IF(memcmp(ha->pMD5Table.get() + static_cast<size_t>(wIndex) * 16, digest, 16) != 0,
                "the piece does not match its MD5", ERROR_SUCCESS, false);
    return true;
}

bool ReadPiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t* pbBuffer) {
    uint64_t position = static_cast<uint64_t>(index) * layout.dwPieceSize;
    return FileStream_Read(ha->pStream.get(), &position, pbBuffer, PieceLength(layout, index));
}

bool HashStreamRange(TFileStreamImpl* pStream, uint64_t qwPosition, uint64_t cbLength, uint8_t* pbBuffer,
                     uint32_t cbBuffer, uint8_t digest[16]) {
    TMD5 md5;
    for (uint64_t done = 0; done < cbLength;) {
        const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(cbLength - done, cbBuffer));
        uint64_t position = qwPosition + done;
        if (!FileStream_Read(pStream, &position, pbBuffer, part)) return false;
        md5.Update(pbBuffer, part);
        done += part;
    }
    md5.Final(digest);
    return true;
}

bool HashPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t digest[16]) {
    const uint32_t length = PieceLength(layout, index);
    const uint32_t chunkSize = std::min(length, QOV_HASH_CHUNK);
    std::unique_ptr<uint8_t[]> chunk = QOVAllocArray<uint8_t>(chunkSize);
    QOV_FAIL_IF(!chunk, "no memory to hash a piece", ERROR_NOT_ENOUGH_MEMORY, false);
    return HashStreamRange(ha->pStream.get(), static_cast<uint64_t>(index) * layout.dwPieceSize, length,
                           chunk.get(), chunkSize, digest);
}

// SFileReadPieceVerified without the caller's buffer: reads, checks and
// records the state of one piece.
bool VerifyPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index) {
    if (index >= layout.dwPieceCount) QOV_FAIL("wIndex >= dwPieceCount", ERROR_ACCESS_DENIED, false);
    uint8_t digest[16];
    if (!HashPieceOnDisk(ha, layout, index, digest)) {
        QOV_LOG_ERROR("FileStream_Read failed", QOVGetLastError());
        return false;
    }
    const bool good = DigestMatchesTable(ha, index, digest);
    ha->StateMap.Record(index, good ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD);
    return good;
}

//-----------------------------------------------------------------------------
// Piece arithmetic.

TPieceRange RecordPieceRange(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry) {
    TPieceRange range;
    TPieceLayout layout;
    if (!GetPieceLayout(ha, &layout)) return range;
    const uint64_t start = ha->HeaderOffset + pEntry->StoredOffset;
    const uint64_t length = pEntry->dwStoredSize + ChunkDigestBytes(ha, pEntry->dwStoredSize);
    range.dwFirstPiece = static_cast<uint32_t>(start / layout.dwPieceSize);
    if (length == 0) return range;
    const uint64_t last = (start + length - 1) / layout.dwPieceSize;
    range.dwPieceCount = static_cast<uint32_t>(last - range.dwFirstPiece + 1);
    range.dwLastPieceSize = last + 1 == layout.dwPieceCount ? layout.dwLastPieceSize : layout.dwPieceSize;
    return range;
}

namespace {

// Verified pieces kept per archive, and the memory they may take in all.
const size_t kVerifiedPieceSlots = 4;
const uint64_t kVerifiedPieceBytes = 16 * 1024 * 1024;

TNQOVArchiveImpl::TVerifiedPiece* FindVerifiedPiece(TNQOVArchiveImpl* ha, uint32_t index) {
    for (auto& piece : ha->VerifiedPieces)
        if (piece.dwIndex == index) {
            piece.qwLastUse = ++ha->qwPieceClock;
            return &piece;
        }
    return nullptr;
}

// Reads piece `index` whole into `data`, verifies it and keeps it; null
// (state recorded, error set) when it cannot be read or does not verify.
const TNQOVArchiveImpl::TVerifiedPiece* KeepVerifiedPiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout,
                                                          uint32_t index, size_t slots,
                                                          std::unique_ptr<uint8_t[]> data) {
    const uint32_t length = PieceLength(layout, index);
    if (!SFileReadPieceVerified(ha, index, data.get(), length)) return nullptr;
    if (ha->VerifiedPieces.size() >= slots) {
        auto oldest =
            std::min_element(ha->VerifiedPieces.begin(), ha->VerifiedPieces.end(),
                             [](const auto& a, const auto& b) { return a.qwLastUse < b.qwLastUse; });
        ha->VerifiedPieces.erase(oldest);
    }
    TNQOVArchiveImpl::TVerifiedPiece piece;
    piece.dwIndex = index;
    piece.dwLength = length;
    piece.qwLastUse = ++ha->qwPieceClock;
    piece.pbData = std::move(data);
    ha->VerifiedPieces.push_back(std::move(piece));
    return &ha->VerifiedPieces.back();
}

// Checks that the bytes of piece `index` that a read delivered are verified
// ones: the piece is verified once from the file (whole) and kept, later
// reads compare their bytes with the kept ones.
bool CheckEdgePiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint64_t qwPosition,
                    const uint8_t* pbData, uint32_t cbData) {
    const TNQOVArchiveImpl::TVerifiedPiece* piece = FindVerifiedPiece(ha, index);
    if (piece == nullptr) {
        const uint32_t length = PieceLength(layout, index);
        const size_t slots = static_cast<size_t>(
            std::min<uint64_t>(kVerifiedPieceSlots, kVerifiedPieceBytes / std::max<uint32_t>(length, 1)));
        std::unique_ptr<uint8_t[]> data = slots > 0 ? QOVAllocArray<uint8_t>(length) : nullptr;
        // Pieces too large to keep are verified from the file every time.
        if (!data) return VerifyPieceOnDisk(ha, layout, index);
        piece = KeepVerifiedPiece(ha, layout, index, slots, std::move(data));
        if (piece == nullptr) return false;
    }
    // The part of the read inside this piece.
    const uint64_t pieceStart = static_cast<uint64_t>(index) * layout.dwPieceSize;
    const uint64_t from = std::max(qwPosition, pieceStart);
    const uint64_t to = std::min(qwPosition + cbData, pieceStart + piece->dwLength);
    if (from >= to) return true;
    if (memcmp(piece->pbData.get() + (from - pieceStart), pbData + (from - qwPosition),
               static_cast<size_t>(to - from)) == 0)
        return true;
    // The bytes read are not the verified ones: the file changed under us.
    ha->VerifiedPieces.clear();
    QOV_FAIL("the bytes read differ from the verified piece", ERROR_FILE_CORRUPT, false);
}

}  // namespace

bool CheckRawRangePieces(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData, uint32_t cbData) {
    TPieceLayout layout;
    if (!GetPieceLayout(ha, &layout)) return false;
    const uint64_t pieceSize = layout.dwPieceSize;
    const uint64_t first = qwPosition / pieceSize;
    const uint64_t offset = qwPosition % pieceSize;
    const uint64_t count = (offset + cbData + pieceSize - 1) / pieceSize;
    if (count == 0 || first + count > ha->StateMap.Size()) return false;

    const uint32_t firstIndex = static_cast<uint32_t>(first);
    const uint32_t lastIndex = static_cast<uint32_t>(first + count - 1);
    if (!CheckEdgePiece(ha, layout, firstIndex, qwPosition, pbData, cbData)) return false;
    if (count == 1) return true;
    if (!CheckEdgePiece(ha, layout, lastIndex, qwPosition, pbData, cbData)) return false;
    // The pieces wholly inside the read, hashed together.
    std::vector<TPieceData> middle(lastIndex - firstIndex - 1);
    for (size_t n = 0; n < middle.size(); n++) {
        middle[n].pbData = pbData + (pieceSize - offset) + n * pieceSize;
        middle[n].cbData = layout.dwPieceSize;
    }
    HashPieces(middle.data(), middle.size());
    for (size_t n = 0; n < middle.size(); n++) {
        if (!DigestMatchesTable(ha, firstIndex + 1 + static_cast<uint32_t>(n), middle[n].digest))
            return false;
    }
    return true;
}

//-----------------------------------------------------------------------------
// Exported piece operations.

bool SFileGetPieceCount(TNQOVArchive* haIn, uint32_t* pdwLastPieceSize, uint32_t* pdwPieceCount,
                        uint32_t* pdwPieceSize) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pdwLastPieceSize == nullptr || pdwPieceCount == nullptr || pdwPieceSize == nullptr,
                    "parameter error", ERROR_INVALID_PARAMETER, false);
        TPieceLayout layout;
        QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "parameter error", ERROR_FILE_CORRUPT, false);
        *pdwLastPieceSize = layout.dwLastPieceSize;
        *pdwPieceCount = layout.dwPieceCount;
        *pdwPieceSize = layout.dwPieceSize;
        return true;
    });
}

bool SFileLoadMd5(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        if (ha->pMD5Table) return true;
        const TQOVHeader& header = ha->Header;
        const uint32_t tableSize = static_cast<uint32_t>(header.MD5TableSize64);
        QOV_FAIL_IF(header.MD5TablePos64 == 0 || tableSize == 0 || tableSize % 16 != 0,
                    "invalid MD5 piece table", ERROR_INVALID_PARAMETER, false);
        uint64_t fileSize = 0, end = 0;
        if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) return false;
        QOV_FAIL_IF(!CheckedAdd64(header.MD5TablePos64, tableSize, &end) || end > fileSize,
                    "MD5 piece table beyond the file", ERROR_FILE_CORRUPT, false);
        std::unique_ptr<uint8_t[]> table = QOVAllocArray<uint8_t>(tableSize);
        QOV_FAIL_IF(!table, "QOV_ALLOC failed", ERROR_NOT_ENOUGH_MEMORY, false);
        uint64_t position = header.MD5TablePos64;
        if (!FileStream_Read(ha->pStream.get(), &position, table.get(), tableSize)) return false;
        uint8_t digest[16];
        QOVMD5(table.get(), tableSize - 16, digest);
        QOV_FAIL_IF(memcmp(digest, table.get() + tableSize - 16, 16) != 0, "MD5 piece table corrupt",
                    ERROR_FILE_CORRUPT, false);
        ha->pMD5Table = std::move(table);
        ha->dwMD5TableSize = tableSize;
        return true;
    });
}

bool SFileVerifyPiece(TNQOVArchive* haIn, uint32_t wIndex, const void* pvData, uint32_t wLength) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pvData == nullptr, "invalid handles", ERROR_INVALID_PARAMETER, false);
        TPieceLayout layout;
        if (!CheckPieceRequest(ha, wIndex, wLength, &layout)) return false;
        uint8_t digest[16];
        QOVMD5(pvData, wLength, digest);
        return DigestMatchesTable(ha, wIndex, digest);
    });
}

bool SFileReadPieceVerified(TNQOVArchive* haIn, uint32_t wIndex, void* pvBuffer, uint32_t wLength) {
    const TQOVEntryDetail detail("[%d] [%d]:", static_cast<int>(wIndex), static_cast<int>(wLength));
    return QOVEnter(QOV_HERE_WITH(detail.Text()), haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(pvBuffer == nullptr, "valid handle", ERROR_INVALID_PARAMETER, false);
        TPieceLayout layout;
        if (!CheckPieceRequest(ha, wIndex, wLength, &layout)) return false;
        uint64_t position = static_cast<uint64_t>(wIndex) * layout.dwPieceSize;
        if (!FileStream_Read(ha->pStream.get(), &position, pvBuffer, wLength)) {
            QOV_LOG_ERROR("FileStream_Read failed", QOVGetLastError());
            return false;
        }
        const bool good = SFileVerifyPiece(ha, wIndex, pvBuffer, wLength);
        ha->StateMap.Record(wIndex, good ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD);
        if (!good) QOV_LOG_ERROR("SFileVerifyPiece failed", QOVGetLastError());
        return good;
    });
}

bool SFileWritePieceVerified(TNQOVArchive* haIn, uint32_t wIndex, const void* pvData, uint32_t wLength) {
    const TQOVEntryDetail detail("[%d] [%d]", static_cast<int>(wIndex), static_cast<int>(wLength));
    return QOVEnter(QOV_HERE_WITH(detail.Text()), haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        if (!SFileVerifyPiece(ha, wIndex, pvData, wLength)) {
            ha->StateMap.Record(wIndex, NQOV_PIECE_BAD);
            QOV_LOG_ERROR("SFileVerifyPiece failed", QOVGetLastError());
            return false;
        }
        const uint64_t position = static_cast<uint64_t>(wIndex) * ha->Header.dwMD5PieceSize;
        const uint32_t error = WriteArchiveBytes(ha, position, pvData, wLength);
        if (error != ERROR_SUCCESS) {
            ha->StateMap.Record(wIndex, NQOV_PIECE_BAD);
            QOV_FAIL("FileStream_Write failed", error, false);
        }
        ha->StateMap.Record(wIndex, NQOV_PIECE_GOOD);
        return true;
    });
}
