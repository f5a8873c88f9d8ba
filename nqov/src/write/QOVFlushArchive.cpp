// QOVFlushArchive.cpp - flushing an archive: the list file and the tables
// of an archive that changed are written again.

#include "write/QOVWrite.h"

bool SFileFlushArchive(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileFlushArchive");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle", ERROR_INVALID_HANDLE, false);
        QOV_FAIL_IF(ha->pActiveWriter != nullptr, "a file is being written", ERROR_BUSY, false);
        uint32_t listError = ERROR_SUCCESS, tableError = ERROR_SUCCESS;
        if (ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) listError = static_cast<uint32_t>(SortTable(ha));
        if (ha->dwFlags & NQOV_FLAG_CHANGED) tableError = WriteArchiveTables(ha);
        const uint32_t error = tableError != ERROR_SUCCESS ? tableError : listError;
        QOV_FAIL_IF(error != ERROR_SUCCESS, " failed", error, false);
        return true;
    });
}
