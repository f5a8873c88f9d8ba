// QOVReadFile.cpp - reading files inside an archive sector by sector
// (deciphering, checksums, decompression, MD5 piece checks), with or
// without an open handle.

#include "read/QOVRead.h"

#include "verify/QOVVerify.h"

#include <algorithm>

namespace {

// A sector whose checksum entry is one of these has no checksum to compare.
const uint32_t kNoChecksum = 0;
const uint32_t kNoChecksumAllOnes = 0xFFFFFFFF;

bool IsCompressedRecord(const TFileEntryImpl* pEntry) {
    return (pEntry->dwFlags & NQOV_FILE_COMPRESSED) != 0;
}

bool IsListFileRecord(const TFileEntryImpl* pEntry) {
    return pEntry->szFileName && IsListFileName(pEntry->szFileName.get());
}

//-----------------------------------------------------------------------------
// Sector offset table and checksums.

uint32_t LoadSectorOffsets(TNQOVFileImpl* hf) {
    if (hf->SectorOffsets) return ERROR_SUCCESS;
    const TFileEntryImpl* entry = hf->pFileEntry;
    const uint32_t entries = OffsetTableEntries(hf);
    const uint64_t tableBytes64 = static_cast<uint64_t>(entries) * 4;
    if (tableBytes64 > entry->dwStoredSize) return ERROR_FILE_CORRUPT;
    const uint32_t tableBytes = static_cast<uint32_t>(tableBytes64);

    std::unique_ptr<uint8_t[]> raw = QOVAllocArray<uint8_t>(tableBytes);
    std::unique_ptr<uint32_t[]> offsets = QOVAllocArray<uint32_t>(entries);
    if (!raw || !offsets) return ERROR_NOT_ENOUGH_MEMORY;
    uint64_t position = hf->qwStoredStart;
    if (!FileStream_Read(hf->ha->pStream.get(), &position, raw.get(), tableBytes)) return QOVGetLastError();

    if (entry->dwFlags & NQOV_FILE_ENCRYPTED) {
        if (hf->dwCipherKey == 0) hf->dwCipherKey = GuessKeyFromOffsetTable(raw.get(), tableBytes);
        if (hf->dwCipherKey == 0) return ERROR_QOV_FILE_KEY;
        DecryptQOVBlock(raw.get(), tableBytes, hf->dwCipherKey - 1);
    }
    for (uint32_t i = 0; i < entries; i++) offsets[i] = ReadLE32(raw.get() + 4 * i);

    // Offsets rise strictly, start after the table and end inside the stored
    // bytes.  An empty checksum block (last entry equal to the one before)
    // is how archives with chunk digests are written, and is accepted.
    if (offsets[0] < tableBytes) return ERROR_FILE_CORRUPT;
    const bool hasChecksumEntry = (entry->dwFlags & NQOV_FILE_SECTOR_CRC) != 0;
    for (uint32_t i = 1; i < entries; i++) {
        const bool emptyChecksumBlock = hasChecksumEntry && i == entries - 1 && offsets[i] == offsets[i - 1];
        if (offsets[i] <= offsets[i - 1] && !emptyChecksumBlock) return ERROR_FILE_CORRUPT;
        if (offsets[i] - offsets[i - 1] > entry->dwStoredSize) return ERROR_FILE_CORRUPT;
    }
    if (offsets[entries - 1] > entry->dwStoredSize) return ERROR_FILE_CORRUPT;
    hf->SectorOffsets = std::move(offsets);
    return ERROR_SUCCESS;
}

// Loads the sector checksums when the block is valid; otherwise the file is
// read without them.
void LoadSectorChecksums(TNQOVFileImpl* hf) {
    hf->bChecksumsLoaded = true;
    const uint32_t s = hf->nSectors;
    const uint32_t* offsets = hf->SectorOffsets.get();
    const uint32_t blockLength = offsets[s + 1] - offsets[s];
    if (offsets[0] != (s + 2) * 4 || blockLength <= 3 || blockLength > hf->ha->dwSectorBytes) return;
    if (static_cast<uint64_t>(s) * 4 > UINT32_MAX) return;

    std::unique_ptr<uint8_t[]> block = QOVAllocArray<uint8_t>(blockLength);
    std::unique_ptr<uint8_t[]> plain = QOVAllocArray<uint8_t>(static_cast<size_t>(s) * 4);
    if (!block || !plain) return;
    uint64_t position = hf->qwStoredStart + offsets[s];
    if (!FileStream_Read(hf->ha->pStream.get(), &position, block.get(), blockLength)) return;
    uint32_t produced = s * 4;
    if (!DecompressBlock(plain.get(), &produced, block.get(), blockLength) || produced != s * 4) return;
    std::unique_ptr<uint32_t[]> checksums = QOVAllocArray<uint32_t>(s);
    if (!checksums) return;
    for (uint32_t i = 0; i < s; i++) checksums[i] = ReadLE32(plain.get() + 4 * i);
    hf->SectorChksums = std::move(checksums);
}

//-----------------------------------------------------------------------------
// Raw-sector step: sectors i0 .. i0+k-1, m content bytes, into pbOut.

uint32_t ReadRawSectors(TNQOVFileImpl* hf, uint32_t i0, uint32_t k, uint32_t m, uint8_t* pbOut,
                        bool bCheckPieces, uint32_t* pdwDelivered) {
    *pdwDelivered = 0;
    TNQOVArchiveImpl* ha = hf->ha;
    const TFileEntryImpl* entry = hf->pFileEntry;
    const uint32_t sectorBytes = ha->dwSectorBytes;
    const bool compressed = IsCompressedRecord(entry);
    const uint32_t firstContent = i0 * sectorBytes;

    uint64_t rawPosition = 0;
    uint32_t rawLength = m;
    uint8_t* raw = pbOut;
    if (compressed) {
        uint32_t error = LoadSectorOffsets(hf);
        if (error != ERROR_SUCCESS) return error;
        if ((entry->dwFlags & NQOV_FILE_SECTOR_CRC) && !hf->SectorChksums && !hf->bChecksumsLoaded)
            LoadSectorChecksums(hf);
        // A stored sector is never longer than its content, so the stored
        // range always fits the buffer of m bytes.
        for (uint32_t j = 0; j < k; j++) {
            const uint32_t i = i0 + j;
            const uint32_t content = std::min(sectorBytes, hf->dwDataSize - i * sectorBytes);
            if (hf->SectorOffsets[i + 1] - hf->SectorOffsets[i] > content) return ERROR_FILE_CORRUPT;
        }
        rawPosition = hf->qwStoredStart + hf->SectorOffsets[i0];
        rawLength = hf->SectorOffsets[i0 + k] - hf->SectorOffsets[i0];
        // Sectors stored as they are (none shorter than its content) are read
        // straight into place; others go through the handle's raw buffer.
        if (rawLength != m) {
            if (hf->dwRawBufferSize < rawLength) {
                hf->pbRawBuffer = QOVAllocArray<uint8_t>(rawLength);
                hf->dwRawBufferSize = hf->pbRawBuffer ? rawLength : 0;
                if (!hf->pbRawBuffer) return ERROR_NOT_ENOUGH_MEMORY;
            }
            raw = hf->pbRawBuffer.get();
        }
    } else {
        if (static_cast<uint64_t>(firstContent) + m > entry->dwStoredSize) return ERROR_FILE_CORRUPT;
        rawPosition = hf->qwStoredStart + firstContent;
    }

    if (!FileStream_Read(ha->pStream.get(), &rawPosition, raw, rawLength)) return QOVGetLastError();
    if (!compressed && bCheckPieces && !IsListFileRecord(entry) &&
        !CheckRawRangePieces(ha, hf->qwStoredStart + firstContent, raw, rawLength))
        return ERROR_FILE_CORRUPT;

    uint32_t storedDone = 0;
    for (uint32_t j = 0; j < k; j++) {
        const uint32_t i = i0 + j;
        const uint32_t content = std::min(sectorBytes, hf->dwDataSize - i * sectorBytes);
        const uint32_t storedLength = compressed ? hf->SectorOffsets[i + 1] - hf->SectorOffsets[i] : content;
        uint8_t* sector = raw + storedDone;

        if (entry->dwFlags & NQOV_FILE_ENCRYPTED) {
            if (hf->dwCipherKey == 0) {
                // The guess finds the key of this sector, which is the file key + i.
                const uint32_t sectorKey = GuessKeyFromContent(sector, storedLength);
                if (sectorKey == 0) return ERROR_QOV_FILE_KEY;
                hf->dwCipherKey = sectorKey - i;
            }
            DecryptQOVBlock(sector, storedLength, hf->dwCipherKey + i);
        }
        if (hf->bVerifySectorChecksums && hf->SectorChksums) {
            const uint32_t expected = hf->SectorChksums[i];
            const bool stored = expected != kNoChecksum && expected != kNoChecksumAllOnes;
            if (stored && QOVSectorChecksum(sector, storedLength) != expected)
                return ERROR_QOV_SECTOR_CHECKSUM;
        }
        uint8_t* out = pbOut + j * sectorBytes;
        if (storedLength < content) {
            uint32_t produced = content;
            if (!(entry->dwFlags & NQOV_FILE_COMPRESS) ||
                !DecompressBlock(out, &produced, sector, storedLength) || produced != content)
                return ERROR_FILE_CORRUPT;
        } else if (sector != out) {
            memcpy(out, sector, content);
        }
        storedDone += storedLength;
        *pdwDelivered += content;
    }
    return ERROR_SUCCESS;
}

uint32_t EnsureSectorCache(TNQOVFileImpl* hf) {
    if (hf->pbFileSector) return ERROR_SUCCESS;
    hf->pbFileSector = QOVAllocArray<uint8_t>(hf->dwUnitSize);
    if (!hf->pbFileSector) return ERROR_NOT_ENOUGH_MEMORY;
    hf->dwCacheState = QOV_CACHE_EMPTY;
    return ERROR_SUCCESS;
}

// Copies part of the sector starting at sectorStart through the cache.
uint32_t ReadThroughCache(TNQOVFileImpl* hf, uint32_t sectorStart, uint32_t offsetInSector, uint32_t length,
                          uint8_t* pbOut, bool bCheckPieces) {
    if (hf->dwCacheState != sectorStart) {
        hf->dwCacheState = QOV_CACHE_EMPTY;
        const uint32_t cached = std::min(hf->ha->dwSectorBytes, hf->dwDataSize - sectorStart);
        uint32_t delivered = 0;
        const uint32_t error = ReadRawSectors(hf, sectorStart / hf->ha->dwSectorBytes, 1, cached,
                                              hf->pbFileSector.get(), bCheckPieces, &delivered);
        if (error != ERROR_SUCCESS) return error;
        hf->dwCacheState = sectorStart;
    }
    memcpy(pbOut, hf->pbFileSector.get() + offsetInSector, length);
    return ERROR_SUCCESS;
}

uint32_t ReadSectors(TNQOVFileImpl* hf, uint32_t position, uint8_t* pbOut, uint32_t toRead, bool bCheckPieces,
                     uint32_t* pdwRead) {
    *pdwRead = 0;
    if (position >= hf->dwDataSize) return ERROR_SUCCESS;
    toRead = std::min(toRead, hf->dwDataSize - position);
    if (toRead == 0) return ERROR_SUCCESS;
    uint32_t error = EnsureSectorCache(hf);
    if (error != ERROR_SUCCESS) return error;
    const uint32_t sectorBytes = hf->ha->dwSectorBytes;

    // Head: the rest of a partly wanted sector.
    const uint32_t headOffset = position % sectorBytes;
    if (headOffset != 0) {
        const uint32_t sectorStart = position - headOffset;
        const uint32_t cached = std::min(sectorBytes, hf->dwDataSize - sectorStart);
        const uint32_t length = std::min(toRead, cached - headOffset);
        error = ReadThroughCache(hf, sectorStart, headOffset, length, pbOut, bCheckPieces);
        if (error != ERROR_SUCCESS) return error;
        *pdwRead += length;
        position += length;
    }

    // Body: whole sectors straight into the caller's buffer, in bounded runs.
    const uint32_t kMaxRun = 64;
    while (toRead - *pdwRead >= sectorBytes) {
        const uint32_t sectors = std::min(kMaxRun, (toRead - *pdwRead) / sectorBytes);
        uint32_t delivered = 0;
        error = ReadRawSectors(hf, position / sectorBytes, sectors, sectors * sectorBytes, pbOut + *pdwRead,
                               bCheckPieces, &delivered);
        *pdwRead += delivered;
        position += delivered;
        if (error != ERROR_SUCCESS) return error;
    }

    // Tail: the start of a partly wanted sector.
    const uint32_t tail = toRead - *pdwRead;
    if (tail > 0) {
        error = ReadThroughCache(hf, position, 0, tail, pbOut + *pdwRead, bCheckPieces);
        if (error != ERROR_SUCCESS) return error;
        *pdwRead += tail;
    }
    return ERROR_SUCCESS;
}

// A compressed unit is never expected to grow beyond this many times its
// stored size; the bound keeps a damaged size from demanding gigabytes.
const uint64_t kMaxUnitExpansion = 4096;
const uint64_t kUnitExpansionSlack = 16 * 1024 * 1024;

uint32_t LoadSingleUnit(TNQOVFileImpl* hf) {
    const TFileEntryImpl* entry = hf->pFileEntry;
    const uint32_t storedSize = entry->dwStoredSize;
    const bool compress = (entry->dwFlags & NQOV_FILE_COMPRESS) != 0;
    if (storedSize < hf->dwDataSize && !compress) return ERROR_CAN_NOT_COMPLETE;
    if (hf->dwDataSize > storedSize * kMaxUnitExpansion + kUnitExpansionSlack) return ERROR_CAN_NOT_COMPLETE;

    std::unique_ptr<uint8_t[]> stored = QOVAllocArray<uint8_t>(storedSize);
    if (!stored) return ERROR_NOT_ENOUGH_MEMORY;
    uint64_t position = hf->qwStoredStart;
    if (storedSize > 0 && !FileStream_Read(hf->ha->pStream.get(), &position, stored.get(), storedSize))
        return QOVGetLastError();
    if (entry->dwFlags & NQOV_FILE_ENCRYPTED) {
        if (hf->dwCipherKey == 0) hf->dwCipherKey = GuessKeyFromContent(stored.get(), storedSize);
        if (hf->dwCipherKey == 0) return ERROR_QOV_FILE_KEY;
        DecryptQOVBlock(stored.get(), storedSize, hf->dwCipherKey);
    }
    if (storedSize < hf->dwDataSize) {
        uint32_t produced = hf->dwDataSize;
        if (!DecompressBlock(hf->pbFileSector.get(), &produced, stored.get(), storedSize) ||
            produced != hf->dwDataSize)
            return ERROR_CAN_NOT_COMPLETE;
    } else {
        memcpy(hf->pbFileSector.get(), stored.get(), hf->dwDataSize);
    }
    hf->dwCacheState = 0;
    return ERROR_SUCCESS;
}

uint32_t ReadSingleUnit(TNQOVFileImpl* hf, uint32_t position, uint8_t* pbOut, uint32_t toRead,
                        uint32_t* pdwRead) {
    *pdwRead = 0;
    if (position >= hf->dwDataSize) return ERROR_SUCCESS;
    if (hf->dwDataSize > hf->pFileEntry->dwStoredSize * kMaxUnitExpansion + kUnitExpansionSlack)
        return ERROR_CAN_NOT_COMPLETE;
    uint32_t error = EnsureSectorCache(hf);
    if (error != ERROR_SUCCESS) return error;
    if (hf->dwCacheState != 0) {
        error = LoadSingleUnit(hf);
        if (error != ERROR_SUCCESS) {
            hf->dwCacheState = QOV_CACHE_EMPTY;
            return error;
        }
    }
    const uint32_t length = std::min(toRead, hf->dwDataSize - position);
    memcpy(pbOut, hf->pbFileSector.get() + position, length);
    *pdwRead = length;
    return ERROR_SUCCESS;
}

}  // namespace

uint32_t OffsetTableEntries(const TNQOVFileImpl* hf) {
    return hf->nSectors + 1 + ((hf->pFileEntry->dwFlags & NQOV_FILE_SECTOR_CRC) ? 1 : 0);
}

//-----------------------------------------------------------------------------
// Reading.

bool SFileReadFile(TNQOVFile* hfIn, void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces) {
    if (pdwRead != nullptr) *pdwRead = 0;
    return QOVEnter(QOV_HERE, hfIn, false, [&](TNQOVFileImpl* hf) -> bool {
        QOV_FAIL_IF(pvBuffer == nullptr, "pvBuffer == NULL ;", ERROR_INVALID_PARAMETER, false);
        uint32_t read = 0;
        uint8_t* out = static_cast<uint8_t*>(pvBuffer);
        uint32_t error = (hf->pFileEntry->dwFlags & NQOV_FILE_SINGLE_UNIT)
                             ? ReadSingleUnit(hf, hf->dwPosition, out, dwToRead, &read)
                             : ReadSectors(hf, hf->dwPosition, out, dwToRead, bCheckPieces, &read);
        hf->dwPosition += read;
        if (pdwRead != nullptr) *pdwRead = read;
        if (error == ERROR_SUCCESS && read < dwToRead) error = ERROR_HANDLE_EOF;
        QOV_FAIL_IF(error != ERROR_SUCCESS, "read failed! ;", error, false);
        return true;
    });
}

uint32_t SFileGetFileSize(TNQOVFile* hfIn) {
    return QOVEnter(QOV_HERE, hfIn, NQOV_INVALID_SIZE,
                    [&](TNQOVFileImpl* hf) -> uint32_t { return hf->dwDataSize; });
}

uint32_t SFileSetFilePointer(TNQOVFile* hfIn, int32_t lDistance, uint32_t dwMoveMethod) {
    return QOVEnter(QOV_HERE, hfIn, NQOV_INVALID_SIZE, [&](TNQOVFileImpl* hf) -> uint32_t {
        int64_t base = 0;
        switch (dwMoveMethod) {
            case NQOV_FILE_BEGIN:
                base = 0;
                break;
            case NQOV_FILE_CURRENT:
                base = hf->dwPosition;
                break;
            case NQOV_FILE_END:
                base = hf->dwDataSize;
                break;
            default:
                QOV_FAIL("invalid parameter!", ERROR_INVALID_PARAMETER, NQOV_INVALID_SIZE);
        }
        const int64_t position = base + static_cast<int64_t>(lDistance);
        QOV_FAIL_IF(position < 0 || position > static_cast<int64_t>(UINT32_MAX), "invalid parameter!",
                    ERROR_INVALID_PARAMETER, NQOV_INVALID_SIZE);
        hf->dwPosition = static_cast<uint32_t>(position);
        return hf->dwPosition;
    });
}

bool SFileGetFileName(TNQOVFile* hfIn) {
    return QOVEnter(QOV_HERE, hfIn, false, [&](TNQOVFileImpl* hf) -> bool {
        if (hf->pFileEntry->HasRealName()) return true;
        // Reading the first bytes lets an enciphered file's key be found from
        // its content; the record keeps its pseudo name.
        const uint32_t savedPosition = hf->dwPosition;
        const uint32_t savedError = QOVGetLastError();
        uint8_t probe[8];
        uint32_t read = 0;
        SFileReadFile(hf, probe, sizeof(probe), &read, true);
        hf->dwPosition = savedPosition;
        QOVSetLastError(savedError);
        QOV_FAIL_IF(GetRecordName(hf->pFileEntry) == nullptr, "no memory for the pseudo name",
                    ERROR_NOT_ENOUGH_MEMORY, false);
        return true;
    });
}

uint32_t LoadRecordSectorOffsets(TFileEntryImpl* pEntry) {
    if (pEntry->SectorOffsets) return ERROR_SUCCESS;
    TFileHandlePtr hf(CreateFileHandle(pEntry->ha, pEntry));
    if (!hf) return ERROR_NOT_ENOUGH_MEMORY;
    hf->dwCipherKey = InitialFileKey(pEntry);
    const uint32_t error = LoadSectorOffsets(hf.get());
    if (error == ERROR_SUCCESS) pEntry->SectorOffsets = std::move(hf->SectorOffsets);
    return error;
}

bool SFileReadFileFromEntry(TFileEntry* pFileEntryIn, void* pvBuffer, uint32_t* pdwPosition,
                            uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces) {
    if (pdwRead != nullptr) *pdwRead = 0;
    return QOVEnter(QOV_HERE, pFileEntryIn, false, [&](TFileEntryImpl* pFileEntry) -> bool {
        QOV_FAIL_IF(pvBuffer == nullptr || pdwPosition == nullptr, "pvBuffer == NULL ;",
                    ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(pFileEntry->dwFlags & NQOV_FILE_SINGLE_UNIT, "single-unit record", ERROR_NOT_SUPPORTED,
                    false);
        QOV_FAIL_IF(!pFileEntry->Exists() || pFileEntry->IsDirectory(), "no file", ERROR_FILE_NOT_FOUND,
                    false);

        // A handle for this call only; the record keeps the sector offset
        // table it loads (and the key it finds) for the next call.
        TFileHandlePtr hf(CreateFileHandle(pFileEntry->ha, pFileEntry));
        QOV_FAIL_IF(!hf, "ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
        hf->SectorOffsets = std::move(pFileEntry->SectorOffsets);
        hf->SectorChksums = std::move(pFileEntry->SectorChksums);
        hf->bChecksumsLoaded = hf->SectorChksums != nullptr;
        hf->dwCipherKey = InitialFileKey(pFileEntry);
        uint32_t read = 0;
        uint32_t error = ReadSectors(hf.get(), *pdwPosition, static_cast<uint8_t*>(pvBuffer), dwToRead,
                                     bCheckPieces, &read);
        pFileEntry->SectorOffsets = std::move(hf->SectorOffsets);
        pFileEntry->SectorChksums = std::move(hf->SectorChksums);
        *pdwPosition += read;
        if (pdwRead != nullptr) *pdwRead = read;
        if (error == ERROR_SUCCESS && read < dwToRead) error = ERROR_HANDLE_EOF;
        QOV_FAIL_IF(error != ERROR_SUCCESS, "read failed! ;", error, false);
        return true;
    });
}
