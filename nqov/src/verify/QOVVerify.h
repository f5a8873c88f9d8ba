// QOVVerify.h - the piece layer: the archive file in fixed-size pieces, each
// with its MD5 in the piece table and its state in the piece-state map;
// verifying pieces, whole archives and files.

#ifndef NQOV_QOVVERIFY_H
#define NQOV_QOVVERIFY_H

#include "read/QOVRead.h"

//-----------------------------------------------------------------------------
// Pieces (QOVPieces.cpp).

struct TPieceLayout {
    uint32_t dwPieceSize = 0;
    uint32_t dwPieceCount = 0;
    uint32_t dwLastPieceSize = 0;
};

// The archive's pieces as its header gives them; false when the header's
// figures give none (no piece size, or more than 2^32 pieces).
bool GetPieceLayout(TNQOVArchiveImpl* ha, TPieceLayout* pLayout);
// Bytes of piece `index` (the last piece may be shorter).
uint32_t PieceLength(const TPieceLayout& layout, uint32_t index);

// Compares a computed digest with the piece table; false (ERROR_SUCCESS for
// a mismatch) when they differ or the table cannot be loaded.
bool DigestMatchesTable(TNQOVArchiveImpl* ha, uint32_t wIndex, const uint8_t digest[16]);
// Reads piece `index` whole into pbBuffer.
bool ReadPiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t* pbBuffer);
// Pieces are hashed from the file in parts of at most this size, so that a
// large piece size costs no large buffer.
const uint32_t QOV_HASH_CHUNK = 1024 * 1024;

// The MD5 of cbLength bytes of the stream at qwPosition, read in parts of at
// most cbBuffer bytes through pbBuffer; false with the read's error when a
// read fails.
bool HashStreamRange(TFileStreamImpl* pStream, uint64_t qwPosition, uint64_t cbLength, uint8_t* pbBuffer,
                     uint32_t cbBuffer, uint8_t digest[16]);
// Reads piece `index` from the file and hashes it; false with the read's
// error when a read fails.
bool HashPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t digest[16]);
// SFileReadPieceVerified without the caller's buffer: reads, checks and
// records the state of one piece.
bool VerifyPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index);

struct TPieceRange {
    uint32_t dwFirstPiece = 0;
    uint32_t dwPieceCount = 0;
    uint32_t dwLastPieceSize = 0;
};

// Piece range of a record (first piece, count, size of the record's last piece).
TPieceRange RecordPieceRange(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry);

// Checks the MD5 pieces covering a raw range that has just been read.
bool CheckRawRangePieces(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData, uint32_t cbData);

//-----------------------------------------------------------------------------
// Pieces several at a time (QOVPieceBatches.cpp).

// A piece's bytes and, once hashed, their MD5.
struct TPieceData {
    const uint8_t* pbData = nullptr;
    uint32_t cbData = 0;
    uint8_t digest[16] = {};
};

// Hashes the pieces together on the calling thread, several at once (the
// multi-buffer MD5 engine).
void HashPieces(TPieceData* pPieces, size_t nPieces);

#endif  // NQOV_QOVVERIFY_H
