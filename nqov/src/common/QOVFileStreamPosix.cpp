// QOVFileStreamPosix.cpp - file-stream backend for POSIX systems.

#include "common/QOVFileStreamBackend.h"
#include "common/QOVPlatform.h"
#include "common/QOVCommon.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qovfs {

namespace {
bool FailWithErrno() {
    QOVSetLastError(PlatformErrorFromErrno(errno));
    return false;
}

// Archived names use '\' between folders; on this platform '/' separates them.
std::string NativePath(const char* szPath) {
    std::string path(szPath);
    for (char& ch : path)
        if (ch == '\\') ch = '/';
    return path;
}
}  // namespace

bool OpenHandle(const char* szFileName, OpenMode mode, intptr_t* phFile) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::ExistingRead:
            flags |= O_RDONLY;
            break;
        case OpenMode::ExistingReadWrite:
        case OpenMode::ExclusiveWrite:
            flags |= O_RDWR;
            break;
        case OpenMode::CreateAlways:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case OpenMode::CreateNew:
            flags |= O_RDWR | O_CREAT | O_EXCL;
            break;
    }
    const int fd = open(NativePath(szFileName).c_str(), flags, 0644);
    if (fd < 0) return FailWithErrno();
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int err = S_ISDIR(st.st_mode) ? EACCES : errno;
        close(fd);
        errno = err;
        return FailWithErrno();
    }
    // A file nobody may write counts as read-only, like the Windows attribute,
    // even for a user whose rights would let it be opened for writing.
    const bool writing = mode == OpenMode::ExistingReadWrite || mode == OpenMode::ExclusiveWrite;
    if (writing && (st.st_mode & 0222) == 0) {
        close(fd);
        QOVSetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    *phFile = fd;
    return true;
}

void CloseFile(intptr_t hFile) {
    if (hFile != kInvalidHandle) close(static_cast<int>(hFile));
}

bool ReadAt(intptr_t hFile, uint64_t qwPosition, void* pvBuffer, uint32_t dwLength, uint32_t* pdwDone) {
    uint8_t* pb = static_cast<uint8_t*>(pvBuffer);
    uint32_t done = 0;
    while (done < dwLength) {
        const ssize_t got =
            pread(static_cast<int>(hFile), pb + done, dwLength - done, static_cast<off_t>(qwPosition + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            *pdwDone = done;
            return FailWithErrno();
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
    }
    *pdwDone = done;
    return true;
}

bool WriteAt(intptr_t hFile, uint64_t qwPosition, const void* pvBuffer, uint32_t dwLength,
             uint32_t* pdwDone) {
    const uint8_t* pb = static_cast<const uint8_t*>(pvBuffer);
    uint32_t done = 0;
    while (done < dwLength) {
        const ssize_t put = pwrite(static_cast<int>(hFile), pb + done, dwLength - done,
                                   static_cast<off_t>(qwPosition + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            *pdwDone = done;
            return FailWithErrno();
        }
        if (put == 0) break;
        done += static_cast<uint32_t>(put);
    }
    *pdwDone = done;
    return true;
}

bool GetSize(intptr_t hFile, uint64_t* pqwSize) {
    struct stat st;
    if (fstat(static_cast<int>(hFile), &st) != 0) return FailWithErrno();
    *pqwSize = static_cast<uint64_t>(st.st_size);
    return true;
}

bool SetSize(intptr_t hFile, uint64_t qwSize) {
    if (qwSize > static_cast<uint64_t>(INT64_MAX)) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (ftruncate(static_cast<int>(hFile), static_cast<off_t>(qwSize)) != 0) return FailWithErrno();
    return true;
}

bool RenameReplace(const char* szFrom, const char* szTo) {
    if (rename(NativePath(szFrom).c_str(), NativePath(szTo).c_str()) != 0) return FailWithErrno();
    return true;
}

bool RemoveFile(const char* szFileName) {
    if (unlink(NativePath(szFileName).c_str()) != 0) return FailWithErrno();
    return true;
}

bool CreateFolder(const char* szPath) {
    const std::string path = NativePath(szPath);
    if (mkdir(path.c_str(), 0755) == 0) return true;
    if (errno == EEXIST) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
        errno = EEXIST;
    }
    return FailWithErrno();
}

bool MapView(intptr_t hFile, uint64_t qwOffset, uint64_t qwFileSize, bool bWritable, TFileMapping* pMapping) {
    if (qwOffset >= qwFileSize || qwFileSize - qwOffset > SIZE_MAX) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const size_t cbView = static_cast<size_t>(qwFileSize - qwOffset);
    const int prot = bWritable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* pv = mmap(nullptr, cbView, prot, MAP_SHARED, static_cast<int>(hFile), static_cast<off_t>(qwOffset));
    if (pv == MAP_FAILED) return FailWithErrno();
    pMapping->pvView = pv;
    pMapping->cbView = cbView;
    pMapping->hMapping = 1;
    return true;
}

void UnmapView(TFileMapping* pMapping) {
    if (pMapping->pvView != nullptr) munmap(pMapping->pvView, pMapping->cbView);
    *pMapping = TFileMapping();
}

uint32_t AllocationGranularity() {
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint32_t>(page) : 4096u;
}

}  // namespace qovfs
