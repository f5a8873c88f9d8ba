// QOVVerifyFile.cpp - verifying a file's content: read to its end with the
// piece check, its MD5 compared with the record's.

#include "verify/QOVVerify.h"

namespace {

// Reads an open file to its end with the piece check and returns the
// VerifyFile flags; the file is closed.
uint32_t VerifyOpenFile(TFilePtr file) {
    TMD5 md5;
    // The outcome is that of any block size, as a failing sector ends a read
    // just before it and the next read then returns nothing.
    std::unique_ptr<uint8_t[]> block = QOVAllocArray<uint8_t>(QOV_READ_BLOCK);
    QOV_FAIL_IF(!block, "no memory for the read block", ERROR_NOT_ENOUGH_MEMORY, VERIFY_READ_ERROR);
    uint64_t total = 0;
    for (;;) {
        uint32_t read = 0;
        SFileReadFile(file.get(), block.get(), QOV_READ_BLOCK, &read, true);
        if (read == 0) break;
        md5.Update(block.get(), read);
        total += read;
    }
    uint32_t flags = 0;
    if (QOVGetLastError() == ERROR_QOV_SECTOR_CHECKSUM) flags |= VERIFY_FILE_SECTOR_CRC_ERROR;
    const TFileEntryImpl* entry = file->pFileEntry;
    if (total < file->dwDataSize) {
        flags |= VERIFY_READ_ERROR;
    } else if (!IsZeroDigest(entry->ContentMD5)) {
        flags |= VERIFY_MD5_PRESENT;
        uint8_t digest[16];
        md5.Final(digest);
        if (memcmp(digest, entry->ContentMD5, 16) != 0) flags |= VERIFY_FILE_MD5_ERROR;
    }
    return flags;
}

}  // namespace

uint32_t VerifyFile(TNQOVArchive* haIn, const char* szFileName) {
    return QOVEnter(QOV_HERE, haIn, static_cast<uint32_t>(VERIFY_CANNOT_OPEN), [&](TNQOVArchiveImpl* ha) -> uint32_t {
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &opened)) return VERIFY_CANNOT_OPEN;
        return VerifyOpenFile(TFilePtr(Impl(opened)));
    });
}

uint32_t VerifyFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, static_cast<uint32_t>(VERIFY_CANNOT_OPEN), [&](TNQOVArchiveImpl* ha) -> uint32_t {
        const TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        if (entry == nullptr || entry->IsDirectory()) return VERIFY_CANNOT_OPEN;
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, dwFileId, &opened)) return VERIFY_CANNOT_OPEN;
        return VerifyOpenFile(TFilePtr(Impl(opened)));
    });
}
