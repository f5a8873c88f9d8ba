// FuzzMemoryStream.h - a TFileStream over a byte buffer in memory, for the
// fuzz targets: the archive library sees an ordinary stream whose four
// operations behave like the disk versions (QOVFileStream.cpp), without
// touching the disk.
//
//  * Read at or after the end: ERROR_INVALID_PARAMETER; a read that stops at
//    the end delivers what there is and fails with ERROR_HANDLE_EOF.  Neither
//    moves *pPosition; RawFilePos ends after the bytes delivered.
//  * Write: grows the buffer (gaps read as zeros, as after pwrite past the
//    end); writes beyond the size limit fail with ERROR_DISK_FULL.
//  * Set size: truncates or zero-extends, within the same limit.
//  * Optionally, a write budget: once spent, writes and resizes fail with
//    ERROR_DISK_FULL, as on a full disk (fault injection).

#ifndef NQOV_FUZZ_FUZZMEMORYSTREAM_H
#define NQOV_FUZZ_FUZZMEMORYSTREAM_H

#include "common/QOVFileStream.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace fuzzstream {

class TMemoryStream : public TFileStreamImpl {
public:
    std::vector<uint8_t> Data;
    uint64_t qwLimit = 0;    // largest size writes may give the stream
    bool bLimitHit = false;  // a write or resize was refused for the limit
    // Injected faults: once qwWriteBudget bytes have been written, every
    // further write and resize fails with ERROR_DISK_FULL.
    uint64_t qwWriteBudget = UINT64_MAX;
    bool bFaultInjected = false;
};

inline TMemoryStream* AsMemory(TFileStream* pStream) { return static_cast<TMemoryStream*>(pStream); }

inline bool MemoryGetSize(TFileStream* pStream, uint64_t* pSize) {
    if (pStream == nullptr || pSize == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(Impl(pStream)->Lock);
    *pSize = AsMemory(pStream)->Data.size();
    return true;
}

inline bool MemoryRead(TFileStream* pStream, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) {
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(Impl(pStream)->Lock);
    const uint64_t position = pPosition != nullptr ? *pPosition : Impl(pStream)->RawFilePos;
    uint64_t size = 0;
    if (!Impl(pStream)->StreamGetSize(pStream, &size)) return false;
    if (position >= size) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Impl(pStream)->RawFilePos = position;
    const uint32_t done = static_cast<uint32_t>(std::min<uint64_t>(dwLength, size - position));
    if (done > 0) memcpy(pvBuffer, AsMemory(pStream)->Data.data() + position, done);
    Impl(pStream)->RawFilePos = position + done;
    if (done < dwLength) {
        QOVSetLastError(ERROR_HANDLE_EOF);
        return false;
    }
    return true;
}

// Resizes the buffer to qwSize; false (ERROR_DISK_FULL) beyond the limit.
inline bool MemoryResize(TMemoryStream* pStream, uint64_t qwSize) {
    if (qwSize > pStream->qwLimit) {
        pStream->bLimitHit = true;
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    try {
        pStream->Data.resize(static_cast<size_t>(qwSize), 0);
    } catch (const std::bad_alloc&) {
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

inline bool MemoryWrite(TFileStream* pStream, uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) {
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(Impl(pStream)->Lock);
    TMemoryStream* memory = AsMemory(pStream);
    const uint64_t position = pPosition != nullptr ? *pPosition : Impl(pStream)->RawFilePos;
    Impl(pStream)->RawFilePos = position;
    if (dwLength == 0) return true;
    if (dwLength > memory->qwWriteBudget) {
        memory->qwWriteBudget = 0;  // a full disk stays full
        memory->bFaultInjected = true;
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    uint64_t end = 0;
    if (!CheckedAdd64(position, dwLength, &end)) {
        memory->bLimitHit = true;
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    if (end > memory->Data.size() && !MemoryResize(memory, end)) return false;
    memcpy(memory->Data.data() + position, pvBuffer, dwLength);
    if (memory->qwWriteBudget != UINT64_MAX) memory->qwWriteBudget -= dwLength;
    Impl(pStream)->RawFilePos = end;
    return true;
}

inline bool MemorySetSize(TFileStream* pStream, uint64_t qwSize) {
    if (pStream == nullptr) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(Impl(pStream)->Lock);
    TMemoryStream* memory = AsMemory(pStream);
    if (memory->qwWriteBudget == 0) {
        memory->bFaultInjected = true;
        QOVSetLastError(ERROR_DISK_FULL);
        return false;
    }
    return MemoryResize(memory, qwSize);
}

// A new stream holding a copy of the bytes; the archive that opens it owns it.
inline TMemoryStream* NewMemoryStream(const uint8_t* pbData, size_t cbData, bool bReadOnly,
                                      uint64_t qwLimit) {
    TMemoryStream* stream = new TMemoryStream();
    stream->Data.assign(pbData, pbData + cbData);
    stream->qwLimit = std::max<uint64_t>(qwLimit, cbData);
    Impl(stream)->dwFlags = bReadOnly ? STREAM_FLAG_READ_ONLY : 0;
    strcpy(Impl(stream)->szFileName, "memory.qov");
    Impl(stream)->StreamRead = MemoryRead;
    Impl(stream)->StreamWrite = MemoryWrite;
    Impl(stream)->StreamGetSize = MemoryGetSize;
    Impl(stream)->StreamSetSize = MemorySetSize;
    return stream;
}

}  // namespace fuzzstream

#endif  // NQOV_FUZZ_FUZZMEMORYSTREAM_H
