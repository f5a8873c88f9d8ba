// QOVRecords.cpp - records for the writer: a new HET index, claiming a slot
// and a record for a name, dropping records and marking them deleted.

#include "write/QOVWrite.h"

std::unique_ptr<THetTable> CreateHetTable(uint32_t capacity) {
    std::unique_ptr<THetTable> het = QOVNew<THetTable>();
    if (!het) return nullptr;
    het->dwEntryTotal = capacity;
    het->dwNameHashBits = 64;
    het->HashMask64 = HashMaskFor(64);
    het->HashTopBit64 = static_cast<uint64_t>(1) << 63;
    het->dwHashTableSize = static_cast<uint32_t>(static_cast<uint64_t>(capacity) * 4 / 3);
    het->dwSlotIndexBits = het->dwFileIndexBits = QOVBitCount(capacity);
    het->dwSlotIndexExtraBits = 0;
    const uint64_t indexBits = static_cast<uint64_t>(het->dwHashTableSize) * het->dwSlotIndexBits;
    het->SlotBytes.assign(het->dwHashTableSize, HET_SLOT_FREE);
    het->IndexArray.assign(static_cast<size_t>((indexBits + 7) / 8), 0xFF);
    het->IndexArrayBits = het->IndexArray.size() * 8;
    het->IndexArray.resize(het->IndexArray.size() + 16, 0);  // padding for word loads
    return het;
}

uint32_t ClaimSlot(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    THetTable* het = ha->pHetTable.get();
    if (het == nullptr || het->dwHashTableSize == 0) return QOV_NO_RECORD;
    // The index must be storable and distinct from the "reusable" marker.
    if (static_cast<uint64_t>(pEntry->dwIndex) >= het->AllOnesIndex()) return QOV_NO_RECORD;
    const uint64_t hash = pEntry->szFileName ? QOVNameHash(pEntry->szFileName.get()) : pEntry->NameHash64;
    const uint64_t masked = het->MaskHash(hash);
    const uint8_t slotByte = het->SlotByte(masked);
    const uint32_t start = static_cast<uint32_t>(masked % het->dwHashTableSize);
    const uint64_t allOnes = het->AllOnesIndex();
    uint32_t slot = start;
    do {
        const uint8_t current = het->SlotBytes[slot];
        if (current == HET_SLOT_FREE || (current == HET_SLOT_REUSABLE && het->GetIndex(slot) == allOnes)) {
            het->SlotBytes[slot] = slotByte;
            het->SetIndex(slot, pEntry->dwIndex);
            pEntry->NameHash64 = masked;
            pEntry->dwHetIndex = slot;
            return slot;
        }
        slot = slot + 1 == het->dwHashTableSize ? 0 : slot + 1;
    } while (slot != start);
    return QOV_NO_RECORD;
}

TFileEntryImpl* ClaimRecord(TNQOVArchiveImpl* ha, const char* szName) {
    const uint32_t existing = FindSlotByName(ha, szName);
    TFileEntryImpl* entry = nullptr;
    bool isNew = false;
    if (existing != QOV_NO_RECORD) {
        entry = &ha->Records[existing];
    } else {
        QOV_FAIL_IF(ha->dwFileTableSize >= ha->dwMaxFileCount, "the file table is full", ERROR_DISK_FULL,
                    nullptr);
        QOV_FAIL_IF(!ha->Records.Reserve(ha->dwFileTableSize + 1), "no memory for the record",
                    ERROR_NOT_ENOUGH_MEMORY, nullptr);
        entry = &ha->Records[ha->dwFileTableSize];
        isNew = true;
    }

    entry->Reset();
    entry->ha = ha;
    QOV_FAIL_IF(!SetRecordName(entry, szName), "no memory for the name", ERROR_NOT_ENOUGH_MEMORY, nullptr);
    if (isNew) {
        if (ClaimSlot(ha, entry) == QOV_NO_RECORD) {
            entry->Reset();
            QOV_FAIL("no free slot in the HET index", ERROR_DISK_FULL, nullptr);
        }
        ha->dwFileTableSize++;
    }
    NoteRecordsChanged(ha);
    return entry;
}

void DropRecord(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    THetTable* het = ha->pHetTable.get();
    if (het != nullptr && pEntry->dwHetIndex < het->dwHashTableSize &&
        het->GetIndex(pEntry->dwHetIndex) == pEntry->dwIndex) {
        het->SlotBytes[pEntry->dwHetIndex] = HET_SLOT_REUSABLE;
        het->SetIndex(pEntry->dwHetIndex, het->AllOnesIndex());
    }
    UnlinkFromParent(ha, pEntry);
    pEntry->Reset();
    pEntry->NameHash64 = 0;
    pEntry->ParentNameHash = 0;
    pEntry->dwHetIndex = 0;
    NoteRecordsChanged(ha);
}

void MarkRecordDeleted(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    NoteRecordsChanged(ha);
    if (ha->pHetTable) {
        pEntry->Reset();
        pEntry->dwFlags = NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER;
        return;
    }
    UnlinkFromParent(ha, pEntry);
    pEntry->Reset();
    while (ha->dwFileTableSize > 0 && !ha->Records[ha->dwFileTableSize - 1].Exists()) ha->dwFileTableSize--;
}
