// QOVHeader.cpp - the archive header's bytes.

#include "common/QOVFormat.h"

void ParseHeader(const uint8_t pbRaw[NQOV_HEADER_SIZE], TQOVHeader* pHeader) {
    TQOVHeader& h = *pHeader;
    h.dwID = ReadLE32(pbRaw + kHdrID);
    h.HeaderSize = ReadLE32(pbRaw + kHdrHeaderSize);
    h.wFormatVersion = ReadLE16(pbRaw + kHdrFormatVersion);
    h.wSectorSize = ReadLE16(pbRaw + kHdrSectorSize);
    h.ArchieveSize = ReadLE64(pbRaw + kHdrArchieveSize);
    h.BetTablePos64 = ReadLE64(pbRaw + kHdrBetPos);
    h.HetTablePos64 = ReadLE64(pbRaw + kHdrHetPos);
    h.MD5TablePos64 = ReadLE64(pbRaw + kHdrMD5TablePos);
    h.BitmapPos64 = ReadLE64(pbRaw + kHdrBitmapPos);
    h.HetTableSize64 = ReadLE64(pbRaw + kHdrHetSize);
    h.BetTableSize64 = ReadLE64(pbRaw + kHdrBetSize);
    h.MD5TableSize64 = ReadLE64(pbRaw + kHdrMD5TableSize);
    h.BitmapSize64 = ReadLE64(pbRaw + kHdrBitmapSize);
    h.dwMD5PieceSize = ReadLE32(pbRaw + kHdrPieceSize);
    h.dwRawChunkSize = ReadLE32(pbRaw + kHdrRawChunkSize);
    memcpy(h.MD5_PatchBaseTag, pbRaw + kHdrPatchBaseTag, 16);
    memcpy(h.MD5_PatchedTag, pbRaw + kHdrPatchedTag, 16);
    memcpy(h.MD5_BetTable, pbRaw + kHdrMD5Bet, 16);
    memcpy(h.MD5_HetTable, pbRaw + kHdrMD5Het, 16);
    memcpy(h.MD5_QOVHeader, pbRaw + kHdrMD5Header, 16);
}

void SerializeHeader(const TQOVHeader& h, uint8_t pbRaw[NQOV_HEADER_SIZE]) {
    WriteLE32(pbRaw + kHdrID, h.dwID);
    WriteLE32(pbRaw + kHdrHeaderSize, h.HeaderSize);
    WriteLE16(pbRaw + kHdrFormatVersion, h.wFormatVersion);
    WriteLE16(pbRaw + kHdrSectorSize, h.wSectorSize);
    WriteLE64(pbRaw + kHdrArchieveSize, h.ArchieveSize);
    WriteLE64(pbRaw + kHdrBetPos, h.BetTablePos64);
    WriteLE64(pbRaw + kHdrHetPos, h.HetTablePos64);
    WriteLE64(pbRaw + kHdrMD5TablePos, h.MD5TablePos64);
    WriteLE64(pbRaw + kHdrBitmapPos, h.BitmapPos64);
    WriteLE64(pbRaw + kHdrHetSize, h.HetTableSize64);
    WriteLE64(pbRaw + kHdrBetSize, h.BetTableSize64);
    WriteLE64(pbRaw + kHdrMD5TableSize, h.MD5TableSize64);
    WriteLE64(pbRaw + kHdrBitmapSize, h.BitmapSize64);
    WriteLE32(pbRaw + kHdrPieceSize, h.dwMD5PieceSize);
    WriteLE32(pbRaw + kHdrRawChunkSize, h.dwRawChunkSize);
    memcpy(pbRaw + kHdrPatchBaseTag, h.MD5_PatchBaseTag, 16);
    memcpy(pbRaw + kHdrPatchedTag, h.MD5_PatchedTag, 16);
    memcpy(pbRaw + kHdrMD5Bet, h.MD5_BetTable, 16);
    memcpy(pbRaw + kHdrMD5Het, h.MD5_HetTable, 16);
    memcpy(pbRaw + kHdrMD5Header, h.MD5_QOVHeader, 16);
}
