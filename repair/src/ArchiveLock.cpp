// ArchiveLock.cpp - flock natively; a byte-range lock (LockFileEx) on Windows.

#include "ArchiveLock.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include "fund/win/handle.h"
#include "fund/win/text.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace brevik {
namespace repair {

#if defined(_WIN32)

namespace {

// The lock is a byte-range lock far past any archive's end: Windows locks
// are mandatory for the bytes they cover, so one on the archive's own bytes
// would keep this program's own handles out as well.
const DWORD kLockOffsetLow = 0xFFFFFFF0u;
const DWORD kLockOffsetHigh = 0x7FFFFFFFu;

std::string SystemError(DWORD code) { return "error " + std::to_string(code); }

ArchiveLock::Result LockHandle(HANDLE file, bool exclusive, const std::string& path, std::string* error) {
    OVERLAPPED at = {};
    at.Offset = kLockOffsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(file, flags, 0, 1, 0, &at)) return ArchiveLock::Result::kLocked;
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION || code == ERROR_IO_PENDING) {
        *error = path + " is in use: another repair (or another program holding its lock) has it open";
        return ArchiveLock::Result::kBusy;
    }
    *error = "cannot lock " + path + ", " + SystemError(code);
    return ArchiveLock::Result::kError;
}

// Every kind of sharing: the lock must not keep the archive library's own
// handles out.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

ArchiveLock::Result ArchiveLock::Lock(const std::string& path, bool exclusive, std::string* error) {
    Release();
    fund::win::unique_hfile file(CreateFileW(fund::win::utf8_to_wide(path).c_str(), GENERIC_READ, kShareAll,
                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Result::kMissing;
        *error = "cannot open " + path + ", " + SystemError(code);
        return Result::kError;
    }
    const Result result = LockHandle(file.get(), exclusive, path, error);
    if (result == Result::kLocked) m_handle = reinterpret_cast<intptr_t>(file.release());
    return result;
}

ArchiveLock::Result ArchiveLock::Create(const std::string& path, std::string* error) {
    Release();
    fund::win::unique_hfile file(CreateFileW(fund::win::utf8_to_wide(path).c_str(),
                                             GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        *error = "cannot make " + path + ", " + SystemError(code);
        return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS ? Result::kBusy : Result::kError;
    }
    const Result result = LockHandle(file.get(), true, path, error);
    if (result == Result::kLocked) m_handle = reinterpret_cast<intptr_t>(file.release());
    return result;
}

void ArchiveLock::Release() {
    if (m_handle == -1) return;
    // Closing the handle drops its lock.
    fund::win::unique_hfile closing(reinterpret_cast<HANDLE>(m_handle));
    m_handle = -1;
}

#else

namespace {

ArchiveLock::Result LockDescriptor(int fd, bool exclusive, const std::string& path, std::string* error) {
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return ArchiveLock::Result::kLocked;
    if (errno == EWOULDBLOCK) {
        *error = path + " is in use: another repair (or another program holding its lock) has it open";
        return ArchiveLock::Result::kBusy;
    }
    *error = "cannot lock " + path + ": " + std::strerror(errno);
    return ArchiveLock::Result::kError;
}

}  // namespace

ArchiveLock::Result ArchiveLock::Lock(const std::string& path, bool exclusive, std::string* error) {
    Release();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Result::kMissing;
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return Result::kError;
    }
    const Result result = LockDescriptor(fd, exclusive, path, error);
    if (result != Result::kLocked) {
        close(fd);
        return result;
    }
    m_handle = fd;
    return result;
}

ArchiveLock::Result ArchiveLock::Create(const std::string& path, std::string* error) {
    Release();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot make " + path + ": " + std::strerror(errno);
        return errno == EEXIST ? Result::kBusy : Result::kError;
    }
    const Result result = LockDescriptor(fd, true, path, error);
    if (result != Result::kLocked) {
        close(fd);
        return result;
    }
    m_handle = fd;
    return result;
}

void ArchiveLock::Release() {
    if (m_handle < 0) return;
    close(static_cast<int>(m_handle));  // drops the lock
    m_handle = -1;
}

#endif

}  // namespace repair
}  // namespace brevik
