// QOVFlushArchive.cpp - flushing an archive: the list file and the tables
// of an archive that changed are written again.

#include "write/QOVWrite.h"

bool SFileFlushArchive(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(ha->pActiveWriter != nullptr, "a file is being written", ERROR_BUSY, false);
        uint32_t listError = ERROR_SUCCESS, tableError = ERROR_SUCCESS;
        if (ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) listError = static_cast<uint32_t>(SortTable(ha));
        if (ha->dwFlags & NQOV_FLAG_CHANGED) tableError = WriteArchiveTables(ha);
        const uint32_t error = tableError != ERROR_SUCCESS ? tableError : listError;
        QOV_FAIL_IF(error != ERROR_SUCCESS, " failed", error, false);
        return true;
    });
}
