// QOVVerifyFile.cpp - verifying a file's content: read to its end with the
// piece check, its MD5 compared with the record's; several files at once,
// their blocks hashed together by the multi-buffer MD5 engine.

#include "verify/QOVVerify.h"

#include "common/MD5Multi.h"

#include <utility>
#include <vector>

namespace {

// The VerifyFile flags of a file read to its end: TOTAL bytes delivered,
// LASTERROR the error the read that ended it left, DIGEST the MD5 of what
// was delivered.
uint32_t ContentFlags(const TNQOVFileImpl* file, uint64_t total, uint32_t lastError,
                      const uint8_t digest[16]) {
    uint32_t flags = 0;
    if (lastError == ERROR_QOV_SECTOR_CHECKSUM) flags |= VERIFY_FILE_SECTOR_CRC_ERROR;
    const TFileEntryImpl* entry = file->pFileEntry;
    if (total < file->dwDataSize) {
        flags |= VERIFY_READ_ERROR;
    } else if (!IsZeroDigest(entry->ContentMD5)) {
        flags |= VERIFY_MD5_PRESENT;
        if (memcmp(digest, entry->ContentMD5, 16) != 0) flags |= VERIFY_FILE_MD5_ERROR;
    }
    return flags;
}

// Large blocks keep the number of reads (and system calls) small; the
// outcome is that of any block size, as a failing sector ends a read just
// before it and the next read then returns nothing.
const uint32_t kBlock = 256 * 1024;

// Reads an open file to its end with the piece check and returns the
// VerifyFile flags; the file is closed.
uint32_t VerifyOpenFile(TFilePtr file) {
    TMD5 md5;
    std::unique_ptr<uint8_t[]> block = QOVAllocArray<uint8_t>(kBlock);
    if (!block) {
        QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return VERIFY_READ_ERROR;
    }
    uint64_t total = 0;
    for (;;) {
        uint32_t read = 0;
        SFileReadFile(file.get(), block.get(), kBlock, &read, true);
        if (read == 0) break;
        md5.Update(block.get(), read);
        total += read;
    }
    uint8_t digest[16];
    md5.Final(digest);
    return ContentFlags(file.get(), total, QOVGetLastError(), digest);
}

// One file of VerifyFiles being read: a block at a time into its own
// buffer, its MD5 carried from block to block in the engine's context.
struct TFileInRead {
    TFilePtr file;
    std::unique_ptr<uint8_t[]> block;
    TMD5Context md5;
    uint8_t digest[16] = {};
    uint64_t total = 0;
    uint32_t read = 0;  // bytes of the last read
    uint32_t lastError = ERROR_SUCCESS;
    uint32_t* pdwResult = nullptr;
};

}  // namespace

uint32_t VerifyFile(TNQOVArchive* haIn, const char* szFileName) {
    return QOVEnter(QOV_HERE, haIn, static_cast<uint32_t>(VERIFY_CANNOT_OPEN),
                    [&](TNQOVArchiveImpl* ha) -> uint32_t {
                        TNQOVFile* opened = nullptr;
                        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &opened))
                            return VERIFY_CANNOT_OPEN;
                        return VerifyOpenFile(TFilePtr(Impl(opened)));
                    });
}

uint32_t VerifyFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, static_cast<uint32_t>(VERIFY_CANNOT_OPEN),
                    [&](TNQOVArchiveImpl* ha) -> uint32_t {
                        const TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
                        if (entry == nullptr || entry->IsDirectory()) return VERIFY_CANNOT_OPEN;
                        TNQOVFile* opened = nullptr;
                        if (!NQOVOpenFileEx(ha, dwFileId, &opened)) return VERIFY_CANNOT_OPEN;
                        return VerifyOpenFile(TFilePtr(Impl(opened)));
                    });
}

bool VerifyFiles(TNQOVArchive* haIn, const char* const* pszFileNames, uint32_t dwCount, uint32_t* pdwResults,
                 bool bCheckPieces) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(dwCount > 0 && (pszFileNames == nullptr || pdwResults == nullptr), "no files",
                    ERROR_INVALID_PARAMETER, false);
        TMD5Multi engine;
        std::vector<TFileInRead> reading(engine.Lanes());
        size_t active = 0;  // files of `reading` in use: the first `active`
        uint32_t next = 0;
        for (;;) {
            // Free places take the next files that open.
            while (active < reading.size() && next < dwCount) {
                const uint32_t index = next++;
                pdwResults[index] = VERIFY_CANNOT_OPEN;
                TNQOVFile* opened = nullptr;
                if (pszFileNames[index] == nullptr ||
                    !NQOVOpenFileEx(ha, pszFileNames[index], QOV_OPEN_PATCHED, &opened))
                    continue;
                TFileInRead& slot = reading[active];
                slot.file.reset(Impl(opened));
                if (!slot.block) slot.block = QOVAllocArray<uint8_t>(kBlock);
                if (!slot.block) {
                    pdwResults[index] = VERIFY_READ_ERROR;
                    slot.file.reset();
                    continue;
                }
                slot.md5.Reset();
                slot.total = 0;
                slot.lastError = QOVGetLastError();
                slot.pdwResult = &pdwResults[index];
                active++;
            }
            if (active == 0) return true;
            // A block of each, hashed together.
            for (size_t n = 0; n < active; n++) {
                TFileInRead& slot = reading[n];
                slot.read = 0;
                // Each file sees the last error its own reads left, as when
                // it is read alone.
                QOVSetLastError(slot.lastError);
                SFileReadFile(slot.file.get(), slot.block.get(), kBlock, &slot.read, bCheckPieces);
                slot.lastError = QOVGetLastError();
                slot.total += slot.read;
                TMD5Job job;
                job.pvData = slot.block.get();
                job.cbData = slot.read;
                job.pContext = &slot.md5;
                job.bFinal = slot.read == 0;  // the end: its digest
                job.pbDigest = slot.digest;
                engine.Add(job);
            }
            engine.Finish();
            // Files that ended give their places to the next ones.
            for (size_t n = 0; n < active;) {
                TFileInRead& slot = reading[n];
                if (slot.read != 0) {
                    n++;
                    continue;
                }
                *slot.pdwResult = ContentFlags(slot.file.get(), slot.total, slot.lastError, slot.digest);
                slot.file.reset();
                std::swap(reading[n], reading[active - 1]);
                active--;
            }
        }
    });
}
