// QOVAddFile.cpp - writing new files into an archive: create the record at
// the end of the data area, write the content sector by sector (MD5,
// compression, checksums, cipher), then the checksum block, the sector
// offset table and the chunk digests.

#include "write/QOVWrite.h"

#include <algorithm>

namespace {

const uint32_t kCompressSlack = 0x100;

// Smaller files are stored without the cipher (which needs a whole word),
// and without compression and checksums.
const uint32_t kMinEncipheredSize = 4;
const uint32_t kMinCompressedSize = 32;

// Flags a new file of dwFileSize bytes keeps.
uint32_t EffectiveFlags(uint32_t dwFlags, uint32_t dwFileSize) {
    if (dwFileSize < kMinEncipheredSize) dwFlags &= ~(NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY);
    if (dwFileSize < kMinCompressedSize) dwFlags &= ~(NQOV_FILE_COMPRESSED | NQOV_FILE_SECTOR_CRC);
    // Without an offset table there is nowhere to keep a checksum block.
    if ((dwFlags & NQOV_FILE_COMPRESSED) == 0 || (dwFlags & NQOV_FILE_SINGLE_UNIT))
        dwFlags &= ~NQOV_FILE_SECTOR_CRC;
    return dwFlags;
}

uint32_t WriteStored(TNQOVFileImpl* hf, uint64_t qwOffset, const void* pvData, uint32_t cbData) {
    return WriteArchiveBytes(hf->ha, hf->qwStoredStart + qwOffset, pvData, cbData);
}

void GrowStored(TNQOVFileImpl* hf, uint32_t cbMore) {
    hf->pFileEntry->dwStoredSize += cbMore;
    ExtendDataAreaEnd(hf->ha, hf->pFileEntry);
}

//-----------------------------------------------------------------------------
// Folder records.

// Creates the missing directory records of every folder of szName, top-down,
// and returns the NameHash64 of the innermost folder (0 at root level).
uint32_t EnsureFolders(TNQOVArchiveImpl* ha, const char* szName, uint64_t* pqwParentHash) {
    *pqwParentHash = 0;
    const size_t length = strlen(szName);
    for (size_t i = 1; i < length; i++) {
        if (szName[i] != '\\' && szName[i] != '/') continue;
        const std::string folder(szName, i);
        const uint32_t existing = FindSlotByName(ha, folder.c_str());
        TFileEntryImpl* entry = existing != QOV_NO_RECORD ? &ha->Records[existing] : nullptr;
        if (entry == nullptr || !entry->Exists() || (entry->dwFlags & NQOV_FILE_DELETE_MARKER)) {
            entry = ClaimRecord(ha, folder.c_str());
            if (entry == nullptr) return QOVGetLastError();
            entry->dwFlags = NQOV_FILE_EXISTS | NQOV_FILE_DIRECTORY;
            entry->ParentNameHash = *pqwParentHash;
            LinkRecordToParent(ha, entry);
        }
        *pqwParentHash = entry->NameHash64;
    }
    return ERROR_SUCCESS;
}

//-----------------------------------------------------------------------------
// Sector writing.

uint32_t AllocateWriteBuffers(TNQOVFileImpl* hf) {
    TFileEntryImpl* entry = hf->pFileEntry;
    hf->pbFileSector = QOVAllocArray<uint8_t>(hf->dwUnitSize);
    if (!hf->pbFileSector) {
        QOV_LOG_ERROR("AllocateSectorBuffer failed!", ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (entry->HasSectorTable()) {
        hf->dwOffsetEntries = OffsetTableEntries(hf);
        hf->SectorOffsets = QOVAllocZeroed<uint32_t>(hf->dwOffsetEntries);
        if (!hf->SectorOffsets) {
            QOV_LOG_ERROR("AllocateSectorOffsets failed!", ERROR_NOT_ENOUGH_MEMORY);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        hf->SectorOffsets[0] = hf->dwOffsetEntries * 4;
    }
    if (entry->dwFlags & NQOV_FILE_SECTOR_CRC) {
        hf->SectorChksums = QOVAllocZeroed<uint32_t>(hf->nSectors);
        if (!hf->SectorChksums) {
            QOV_LOG_ERROR("AllocateSectorChecksums failed!", ERROR_NOT_ENOUGH_MEMORY);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    if (hf->SectorOffsets) {
        // The table is written now to reserve its place and again when complete.
        std::vector<uint8_t> empty(hf->dwOffsetEntries * 4, 0);
        const uint32_t error = WriteStored(hf, 0, empty.data(), static_cast<uint32_t>(empty.size()));
        if (error != ERROR_SUCCESS) {
            QOV_LOG_ERROR("FileStream_Write failed!", error);
            return error;
        }
        GrowStored(hf, static_cast<uint32_t>(empty.size()));
    }
    return ERROR_SUCCESS;
}

// Stores the sector waiting in pbFileSector.
uint32_t WriteSector(TNQOVFileImpl* hf) {
    TFileEntryImpl* entry = hf->pFileEntry;
    const uint32_t plainLength = hf->dwSectorFill;
    const uint32_t index = hf->dwSectorIndex;
    hf->WriteMD5.Update(hf->pbFileSector.get(), plainLength);

    uint8_t* stored = hf->pbFileSector.get();
    uint32_t storedLength = plainLength;
    if (entry->dwFlags & NQOV_FILE_COMPRESS) {
        if (!hf->pbCompressBuffer) {
            hf->pbCompressBuffer =
                QOVAllocArray<uint8_t>(static_cast<size_t>(hf->dwUnitSize) + kCompressSlack);
            if (!hf->pbCompressBuffer) return ERROR_NOT_ENOUGH_MEMORY;
        }
        uint32_t compressed = hf->dwUnitSize + kCompressSlack;
        if (!CompressBlock(stored, hf->pbCompressBuffer.get(), &compressed, plainLength, -1))
            return QOVGetLastError();
        stored = hf->pbCompressBuffer.get();
        storedLength = compressed;
    }
    if (hf->SectorOffsets) hf->SectorOffsets[index + 1] = hf->SectorOffsets[index] + storedLength;
    if (hf->SectorChksums) hf->SectorChksums[index] = QOVSectorChecksum(stored, storedLength);
    if (entry->dwFlags & NQOV_FILE_ENCRYPTED) EncryptQOVBlock(stored, storedLength, hf->dwCipherKey + index);

    const uint32_t error = WriteStored(hf, entry->dwStoredSize, stored, storedLength);
    if (error != ERROR_SUCCESS) return error;
    GrowStored(hf, storedLength);
    hf->dwSectorIndex++;
    hf->dwSectorFill = 0;
    return ERROR_SUCCESS;
}

// Stores a single-unit file's whole content as one block.
uint32_t WriteSingleUnit(TNQOVFileImpl* hf) {
    TFileEntryImpl* entry = hf->pFileEntry;
    const uint32_t length = hf->dwSectorFill;
    hf->WriteMD5.Update(hf->pbFileSector.get(), length);
    uint8_t* stored = hf->pbFileSector.get();
    uint32_t storedLength = length;
    if (entry->dwFlags & NQOV_FILE_COMPRESS) {
        hf->pbCompressBuffer = QOVAllocArray<uint8_t>(length);
        if (!hf->pbCompressBuffer) return ERROR_NOT_ENOUGH_MEMORY;
        if (!CompressBlock(stored, hf->pbCompressBuffer.get(), &storedLength, length, -1))
            return QOVGetLastError();
        stored = hf->pbCompressBuffer.get();
    }
    if (entry->dwFlags & NQOV_FILE_ENCRYPTED) EncryptQOVBlock(stored, storedLength, hf->dwCipherKey);
    const uint32_t error = WriteStored(hf, 0, stored, storedLength);
    if (error != ERROR_SUCCESS) return error;
    GrowStored(hf, storedLength);
    hf->dwSectorFill = 0;
    return ERROR_SUCCESS;
}

uint32_t WriteData(TNQOVFileImpl* hf, const uint8_t* pbData, uint32_t cbData) {
    if (static_cast<uint64_t>(hf->dwPosition) + cbData > hf->pFileEntry->dwFileSize) return ERROR_DISK_FULL;
    if (hf->pFileEntry->dwFlags & NQOV_FILE_SINGLE_UNIT) {
        memcpy(hf->pbFileSector.get() + hf->dwSectorFill, pbData, cbData);
        hf->dwSectorFill += cbData;
        hf->dwPosition += cbData;
        return hf->dwPosition == hf->pFileEntry->dwFileSize ? WriteSingleUnit(hf) : ERROR_SUCCESS;
    }
    const uint32_t sectorBytes = hf->ha->dwSectorBytes;
    while (cbData > 0) {
        const uint32_t part = std::min(cbData, sectorBytes - hf->dwSectorFill);
        memcpy(hf->pbFileSector.get() + hf->dwSectorFill, pbData, part);
        hf->dwSectorFill += part;
        hf->dwPosition += part;
        pbData += part;
        cbData -= part;
        if (hf->dwSectorFill == sectorBytes || hf->dwPosition == hf->pFileEntry->dwFileSize) {
            const uint32_t error = WriteSector(hf);
            if (error != ERROR_SUCCESS) return error;
        }
    }
    return ERROR_SUCCESS;
}

uint32_t WriteSectorChecksums(TNQOVFileImpl* hf) {
    const uint32_t s = hf->nSectors;
    if (hf->ha->Header.dwRawChunkSize != 0) {
        hf->SectorOffsets[s + 1] = hf->SectorOffsets[s];
        return ERROR_SUCCESS;
    }
    std::vector<uint8_t> plain(static_cast<size_t>(s) * 4);
    for (uint32_t i = 0; i < s; i++) WriteLE32(&plain[static_cast<size_t>(i) * 4], hf->SectorChksums[i]);
    std::vector<uint8_t> block(plain.size());
    uint32_t blockLength = static_cast<uint32_t>(block.size());
    if (!CompressBlock(plain.data(), block.data(), &blockLength, static_cast<uint32_t>(plain.size()), -1))
        return QOVGetLastError();
    const uint32_t error = WriteStored(hf, hf->SectorOffsets[s], block.data(), blockLength);
    if (error != ERROR_SUCCESS) return error;
    hf->SectorOffsets[s + 1] = hf->SectorOffsets[s] + blockLength;
    GrowStored(hf, blockLength);
    return ERROR_SUCCESS;
}

uint32_t WriteSectorOffsets(TNQOVFileImpl* hf) {
    std::vector<uint8_t> table(hf->dwOffsetEntries * 4);
    for (uint32_t i = 0; i < hf->dwOffsetEntries; i++) WriteLE32(&table[i * 4], hf->SectorOffsets[i]);
    if (hf->pFileEntry->dwFlags & NQOV_FILE_ENCRYPTED)
        EncryptQOVBlock(table.data(), table.size(), hf->dwCipherKey - 1);
    return WriteStored(hf, 0, table.data(), static_cast<uint32_t>(table.size()));
}

// Reads the stored bytes back chunk by chunk and writes their MD5s after them.
uint32_t WriteChunkDigests(TNQOVFileImpl* hf) {
    const uint32_t chunk = hf->ha->Header.dwRawChunkSize;
    const uint32_t stored = hf->pFileEntry->dwStoredSize;
    if (chunk == 0 || stored == 0) return ERROR_SUCCESS;
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(std::min(chunk, stored));
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    std::vector<uint8_t> digests;
    digests.reserve(static_cast<size_t>(ChunkDigestBytes(hf->ha, stored)));
    for (uint32_t offset = 0; offset < stored; offset += std::min(chunk, stored - offset)) {
        const uint32_t length = std::min(chunk, stored - offset);
        uint64_t position = hf->qwStoredStart + offset;
        if (!FileStream_Read(hf->ha->pStream.get(), &position, buffer.get(), length))
            return QOVGetLastError();
        uint8_t digest[16];
        QOVMD5(buffer.get(), length, digest);
        digests.insert(digests.end(), digest, digest + 16);
    }
    return WriteStored(hf, stored, digests.data(), static_cast<uint32_t>(digests.size()));
}

uint32_t CompleteFile(TNQOVFileImpl* hf) {
    hf->WriteMD5.Final(hf->pFileEntry->ContentMD5);
    uint32_t error = ERROR_SUCCESS;
    if (hf->SectorChksums && (error = WriteSectorChecksums(hf)) != ERROR_SUCCESS) {
        QOV_LOG_ERROR("WriteSectorChecksums failed!", error);
        return error;
    }
    if (hf->SectorOffsets && (error = WriteSectorOffsets(hf)) != ERROR_SUCCESS) {
        QOV_LOG_ERROR("WriteSectorOffsets failed!", error);
        return error;
    }
    if ((error = WriteChunkDigests(hf)) != ERROR_SUCCESS) {
        QOV_LOG_ERROR("WriteQOVDataMD5 failed!", error);
        return error;
    }
    return ERROR_SUCCESS;
}

}  // namespace

//-----------------------------------------------------------------------------
// Internal steps.

uint32_t SFileAddFile_Init(TNQOVArchiveImpl* ha, const char* szName, uint32_t dwFileSize, uint32_t dwFlags,
                           TNQOVFile** phFile) {
    *phFile = nullptr;
    dwFlags = EffectiveFlags(dwFlags, dwFileSize);

    const uint64_t freePosition = DataAreaEnd(ha);
    TFileEntryImpl* entry = nullptr;
    const uint32_t existing = FindSlotByName(ha, szName);
    if (existing != QOV_NO_RECORD) {
        TFileEntryImpl* found = &ha->Records[existing];
        if (!(found->dwFlags & NQOV_FILE_DELETE_MARKER) && !(dwFlags & NQOV_FILE_EXISTS)) {
            QOV_LOG_ERROR("ERROR_ALREADY_EXISTS!", ERROR_ALREADY_EXISTS);
            return ERROR_ALREADY_EXISTS;
        }
        entry = found;
        entry->Reset();
        NoteRecordsChanged(ha);
        if (!SetRecordName(entry, szName)) return ERROR_NOT_ENOUGH_MEMORY;
    } else {
        entry = ClaimRecord(ha, szName);
        if (entry == nullptr) {
            const uint32_t error = QOVGetLastError();
            QOV_LOG_ERROR("ERROR_DISK_FULL!", error);
            return error;
        }
    }

    entry->ha = ha;
    entry->StoredOffset = freePosition;
    entry->dwFileSize = dwFileSize;
    entry->dwStoredSize = 0;
    entry->dwFlags = dwFlags | NQOV_FILE_EXISTS;

    uint64_t parentHash = 0;
    uint32_t error = EnsureFolders(ha, szName, &parentHash);
    if (error != ERROR_SUCCESS) {
        MarkRecordDeleted(ha, entry);
        return error;
    }
    entry->ParentNameHash = parentHash;
    LinkRecordToParent(ha, entry);

    TNQOVFileImpl* hf = CreateFileHandle(ha, entry);
    if (hf == nullptr) {
        MarkRecordDeleted(ha, entry);
        QOV_LOG_ERROR("ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    hf->bWriting = true;
    if (entry->dwFlags & NQOV_FILE_ENCRYPTED) hf->dwCipherKey = RecordKeyForName(entry, szName);
    ha->pActiveWriter = hf;
    *phFile = hf;
    return ERROR_SUCCESS;
}

uint32_t SFileAddFile_Write(TNQOVFileImpl* hf, const void* pvData, uint32_t dwSize) {
    if (pvData == nullptr || dwSize == 0) return ERROR_SUCCESS;
    uint32_t error = ERROR_SUCCESS;
    if (!hf->pbFileSector && (error = AllocateWriteBuffers(hf)) != ERROR_SUCCESS) {
        hf->bWriteFailed = true;
        return error;
    }
    if ((error = WriteData(hf, static_cast<const uint8_t*>(pvData), dwSize)) != ERROR_SUCCESS) {
        QOV_LOG_ERROR("WriteDataToQOVFile failed!", error);
        hf->bWriteFailed = true;
        return error;
    }
    if (hf->dwPosition == hf->pFileEntry->dwFileSize && (error = CompleteFile(hf)) != ERROR_SUCCESS) {
        hf->bWriteFailed = true;
        return error;
    }
    return ERROR_SUCCESS;
}

uint32_t SFileAddFile_Finish(TNQOVFileImpl* hf) {
    uint32_t result = ERROR_SUCCESS;
    if (!hf->bWriteFailed && hf->dwPosition != hf->pFileEntry->dwFileSize) {
        hf->bWriteFailed = true;
        result = ERROR_CAN_NOT_COMPLETE;
    }
    // An empty file gets the digest of no bytes, like every file written here.
    if (!hf->bWriteFailed && hf->pFileEntry->dwFileSize == 0 && IsZeroDigest(hf->pFileEntry->ContentMD5))
        hf->WriteMD5.Final(hf->pFileEntry->ContentMD5);
    if (hf->bWriteFailed && hf->pFileEntry != nullptr) MarkRecordDeleted(hf->ha, hf->pFileEntry);
    FreeFileHandle(hf);
    return result;
}
