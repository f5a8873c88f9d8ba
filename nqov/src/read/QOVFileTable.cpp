// QOVFileTable.cpp - the HET index and the file table: loading them from the
// enciphered tables, name lookup, record allocation for the writer, the
// directory tree, and serialising the tables back.

#include "read/QOVArchive.h"

#include <algorithm>

namespace {

// Offsets of the extended-table fields, counted from the start of the stored
// table (the common 12-byte header included).
enum : uint32_t {
    kExtSignature = 0,
    kExtVersion = 4,
    kExtBodySize = 8,
    kExtHeaderSize = 12,

    kHetBodyTotalSize = 12,
    kHetEntryTotal = 16,
    kHetHashTableSize = 20,
    kHetNameHashBits = 24,
    kHetSlotIndexBits = 28,
    kHetSlotIndexExtraBits = 32,
    kHetFileIndexBits = 36,
    kHetSlotIndexBytes = 40,
    kHetSlotBytes = 44,
    kHetFixedBody = 32,

    kBetBodyTotalSize = 12,
    kBetEntryTotal = 16,
    kBetRecordBits = 20,
    kBetPosBitStart = 24,
    kBetSizeBitStart = 28,
    kBetStoredSizeBitStart = 32,
    kBetFlagsBitStart = 36,
    kBetMD5BitStart = 40,
    kBetSpareBitStart = 44,
    kBetPosBitCount = 48,
    kBetSizeBitCount = 52,
    kBetStoredSizeBitCount = 56,
    kBetFlagsBitCount = 60,
    kBetMD5BitCount = 64,
    kBetSpareBitCount = 68,
    kBetLowHashBitTotal = 72,
    kBetLowHashBitExtra = 76,
    kBetLowHashBitCount = 80,
    kBetLowHashBytes = 84,
    kBetParentBitStart = 88,
    kBetParentBitCount = 92,
    kBetFileTable = 96,
    kBetFixedBody = 84,
};

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
    if (!CheckedAdd64(ha->HeaderOffset, qwRelPos, &position) ||
        !CheckedAdd64(position, storedSize, &end) || end > fileSize)
        return ERROR_FILE_CORRUPT;

    // Room for the padding the caller may add for word loads.
    std::vector<uint8_t> stored;
    stored.reserve(static_cast<size_t>(storedSize) + 16);
    stored.resize(storedSize);
    if (!FileStream_Read(ha->pStream.get(), &position, stored.data(), storedSize))
        return ERROR_FILE_CORRUPT;
    if (ReadLE32(&stored[kExtSignature]) != dwSignature) return ERROR_FILE_CORRUPT;

    DecryptQOVBlock(stored.data() + kExtHeaderSize, storedSize - kExtHeaderSize, dwKey);

    const uint32_t bodySize = ReadLE32(&stored[kExtBodySize]);
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

uint64_t HashMaskFor(uint32_t nameHashBits) {
    return nameHashBits >= 64 ? ~static_cast<uint64_t>(0)
                              : (static_cast<uint64_t>(1) << nameHashBits) - 1;
}

// One BET field: its start inside a record and its width.
struct TBetField {
    uint32_t start;
    uint32_t count;
};

bool FieldFitsAllRecords(const TBetField& field, uint32_t records, uint32_t recordBits,
                         uint64_t arrayBits) {
    if (records == 0 || field.count == 0) return true;
    const uint64_t lastRecordStart = static_cast<uint64_t>(records - 1) * recordBits;
    return BitFieldFits(lastRecordStart + field.start, field.count, arrayBits);
}

void UnlinkFromParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    if (pEntry->ParentIndex == QOV_NO_RECORD) return;
    TFileEntryImpl& parent = ha->Records[pEntry->ParentIndex];
    if (pEntry->PrevSibling != QOV_NO_RECORD)
        ha->Records[pEntry->PrevSibling].NextSibling = pEntry->NextSibling;
    else
        parent.FirstChild = pEntry->NextSibling;
    if (pEntry->NextSibling != QOV_NO_RECORD)
        ha->Records[pEntry->NextSibling].PrevSibling = pEntry->PrevSibling;
    else
        parent.LastChild = pEntry->PrevSibling;
    pEntry->ParentIndex = pEntry->PrevSibling = pEntry->NextSibling = QOV_NO_RECORD;
}

void AppendChild(TNQOVArchiveImpl* ha, uint32_t parentIndex, TFileEntryImpl* pEntry) {
    UnlinkFromParent(ha, pEntry);
    TFileEntryImpl& parent = ha->Records[parentIndex];
    pEntry->ParentIndex = parentIndex;
    pEntry->PrevSibling = parent.LastChild;
    if (parent.LastChild != QOV_NO_RECORD)
        ha->Records[parent.LastChild].NextSibling = pEntry->dwIndex;
    else
        parent.FirstChild = pEntry->dwIndex;
    parent.LastChild = pEntry->dwIndex;
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

std::unique_ptr<THetTable> CreateHetTable(uint32_t capacity) {
    std::unique_ptr<THetTable> het(new (std::nothrow) THetTable());
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

uint32_t ReadSlotTable(TNQOVArchiveImpl* ha) {
    std::vector<uint8_t> table;
    const uint32_t error = LoadExtTable(ha, ha->Header.HetTablePos64, ha->Header.HetTableSize64,
                                        HET_TABLE_SIGNATURE, NQOV_KEY_HET_TABLE, &table);
    if (error != ERROR_SUCCESS) return error;

    const uint32_t bodySize = ReadLE32(&table[kExtBodySize]);
    if (bodySize < kHetFixedBody) return ERROR_FILE_CORRUPT;
    if (ReadLE32(&table[kHetBodyTotalSize]) != bodySize) return ERROR_FILE_CORRUPT;

    const uint32_t entryTotal = ReadLE32(&table[kHetEntryTotal]);
    const uint32_t hashTableSize = ReadLE32(&table[kHetHashTableSize]);
    const uint32_t nameHashBits = ReadLE32(&table[kHetNameHashBits]);
    const uint32_t slotIndexBits = ReadLE32(&table[kHetSlotIndexBits]);
    const uint32_t slotIndexBytes = ReadLE32(&table[kHetSlotIndexBytes]);

    if (hashTableSize == 0 || hashTableSize > static_cast<uint64_t>(entryTotal) * 4 / 3)
        return ERROR_FILE_CORRUPT;
    if (nameHashBits < 8 || nameHashBits > 64 || slotIndexBits > 64) return ERROR_FILE_CORRUPT;
    // Slot bytes and index array must lie inside the body.
    const uint64_t arraysEnd = static_cast<uint64_t>(kHetFixedBody) + hashTableSize + slotIndexBytes;
    if (arraysEnd > bodySize) return ERROR_FILE_CORRUPT;
    if (static_cast<uint64_t>(hashTableSize) * slotIndexBits > static_cast<uint64_t>(slotIndexBytes) * 8)
        return ERROR_FILE_CORRUPT;

    std::unique_ptr<THetTable> het(new THetTable());
    het->dwEntryTotal = entryTotal;
    het->dwNameHashBits = nameHashBits;
    het->HashMask64 = HashMaskFor(nameHashBits);
    het->HashTopBit64 = static_cast<uint64_t>(1) << (nameHashBits - 1);
    het->dwFileIndexBits = QOVBitCount(entryTotal);
    het->dwHashTableSize = hashTableSize;
    het->dwSlotIndexBits = slotIndexBits;
    het->dwSlotIndexExtraBits = ReadLE32(&table[kHetSlotIndexExtraBits]);
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
    if (het == nullptr || ha->dwFileTableSize != 0 || ha->dwMaxFileCount == 0)
        return ERROR_FILE_CORRUPT;

    std::vector<uint8_t> table;
    const uint32_t error = LoadExtTable(ha, ha->Header.BetTablePos64, ha->Header.BetTableSize64,
                                        BET_TABLE_SIGNATURE, NQOV_KEY_BET_TABLE, &table);
    if (error != ERROR_SUCCESS) return error;

    const uint32_t bodySize = ReadLE32(&table[kExtBodySize]);
    if (bodySize < kBetFixedBody) return ERROR_FILE_CORRUPT;
    if (ReadLE32(&table[kBetBodyTotalSize]) != bodySize) return ERROR_FILE_CORRUPT;

    const uint32_t entryTotal = ReadLE32(&table[kBetEntryTotal]);
    const uint32_t recordBits = ReadLE32(&table[kBetRecordBits]);
    // Every record needs a slot of the HET index, which bounds the table by
    // the size of the stored index.
    if (entryTotal > ha->dwMaxFileCount || entryTotal > het->dwHashTableSize)
        return ERROR_FILE_CORRUPT;
    if (ReadLE32(&table[kBetSpareBitCount]) != 0) return ERROR_FILE_CORRUPT;

    const TBetField pos = {ReadLE32(&table[kBetPosBitStart]), ReadLE32(&table[kBetPosBitCount])};
    const TBetField size = {ReadLE32(&table[kBetSizeBitStart]), ReadLE32(&table[kBetSizeBitCount])};
    const TBetField stored = {ReadLE32(&table[kBetStoredSizeBitStart]),
                              ReadLE32(&table[kBetStoredSizeBitCount])};
    const TBetField flags = {ReadLE32(&table[kBetFlagsBitStart]), ReadLE32(&table[kBetFlagsBitCount])};
    const TBetField md5 = {ReadLE32(&table[kBetMD5BitStart]), ReadLE32(&table[kBetMD5BitCount])};
    const TBetField parent = {ReadLE32(&table[kBetParentBitStart]),
                              ReadLE32(&table[kBetParentBitCount])};
    const uint32_t lowHashTotal = ReadLE32(&table[kBetLowHashBitTotal]);
    const uint32_t lowHashCount = ReadLE32(&table[kBetLowHashBitCount]);
    const uint32_t lowHashBytes = ReadLE32(&table[kBetLowHashBytes]);

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
        if (!FieldFitsAllRecords(*field, entryTotal, recordBits, tableBytes * 8))
            return ERROR_FILE_CORRUPT;
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
        const uint64_t lowHash =
            GetBits64Padded(lowHashes, index * lowHashTotal, lowHashCount);
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
        GetBitsToBytes(fileTable, base + md5.start, md5.count, entry.ContentMD5,
                       sizeof(entry.ContentMD5));
        entry.ParentNameHash = GetBits64Padded(fileTable, base + parent.start, parent.count);
        entry.ha = ha;
    }

    ha->dwFileTableSize = entryTotal;
    return ERROR_SUCCESS;
}

//-----------------------------------------------------------------------------
// Lookup.

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
            if (index < ha->dwFileTableSize &&
                ha->Records[static_cast<uint32_t>(index)].NameHash64 == masked)
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
        const std::string pseudo = MakePseudoFileName(pEntry->NameHash64);
        std::unique_ptr<char[]> copy(new char[pseudo.size() + 1]);
        memcpy(copy.get(), pseudo.c_str(), pseudo.size() + 1);
        pEntry->szPseudoName = std::move(copy);
    }
    return pEntry->szPseudoName.get();
}

bool SetRecordName(TFileEntryImpl* pEntry, const char* szName) {
    const size_t length = strlen(szName);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
    if (!copy) return false;
    memcpy(copy.get(), szName, length + 1);
    pEntry->szFileName = std::move(copy);
    pEntry->szPseudoName.reset();
    return true;
}

//-----------------------------------------------------------------------------
// Directory tree.

bool buildDirTree(TNQOVArchiveImpl* ha) {
    // Records of one folder usually follow one another: remember the last parent.
    uint64_t lastParentHash = 0;
    uint32_t lastParentIndex = QOV_NO_RECORD;
    for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
        TFileEntryImpl& entry = ha->Records[i];
        if (!entry.Exists() || entry.ParentNameHash == 0) continue;
        if (entry.ParentNameHash != lastParentHash || lastParentIndex == QOV_NO_RECORD) {
            lastParentIndex = FindSlotByHash(ha, entry.ParentNameHash);
            lastParentHash = entry.ParentNameHash;
        }
        if (lastParentIndex == QOV_NO_RECORD) return false;
        AppendChild(ha, lastParentIndex, &entry);
    }
    return true;
}

void LinkRecordToParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    if (pEntry->ParentNameHash == 0) {
        UnlinkFromParent(ha, pEntry);
        return;
    }
    const uint32_t parentIndex = FindSlotByHash(ha, pEntry->ParentNameHash);
    if (parentIndex != QOV_NO_RECORD && parentIndex != pEntry->dwIndex)
        AppendChild(ha, parentIndex, pEntry);
}

//-----------------------------------------------------------------------------
// Records for the writer.

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
        std::unique_ptr<TFileEntryImpl[]> chunk(new (std::nothrow) TFileEntryImpl[kChunkSize]);
        if (!chunk) return false;
        try {
            m_chunks.push_back(std::move(chunk));
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (uint32_t i = 0; i < kChunkSize; i++) m_chunks.back()[i].dwIndex = m_allocated + i;
        m_allocated += kChunkSize;
    }
    return true;
}

void TRecordTable::Clear() {
    m_chunks.clear();
    m_allocated = 0;
}

uint32_t ClaimSlot(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry) {
    THetTable* het = ha->pHetTable.get();
    if (het == nullptr || het->dwHashTableSize == 0) return QOV_NO_RECORD;
    // The index must be storable and distinct from the "reusable" marker.
    if (static_cast<uint64_t>(pEntry->dwIndex) >= het->AllOnesIndex()) return QOV_NO_RECORD;
    const uint64_t hash = pEntry->szFileName ? QOVNameHash(pEntry->szFileName.get())
                                             : pEntry->NameHash64;
    const uint64_t masked = het->MaskHash(hash);
    const uint8_t slotByte = het->SlotByte(masked);
    const uint32_t start = static_cast<uint32_t>(masked % het->dwHashTableSize);
    const uint64_t allOnes = het->AllOnesIndex();
    uint32_t slot = start;
    do {
        const uint8_t current = het->SlotBytes[slot];
        if (current == HET_SLOT_FREE ||
            (current == HET_SLOT_REUSABLE && het->GetIndex(slot) == allOnes)) {
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
        if (ha->dwFileTableSize >= ha->dwMaxFileCount) {
            QOVSetLastError(ERROR_DISK_FULL);
            return nullptr;
        }
        if (!ha->Records.Reserve(ha->dwFileTableSize + 1)) {
            QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        entry = &ha->Records[ha->dwFileTableSize];
        isNew = true;
    }

    entry->Reset();
    entry->ha = ha;
    if (!SetRecordName(entry, szName)) {
        QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (isNew) {
        if (ClaimSlot(ha, entry) == QOV_NO_RECORD) {
            entry->Reset();
            QOVSetLastError(ERROR_DISK_FULL);
            return nullptr;
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
    while (ha->dwFileTableSize > 0 && !ha->Records[ha->dwFileTableSize - 1].Exists())
        ha->dwFileTableSize--;
}

//-----------------------------------------------------------------------------
// Serialising.

bool SerializeSlotTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable) {
    const THetTable* het = ha->pHetTable.get();
    if (het == nullptr) return false;
    const uint64_t indexBits = static_cast<uint64_t>(het->dwHashTableSize) * het->dwSlotIndexBits;
    const uint64_t indexBytes = (indexBits + 7) / 8;
    const uint64_t bodySize = kHetFixedBody + static_cast<uint64_t>(het->dwHashTableSize) + indexBytes;
    if (bodySize > UINT32_MAX - kExtHeaderSize) return false;

    std::vector<uint8_t>& table = *pTable;
    table.assign(kExtHeaderSize + static_cast<size_t>(bodySize), 0);
    WriteLE32(&table[kExtSignature], HET_TABLE_SIGNATURE);
    WriteLE32(&table[kExtVersion], 1);
    WriteLE32(&table[kExtBodySize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kHetBodyTotalSize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kHetEntryTotal], het->dwEntryTotal);
    WriteLE32(&table[kHetHashTableSize], het->dwHashTableSize);
    WriteLE32(&table[kHetNameHashBits], het->dwNameHashBits);
    WriteLE32(&table[kHetSlotIndexBits], het->dwSlotIndexBits);
    WriteLE32(&table[kHetSlotIndexExtraBits], het->dwSlotIndexExtraBits);
    WriteLE32(&table[kHetFileIndexBits], het->dwFileIndexBits);
    WriteLE32(&table[kHetSlotIndexBytes], static_cast<uint32_t>(indexBytes));
    memcpy(&table[kHetSlotBytes], het->SlotBytes.data(), het->dwHashTableSize);
    const size_t copy = std::min<size_t>(het->IndexArray.size(), static_cast<size_t>(indexBytes));
    memcpy(&table[kHetSlotBytes + het->dwHashTableSize], het->IndexArray.data(), copy);
    return true;
}

bool SerializeRecordTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable) {
    const THetTable* het = ha->pHetTable.get();
    const uint32_t nameHashBits = het != nullptr ? het->dwNameHashBits : 64;
    const uint32_t count = ha->dwFileTableSize;

    uint64_t maxOffset = 0, maxSize = 0, maxStored = 0;
    for (uint32_t i = 0; i < count; i++) {
        const TFileEntryImpl& entry = ha->Records[i];
        maxOffset = std::max<uint64_t>(maxOffset, entry.StoredOffset);
        maxSize = std::max<uint64_t>(maxSize, entry.dwFileSize);
        maxStored = std::max<uint64_t>(maxStored, entry.dwStoredSize);
    }
    const uint32_t posBits = QOVBitCount(maxOffset);
    const uint32_t sizeBits = QOVBitCount(maxSize);
    const uint32_t storedBits = QOVBitCount(maxStored);
    const uint32_t lengthBits = posBits + sizeBits + storedBits;  // "L"
    const uint32_t recordBits = lengthBits + 224;
    const uint32_t lowHashBits = nameHashBits - 8;

    const uint64_t tableBytes = (static_cast<uint64_t>(count) * recordBits + 7) / 8;
    const uint64_t lowHashBytes = (static_cast<uint64_t>(count) * lowHashBits + 7) / 8;
    const uint64_t bodySize = kBetFixedBody + tableBytes + lowHashBytes;
    if (bodySize > UINT32_MAX - kExtHeaderSize) return false;

    std::vector<uint8_t>& table = *pTable;
    table.assign(kExtHeaderSize + static_cast<size_t>(bodySize), 0);
    WriteLE32(&table[kExtSignature], BET_TABLE_SIGNATURE);
    WriteLE32(&table[kExtVersion], 1);
    WriteLE32(&table[kExtBodySize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kBetBodyTotalSize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kBetEntryTotal], count);
    WriteLE32(&table[kBetRecordBits], recordBits);
    WriteLE32(&table[kBetPosBitStart], 0);
    WriteLE32(&table[kBetSizeBitStart], posBits);
    WriteLE32(&table[kBetStoredSizeBitStart], posBits + sizeBits);
    WriteLE32(&table[kBetFlagsBitStart], lengthBits);
    WriteLE32(&table[kBetMD5BitStart], lengthBits + 32);
    WriteLE32(&table[kBetSpareBitStart], lengthBits + 32);
    WriteLE32(&table[kBetPosBitCount], posBits);
    WriteLE32(&table[kBetSizeBitCount], sizeBits);
    WriteLE32(&table[kBetStoredSizeBitCount], storedBits);
    WriteLE32(&table[kBetFlagsBitCount], 32);
    WriteLE32(&table[kBetMD5BitCount], 128);
    WriteLE32(&table[kBetSpareBitCount], 0);
    WriteLE32(&table[kBetLowHashBitTotal], lowHashBits);
    WriteLE32(&table[kBetLowHashBitExtra], 0);
    WriteLE32(&table[kBetLowHashBitCount], lowHashBits);
    WriteLE32(&table[kBetLowHashBytes], static_cast<uint32_t>(lowHashBytes));
    WriteLE32(&table[kBetParentBitStart], lengthBits + 160);
    WriteLE32(&table[kBetParentBitCount], 64);

    uint8_t* fileTable = &table[kBetFileTable];
    uint8_t* lowHashes = fileTable + tableBytes;
    for (uint32_t i = 0; i < count; i++) {
        const TFileEntryImpl& entry = ha->Records[i];
        const uint64_t base = static_cast<uint64_t>(i) * recordBits;
        SetBits64(lowHashes, static_cast<uint64_t>(i) * lowHashBits, lowHashBits, entry.NameHash64);
        if (!entry.Exists()) {
            // An unused record is stored as an empty delete marker: no data,
            // and no parent that a later open would have to find.
            SetBits64(fileTable, base + lengthBits, 32, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
            continue;
        }
        SetBits64(fileTable, base, posBits, entry.StoredOffset);
        SetBits64(fileTable, base + posBits, sizeBits, entry.dwFileSize);
        SetBits64(fileTable, base + posBits + sizeBits, storedBits, entry.dwStoredSize);
        SetBits64(fileTable, base + lengthBits, 32, entry.dwFlags);
        SetBitsFromBytes(fileTable, base + lengthBits + 32, 128, entry.ContentMD5);
        SetBits64(fileTable, base + lengthBits + 160, 64, entry.ParentNameHash);
    }
    return true;
}
