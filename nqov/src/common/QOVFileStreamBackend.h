// QOVFileStreamBackend.h - the platform operations under TFileStreamImpl.  One
// backend per platform implements them; every failure leaves the Windows
// error number as the thread's last error.

#ifndef NQOV_QOVFILESTREAMBACKEND_H
#define NQOV_QOVFILESTREAMBACKEND_H

#include "common/QOVFileStream.h"

namespace qovfs {

enum class OpenMode {
    ExistingRead,       // an existing file, read access
    ExistingReadWrite,  // an existing file, read and write access
    ExclusiveWrite,     // an existing file, read and write access, others may only read
    CreateAlways,       // create or truncate, read and write access
    CreateNew,          // create; fail when the file exists
};

const intptr_t kInvalidHandle = -1;

bool OpenHandle(const char* szFileName, OpenMode mode, intptr_t* phFile);
void CloseFile(intptr_t hFile);
// Reads up to dwLength bytes at qwPosition; *pdwDone gets the bytes read.
bool ReadAt(intptr_t hFile, uint64_t qwPosition, void* pvBuffer, uint32_t dwLength, uint32_t* pdwDone);
bool WriteAt(intptr_t hFile, uint64_t qwPosition, const void* pvBuffer, uint32_t dwLength, uint32_t* pdwDone);
bool GetSize(intptr_t hFile, uint64_t* pqwSize);
bool SetSize(intptr_t hFile, uint64_t qwSize);
// Moves a file over another one (replacing it) and removes a file.
bool RenameReplace(const char* szFrom, const char* szTo);
bool RemoveFile(const char* szFileName);
// Creates one folder; an existing folder counts as success.
bool CreateFolder(const char* szPath);
bool MapView(intptr_t hFile, uint64_t qwOffset, uint64_t qwFileSize, bool bWritable, TFileMapping* pMapping);
void UnmapView(TFileMapping* pMapping);
uint32_t AllocationGranularity();

}  // namespace qovfs

#endif  // NQOV_QOVFILESTREAMBACKEND_H
