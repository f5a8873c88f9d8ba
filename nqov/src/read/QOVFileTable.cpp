// QOVFileTable.cpp - the HET index and the file table: loading them from the
// enciphered tables, and the records' storage.

#include "read/QOVRead.h"

namespace {

// A compressed table body may not expand beyond what the coders can produce
// from typical data; this bounds the memory a damaged header can demand.
const uint64_t kMaxTableExpansion = 1032;

// Reads, deciphers and (when needed) decompresses one extended table into
// *pTable, which then holds the 12-byte header and dwBodySize body bytes.
uint32_t LoadExtTable(TNQOVArchiveImpl* ha, uint64_t qwRelPos, uint64_t qwSize64, uint32_t dwSignature,
                      uint32_t dwKey, std::vector<uint8_t>* pTable) {
    if (qwRelPos == 0) return ERROR_FILE_CORRUPT;
    const uint32_t storedSize = static_cast<uint32_t>(qwSize64);
    if (storedSize < kExtHeaderSize) return ERROR_FILE_CORRUPT;

    uint64_t fileSize = 0, position = 0, end = 0;
    if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) return ERROR_FILE_CORRUPT;
    if (!CheckedAdd64(ha->HeaderOffset, qwRelPos, &position) || !CheckedAdd64(position, storedSize, &end) ||
        end > fileSize)
        return ERROR_FILE_CORRUPT;

    // Room for the padding the caller may add for word loads.
    std::vector<uint8_t> stored;
    stored.reserve(static_cast<size_t>(storedSize) + 16);
    stored.resize(storedSize);
    if (!FileStream_Read(ha->pStream.get(), &position, stored.data(), storedSize)) return ERROR_FILE_CORRUPT;
    TByteReader fields(stored.data(), stored.size());
    if (fields.U32(kExtSignature) != dwSignature) return ERROR_FILE_CORRUPT;

    DecryptQOVBlock(stored.data() + kExtHeaderSize, storedSize - kExtHeaderSize, dwKey);

    const uint32_t bodySize = fields.U32(kExtBodySize);
    if (fields.Overrun()) return ERROR_FILE_CORRUPT;
    const uint32_t storedBody = storedSize - kExtHeaderSize;
    if (bodySize <= storedBody) {
        stored.resize(kExtHeaderSize + static_cast<size_t>(bodySize));
        pTable->swap(stored);
        return ERROR_SUCCESS;
    }

    // The body is compressed.
    if (bodySize > storedBody * kMaxTableExpansion + 65536) return ERROR_FILE_CORRUPT;
    std::vector<uint8_t> table;
    table.reserve(kExtHeaderSize + static_cast<size_t>(bodySize) + 16);
    table.resize(kExtHeaderSize + static_cast<size_t>(bodySize));
    memcpy(table.data(), stored.data(), kExtHeaderSize);
    uint32_t produced = bodySize;
    if (!DecompressBlock(table.data() + kExtHeaderSize, &produced, stored.data() + kExtHeaderSize,
                         storedBody) ||
        produced != bodySize)
        return ERROR_FILE_CORRUPT;
    pTable->swap(table);
    return ERROR_SUCCESS;
}

// One BET field: its start inside a record and its width.
struct TBetField {
    uint32_t start;
    uint32_t count;
};

bool FieldFitsAllRecords(const TBetField& field, uint32_t records, uint32_t recordBits, uint64_t arrayBits) {
    if (records == 0 || field.count == 0) return true;
    const uint64_t lastRecordStart = static_cast<uint64_t>(records - 1) * recordBits;
    return BitFieldFits(lastRecordStart + field.start, field.count, arrayBits);
}

}  // namespace

//-----------------------------------------------------------------------------
// HET index.

uint64_t THetTable::AllOnesIndex() const {
    return dwSlotIndexBits >= 64 ? ~static_cast<uint64_t>(0)
                                 : (static_cast<uint64_t>(1) << dwSlotIndexBits) - 1;
}

uint64_t THetTable::GetIndex(uint32_t slot) const {
    const uint64_t start = static_cast<uint64_t>(slot) * dwSlotIndexBits;
    if (!BitFieldFits(start, dwSlotIndexBits, IndexArrayBits)) return AllOnesIndex();
    return GetBits64Padded(IndexArray.data(), start, dwSlotIndexBits);
}

void THetTable::SetIndex(uint32_t slot, uint64_t index) {
    const uint64_t start = static_cast<uint64_t>(slot) * dwSlotIndexBits;
    if (BitFieldFits(start, dwSlotIndexBits, IndexArrayBits))
        SetBits64(IndexArray.data(), start, dwSlotIndexBits, index);
}

uint32_t ReadSlotTable(TNQOVArchiveImpl* ha) {
    std::vector<uint8_t> table;
    const uint32_t error = LoadExtTable(ha, ha->Header.HetTablePos64, ha->Header.HetTableSize64,
                                        HET_TABLE_SIGNATURE, NQOV_KEY_HET_TABLE, &table);
    if (error != ERROR_SUCCESS) return error;

    TByteReader fields(table.data(), table.size());
    const uint32_t bodySize = fields.U32(kExtBodySize);
    if (bodySize < kHetFixedBody) return ERROR_FILE_CORRUPT;
    if (fields.U32(kHetBodyTotalSize) != bodySize) return ERROR_FILE_CORRUPT;

    const uint32_t entryTotal = fields.U32(kHetEntryTotal);
    const uint32_t hashTableSize = fields.U32(kHetHashTableSize);
    const uint32_t nameHashBits = fields.U32(kHetNameHashBits);
    const uint32_t slotIndexBits = fields.U32(kHetSlotIndexBits);
    const uint32_t slotIndexBytes = fields.U32(kHetSlotIndexBytes);
    const uint32_t slotIndexExtraBits = fields.U32(kHetSlotIndexExtraBits);
    if (fields.Overrun()) return ERROR_FILE_CORRUPT;

    if (hashTableSize == 0 || hashTableSize > static_cast<uint64_t>(entryTotal) * 4 / 3)
        return ERROR_FILE_CORRUPT;
    if (nameHashBits < 8 || nameHashBits > 64 || slotIndexBits > 64) return ERROR_FILE_CORRUPT;
    // Slot bytes and index array must lie inside the body.
    const uint64_t arraysEnd = static_cast<uint64_t>(kHetFixedBody) + hashTableSize + slotIndexBytes;
    if (arraysEnd > bodySize) return ERROR_FILE_CORRUPT;
    if (static_cast<uint64_t>(hashTableSize) * slotIndexBits > static_cast<uint64_t>(slotIndexBytes) * 8)
        return ERROR_FILE_CORRUPT;

    std::unique_ptr<THetTable> het = QOVNew<THetTable>();
    if (!het) return ERROR_NOT_ENOUGH_MEMORY;
    het->dwEntryTotal = entryTotal;
    het->dwNameHashBits = nameHashBits;
    het->HashMask64 = HashMaskFor(nameHashBits);
    het->HashTopBit64 = static_cast<uint64_t>(1) << (nameHashBits - 1);
    het->dwFileIndexBits = QOVBitCount(entryTotal);
    het->dwHashTableSize = hashTableSize;
    het->dwSlotIndexBits = slotIndexBits;
    het->dwSlotIndexExtraBits = slotIndexExtraBits;
    const uint8_t* slotBytes = &table[kHetSlotBytes];
    het->SlotBytes.assign(slotBytes, slotBytes + hashTableSize);
    het->IndexArray.assign(slotBytes + hashTableSize, slotBytes + hashTableSize + slotIndexBytes);
    het->IndexArrayBits = static_cast<uint64_t>(slotIndexBytes) * 8;
    het->IndexArray.resize(het->IndexArray.size() + 16, 0);  // padding for word loads

    ha->pHetTable = std::move(het);
    ha->dwMaxFileCount = entryTotal;
    return ERROR_SUCCESS;
}

uint32_t BuildRecordTable(TNQOVArchiveImpl* ha) {
    THetTable* het = ha->pHetTable.get();
    if (het == nullptr || ha->dwFileTableSize != 0 || ha->dwMaxFileCount == 0) return ERROR_FILE_CORRUPT;

    std::vector<uint8_t> table;
    const uint32_t error = LoadExtTable(ha, ha->Header.BetTablePos64, ha->Header.BetTableSize64,
                                        BET_TABLE_SIGNATURE, NQOV_KEY_BET_TABLE, &table);
    if (error != ERROR_SUCCESS) return error;

    TByteReader fields(table.data(), table.size());
    const uint32_t bodySize = fields.U32(kExtBodySize);
    if (bodySize < kBetFixedBody) return ERROR_FILE_CORRUPT;
    if (fields.U32(kBetBodyTotalSize) != bodySize) return ERROR_FILE_CORRUPT;

    const uint32_t entryTotal = fields.U32(kBetEntryTotal);
    const uint32_t recordBits = fields.U32(kBetRecordBits);
    const uint32_t spareBits = fields.U32(kBetSpareBitCount);

    const TBetField pos = {fields.U32(kBetPosBitStart), fields.U32(kBetPosBitCount)};
    const TBetField size = {fields.U32(kBetSizeBitStart), fields.U32(kBetSizeBitCount)};
    const TBetField stored = {fields.U32(kBetStoredSizeBitStart), fields.U32(kBetStoredSizeBitCount)};
    const TBetField flags = {fields.U32(kBetFlagsBitStart), fields.U32(kBetFlagsBitCount)};
    const TBetField md5 = {fields.U32(kBetMD5BitStart), fields.U32(kBetMD5BitCount)};
    const TBetField parent = {fields.U32(kBetParentBitStart), fields.U32(kBetParentBitCount)};
    const uint32_t lowHashTotal = fields.U32(kBetLowHashBitTotal);
    const uint32_t lowHashCount = fields.U32(kBetLowHashBitCount);
    const uint32_t lowHashBytes = fields.U32(kBetLowHashBytes);
    if (fields.Overrun()) return ERROR_FILE_CORRUPT;

    // Every record needs a slot of the HET index, which bounds the table by
    // the size of the stored index.
    if (entryTotal > ha->dwMaxFileCount || entryTotal > het->dwHashTableSize) return ERROR_FILE_CORRUPT;
    if (spareBits != 0) return ERROR_FILE_CORRUPT;

    for (const TBetField* field : {&pos, &size, &stored, &flags, &parent})
        if (field->count > 64) return ERROR_FILE_CORRUPT;
    if (md5.count > 128 || lowHashCount > 64) return ERROR_FILE_CORRUPT;

    // Both bit arrays must lie inside the body, and every field inside its array.
    const uint64_t tableBits = static_cast<uint64_t>(entryTotal) * recordBits;
    const uint64_t tableBytes = (tableBits + 7) / 8;
    const uint64_t bodyBytesAfterHeader = bodySize - kBetFixedBody;
    if (tableBytes > bodyBytesAfterHeader || lowHashBytes > bodyBytesAfterHeader - tableBytes)
        return ERROR_FILE_CORRUPT;
    for (const TBetField* field : {&pos, &size, &stored, &flags, &md5, &parent})
        if (!FieldFitsAllRecords(*field, entryTotal, recordBits, tableBytes * 8)) return ERROR_FILE_CORRUPT;
    const uint64_t lowHashBits = static_cast<uint64_t>(lowHashBytes) * 8;
    if (!FieldFitsAllRecords({0, lowHashCount}, entryTotal, lowHashTotal, lowHashBits))
        return ERROR_FILE_CORRUPT;

    if (!ha->Records.Reserve(entryTotal)) return ERROR_NOT_ENOUGH_MEMORY;
    ha->BetWidths = {pos.count, size.count, stored.count, flags.count, md5.count, parent.count, recordBits};

    // Padding lets the fields be read with whole-word loads.
    table.resize(table.size() + 16, 0);
    const uint8_t* fileTable = &table[kBetFileTable];
    const uint8_t* lowHashes = fileTable + tableBytes;

    // 1. Name hashes from the HET slots.
    for (uint32_t slot = 0; slot < het->dwHashTableSize; slot++) {
        const uint8_t slotByte = het->SlotBytes[slot];
        if (slotByte == HET_SLOT_FREE) continue;
        const uint64_t index = het->GetIndex(slot);
        if (index >= entryTotal) {
            // A slot that names no record would point at the next record the
            // writer adds: keep it for probing, but as a reusable one.
            het->SlotBytes[slot] = HET_SLOT_REUSABLE;
            het->SetIndex(slot, het->AllOnesIndex());
            continue;
        }
        TFileEntryImpl& entry = ha->Records[static_cast<uint32_t>(index)];
        const uint64_t lowHash = GetBits64Padded(lowHashes, index * lowHashTotal, lowHashCount);
        entry.dwHetIndex = slot;
        entry.NameHash64 = lowHash + (static_cast<uint64_t>(slotByte) << 56);
    }

    // 2. The persistent fields of every record.
    for (uint32_t j = 0; j < entryTotal; j++) {
        TFileEntryImpl& entry = ha->Records[j];
        const uint64_t base = static_cast<uint64_t>(j) * recordBits;
        entry.StoredOffset = GetBits64Padded(fileTable, base + pos.start, pos.count);
        entry.dwFileSize = static_cast<uint32_t>(GetBits64Padded(fileTable, base + size.start, size.count));
        entry.dwStoredSize =
            static_cast<uint32_t>(GetBits64Padded(fileTable, base + stored.start, stored.count));
        entry.dwFlags = static_cast<uint32_t>(GetBits64Padded(fileTable, base + flags.start, flags.count));
        GetBitsToBytes(fileTable, base + md5.start, md5.count, entry.ContentMD5, sizeof(entry.ContentMD5));
        entry.ParentNameHash = GetBits64Padded(fileTable, base + parent.start, parent.count);
        entry.ha = ha;
    }

    ha->dwFileTableSize = entryTotal;
    return ERROR_SUCCESS;
}

//-----------------------------------------------------------------------------
// Records.

void TFileEntryImpl::Reset() {
    StoredOffset = 0;
    dwKeyCache = 0;
    dwFileSize = dwStoredSize = dwFlags = 0;
    memset(ContentMD5, 0, sizeof(ContentMD5));
    szFileName.reset();
    szPseudoName.reset();
    SectorOffsets.reset();
    SectorChksums.reset();
}

bool TRecordTable::Reserve(uint32_t count) {
    while (m_allocated < count) {
        std::unique_ptr<TFileEntryImpl[]> chunk = QOVAllocArray<TFileEntryImpl>(kChunkSize);
        if (!chunk) return false;
        m_chunks.push_back(std::move(chunk));
        for (uint32_t i = 0; i < kChunkSize; i++) m_chunks.back()[i].dwIndex = m_allocated + i;
        m_allocated += kChunkSize;
    }
    return true;
}

void TRecordTable::Clear() {
    m_chunks.clear();
    m_allocated = 0;
}
