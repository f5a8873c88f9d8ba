// QOVPatchArchives.cpp - patch archives attached to an archive, the merged
// name index over such a chain, and the file-id table.

#include "read/QOVRead.h"

#include <algorithm>

const uint8_t* VersionTag(const TNQOVArchiveImpl* ha) {
    const TQOVHeader& header = ha->Header;
    return IsZeroDigest(header.MD5_PatchedTag) ? header.MD5_QOVHeader : header.MD5_PatchedTag;
}

const uint8_t* ChainTag(const TNQOVArchiveImpl* ha) { return VersionTag(ha->Chain.front()); }

bool SFileOpenPatchArchive(const char* szPatchQOVName, TNQOVArchive* haIn, uint32_t dwFlags) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    const TQOVEntryDetail detail("[%s]", szPatchQOVName != nullptr ? szPatchQOVName : "");
    return QOVEnter(QOV_HERE_WITH(detail.Text()), false, [&]() -> bool {
        // Every check runs; the last one that fails names the error.
        uint32_t error = ERROR_SUCCESS;
        if (!IsValidArchive(ha)) {
            error = ERROR_INVALID_HANDLE;
            QOV_LOG_ERROR("IsValidQOVHandle ;", error);
        } else if (ha->pChainOwner->dwFileIdCount != 0) {
            error = ERROR_NOT_SAME_DEVICE;
            QOV_LOG_ERROR("fileIdTable has been initialized ;", error);
        }
        if (szPatchQOVName == nullptr || *szPatchQOVName == 0) {
            error = ERROR_INVALID_PARAMETER;
            QOV_LOG_ERROR("szPatchQOVName == NULL || *szPatchQOVName == 0 ;", error);
        }
        if (error != ERROR_SUCCESS) {
            QOVSetLastError(error);
            return false;
        }
        // A patch of a patch is attached to the chain's owner.
        TNQOVArchiveImpl* owner = ha->pChainOwner;

        TNQOVArchive* opened = nullptr;
        QOV_FAIL_IF(!SFileOpenArchive(szPatchQOVName, &opened, dwFlags), "the patch archive cannot be opened",
                    QOVGetLastError(), false);
        std::unique_ptr<TNQOVArchiveImpl> patch(Impl(opened));
        if (memcmp(patch->Header.MD5_PatchBaseTag, ChainTag(owner), 16) != 0) {
            patch.reset();
            QOV_FAIL("tag match failed! ;", ERROR_INVALID_PARAMETER, false);
        }
        patch->pChainOwner = owner;
        patch->dwOpenParameter = dwFlags;
        owner->Chain.insert(owner->Chain.begin(), patch.get());
        owner->Patches.push_back(std::move(patch));
        NoteRecordsChanged(owner);
        return true;
    });
}

//-----------------------------------------------------------------------------
// Merged index.

void NoteRecordsChanged(TNQOVArchiveImpl* ha) {
    TNQOVArchiveImpl* owner = ha->pChainOwner != nullptr ? ha->pChainOwner : ha;
    if (owner->pMergedIndex) owner->pMergedIndex->bStale = true;
}

bool RebuildHashTable(TNQOVArchiveImpl* ha) {
    TNQOVArchiveImpl* owner = ha->pChainOwner;
    if (!owner->pMergedIndex) {
        owner->pMergedIndex = QOVNew<TNQOVArchiveImpl::TMergedIndex>();
        QOV_FAIL_IF(!owner->pMergedIndex, "no memory for the merged index", ERROR_NOT_ENOUGH_MEMORY, false);
    }
    auto& entries = owner->pMergedIndex->Entries;
    entries.clear();
    // From the archive itself towards the newest patch: later ones win.
    for (auto archive = owner->Chain.rbegin(); archive != owner->Chain.rend(); ++archive) {
        TNQOVArchiveImpl* current = *archive;
        for (uint32_t i = 0; i < current->dwFileTableSize; i++) {
            TFileEntryImpl& entry = current->Records[i];
            if (entry.Exists()) entries[entry.NameHash64] = &entry;
        }
    }
    owner->pMergedIndex->bStale = false;
    return true;
}

TFileEntryImpl* MergedIndexLookup(TNQOVArchiveImpl* ha, uint64_t qwKey, bool* pbIndexed) {
    TNQOVArchiveImpl* owner = ha->pChainOwner;
    *pbIndexed = owner->pMergedIndex != nullptr;
    if (!*pbIndexed) return nullptr;
    if (owner->pMergedIndex->bStale && !RebuildHashTable(owner)) {
        *pbIndexed = false;  // without memory for the index, walk the chain
        return nullptr;
    }
    if (owner->pHetTable) qwKey = owner->pHetTable->MaskHash(qwKey);
    const auto& entries = owner->pMergedIndex->Entries;
    const auto found = entries.find(qwKey);
    return found == entries.end() ? nullptr : found->second;
}

//-----------------------------------------------------------------------------
// File-id table.

bool SFileBuildFileIdTable(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        TNQOVArchiveImpl* owner = ha->pChainOwner;
        // Every name hash of the chain once, in ascending order.
        std::vector<uint64_t> hashes;
        for (TNQOVArchiveImpl* archive : owner->Chain)
            for (uint32_t i = 0; i < archive->dwFileTableSize; i++) {
                TFileEntryImpl& entry = archive->Records[i];
                entry.dwFileId = NQOV_INVALID_FILE_ID;
                if (entry.Exists()) hashes.push_back(entry.NameHash64);
            }
        std::sort(hashes.begin(), hashes.end());
        hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
        QOV_FAIL_IF(hashes.size() >= NQOV_INVALID_FILE_ID, "too many files", ERROR_NOT_ENOUGH_MEMORY, false);

        std::vector<TFileEntryImpl*> table;
        table.reserve(hashes.size());
        for (uint64_t hash : hashes) {
            TFileEntryImpl* winner = FindRecordByHash(owner, hash);
            // No id when the lookup finds nothing (a damaged slot shadows it)
            // or another record: a damaged hash (without its top bit) is
            // masked onto that record's hash, and the record gets its one id
            // under its own.
            if (winner == nullptr || winner->NameHash64 != hash) continue;
            winner->dwFileId = static_cast<uint32_t>(table.size());
            table.push_back(winner);
        }
        owner->FileIdTable.swap(table);
        owner->dwFileIdCount = static_cast<uint32_t>(owner->FileIdTable.size());
        return true;
    });
}
