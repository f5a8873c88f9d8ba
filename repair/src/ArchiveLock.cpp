// ArchiveLock.cpp - flock natively; file creation only on Windows.

#include "ArchiveLock.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <memory>

#include "QOVLib.h"
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace brevik {
namespace repair {

#if defined(_WIN32)

ArchiveLock::Result ArchiveLock::Lock(const std::string& path, bool, std::string* error) {
    TFileStream* stream = FileStream_OpenFile(path.c_str(), false);
    if (stream == nullptr) {
        const uint32_t code = QOVGetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return Result::kMissing;
        *error = "cannot open " + path + ", error " + std::to_string(code);
        return Result::kError;
    }
    FileStream_Free(stream);
    return Result::kLocked;
}

ArchiveLock::Result ArchiveLock::Create(const std::string& path, std::string* error) {
    TFileStream* stream = FileStream_MakeNew(path.c_str());
    if (stream == nullptr) {
        *error = "cannot make " + path + ", error " + std::to_string(QOVGetLastError());
        return Result::kError;
    }
    FileStream_Free(stream);
    return Result::kLocked;
}

void ArchiveLock::Release() {}

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
