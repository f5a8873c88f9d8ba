// QOVFileStream.h - TFileStreamImpl, the archive library's only access to disk
// files, and the file mappings made from it.

#ifndef NQOV_QOVFILESTREAM_H
#define NQOV_QOVFILESTREAM_H

#include "common/QOVCommon.h"

#include <memory>
#include <mutex>

typedef bool (*STREAM_READ)(TFileStream* pStream, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength);
typedef bool (*STREAM_WRITE)(TFileStream* pStream, uint64_t* pPosition, const void* pvBuffer,
                             uint32_t dwLength);
typedef bool (*STREAM_GETSIZE)(TFileStream* pStream, uint64_t* pSize);
typedef bool (*STREAM_SETSIZE)(TFileStream* pStream, uint64_t qwSize);

#define STREAM_FLAG_READ_ONLY 0x00000001u
#define STREAM_MAX_NAME 263u  // bytes of a stream name without its terminator

// One open disk file.  The four operations are replaceable, which is how the
// library's tests inject I/O faults.
// Not final: the fuzz targets put an in-memory stream in its place.
class TFileStreamImpl : public TFileStream {
public:
    TFileStreamImpl();
    ~TFileStreamImpl() override;
    TFileStreamImpl(const TFileStreamImpl&) = delete;
    TFileStreamImpl& operator=(const TFileStreamImpl&) = delete;

    const char* GetFileName() override;
    bool Read(uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) override;
    bool Write(uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) override;
    uint64_t GetSize() override;

    uint32_t dwReserved = 0;
    uint64_t RawFilePos = 0;  // position after the last read or write
    uint64_t KnownSize = 0;   // the file is at least this long (0: ask)
    intptr_t hFile;           // platform handle; -1 when none
    char szFileName[STREAM_MAX_NAME + 1] = {};
    uint32_t dwFlags = 0;
    STREAM_READ StreamRead = nullptr;
    STREAM_WRITE StreamWrite = nullptr;
    STREAM_GETSIZE StreamGetSize = nullptr;
    STREAM_SETSIZE StreamSetSize = nullptr;
    std::recursive_mutex Lock;  // held by each of the four operations
};

struct FileStreamDeleter {
    void operator()(TFileStreamImpl* pStream) const { FileStream_Free(pStream); }
};
typedef std::unique_ptr<TFileStreamImpl, FileStreamDeleter> TFileStreamPtr;

// Creates a new file and fails with ERROR_ALREADY_EXISTS when one exists.
TFileStreamImpl* FileStream_CreateNew(const char* szFileName);
// Creates every missing folder of the path's folder part (before its last
// '\' or '/'), one level after the other.
bool FileStream_CreateFolders(const char* szPath);

// A file mapping of a stream's file (used for the piece-state map).
struct TFileMapping {
    void* pvView = nullptr;
    size_t cbView = 0;
    intptr_t hMapping = 0;
};
bool FileStream_MapView(TFileStreamImpl* pStream, uint64_t qwOffset, bool bWritable, TFileMapping* pMapping);
void FileStream_UnmapView(TFileMapping* pMapping);
uint32_t FileStream_AllocationGranularity();

// The object behind a public stream handle.
inline TFileStreamImpl* Impl(TFileStream* p) { return static_cast<TFileStreamImpl*>(p); }
inline const TFileStreamImpl* Impl(const TFileStream* p) { return static_cast<const TFileStreamImpl*>(p); }
inline TFileStreamImpl* Impl(TFileStreamImpl* p) { return p; }

#endif  // NQOV_QOVFILESTREAM_H
