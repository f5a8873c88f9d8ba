// QOVWrite.h - the writer: new archives, records for new files, adding
// files sector by sector, the list file and the table writer.  The read-only
// library (nqov_read) holds none of it; the read side reaches the writer
// through QOVWriter() (read/QOVRead.h).

#ifndef NQOV_QOVWRITE_H
#define NQOV_QOVWRITE_H

#include "read/QOVRead.h"

#include <vector>

//-----------------------------------------------------------------------------
// Records (QOVRecords.cpp).

// A new empty index for `capacity` records (N = 64); null without memory.
std::unique_ptr<THetTable> CreateHetTable(uint32_t capacity);
uint32_t ClaimSlot(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
TFileEntryImpl* ClaimRecord(TNQOVArchiveImpl* ha, const char* szName);
void DropRecord(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
void MarkRecordDeleted(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);

//-----------------------------------------------------------------------------
// Tables (QOVTableSerializer.cpp, QOVTableWriter.cpp).

bool SerializeSlotTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable);
bool SerializeRecordTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable);

// Writes the HET, BET, MD5 piece table, piece-state map and header.
uint32_t WriteArchiveTables(TNQOVArchiveImpl* ha);

// End of the data area relative to the header: the largest end of an existing
// record's stored bytes (with chunk digests), never below the header size.
uint64_t DataAreaEnd(TNQOVArchiveImpl* ha);
// Raises the known end of the data area to cover a record's stored bytes.
void ExtendDataAreaEnd(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry);

// ERROR_FILE_CORRUPT when the piece size is larger than NQOV_MAX_PIECE_SIZE
// and than the archive itself: padding the tables to a whole piece would then
// grow a small (damaged) archive by up to 4 GiB.
uint32_t CheckWritablePieceSize(const TNQOVArchiveImpl* ha);

//-----------------------------------------------------------------------------
// Adding files (QOVAddFile.cpp).

uint32_t SFileAddFile_Init(TNQOVArchiveImpl* ha, const char* szName, uint32_t dwFileSize, uint32_t dwFlags,
                           TNQOVFile** phFile);
uint32_t SFileAddFile_Write(TNQOVFileImpl* hf, const void* pvData, uint32_t dwSize);
uint32_t SFileAddFile_Finish(TNQOVFileImpl* hf);

#endif  // NQOV_QOVWRITE_H
