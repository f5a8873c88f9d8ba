// QOVFlushArchive.cpp - flushing an archive: the list file and the tables
// of an archive that changed are written again.

#include "write/QOVWrite.h"

bool SFileFlushArchive(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        QOV_FAIL_IF(ha->pActiveWriter != nullptr, "a file is being written", ERROR_BUSY, false);
        const bool listPending = (ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) != 0;
        if (!listPending && !(ha->dwFlags & NQOV_FLAG_CHANGED)) return true;
        // Padding to a whole piece is bounded by the archive itself: a damaged
        // header's piece size could ask for gigabytes of zeros.
        const uint32_t pieceError = CheckWritablePieceSize(ha);
        QOV_FAIL_IF(pieceError != ERROR_SUCCESS, "the piece size does not fit the archive", pieceError,
                    false);

        uint32_t listError = ERROR_SUCCESS, tableError = ERROR_SUCCESS;
        if (listPending) listError = static_cast<uint32_t>(SortTable(ha));
        if (ha->dwFlags & NQOV_FLAG_CHANGED) tableError = WriteArchiveTables(ha);
        const uint32_t error = tableError != ERROR_SUCCESS ? tableError : listError;
        if (error != ERROR_SUCCESS) {
            // Whatever part failed, the file no longer matches its header for
            // sure: the next flush writes everything again.
            ha->StateMap.CopyBeforeChange();
            ha->dwFlags |= NQOV_FLAG_CHANGED;
        }
        QOV_FAIL_IF(error != ERROR_SUCCESS, " failed", error, false);
        return true;
    });
}
