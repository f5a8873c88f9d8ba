// QOVListFile.cpp - the archive's internal list file "(listfile)": reading it
// to name records at open.  The writer writes it back
// (write/QOVListFileWriter.cpp).

#include "read/QOVRead.h"

#include <algorithm>

namespace {

const uint32_t kListFileFlagsMask = NQOV_FILE_EXISTS | NQOV_FILE_SECTOR_CRC | NQOV_FILE_FIX_KEY |
                                    NQOV_FILE_ENCRYPTED | NQOV_FILE_COMPRESS;  // 0x84030200
const uint32_t kCacheBlock = 64 * 1024;

// Reads an open list file block by block and hands out its lines.
class TListFileCache {
public:
    explicit TListFileCache(TNQOVFileImpl* hf) : m_file(hf) {}

    bool Init() {
        m_buffer = QOVAllocArray<uint8_t>(kCacheBlock);
        return m_buffer != nullptr;
    }

    // Next line (without CR/LF), at most QOV_LISTFILE_MAX_LINE bytes; false at the end.
    bool NextLine(std::string* pLine) {
        pLine->clear();
        int ch;
        do {
            ch = NextByte();
            if (ch < 0) return false;
        } while (ch < 0x20);
        while (ch >= 0 && ch != '\r' && ch != '\n') {
            pLine->push_back(static_cast<char>(ch));
            if (pLine->size() == QOV_LISTFILE_MAX_LINE) break;
            ch = NextByte();
        }
        return true;
    }

private:
    int NextByte() {
        if (m_read == m_end && !Refill()) return -1;
        return m_buffer[m_read++];
    }

    bool Refill() {
        uint32_t read = 0;
        if (!SFileReadFile(m_file, m_buffer.get(), kCacheBlock, &read, true) &&
            QOVGetLastError() != ERROR_HANDLE_EOF)
            m_error = QOVGetLastError();
        m_read = 0;
        m_end = read;
        return read > 0;
    }

public:
    // The error that ended reading early, or 0 when the whole file was read.
    uint32_t Error() const { return m_error; }

private:
    TNQOVFileImpl* m_file;
    uint32_t m_error = ERROR_SUCCESS;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_read = 0;
    uint32_t m_end = 0;
};

void CutPatchSuffix(std::string* pLine) {
    const size_t tilde = pLine->rfind('~');
    if (tilde != std::string::npos && tilde + 1 < pLine->size() && (*pLine)[tilde + 1] == 'P')
        pLine->resize(tilde);
}

void NameRecordFromLine(TNQOVArchiveImpl* ha, const std::string& line) {
    if (line.empty() || IsPseudoFileName(line.c_str(), nullptr)) return;
    const uint32_t index = FindSlotByName(ha, line.c_str());
    if (index == QOV_NO_RECORD) return;
    TFileEntryImpl& entry = ha->Records[index];
    if (!entry.HasRealName() && !(entry.dwFlags & NQOV_FILE_DELETE_MARKER))
        SetRecordName(&entry, line.c_str());
}

}  // namespace

int SFileAddListFile(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    return QOVEnter(QOV_HERE, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY), [&]() -> int {
        // The result is the error: an invalid handle is reported there, not as the last error.
        if (!IsValidArchive(ha)) return ERROR_INVALID_HANDLE;
        if (!ha->pHetTable) return ERROR_SUCCESS;

        TNQOVFile* opened = nullptr;
        const uint32_t savedError = QOVGetLastError();
        QOVSetLastError(ERROR_SUCCESS);
        // Without a list file there are no names to lose.
        if (FindSlotByName(ha, NQOV_LISTFILE_NAME) == QOV_NO_RECORD) {
            ha->dwListFileError = ERROR_SUCCESS;
            QOVSetLastError(savedError);
            return ERROR_SUCCESS;
        }
        // Until the list file has been read to its end, names may be missing:
        // a load that ends early in any way (out of memory included) leaves
        // this error, and writers read the list file again before replacing it.
        ha->dwListFileError = ERROR_CAN_NOT_COMPLETE;
        if (!NQOVOpenFileEx(ha, NQOV_LISTFILE_NAME, QOV_OPEN_TABLE_ONLY, &opened)) {
            const uint32_t error = QOVGetLastError();
            if (error == ERROR_SUCCESS) {
                ha->dwListFileError = ERROR_SUCCESS;
                QOVSetLastError(savedError);
                return ERROR_SUCCESS;
            }
            ha->dwListFileError = error;
            QOV_LOG_ERROR("CreateListFileCache failed!", error);
            return static_cast<int>(error);
        }
        TFilePtr file(Impl(opened));
        ha->dwFileFlags1 = file->pFileEntry->dwFlags & kListFileFlagsMask;

        TListFileCache cache(file.get());
        if (!cache.Init()) {
            ha->dwListFileError = ERROR_NOT_ENOUGH_MEMORY;
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        std::string line;
        while (cache.NextLine(&line)) {
            CutPatchSuffix(&line);
            NameRecordFromLine(ha, line);
        }
        NameRecordFromLine(ha, NQOV_LISTFILE_NAME);
        // A list file read only in part must not be replaced by a shorter one.
        ha->dwListFileError = cache.Error();
        if (cache.Error() != ERROR_SUCCESS) {
            QOV_LOG_ERROR("the list file could not be read to its end", cache.Error());
            return static_cast<int>(cache.Error());
        }
        QOVSetLastError(savedError);
        return ERROR_SUCCESS;
    });
}
