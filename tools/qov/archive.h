// archive.h - archive handles and file-table records, as the commands use them.

#ifndef QOV_ARCHIVE_H
#define QOV_ARCHIVE_H

#include <cstdint>
#include <string>
#include <vector>

#include "QOVLib.h"

namespace qov {

// Owns an open archive handle.  The destructor closes it without flushing;
// commands that changed the archive call Close(true) and check the result.
class ArchiveHandle {
public:
    ArchiveHandle() = default;
    ArchiveHandle(const ArchiveHandle&) = delete;
    ArchiveHandle& operator=(const ArchiveHandle&) = delete;
    ~ArchiveHandle() { Close(false); }

    TNQOVArchive* get() const { return ha_; }
    // Where the library stores a newly opened or created handle; the handle
    // held before is closed first.
    TNQOVArchive** Receive() {
        Close(false);
        return &ha_;
    }
    // SFileCloseArchive's result; true when nothing is open.
    bool Close(bool flush) {
        TNQOVArchive* ha = ha_;
        ha_ = nullptr;
        return ha == nullptr || SFileCloseArchive(ha, flush);
    }

private:
    TNQOVArchive* ha_ = nullptr;
};

// Opens the archive at PATH; READ_ONLY opens it with NQOV_OPEN_READ_ONLY.
// On failure reports "cannot open archive 'PATH': NAME (N)", stores the
// library's error number in *error (when ERROR is not null) and returns false.
bool OpenArchive(const std::string& path, bool readOnly, ArchiveHandle* archive,
                 uint32_t* error = nullptr);

// One record of the file table.
struct Record {
    uint32_t index = 0;
    std::string name;  // the stored name, or the pseudo name ".File<hash>."
    bool named = false;
    uint32_t flags = 0;
    uint32_t fileSize = 0;
    uint32_t storedSize = 0;
    uint64_t storedOffset = 0;
    uint8_t md5[16] = {};
};

// Every record that has NQOV_FILE_EXISTS, in file-table order.  On failure
// reports what failed (naming ARCHIVE_PATH) and returns false.
bool ReadRecords(TNQOVArchive* ha, const std::string& archivePath, std::vector<Record>* records);

// A record with content: not a directory and not a delete marker.
bool HasContent(const Record& record);

// Whether NAME is the archive's own list file, "(listfile)" in any case.
bool IsListFileName(const std::string& name);

}  // namespace qov

#endif  // QOV_ARCHIVE_H
