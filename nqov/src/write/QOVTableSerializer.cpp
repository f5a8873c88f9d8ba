// QOVTableSerializer.cpp - the HET and BET tables' bytes, before they are
// enciphered and written.

#include "write/QOVWrite.h"

#include <algorithm>

namespace {

const uint32_t kExtTableVersion = 1;

// After the three length fields (offset, size, stored size, as wide as their
// largest values need) every record the writer stores holds its flags, its
// content's MD5 and its parent's name hash, at fixed widths.
const uint32_t kFlagsBits = 32;
const uint32_t kMD5Bits = 128;
const uint32_t kParentBits = 64;
const uint32_t kMD5Start = kFlagsBits;                // after the length fields
const uint32_t kParentStart = kFlagsBits + kMD5Bits;  // after the length fields

}  // namespace

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
    WriteLE32(&table[kExtVersion], kExtTableVersion);
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
    const uint32_t recordBits = lengthBits + kFlagsBits + kMD5Bits + kParentBits;
    const uint32_t lowHashBits = nameHashBits - 8;

    const uint64_t tableBytes = (static_cast<uint64_t>(count) * recordBits + 7) / 8;
    const uint64_t lowHashBytes = (static_cast<uint64_t>(count) * lowHashBits + 7) / 8;
    const uint64_t bodySize = kBetFixedBody + tableBytes + lowHashBytes;
    if (bodySize > UINT32_MAX - kExtHeaderSize) return false;

    std::vector<uint8_t>& table = *pTable;
    table.assign(kExtHeaderSize + static_cast<size_t>(bodySize), 0);
    WriteLE32(&table[kExtSignature], BET_TABLE_SIGNATURE);
    WriteLE32(&table[kExtVersion], kExtTableVersion);
    WriteLE32(&table[kExtBodySize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kBetBodyTotalSize], static_cast<uint32_t>(bodySize));
    WriteLE32(&table[kBetEntryTotal], count);
    WriteLE32(&table[kBetRecordBits], recordBits);
    WriteLE32(&table[kBetPosBitStart], 0);
    WriteLE32(&table[kBetSizeBitStart], posBits);
    WriteLE32(&table[kBetStoredSizeBitStart], posBits + sizeBits);
    WriteLE32(&table[kBetFlagsBitStart], lengthBits);
    WriteLE32(&table[kBetMD5BitStart], lengthBits + kMD5Start);
    WriteLE32(&table[kBetSpareBitStart], lengthBits + kMD5Start);
    WriteLE32(&table[kBetPosBitCount], posBits);
    WriteLE32(&table[kBetSizeBitCount], sizeBits);
    WriteLE32(&table[kBetStoredSizeBitCount], storedBits);
    WriteLE32(&table[kBetFlagsBitCount], kFlagsBits);
    WriteLE32(&table[kBetMD5BitCount], kMD5Bits);
    WriteLE32(&table[kBetSpareBitCount], 0);
    WriteLE32(&table[kBetLowHashBitTotal], lowHashBits);
    WriteLE32(&table[kBetLowHashBitExtra], 0);
    WriteLE32(&table[kBetLowHashBitCount], lowHashBits);
    WriteLE32(&table[kBetLowHashBytes], static_cast<uint32_t>(lowHashBytes));
    WriteLE32(&table[kBetParentBitStart], lengthBits + kParentStart);
    WriteLE32(&table[kBetParentBitCount], kParentBits);

    uint8_t* fileTable = &table[kBetFileTable];
    uint8_t* lowHashes = fileTable + tableBytes;
    for (uint32_t i = 0; i < count; i++) {
        const TFileEntryImpl& entry = ha->Records[i];
        const uint64_t base = static_cast<uint64_t>(i) * recordBits;
        SetBits64(lowHashes, static_cast<uint64_t>(i) * lowHashBits, lowHashBits, entry.NameHash64);
        if (!entry.Exists()) {
            // An unused record is stored as an empty delete marker: no data,
            // and no parent that a later open would have to find.
            SetBits64(fileTable, base + lengthBits, kFlagsBits, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
            continue;
        }
        SetBits64(fileTable, base, posBits, entry.StoredOffset);
        SetBits64(fileTable, base + posBits, sizeBits, entry.dwFileSize);
        SetBits64(fileTable, base + posBits + sizeBits, storedBits, entry.dwStoredSize);
        SetBits64(fileTable, base + lengthBits, kFlagsBits, entry.dwFlags);
        SetBitsFromBytes(fileTable, base + lengthBits + kMD5Start, kMD5Bits, entry.ContentMD5);
        SetBits64(fileTable, base + lengthBits + kParentStart, kParentBits, entry.ParentNameHash);
    }
    return true;
}
