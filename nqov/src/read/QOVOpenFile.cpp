// QOVOpenFile.cpp - file handles: finding a record to open (by name, pseudo
// name, name hash or file id, in one archive or over a chain), opening and
// closing handles.

#include "read/QOVRead.h"

#include <algorithm>

namespace {

const uint32_t kRefusedFlags = ~NQOV_FILE_VALID_FLAGS;  // 0x38ECFDFF

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
    return OpenRecord(found.archive, entry, szName, found.byPseudoName, phFile) ? ERROR_SUCCESS
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
    TNQOVFileImpl* hf = QOVNew<TNQOVFileImpl>().release();
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
            hf->dwCipherKey = RecordKeyForName(pEntry, szName);
    } else if (!SFileGetFileName(hf)) {
        const uint32_t error = QOVGetLastError();
        FreeFileHandle(hf);
        QOV_FAIL("SFileGetFileName failed!", error, false);
    }
    *phFile = hf;
    return true;
}

bool NQOVOpenFileEx(TNQOVArchive* haIn, const char* szFileName, uint32_t dwSearchScope, TNQOVFile** phFile,
                    uint64_t qwNameHash) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        QOV_FAIL_IF(phFile == nullptr, "phFile == null", ERROR_INVALID_PARAMETER, false);
        *phFile = nullptr;
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);

        uint32_t error = ERROR_SUCCESS;
        switch (dwSearchScope) {
            case QOV_OPEN_FROM_ARCHIVE: {
                TLookup found;
                if (!LookupInIndex(ha, szFileName, qwNameHash, &found))
                    found = LookupInArchive(ha, szFileName, qwNameHash);
                error =
                    found.error != ERROR_SUCCESS ? found.error : OpenFoundRecord(found, szFileName, phFile);
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
                if (error == ERROR_FILE_NOT_FOUND) QOV_FAIL("ERROR_FILE_NOT_FOUND(patched)", error, false);
                break;
            }
            case QOV_OPEN_TABLE_ONLY: {
                const TLookup found = LookupTableOnly(ha, szFileName, qwNameHash);
                error =
                    found.error != ERROR_SUCCESS ? found.error : OpenFoundRecord(found, szFileName, phFile);
                break;
            }
            default:
                error = ERROR_INVALID_PARAMETER;
                break;
        }
        switch (error) {
            case ERROR_SUCCESS:
                return true;
            case ERROR_FILE_NOT_FOUND:
                QOV_FAIL("ERROR_FILE_NOT_FOUND!", error, false);
            case ERROR_NOT_SUPPORTED:
                QOV_FAIL("ERROR_NOT_SUPPORTED!", error, false);
            case ERROR_INVALID_PARAMETER:
                QOV_FAIL("invalid parameter!", error, false);
            default:
                QOV_FAIL("open failed", error, false);
        }
    });
}

bool NQOVOpenFileEx(TNQOVArchive* haIn, uint32_t dwFileId, TNQOVFile** phFile) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(phFile == nullptr, "phFile == null", ERROR_INVALID_PARAMETER, false);
        *phFile = nullptr;
        TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr, "invalid file id", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(!entry->Exists(), "ERROR_FILE_NOT_FOUND!", ERROR_FILE_NOT_FOUND, false);
        QOV_FAIL_IF(entry->dwFlags & kRefusedFlags, "ERROR_NOT_SUPPORTED!", ERROR_NOT_SUPPORTED, false);
        TNQOVFileImpl* hf = CreateFileHandle(entry->ha, entry);
        QOV_FAIL_IF(hf == nullptr, "ERROR_NOT_ENOUGH_MEMORY!", ERROR_NOT_ENOUGH_MEMORY, false);
        hf->dwCipherKey = InitialFileKey(entry);
        *phFile = hf;
        return true;
    });
}

bool SFileCloseFile(TNQOVFile* hfIn) {
    return QOVEnter(QOV_HERE, hfIn, false, [&](TNQOVFileImpl* hf) -> bool {
        // Only the writer makes handles that write.
        if (hf->bWriting && QOVWriter() != nullptr) return QOVWriter()->FinishFile(hf);
        FreeFileHandle(hf);
        return true;
    });
}