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
bool OpenArchive(const std::string& path, bool readOnly, ArchiveHandle* archive, uint32_t* error = nullptr);

// An archive and the patch archives to attach to it, oldest first (the
// --patch options of list, cat, extract, verify and patch-tag).
struct ChainSpec {
    std::string path;
    std::vector<std::string> patches;
};

// Opens the archive of CHAIN read-only and attaches each patch in order with
// SFileOpenPatchArchive (read-only), so that names are then looked up over
// the chain.  ARCHIVES (when not null) receives the archives of the chain:
// [0] the base, [k] the k-th patch.  On failure nothing stays open, the
// library's error number goes to *ERROR (when not null) and the message
// ("cannot open archive 'A': NAME (N)" or "cannot attach patch 'P' to 'A':
// NAME (N)") to *FAILURE, or to standard error when FAILURE is null.
bool OpenChain(const ChainSpec& chain, ArchiveHandle* archive, std::vector<TNQOVArchive*>* archives = nullptr,
               uint32_t* error = nullptr, std::string* failure = nullptr);

// The name of archive K of CHAIN's chain (0 the base), for messages.
const std::string& ChainArchivePath(const ChainSpec& chain, size_t k);

// One record of the file table.
struct Record {
    uint32_t index = 0;  // in its archive's file table
    std::string name;    // the stored name, or the pseudo name ".File<hash>."
    bool named = false;
    uint32_t flags = 0;
    uint32_t fileSize = 0;
    uint32_t storedSize = 0;
    uint64_t storedOffset = 0;
    uint8_t md5[16] = {};
    // Over a chain (ReadChainRecords): the archive holding the record (0 the
    // base, k the k-th patch) and the record's file id.
    size_t archive = 0;
    uint32_t fileId = NQOV_INVALID_FILE_ID;
};

// Every record that has NQOV_FILE_EXISTS, in file-table order.  On failure
// reports what failed (naming ARCHIVE_PATH) and returns false.
bool ReadRecords(TNQOVArchive* ha, const std::string& archivePath, std::vector<Record>* records);

// The winning record of every name of an open chain (OpenChain), in file-id
// order, which is ascending name-hash order: builds the file-id table and
// takes each id's record, with the archive that holds it.  Only records
// with NQOV_FILE_EXISTS get ids, so every record returned exists.  On
// failure reports what failed and returns false.
bool ReadChainRecords(TNQOVArchive* ha, const ChainSpec& chain, const std::vector<TNQOVArchive*>& archives,
                      std::vector<Record>* records);

// A record with content: not a directory and not a delete marker.
bool HasContent(const Record& record);

// Parses a tag of 16 bytes written as 32 hex digits (either case) into TAG.
bool ParseTag(const std::string& text, uint8_t tag[16]);

// Whether NAME is the archive's own list file, "(listfile)" in any case.
bool IsListFileName(const std::string& name);

}  // namespace qov

#endif  // QOV_ARCHIVE_H
