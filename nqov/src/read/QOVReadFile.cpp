// QOVReadFile.cpp - opening files inside an archive, reading them sector by
// sector (deciphering, checksums, decompression, MD5 piece checks), naming,
// extracting and verifying them.

#include "read/QOVArchive.h"
#include "common/QOVFileStreamBackend.h"

#include <algorithm>

namespace {

const uint32_t kRefusedFlags = ~NQOV_FILE_VALID_FLAGS;  // 0x38ECFDFF
const uint32_t kExtractBlock = 256 * 1024;

bool IsCompressedRecord(const TFileEntryImpl* pEntry) {
    return (pEntry->dwFlags & NQOV_FILE_COMPRESSED) != 0;
}

bool IsListFileRecord(const TFileEntryImpl* pEntry) {
    return pEntry->szFileName && IsListFileName(pEntry->szFileName.get());
}

//-----------------------------------------------------------------------------
// Key recovery.

// Deciphers the first `count` words of a stored block under key into `out`.
void DecipherWords(const uint8_t* pbStored, uint32_t count, uint32_t key, uint32_t* out) {
    uint8_t copy[16];
    memcpy(copy, pbStored, count * 4);
    DecryptQOVBlock(copy, count * 4, key);
    for (uint32_t i = 0; i < count; i++) out[i] = ReadLE32(copy + 4 * i);
}

// Finds the key of a sector from known words at its start; 0 when none fits.
uint32_t GuessKeyFromContent(const uint8_t* pbSector, uint32_t cbSector) {
    struct Rule {
        bool applies;
        uint32_t count;
        uint32_t words[3];
    };
    const Rule rules[] = {
        {cbSector >= 12, 3, {0x46464952, cbSector - 8, 0x45564157}},  // RIFF....WAVE
        {cbSector > 64, 2, {0x00905A4D, 0x00000003, 0}},               // MZ executable
        {cbSector >= 8, 2, {0x6D783F3C, 0x6576206C, 0}},               // <?xml ve
    };
    const uint32_t stored0 = cbSector >= 4 ? ReadLE32(pbSector) : 0;
    for (const Rule& rule : rules) {
        if (!rule.applies) continue;
        for (uint32_t b = 0; b < 0x100; b++) {
            const uint32_t candidate =
                (stored0 ^ rule.words[0]) - 0xEEEEEEEE - QOVCipherWord(0x400 + b);
            uint32_t clear[3];
            DecipherWords(pbSector, rule.count, candidate, clear);
            if (clear[0] == rule.words[0] && clear[rule.count - 1] == rule.words[rule.count - 1])
                return candidate;
        }
    }
    return 0;
}

// Finds the key of an enciphered sector offset table (returns key + 1, as
// the table itself is enciphered under the file key - 1); 0 when none fits.
uint32_t GuessKeyFromOffsetTable(const uint8_t* pbTable, uint32_t cbTable) {
    const uint32_t stored0 = ReadLE32(pbTable);
    for (uint32_t b = 0; b < 0x100; b++) {
        const uint32_t candidate = (stored0 ^ cbTable) - 0xEEEEEEEE - QOVCipherWord(0x400 + b);
        uint32_t clear[2];
        DecipherWords(pbTable, 2, candidate, clear);
        if (clear[0] == cbTable && clear[1] < 0x10000) return candidate + 1;
    }
    return 0;
}

//-----------------------------------------------------------------------------
// Sector offset table and checksums.

uint32_t OffsetTableEntries(const TNQOVFileImpl* hf) {
    return hf->nSectors + 1 + ((hf->pFileEntry->dwFlags & NQOV_FILE_SECTOR_CRC) ? 1 : 0);
}

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
    if (!FileStream_Read(hf->ha->pStream.get(), &position, raw.get(), tableBytes))
        return QOVGetLastError();

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
    if (!DecompressBlock(plain.get(), &produced, block.get(), blockLength) || produced != s * 4)
        return;
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
        const uint32_t storedLength =
            compressed ? hf->SectorOffsets[i + 1] - hf->SectorOffsets[i] : content;
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
            if (expected != 0 && expected != 0xFFFFFFFF &&
                QOVSectorChecksum(sector, storedLength) != expected)
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
uint32_t ReadThroughCache(TNQOVFileImpl* hf, uint32_t sectorStart, uint32_t offsetInSector,
                          uint32_t length, uint8_t* pbOut, bool bCheckPieces) {
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

uint32_t ReadSectors(TNQOVFileImpl* hf, uint32_t position, uint8_t* pbOut, uint32_t toRead,
                     bool bCheckPieces, uint32_t* pdwRead) {
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
        error = ReadRawSectors(hf, position / sectorBytes, sectors, sectors * sectorBytes,
                               pbOut + *pdwRead, bCheckPieces, &delivered);
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

//-----------------------------------------------------------------------------
// Lookup for opening.

struct TLookup {
    TNQOVArchiveImpl* archive = nullptr;
    TFileEntryImpl* entry = nullptr;
    bool byPseudoName = false;
    uint32_t error = ERROR_SUCCESS;
};

bool IsPseudoFor(const char* szName, uint64_t qwNameHash) {
    uint64_t number = 0;
    return szName != nullptr && IsPseudoFileName(szName, &number) &&
           (qwNameHash == 0 || qwNameHash == number);
}

TLookup LookupInArchive(TNQOVArchiveImpl* ha, const char* szName, uint64_t qwNameHash) {
    TLookup result;
    result.archive = ha;
    const bool named = szName != nullptr && *szName != 0;
    if (!named && qwNameHash == 0) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    result.byPseudoName = IsPseudoFor(szName, qwNameHash);
    uint64_t hash = qwNameHash;
    if (hash == 0 && result.byPseudoName) IsPseudoFileName(szName, &hash);
    if (hash != 0) {
        result.entry = RecordByHash(ha, hash);
    } else {
        const uint32_t index = FindSlotByName(ha, szName);
        result.entry = index == QOV_NO_RECORD ? nullptr : &ha->Records[index];
    }
    if (result.entry == nullptr) result.error = ERROR_FILE_NOT_FOUND;
    return result;
}

// Through the chain's merged index; false when the chain has none.
bool LookupInIndex(TNQOVArchiveImpl* ha, const char* szName, uint64_t qwNameHash, TLookup* pResult) {
    if (!ha->pChainOwner->pMergedIndex) return false;
    TLookup result;
    const bool named = szName != nullptr && *szName != 0;
    if (!named && qwNameHash == 0) {
        result.error = ERROR_INVALID_PARAMETER;
        *pResult = result;
        return true;
    }
    result.byPseudoName = IsPseudoFor(szName, qwNameHash);
    const uint64_t key = qwNameHash != 0 ? qwNameHash : NameLookupKey(szName, nullptr);
    bool indexed = false;
    result.entry = MergedIndexLookup(ha, key, &indexed);
    if (!indexed) return false;
    if (result.entry == nullptr)
        result.error = ERROR_FILE_NOT_FOUND;
    else
        result.archive = result.entry->ha;
    *pResult = result;
    return true;
}

TLookup LookupTableOnly(TNQOVArchiveImpl* ha, const char* szName, uint64_t qwNameHash) {
    TLookup result;
    result.archive = ha;
    if (qwNameHash != 0) {
        result.entry = RecordByHash(ha, qwNameHash);
    } else if (szName != nullptr && *szName != 0) {
        const uint32_t index = FindSlotByName(ha, szName);
        result.entry = index == QOV_NO_RECORD ? nullptr : &ha->Records[index];
    } else {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    if (result.entry == nullptr) result.error = ERROR_FILE_NOT_FOUND;
    return result;
}

// Checks a found record and opens a handle on it.
uint32_t OpenFoundRecord(const TLookup& found, const char* szName, TNQOVFile** phFile) {
    TFileEntryImpl* entry = found.entry;
    if (!entry->Exists()) return ERROR_FILE_NOT_FOUND;
    if (entry->dwFlags & kRefusedFlags) return ERROR_NOT_SUPPORTED;
    return OpenRecord(found.archive, entry, szName, found.byPseudoName, phFile)
               ? ERROR_SUCCESS
               : QOVGetLastError();
}

}  // namespace

//-----------------------------------------------------------------------------
// Handles.

uint32_t SectorCount(uint32_t dwFileSize, uint32_t dwSectorBytes) {
    return dwFileSize == 0 ? 0 : (dwFileSize - 1) / dwSectorBytes + 1;
}

bool IsValidFile(const TNQOVFileImpl* hf) {
    return hf != nullptr && hf->dwHandleTag == QOV_FILE_HANDLE_TAG && hf->ha != nullptr &&
           IsValidArchive(hf->ha);
}

TNQOVFileImpl* CreateFileHandle(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    TNQOVFileImpl* hf = new (std::nothrow) TNQOVFileImpl();
    if (hf == nullptr) return nullptr;
    hf->dwHandleTag = QOV_FILE_HANDLE_TAG;
    hf->ha = ha;
    hf->pFileEntry = pEntry;
    hf->qwStoredPos = pEntry->StoredOffset;
    hf->qwStoredStart = ha->HeaderOffset + pEntry->StoredOffset;
    hf->dwDataSize = pEntry->dwFileSize;
    hf->bVerifySectorChecksums = (ha->dwFlags & NQOV_FLAG_CHECK_SECTOR_CHECKSUMS) != 0;
    const bool singleUnit = (pEntry->dwFlags & NQOV_FILE_SINGLE_UNIT) != 0;
    hf->nSectors = singleUnit ? 1 : SectorCount(pEntry->dwFileSize, ha->dwSectorBytes);
    // The cache never needs more than the content: large sectors of small
    // files cost no more memory than the files.
    hf->dwUnitSize = singleUnit ? pEntry->dwFileSize : std::min(ha->dwSectorBytes, pEntry->dwFileSize);
    return hf;
}

void FreeFileHandle(TNQOVFileImpl* hf) {
    if (hf == nullptr) return;
    if (hf->ha != nullptr && hf->ha->pActiveWriter == hf) hf->ha->pActiveWriter = nullptr;
    // A key found by this handle serves later opens of the record by id.
    if (hf->pFileEntry != nullptr && hf->dwCipherKey != 0 && !hf->bWriting &&
        (hf->pFileEntry->dwFlags & NQOV_FILE_ENCRYPTED))
        hf->pFileEntry->dwKeyCache = hf->dwCipherKey;
    delete hf;
}

TFileEntryImpl* FileIdRecord(TNQOVArchiveImpl* ha, uint32_t dwFileId) {
    const TNQOVArchiveImpl* owner = ha->pChainOwner;
    if (dwFileId == NQOV_INVALID_FILE_ID || dwFileId >= owner->dwFileIdCount) return nullptr;
    return owner->FileIdTable[dwFileId];
}

bool OpenRecord(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry, const char* szName, bool bByPseudoName,
                TNQOVFile** phFile) {
    TNQOVFileImpl* hf = CreateFileHandle(ha, pEntry);
    QOV_FAIL_IF(hf == nullptr, "ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
    if (!bByPseudoName) {
        const bool usableName = szName != nullptr && *szName != 0 && !IsPseudoFileName(szName, nullptr);
        const bool deleted = (pEntry->dwFlags & NQOV_FILE_DELETE_MARKER) != 0;
        if (usableName && !deleted && !pEntry->HasRealName() && !SetRecordName(pEntry, szName)) {
            FreeFileHandle(hf);
            QOV_FAIL("ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
        }
        if ((pEntry->dwFlags & NQOV_FILE_ENCRYPTED) && usableName)
            hf->dwCipherKey = QOVFileKey(szName, pEntry->StoredOffset, pEntry->dwFileSize,
                                         (pEntry->dwFlags & NQOV_FILE_FIX_KEY) != 0);
    } else if (!SFileGetFileName(hf)) {
        const uint32_t error = QOVGetLastError();
        FreeFileHandle(hf);
        QOV_FAIL("SFileGetFileName failed!", error, false);
    }
    *phFile = hf;
    return true;
}

bool NQOVOpenFileEx(TNQOVArchive* haIn, const char* szFileName, uint32_t dwSearchScope,
                    TNQOVFile** phFile, uint64_t qwNameHash) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("NQOVOpenFileEx");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(phFile == nullptr, "phFile == null", ERROR_INVALID_PARAMETER, false);
        *phFile = nullptr;
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);

        uint32_t error = ERROR_SUCCESS;
        switch (dwSearchScope) {
            case QOV_OPEN_FROM_ARCHIVE: {
                TLookup found;
                if (!LookupInIndex(ha, szFileName, qwNameHash, &found))
                    found = LookupInArchive(ha, szFileName, qwNameHash);
                error = found.error != ERROR_SUCCESS ? found.error
                                                     : OpenFoundRecord(found, szFileName, phFile);
                break;
            }
            case QOV_OPEN_PATCHED: {
                QOV_FAIL_IF((szFileName == nullptr || *szFileName == 0) && qwNameHash == 0,
                            "invalid parameter!", ERROR_INVALID_PARAMETER, false);
                const uint64_t hash = qwNameHash != 0 ? qwNameHash : NameLookupKey(szFileName, nullptr);
                TLookup indexed;
                if (LookupInIndex(ha, szFileName, qwNameHash, &indexed)) {
                    error = indexed.error != ERROR_SUCCESS ? indexed.error
                                                           : OpenFoundRecord(indexed, szFileName, phFile);
                    if (error == ERROR_FILE_NOT_FOUND)
                        QOV_FAIL("ERROR_FILE_NOT_FOUND(patched)", error, false);
                    break;
                }
                error = ERROR_FILE_NOT_FOUND;
                for (TNQOVArchiveImpl* archive : ha->pChainOwner->Chain) {
                    const TLookup found = LookupInArchive(archive, szFileName, hash);
                    error = found.error != ERROR_SUCCESS ? found.error
                                                         : OpenFoundRecord(found, szFileName, phFile);
                    if (error == ERROR_SUCCESS) break;
                }
                if (error == ERROR_FILE_NOT_FOUND)
                    QOV_FAIL("ERROR_FILE_NOT_FOUND(patched)", error, false);
                break;
            }
            case QOV_OPEN_TABLE_ONLY: {
                const TLookup found = LookupTableOnly(ha, szFileName, qwNameHash);
                error = found.error != ERROR_SUCCESS ? found.error
                                                     : OpenFoundRecord(found, szFileName, phFile);
                break;
            }
            default:
                error = ERROR_INVALID_PARAMETER;
                break;
        }
        switch (error) {
            case ERROR_SUCCESS: return true;
            case ERROR_FILE_NOT_FOUND: QOV_FAIL("ERROR_FILE_NOT_FOUND!", error, false);
            case ERROR_NOT_SUPPORTED: QOV_FAIL("ERROR_NOT_SUPPORTED!", error, false);
            case ERROR_INVALID_PARAMETER: QOV_FAIL("invalid parameter!", error, false);
            default: QOV_FAIL("open failed", error, false);
        }
    });
}

//-----------------------------------------------------------------------------
// Reading.

bool SFileReadFile(TNQOVFile* hfIn, void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead,
                   bool bCheckPieces) {
    TNQOVFileImpl* hf = Impl(hfIn);
    QOV_OPERATION("SFileReadFile");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        if (pdwRead != nullptr) *pdwRead = 0;
        QOV_FAIL_IF(!IsValidFile(hf), "IsValidQOVHandle", ERROR_INVALID_HANDLE, false);
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
    TNQOVFileImpl* hf = Impl(hfIn);
    QOV_FAIL_IF(!IsValidFile(hf), "invalid handle!", ERROR_INVALID_HANDLE, NQOV_INVALID_SIZE);
    return hf->dwDataSize;
}

uint32_t SFileSetFilePointer(TNQOVFile* hfIn, int32_t lDistance, uint32_t dwMoveMethod) {
    TNQOVFileImpl* hf = Impl(hfIn);
    QOV_FAIL_IF(!IsValidFile(hf), "invalid handle!", ERROR_INVALID_HANDLE, NQOV_INVALID_SIZE);
    int64_t base = 0;
    switch (dwMoveMethod) {
        case NQOV_FILE_BEGIN: base = 0; break;
        case NQOV_FILE_CURRENT: base = hf->dwPosition; break;
        case NQOV_FILE_END: base = hf->dwDataSize; break;
        default: QOV_FAIL("invalid parameter!", ERROR_INVALID_PARAMETER, NQOV_INVALID_SIZE);
    }
    const int64_t position = base + static_cast<int64_t>(lDistance);
    QOV_FAIL_IF(position < 0 || position > static_cast<int64_t>(UINT32_MAX), "invalid parameter!",
                ERROR_INVALID_PARAMETER, NQOV_INVALID_SIZE);
    hf->dwPosition = static_cast<uint32_t>(position);
    return hf->dwPosition;
}

bool SFileGetFileName(TNQOVFile* hfIn) {
    TNQOVFileImpl* hf = Impl(hfIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidFile(hf), "invalid handle!", ERROR_INVALID_HANDLE, false);
    if (hf->pFileEntry->HasRealName()) return true;
    QOV_OPERATION("SFileGetFileName");
    return QOVGuard(false, [&]() -> bool {
        // Reading the first bytes lets an enciphered file's key be found from
        // its content; the record keeps its pseudo name.
        const uint32_t savedPosition = hf->dwPosition;
        const uint32_t savedError = QOVGetLastError();
        uint8_t probe[8];
        uint32_t read = 0;
        SFileReadFile(hf, probe, sizeof(probe), &read, true);
        hf->dwPosition = savedPosition;
        QOVSetLastError(savedError);
        GetRecordName(hf->pFileEntry);
        return true;
    });
}

bool SFileCloseFile(TNQOVFile* hfIn) {
    TNQOVFileImpl* hf = Impl(hfIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidFile(hf), "invalid hanlde!", ERROR_INVALID_HANDLE, false);
    if (hf->bWriting) return SFileFinishFile(hf);
    FreeFileHandle(hf);
    return true;
}

//-----------------------------------------------------------------------------
// Extracting and verifying.

namespace {

struct FileCloser {
    void operator()(TNQOVFileImpl* hf) const { SFileCloseFile(hf); }
};
typedef std::unique_ptr<TNQOVFileImpl, FileCloser> TFilePtr;

// Copies an open file to a new disk file; the data goes to a temporary file
// first, so that a failed extraction leaves an existing file untouched.
uint32_t CopyToDisk(TNQOVFileImpl* hf, const char* szExtracted) {
    if (!FileStream_CreateFolders(szExtracted)) return QOVGetLastError();
    // A name too long for a temporary sibling is written in place.
    std::string partName = std::string(szExtracted) + ".part";
    const bool inPlace = partName.size() > STREAM_MAX_NAME;
    if (inPlace) partName = szExtracted;
    TFileStreamPtr output(Impl(FileStream_MakeNew(partName.c_str())));
    if (!output) return QOVGetLastError();

    const uint32_t sectorBytes = hf->ha->dwSectorBytes;
    const uint32_t blockSize = sectorBytes >= kExtractBlock ? kExtractBlock : kExtractBlock / sectorBytes * sectorBytes;
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(blockSize);
    uint32_t error = buffer ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    while (error == ERROR_SUCCESS) {
        uint32_t read = 0;
        if (!SFileReadFile(hf, buffer.get(), blockSize, &read, true) &&
            QOVGetLastError() != ERROR_HANDLE_EOF)
            error = QOVGetLastError();
        if (read > 0 && !FileStream_Write(output.get(), nullptr, buffer.get(), read))
            error = QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_ACCESS_DENIED;
        if (read == 0) break;
    }
    output.reset();
    if (error == ERROR_SUCCESS && !inPlace && !qovfs::RenameReplace(partName.c_str(), szExtracted))
        error = QOVGetLastError();
    if (error != ERROR_SUCCESS) qovfs::RemoveFile(partName.c_str());
    return error;
}

}  // namespace

bool SFileExtractFile(TNQOVArchive* haIn, const char* szToExtract, const char* szExtracted) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileExtractFile");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(szToExtract == nullptr || szExtracted == nullptr || *szToExtract == 0 ||
                        *szExtracted == 0,
                    "invalid parameter!", ERROR_INVALID_PARAMETER, false);
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, szToExtract, QOV_OPEN_PATCHED, &opened)) return false;
        TFilePtr file(Impl(opened));
        const uint32_t error = CopyToDisk(file.get(), szExtracted);
        file.reset();
        QOV_FAIL_IF(error != ERROR_SUCCESS, "[result]failed;", error, false);
        return true;
    });
}

namespace {

// Reads an open file to its end with the piece check and returns the
// VerifyFile flags; the file is closed.
uint32_t VerifyOpenFile(TFilePtr file) {
    TMD5 md5;
    // Large blocks keep the number of reads (and system calls) small; the
    // outcome is that of any block size, as a failing sector ends a read
    // just before it and the next read then returns nothing.
    const uint32_t kBlock = 256 * 1024;
    std::unique_ptr<uint8_t[]> block = QOVAllocArray<uint8_t>(kBlock);
    if (!block) {
        QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return VERIFY_READ_ERROR;
    }
    uint64_t total = 0;
    for (;;) {
        uint32_t read = 0;
        SFileReadFile(file.get(), block.get(), kBlock, &read, true);
        if (read == 0) break;
        md5.Update(block.get(), read);
        total += read;
    }
    uint32_t flags = 0;
    if (QOVGetLastError() == ERROR_QOV_SECTOR_CHECKSUM) flags |= VERIFY_FILE_SECTOR_CRC_ERROR;
    const TFileEntryImpl* entry = file->pFileEntry;
    if (total < file->dwDataSize) {
        flags |= VERIFY_READ_ERROR;
    } else if (!IsZeroDigest(entry->ContentMD5)) {
        flags |= VERIFY_MD5_PRESENT;
        uint8_t digest[16];
        md5.Final(digest);
        if (memcmp(digest, entry->ContentMD5, 16) != 0) flags |= VERIFY_FILE_MD5_ERROR;
    }
    return flags;
}

}  // namespace

uint32_t VerifyFile(TNQOVArchive* haIn, const char* szFileName) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("VerifyFile");
    return QOVGuard(static_cast<uint32_t>(VERIFY_CANNOT_OPEN), [&]() -> uint32_t {
        QOV_LOG_ENTRY();
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &opened)) return VERIFY_CANNOT_OPEN;
        return VerifyOpenFile(TFilePtr(Impl(opened)));
    });
}

uint32_t VerifyFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("VerifyFileFromFileIdTable");
    return QOVGuard(static_cast<uint32_t>(VERIFY_CANNOT_OPEN), [&]() -> uint32_t {
        QOV_LOG_ENTRY();
        if (!IsValidArchive(ha)) {
            QOVSetLastError(ERROR_INVALID_HANDLE);
            return VERIFY_CANNOT_OPEN;
        }
        const TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        if (entry == nullptr || entry->IsDirectory()) return VERIFY_CANNOT_OPEN;
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, dwFileId, &opened)) return VERIFY_CANNOT_OPEN;
        return VerifyOpenFile(TFilePtr(Impl(opened)));
    });
}

bool NQOVOpenFileEx(TNQOVArchive* haIn, uint32_t dwFileId, TNQOVFile** phFile) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("NQOVOpenFileEx");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);
        QOV_FAIL_IF(phFile == nullptr, "phFile == null", ERROR_INVALID_PARAMETER, false);
        *phFile = nullptr;
        TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr, "invalid file id", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(!entry->Exists(), "ERROR_FILE_NOT_FOUND!", ERROR_FILE_NOT_FOUND, false);
        QOV_FAIL_IF(entry->dwFlags & kRefusedFlags, "ERROR_NOT_SUPPORTED!", ERROR_NOT_SUPPORTED, false);
        TNQOVFileImpl* hf = CreateFileHandle(entry->ha, entry);
        QOV_FAIL_IF(hf == nullptr, "ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
        if (entry->dwFlags & NQOV_FILE_ENCRYPTED) {
            // The key an earlier open found, else the one of the record's name;
            // an unnamed record's key is found from its content when read.
            hf->dwCipherKey = entry->dwKeyCache;
            if (hf->dwCipherKey == 0 && entry->HasRealName())
                hf->dwCipherKey = QOVFileKey(entry->szFileName.get(), entry->StoredOffset, entry->dwFileSize,
                                             (entry->dwFlags & NQOV_FILE_FIX_KEY) != 0);
        }
        *phFile = hf;
        return true;
    });
}

bool SFileExtractFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* haIn, const char* szExtracted) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileExtractFileFromFileIdTable");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);
        const TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr || entry->IsDirectory(), "entry null", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(szExtracted == nullptr || *szExtracted == 0, "invalid parameter!", ERROR_INVALID_PARAMETER,
                    false);
        // Through an ordinary handle, so that single-unit files extract too.
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, dwFileId, &opened)) return false;
        TFilePtr file(Impl(opened));
        const uint32_t error = CopyToDisk(file.get(), szExtracted);
        file.reset();
        QOV_FAIL_IF(error != ERROR_SUCCESS, "[result]failed;", error, false);
        return true;
    });
}

uint32_t LoadRecordSectorOffsets(TFileEntryImpl* pEntry) {
    if (pEntry->SectorOffsets) return ERROR_SUCCESS;
    std::unique_ptr<TNQOVFileImpl, void (*)(TNQOVFileImpl*)> hf(CreateFileHandle(pEntry->ha, pEntry), FreeFileHandle);
    if (!hf) return ERROR_NOT_ENOUGH_MEMORY;
    if (pEntry->dwFlags & NQOV_FILE_ENCRYPTED) {
        hf->dwCipherKey = pEntry->dwKeyCache;
        if (hf->dwCipherKey == 0 && pEntry->HasRealName())
            hf->dwCipherKey = QOVFileKey(pEntry->szFileName.get(), pEntry->StoredOffset, pEntry->dwFileSize,
                                         (pEntry->dwFlags & NQOV_FILE_FIX_KEY) != 0);
    }
    const uint32_t error = LoadSectorOffsets(hf.get());
    if (error == ERROR_SUCCESS) pEntry->SectorOffsets = std::move(hf->SectorOffsets);
    return error;
}

bool SFileReadFileFromEntry(TFileEntry* pFileEntryIn, void* pvBuffer, uint32_t* pdwPosition, uint32_t dwToRead,
                            uint32_t* pdwRead, bool bCheckPieces) {
    TFileEntryImpl* pFileEntry = Impl(pFileEntryIn);
    QOV_OPERATION("SFileReadFileFromEntry");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        if (pdwRead != nullptr) *pdwRead = 0;
        QOV_FAIL_IF(pFileEntry == nullptr || !IsValidArchive(pFileEntry->ha), "entry null", ERROR_INVALID_HANDLE,
                    false);
        QOV_FAIL_IF(pvBuffer == nullptr || pdwPosition == nullptr, "pvBuffer == NULL ;", ERROR_INVALID_PARAMETER,
                    false);
        QOV_FAIL_IF(pFileEntry->dwFlags & NQOV_FILE_SINGLE_UNIT, "single-unit record", ERROR_NOT_SUPPORTED, false);
        QOV_FAIL_IF(!pFileEntry->Exists() || pFileEntry->IsDirectory(), "no file", ERROR_FILE_NOT_FOUND, false);

        // A handle for this call only; the record keeps the sector offset
        // table it loads (and the key it finds) for the next call.
        std::unique_ptr<TNQOVFileImpl, void (*)(TNQOVFileImpl*)> hf(CreateFileHandle(pFileEntry->ha, pFileEntry),
                                                            FreeFileHandle);
        QOV_FAIL_IF(!hf, "ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
        hf->SectorOffsets = std::move(pFileEntry->SectorOffsets);
        hf->SectorChksums = std::move(pFileEntry->SectorChksums);
        hf->bChecksumsLoaded = hf->SectorChksums != nullptr;
        if (pFileEntry->dwFlags & NQOV_FILE_ENCRYPTED) {
            hf->dwCipherKey = pFileEntry->dwKeyCache;
            if (hf->dwCipherKey == 0 && pFileEntry->HasRealName())
                hf->dwCipherKey = QOVFileKey(pFileEntry->szFileName.get(), pFileEntry->StoredOffset,
                                             pFileEntry->dwFileSize, (pFileEntry->dwFlags & NQOV_FILE_FIX_KEY) != 0);
        }
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
