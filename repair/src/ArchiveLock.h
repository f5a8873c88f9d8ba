// ArchiveLock.h - keeps other repairs off the archive while this one runs.
//
// Natively an advisory lock on the whole file (flock); on Windows a
// byte-range lock (LockFileEx) on a byte far past the file's end, on a
// handle that shares everything, so that the archive library's own handles
// are not kept out.  Another `qov repair` or engine (or any program that
// takes the same lock) finds it and gives up with a clear error.

#ifndef BREVIK_REPAIR_ARCHIVELOCK_H
#define BREVIK_REPAIR_ARCHIVELOCK_H

#include <cstdint>
#include <string>

namespace brevik {
namespace repair {

class ArchiveLock {
public:
    enum class Result { kLocked, kBusy, kMissing, kError };

    ArchiveLock() = default;
    ~ArchiveLock() { Release(); }
    ArchiveLock(const ArchiveLock&) = delete;
    ArchiveLock& operator=(const ArchiveLock&) = delete;

    // Locks the existing file at `path`: exclusive for a repair, shared for
    // a look that writes nothing.  kBusy when another holds it.
    Result Lock(const std::string& path, bool exclusive, std::string* error);
    // Makes the file (it must not exist) and locks it exclusively.
    Result Create(const std::string& path, std::string* error);
    void Release();

private:
    intptr_t m_handle = -1;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_ARCHIVELOCK_H
