// QOVCreateFile.cpp - the exported operations that write files into an
// archive: creating a file, writing its content, finishing it, and adding a
// disk file whole.

#include "write/QOVWrite.h"

#include "verify/QOVVerify.h"

#include <algorithm>

namespace {

// A name must come back from the list file unchanged: no control bytes, at
// most one line's length, and no "~P" suffix (which readers cut off).
uint32_t CheckListableName(const char* szName) {
    const size_t length = strlen(szName);
    if (length > QOV_LISTFILE_MAX_LINE) return ERROR_FILENAME_EXCED_RANGE;
    for (const char* p = szName; *p != 0; p++)
        if (static_cast<uint8_t>(*p) < 0x20) return ERROR_INVALID_PARAMETER;
    const char* tilde = strrchr(szName, '~');
    if (tilde != nullptr && tilde[1] == 'P') return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// The checks and steps SFileCreateFile and SFileCreateFileEx share.  Every
// check runs; the last one that fails names the error.
bool CreateFileWithFlags(TNQOVArchiveImpl* ha, const char* szArchieveName, uint32_t dwFileSize,
                         uint32_t dwFlags, TNQOVFile** phFile) {
    uint32_t error = ERROR_SUCCESS;
    const bool validArchive = IsValidArchive(ha);
    const bool hasName = szArchieveName != nullptr && *szArchieveName != 0;
    if (!validArchive) {
        error = ERROR_INVALID_HANDLE;
        QOV_LOG_ERROR("invalid handle!", error);
    }
    if (!hasName) {
        error = ERROR_INVALID_PARAMETER;
        QOV_LOG_ERROR("invalid parameter 1!", error);
    }
    if (phFile == nullptr) {
        error = ERROR_INVALID_PARAMETER;
        QOV_LOG_ERROR("invalid parameter 2!", error);
    } else {
        *phFile = nullptr;
    }
    if (validArchive && (ha->dwFlags & NQOV_FLAG_READ_ONLY)) {
        error = ERROR_ACCESS_DENIED;
        QOV_LOG_ERROR("ERROR_ACCESS_DENIED!", error);
    }
    if (hasName && IsPseudoFileName(szArchieveName, nullptr)) {
        error = ERROR_INVALID_PARAMETER;
        QOV_LOG_ERROR("IsPseudoFileName!", error);
    }
    if (hasName && szArchieveName[0] == '(' && IsListFileName(szArchieveName)) {
        error = ERROR_QOV_INTERNAL_FILE_NAME;
        QOV_LOG_ERROR("IsInternalQOVFileName!", error);
    }
    if (hasName) {
        const uint32_t nameError = CheckListableName(szArchieveName);
        if (nameError != ERROR_SUCCESS) {
            error = nameError;
            QOV_LOG_ERROR("the name cannot be kept in the list file", error);
        }
    }
    if (validArchive && ha->pActiveWriter != nullptr) {
        error = ERROR_BUSY;
        QOV_LOG_ERROR("another file is being written", error);
    }
    if (validArchive && CheckWritablePieceSize(ha) != ERROR_SUCCESS) {
        error = CheckWritablePieceSize(ha);
        QOV_LOG_ERROR("the piece size does not fit the archive", error);
    }
    if (error != ERROR_SUCCESS) {
        QOVSetLastError(error);
        return false;
    }

    if (!(ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) && ha->dwListFileError != ERROR_SUCCESS) {
        // The list file could not be read at open: try again, as a new
        // list file is written from the names known now.
        const uint32_t listError = static_cast<uint32_t>(SFileAddListFile(ha));
        QOV_FAIL_IF(listError != ERROR_SUCCESS, "the list file cannot be read; adding would lose names",
                    listError, false);
    }
    if (!(ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED)) {
        const uint32_t listIndex = FindSlotByName(ha, NQOV_LISTFILE_NAME);
        if (listIndex != QOV_NO_RECORD) MarkRecordDeleted(ha, &ha->Records[listIndex]);
        ha->dwFlags |= NQOV_FLAG_LISTFILE_CHANGED;
    }
    ha->StateMap.CopyBeforeChange();
    ha->dwFlags |= NQOV_FLAG_CHANGED;
    error = SFileAddFile_Init(ha, szArchieveName, dwFileSize, dwFlags, phFile);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "SFileAddFile_Init failed!", error, false);
    return true;
}

}  // namespace

bool SFileCreateFile(TNQOVArchive* haIn, const char* szArchieveName, uint32_t dwFileSize,
                     TNQOVFile** phFile) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        return CreateFileWithFlags(Impl(haIn), szArchieveName, dwFileSize, NQOV_FILE_COMPRESS, phFile);
    });
}

bool SFileCreateFileEx(TNQOVArchive* haIn, const char* szArchieveName, uint32_t dwFileSize, uint32_t dwFlags,
                       TNQOVFile** phFile) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        if (phFile != nullptr) *phFile = nullptr;
        QOV_FAIL_IF(dwFlags & ~NQOV_FILE_WRITABLE_FLAGS, "invalid flags", ERROR_INVALID_PARAMETER, false);
        return CreateFileWithFlags(Impl(haIn), szArchieveName, dwFileSize, dwFlags, phFile);
    });
}

bool SFileWriteFile(TNQOVFile* hfIn, const void* pvData, uint32_t dwSize) {
    return QOVEnter(QOV_HERE, hfIn, false, [&](TNQOVFileImpl* hf) -> bool {
        QOV_FAIL_IF(!hf->bWriting, "invalid handle 2!", ERROR_INVALID_HANDLE, false);
        const uint32_t error = SFileAddFile_Write(hf, pvData, dwSize);
        QOV_FAIL_IF(error != ERROR_SUCCESS, "SFileAddFile_Write failed!", error, false);
        return true;
    });
}

bool SFileFinishFile(TNQOVFile* hfIn) {
    return QOVEnter(QOV_HERE, hfIn, false, [&](TNQOVFileImpl* hf) -> bool {
        QOV_FAIL_IF(!hf->bWriting, "invalid handle 2!", ERROR_INVALID_HANDLE, false);
        const uint32_t error = SFileAddFile_Finish(hf);
        QOV_FAIL_IF(error != ERROR_SUCCESS, "SFileAddFile_Finish failed!", error, false);
        return true;
    });
}

bool SFileAddFileEx(TNQOVArchive* haIn, const char* szFileName, const char* szArchivedName) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        QOV_FAIL_IF(szFileName == nullptr || *szFileName == 0, "invalid parameter", ERROR_INVALID_PARAMETER,
                    false);
        TFileStreamPtr local(Impl(FileStream_OpenFile(szFileName, false)));
        QOV_FAIL_IF(!local, "FileStream_OpenFile failed", QOVGetLastError(), false);
        uint64_t size = 0;
        QOV_FAIL_IF(!FileStream_SizeOf(local.get(), &size), "FileStream_SizeOf failed", QOVGetLastError(),
                    false);
        QOV_FAIL_IF(size > UINT32_MAX, "a file's size must fit 32 bits", ERROR_DISK_FULL, false);
        const uint32_t kBlock = 64 * 1024;
        std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(kBlock);
        QOV_FAIL_IF(!buffer, "ERROR_NOT_ENOUGH_MEMORY", ERROR_NOT_ENOUGH_MEMORY, false);

        TNQOVFile* hf = nullptr;
        if (!SFileCreateFile(ha, szArchivedName, static_cast<uint32_t>(size), &hf)) {
            QOV_FAIL("Initiate adding file to the NQOV failed!", QOVGetLastError(), false);
        }

        uint32_t error = ERROR_SUCCESS;
        for (uint64_t done = 0; done < size && error == ERROR_SUCCESS;) {
            const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(kBlock, size - done));
            if (!FileStream_Read(local.get(), nullptr, buffer.get(), part)) {
                error = QOVGetLastError();
                QOV_LOG_ERROR("Read data from the local file failed!", error);
            } else if (!SFileWriteFile(hf, buffer.get(), part)) {
                error = QOVGetLastError();
                QOV_LOG_ERROR("Add the file sectors to the NQOV failed!", error);
            }
            done += part;
        }
        if (error != ERROR_SUCCESS) Impl(hf)->bWriteFailed = true;
        if (!SFileFinishFile(hf)) {
            QOV_LOG_ERROR(" Finish the file writing failed!", QOVGetLastError());
            if (error == ERROR_SUCCESS) error = QOVGetLastError();
        }
        local.reset();
        QOV_FAIL_IF(error != ERROR_SUCCESS, "the file could not be added", error, false);
        return true;
    });
}
