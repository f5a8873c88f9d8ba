// ArchiveLock.h - keeps other repairs off the archive while this one runs.
//
// Natively an advisory lock on the whole file (flock): another `qov repair`
// (or any program that takes the same lock) finds it and gives up with a
// clear error.  In the Windows flavour the library's share modes keep other
// writers out already; the lock is then only the creation of a new file.

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
