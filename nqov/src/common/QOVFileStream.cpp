// QOVFileStream.cpp - TFileStreamImpl, the archive library's only access to disk
// files: one platform handle, a current position, a lock, and four
// replaceable operations.

#include "common/QOVFileStream.h"

#include "common/QOVFileStreamBackend.h"

#include <cstring>

namespace {

bool StandardRead(TFileStream* pPublic, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) {
    TFileStreamImpl* pStream = Impl(pPublic);
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    const uint64_t position = pPosition != nullptr ? *pPosition : pStream->RawFilePos;
    // The size is asked for only when the position is not known to lie
    // inside the file already (it only grows through this stream).
    if (position >= pStream->KnownSize) {
        uint64_t fileSize = 0;
        if (!pStream->StreamGetSize(pStream, &fileSize)) return false;
        pStream->KnownSize = fileSize;
        if (position >= fileSize) {
            QOVSetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
    }
    pStream->RawFilePos = position;
    uint32_t done = 0;
    if (dwLength > 0 && !qovfs::ReadAt(pStream->hFile, position, pvBuffer, dwLength, &done)) {
        pStream->RawFilePos = position + done;
        return false;
    }
    pStream->RawFilePos = position + done;
    if (done < dwLength) {
        QOVSetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    return true;
}

bool StandardWrite(TFileStream* pPublic, uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) {
    TFileStreamImpl* pStream = Impl(pPublic);
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    const uint64_t position = pPosition != nullptr ? *pPosition : pStream->RawFilePos;
    pStream->RawFilePos = position;
    uint32_t done = 0;
    if (!qovfs::WriteAt(pStream->hFile, position, pvBuffer, dwLength, &done)) {
        pStream->RawFilePos = position + done;
        return false;
    }
    pStream->RawFilePos = position + done;
    if (done < dwLength) {
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool StandardGetSize(TFileStream* pPublic, uint64_t* pSize) {
    TFileStreamImpl* pStream = Impl(pPublic);
    if (pStream == nullptr || pSize == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    return qovfs::GetSize(pStream->hFile, pSize);
}

bool StandardSetSize(TFileStream* pPublic, uint64_t qwSize) {
    TFileStreamImpl* pStream = Impl(pPublic);
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    pStream->KnownSize = 0;  // asked again on the next read
    // Positioned I/O leaves no seek position to restore: RawFilePos is ours.
    return qovfs::SetSize(pStream->hFile, qwSize);
}

TFileStreamImpl* CreateStream(const char* szFileName, qovfs::OpenMode mode) {
    if (szFileName == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (strlen(szFileName) > STREAM_MAX_NAME) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    intptr_t hFile = qovfs::kInvalidHandle;
    if (!qovfs::OpenHandle(szFileName, mode, &hFile)) return nullptr;
    TFileStreamImpl* pStream = QOVNew<TFileStreamImpl>().release();
    if (pStream == nullptr) {
        qovfs::CloseFile(hFile);
        QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    strcpy(pStream->szFileName, szFileName);
    pStream->hFile = hFile;
    if (mode == qovfs::OpenMode::ExistingRead) pStream->dwFlags |= STREAM_FLAG_READ_ONLY;
    return pStream;
}

}  // namespace

TFileStreamImpl::TFileStreamImpl()
    : hFile(qovfs::kInvalidHandle),
      StreamRead(StandardRead),
      StreamWrite(StandardWrite),
      StreamGetSize(StandardGetSize),
      StreamSetSize(StandardSetSize) {}

TFileStreamImpl::~TFileStreamImpl() {
    if (hFile != qovfs::kInvalidHandle) qovfs::CloseFile(hFile);
}

const char* TFileStreamImpl::GetFileName() { return szFileName; }

bool TFileStreamImpl::Read(uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) {
    return StreamRead(this, pPosition, pvBuffer, dwLength);
}

bool TFileStreamImpl::Write(uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) {
    return StreamWrite(this, pPosition, pvBuffer, dwLength);
}

uint64_t TFileStreamImpl::GetSize() {
    uint64_t size = 0;
    return StreamGetSize(this, &size) ? size : 0;
}

TFileStream* FileStream_MakeNew(const char* szFileName) {
    return CreateStream(szFileName, qovfs::OpenMode::CreateAlways);
}

TFileStreamImpl* FileStream_CreateNew(const char* szFileName) {
    return CreateStream(szFileName, qovfs::OpenMode::CreateNew);
}

TFileStream* FileStream_OpenFile(const char* szFileName, bool bWrite) {
    return CreateStream(szFileName,
                        bWrite ? qovfs::OpenMode::ExistingReadWrite : qovfs::OpenMode::ExistingRead);
}

// The wrappers hold the stream's lock around the operation too, so that an
// operation put in place of a standard one is never entered by two threads.
bool FileStream_Read(TFileStream* pStreamIn, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) {
    TFileStreamImpl* pStream = Impl(pStreamIn);
    if (pStream == nullptr || pStream->StreamRead == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    return pStream->StreamRead(pStream, pPosition, pvBuffer, dwLength);
}

bool FileStream_Write(TFileStream* pStreamIn, uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) {
    TFileStreamImpl* pStream = Impl(pStreamIn);
    if (pStream == nullptr || pStream->StreamWrite == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (pStream->dwFlags & STREAM_FLAG_READ_ONLY) return false;
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    return pStream->StreamWrite(pStream, pPosition, pvBuffer, dwLength);
}

bool FileStream_SizeOf(TFileStream* pStreamIn, uint64_t* pSize) {
    TFileStreamImpl* pStream = Impl(pStreamIn);
    if (pStream == nullptr || pStream->StreamGetSize == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    return pStream->StreamGetSize(pStream, pSize);
}

bool FileStream_SetSize(TFileStream* pStreamIn, uint64_t qwSize) {
    TFileStreamImpl* pStream = Impl(pStreamIn);
    if (pStream == nullptr || pStream->StreamSetSize == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (pStream->dwFlags & STREAM_FLAG_READ_ONLY) {
        QOVSetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(pStream->Lock);
    pStream->KnownSize = 0;
    return pStream->StreamSetSize(pStream, qwSize);
}

void FileStream_Free(TFileStream* pStreamIn) {
    TFileStreamImpl* pStream = Impl(pStreamIn);
    delete pStream;
}

bool FileStream_CreateFolders(const char* szPath) {
    const char* lastSeparator = nullptr;
    for (const char* p = szPath; *p != 0; p++) {
        if (*p == '\\' || *p == '/') lastSeparator = p;
    }
    if (lastSeparator == nullptr) return true;
    std::string folder(szPath, static_cast<size_t>(lastSeparator - szPath));
    for (size_t i = 0; i <= folder.size(); i++) {
        if (i != folder.size() && folder[i] != '\\' && folder[i] != '/') continue;
        if (i == 0) continue;  // the root of an absolute path
        std::string level = folder.substr(0, i);
        if (level.back() == ':') continue;  // a drive letter
        if (!qovfs::CreateFolder(level.c_str())) return false;
    }
    return true;
}

bool FileStream_MapView(TFileStreamImpl* pStream, uint64_t qwOffset, bool bWritable, TFileMapping* pMapping) {
    uint64_t fileSize = 0;
    if (!FileStream_SizeOf(pStream, &fileSize)) return false;
    return qovfs::MapView(pStream->hFile, qwOffset, fileSize, bWritable, pMapping);
}

void FileStream_UnmapView(TFileMapping* pMapping) { qovfs::UnmapView(pMapping); }

uint32_t FileStream_AllocationGranularity() { return qovfs::AllocationGranularity(); }
