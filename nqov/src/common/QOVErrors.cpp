// QOVErrors.cpp - the thread's last error: the library's own copy of it and,
// outside Windows, the thread-local value with the Windows numbers that
// stands for the system's.

#include "common/QOVCommon.h"

#include "common/QOVPlatform.h"

#include <cerrno>

#if !defined(_WIN32)
namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t PlatformGetLastError() { return t_lastError; }
void PlatformSetLastError(uint32_t dwError) { t_lastError = dwError; }

uint32_t PlatformErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EFBIG:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ETXTBSY:
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        default:
            return ERROR_IO_DEVICE;
    }
}
#endif

namespace {
// The last error the library itself set on this thread.  Clean-up after a
// failure may call into the system (a lock, a thread join) and on Windows
// such calls can overwrite the thread's last error; the exported operations
// set this one again before they return a failure.
thread_local uint32_t t_libraryError = ERROR_SUCCESS;
}  // namespace

uint32_t QOVGetLastError() { return PlatformGetLastError(); }
void QOVSetLastError(uint32_t dwError) {
    t_libraryError = dwError;
    PlatformSetLastError(dwError);
}
void QOVRestoreLibraryError() { PlatformSetLastError(t_libraryError); }
