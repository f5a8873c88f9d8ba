// QOVFormat.h - the on-disk layout the reader and the writer share: the
// archive header and the fields of the extended (HET and BET) tables.

#ifndef NQOV_QOVFORMAT_H
#define NQOV_QOVFORMAT_H

#include "common/QOVCommon.h"

//-----------------------------------------------------------------------------
// Archive header (172 bytes on disk, little-endian).

struct TQOVHeader {
    uint32_t dwID = 0;
    uint32_t HeaderSize = 0;
    uint16_t wFormatVersion = 0;
    uint16_t wSectorSize = 0;
    uint64_t ArchieveSize = 0;
    uint64_t BetTablePos64 = 0;
    uint64_t HetTablePos64 = 0;
    uint64_t MD5TablePos64 = 0;
    uint64_t BitmapPos64 = 0;
    uint64_t HetTableSize64 = 0;
    uint64_t BetTableSize64 = 0;
    uint64_t MD5TableSize64 = 0;
    uint64_t BitmapSize64 = 0;
    uint32_t dwMD5PieceSize = 0;
    uint32_t dwRawChunkSize = 0;
    uint8_t MD5_PatchBaseTag[16] = {};
    uint8_t MD5_PatchedTag[16] = {};
    uint8_t MD5_BetTable[16] = {};
    uint8_t MD5_HetTable[16] = {};
    uint8_t MD5_QOVHeader[16] = {};
};

#define QOV_HEADER_DIGEST_OFFSET 156u  // MD5_QOVHeader covers the bytes before it

// A header starts at a multiple of this; the bytes before it are the user's.
#define QOV_HEADER_ALIGNMENT 512u

// Sectors are QOV_MIN_SECTOR_SIZE << (wSectorSize & QOV_SECTOR_SHIFT_MASK)
// bytes; new archives take a wSectorSize up to QOV_MAX_SECTOR_SHIFT.
#define QOV_MIN_SECTOR_SIZE 512u
#define QOV_SECTOR_SHIFT_MASK 31u
#define QOV_MAX_SECTOR_SHIFT 22u

// Byte offsets of the header fields.
enum : uint32_t {
    kHdrID = 0,
    kHdrHeaderSize = 4,
    kHdrFormatVersion = 8,
    kHdrSectorSize = 10,
    kHdrArchieveSize = 12,
    kHdrBetPos = 20,
    kHdrHetPos = 28,
    kHdrMD5TablePos = 36,
    kHdrBitmapPos = 44,
    kHdrHetSize = 52,
    kHdrBetSize = 60,
    kHdrMD5TableSize = 68,
    kHdrBitmapSize = 76,
    kHdrPieceSize = 84,
    kHdrRawChunkSize = 88,
    kHdrPatchBaseTag = 92,
    kHdrPatchedTag = 108,
    kHdrMD5Bet = 124,
    kHdrMD5Het = 140,
    kHdrMD5Header = 156,
};

void ParseHeader(const uint8_t pbRaw[NQOV_HEADER_SIZE], TQOVHeader* pHeader);
void SerializeHeader(const TQOVHeader& header, uint8_t pbRaw[NQOV_HEADER_SIZE]);

//-----------------------------------------------------------------------------
// Extended tables.

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

// Slot bytes of the HET index that hold no name.
#define HET_SLOT_FREE 0x00
#define HET_SLOT_REUSABLE 0x80

//-----------------------------------------------------------------------------
// The list file: one name a line, CR LF between lines.

// The flags a list file is written with when the archive gives none (no list
// file was read).
#define QOV_LISTFILE_FLAGS (NQOV_FILE_EXISTS | NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS)

// Longest line a reader takes (longer ones are cut), and so the longest name
// the writer lets into an archive.
#define QOV_LISTFILE_MAX_LINE 259u

#endif  // NQOV_QOVFORMAT_H
