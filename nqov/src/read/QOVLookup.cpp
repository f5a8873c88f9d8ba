// QOVLookup.cpp - finding records by name or name hash, in one archive and
// over a chain, and the names of records.

#include "read/QOVRead.h"

uint32_t FindSlotByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash) {
    const THetTable* het = ha->pHetTable.get();
    if (het == nullptr || het->dwHashTableSize == 0) return QOV_NO_RECORD;
    const uint64_t masked = het->MaskHash(qwNameHash);
    const uint8_t slotByte = het->SlotByte(masked);
    const uint32_t start = static_cast<uint32_t>(masked % het->dwHashTableSize);
    uint32_t slot = start;
    do {
        const uint8_t current = het->SlotBytes[slot];
        if (current == HET_SLOT_FREE) break;
        if (current == slotByte) {
            const uint64_t index = het->GetIndex(slot);
            if (index < ha->dwFileTableSize && ha->Records[static_cast<uint32_t>(index)].NameHash64 == masked)
                return static_cast<uint32_t>(index);
        }
        slot = slot + 1 == het->dwHashTableSize ? 0 : slot + 1;
    } while (slot != start);
    return QOV_NO_RECORD;
}

uint32_t FindSlotByName(TNQOVArchiveImpl* ha, const char* szName) {
    return FindSlotByHash(ha, QOVNameHash(szName));
}

uint64_t NameLookupKey(const char* szName, bool* pbPseudo) {
    uint64_t number = 0;
    const bool pseudo = IsPseudoFileName(szName, &number);
    if (pbPseudo != nullptr) *pbPseudo = pseudo;
    if (pseudo) return number;
    return QOVNameHash(szName) | (static_cast<uint64_t>(1) << 63);
}

TFileEntryImpl* RecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash) {
    const uint32_t index = FindSlotByHash(ha, qwNameHash);
    return index == QOV_NO_RECORD ? nullptr : &ha->Records[index];
}

TFileEntryImpl* RecordByName(TNQOVArchiveImpl* ha, const char* szName) {
    uint64_t number = 0;
    if (IsPseudoFileName(szName, &number)) return RecordByHash(ha, number);
    const uint32_t index = FindSlotByName(ha, szName);
    return index == QOV_NO_RECORD ? nullptr : &ha->Records[index];
}

TFileEntryImpl* FindRecordByName(TNQOVArchiveImpl* ha, const char* szName) {
    bool indexed = false;
    TFileEntryImpl* found = MergedIndexLookup(ha, NameLookupKey(szName, nullptr), &indexed);
    if (indexed) return found;
    for (TNQOVArchiveImpl* archive : ha->pChainOwner->Chain)
        if (TFileEntryImpl* entry = RecordByName(archive, szName)) return entry;
    return nullptr;
}

TFileEntryImpl* FindRecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash) {
    bool indexed = false;
    TFileEntryImpl* found = MergedIndexLookup(ha, qwNameHash, &indexed);
    if (indexed) return found;
    for (TNQOVArchiveImpl* archive : ha->pChainOwner->Chain)
        if (TFileEntryImpl* entry = RecordByHash(archive, qwNameHash)) return entry;
    return nullptr;
}

TNQOVArchiveImpl* FindArchiveOfName(TNQOVArchiveImpl* ha, const char* szName) {
    for (TNQOVArchiveImpl* archive : ha->pChainOwner->Chain)
        if (RecordByName(archive, szName) != nullptr) return archive;
    return nullptr;
}

//-----------------------------------------------------------------------------
// Names.

const char* GetRecordName(TFileEntryImpl* pEntry) {
    if (pEntry->szFileName) return pEntry->szFileName.get();
    std::lock_guard<std::mutex> lock(pEntry->ha->Lock);
    if (!pEntry->szPseudoName) {
        char pseudo[QOV_PSEUDO_NAME_SIZE];
        FormatPseudoFileName(pEntry->NameHash64, pseudo);
        pEntry->szPseudoName = QOVCopyName(pseudo);
    }
    return pEntry->szPseudoName.get();
}

bool SetRecordName(TFileEntryImpl* pEntry, const char* szName) {
    std::unique_ptr<char[]> copy = QOVCopyName(szName);
    if (!copy) return false;
    pEntry->szFileName = std::move(copy);
    pEntry->szPseudoName.reset();
    return true;
}
