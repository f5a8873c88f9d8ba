// QOVExtractFile.cpp - extracting a file of an archive to a disk file.

#include "read/QOVRead.h"

#include "common/QOVFileStreamBackend.h"

namespace {

// Copies an open file to a new disk file; the data goes to a temporary file
// first, so that a failed extraction leaves an existing file untouched.
uint32_t CopyToDisk(TNQOVFileImpl* hf, const char* szExtracted) {
    if (!FileStream_CreateFolders(szExtracted)) return QOVGetLastError();
    // A name too long for a temporary sibling is written in place.
    std::string partName = std::string(szExtracted) + ".part";
    const bool inPlace = partName.size() > STREAM_MAX_NAME;
    if (inPlace) partName = szExtracted;
    TFileStreamPtr output(Impl(FileStream_MakeNew(partName.c_str())));
    if (!output) return QOVGetLastError();

    const uint32_t sectorBytes = hf->ha->dwSectorBytes;
    const uint32_t blockSize =
        sectorBytes >= QOV_READ_BLOCK ? QOV_READ_BLOCK : QOV_READ_BLOCK / sectorBytes * sectorBytes;
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(blockSize);
    uint32_t error = buffer ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    while (error == ERROR_SUCCESS) {
        uint32_t read = 0;
        if (!SFileReadFile(hf, buffer.get(), blockSize, &read, true) &&
            QOVGetLastError() != ERROR_HANDLE_EOF)
            error = QOVGetLastError();
        if (read > 0 && !FileStream_Write(output.get(), nullptr, buffer.get(), read))
            error = QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_ACCESS_DENIED;
        if (read == 0) break;
    }
    output.reset();
    if (error == ERROR_SUCCESS && !inPlace && !qovfs::RenameReplace(partName.c_str(), szExtracted))
        error = QOVGetLastError();
    if (error != ERROR_SUCCESS) qovfs::RemoveFile(partName.c_str());
    return error;
}

}  // namespace

bool SFileExtractFile(TNQOVArchive* haIn, const char* szToExtract, const char* szExtracted) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        QOV_FAIL_IF(szToExtract == nullptr || szExtracted == nullptr || *szToExtract == 0 ||
                        *szExtracted == 0,
                    "invalid parameter!", ERROR_INVALID_PARAMETER, false);
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, szToExtract, QOV_OPEN_PATCHED, &opened)) return false;
        TFilePtr file(Impl(opened));
        const uint32_t error = CopyToDisk(file.get(), szExtracted);
        file.reset();
        QOV_FAIL_IF(error != ERROR_SUCCESS, "[result]failed;", error, false);
        return true;
    });
}

bool SFileExtractFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* haIn, const char* szExtracted) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        const TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr || entry->IsDirectory(), "entry null", ERROR_INVALID_PARAMETER, false);
        QOV_FAIL_IF(szExtracted == nullptr || *szExtracted == 0, "invalid parameter!", ERROR_INVALID_PARAMETER,
                    false);
        // Through an ordinary handle, so that single-unit files extract too.
        TNQOVFile* opened = nullptr;
        if (!NQOVOpenFileEx(ha, dwFileId, &opened)) return false;
        TFilePtr file(Impl(opened));
        const uint32_t error = CopyToDisk(file.get(), szExtracted);
        file.reset();
        QOV_FAIL_IF(error != ERROR_SUCCESS, "[result]failed;", error, false);
        return true;
    });
}
