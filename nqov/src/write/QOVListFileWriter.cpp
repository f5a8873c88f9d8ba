// QOVListFileWriter.cpp - writing the archive's list file "(listfile)" back,
// sorted, after files were added.

#include "write/QOVWrite.h"

#include "verify/QOVVerify.h"

#include <algorithm>

int SortTable(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    return QOVEnter(QOV_HERE, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), [&]() -> int {
        // The result is the error: an invalid handle is reported there, not as the last error.
        if (!IsValidArchive(ha)) return ERROR_INVALID_HANDLE;

        std::vector<const char*> names;
        for (uint32_t i = 0; i < ha->dwFileTableSize; i++) {
            const TFileEntryImpl& entry = ha->Records[i];
            if (!entry.Exists() || !entry.HasRealName() || (entry.dwFlags & NQOV_FILE_DELETE_MARKER))
                continue;
            const char* name = entry.szFileName.get();
            if (IsPseudoFileName(name, nullptr) || IsListFileName(name)) continue;
            names.push_back(name);
        }
        std::stable_sort(names.begin(), names.end(),
                         [](const char* a, const char* b) { return QOVCompareNoCase(a, b) < 0; });

        std::string content;
        uint32_t flags = ha->dwFileFlags1;
        if (names.empty()) {
            content = NQOV_LISTFILE_NAME "\r\n";
            flags = QOV_LISTFILE_FLAGS;
        } else {
            const char* previous = nullptr;
            for (const char* name : names) {
                if (previous != nullptr && QOVCompareNoCase(previous, name) == 0) continue;
                content += name;
                content += "\r\n";
                previous = name;
            }
        }
        if (content.size() > UINT32_MAX) return ERROR_NOT_ENOUGH_MEMORY;

        QOV_FAIL_IF(ha->dwFlags & NQOV_FLAG_READ_ONLY, "ERROR_ACCESS_DENIED!", ERROR_ACCESS_DENIED,
                    static_cast<int>(ERROR_ACCESS_DENIED));
        QOV_FAIL_IF(ha->pActiveWriter != nullptr, "a file is being written", ERROR_BUSY,
                    static_cast<int>(ERROR_BUSY));
        const uint32_t pieceError = CheckWritablePieceSize(ha);
        QOV_FAIL_IF(pieceError != ERROR_SUCCESS, "the piece size does not fit the archive", pieceError,
                    static_cast<int>(pieceError));
        if (!(ha->dwFlags & NQOV_FLAG_LISTFILE_CHANGED) && ha->dwListFileError != ERROR_SUCCESS) {
            // A list file read only in part is read again before it is replaced.
            const uint32_t listError = static_cast<uint32_t>(SFileAddListFile(ha));
            QOV_FAIL_IF(listError != ERROR_SUCCESS,
                        "the list file cannot be read; rewriting would lose names", listError,
                        static_cast<int>(listError));
        }
        // The list file goes where the tables are: they must be written again.
        ha->StateMap.CopyBeforeChange();
        ha->dwFlags |= NQOV_FLAG_CHANGED;
        TNQOVFile* hf = nullptr;
        uint32_t error = SFileAddFile_Init(ha, NQOV_LISTFILE_NAME, static_cast<uint32_t>(content.size()),
                                           flags | NQOV_FILE_EXISTS, &hf);
        if (error != ERROR_SUCCESS) return static_cast<int>(error);
        error = SFileAddFile_Write(Impl(hf), content.data(), static_cast<uint32_t>(content.size()));
        const uint32_t finishError = SFileAddFile_Finish(Impl(hf));
        if (error == ERROR_SUCCESS) error = finishError;
        if (error == ERROR_SUCCESS) ha->dwFlags &= ~NQOV_FLAG_LISTFILE_CHANGED;
        return static_cast<int>(error);
    });
}
