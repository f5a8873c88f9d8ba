// archive.cpp - opening archives and reading their file tables.

#include "archive.h"

#include "errors.h"

namespace qov {

bool OpenArchive(const std::string& path, bool readOnly, ArchiveHandle* archive, uint32_t* error) {
    QOVSetLastError(ERROR_SUCCESS);
    if (SFileOpenArchive(path.c_str(), archive->Receive(), readOnly ? NQOV_OPEN_READ_ONLY : 0))
        return true;
    const uint32_t code = QOVGetLastError();
    if (error != nullptr) *error = code;
    ReportError("cannot open archive " + Quote(path), code);
    return false;
}

bool ReadRecords(TNQOVArchive* ha, const std::string& archivePath, std::vector<Record>* records) {
    records->clear();
    const uint32_t count = SFileGetRecordCount(ha);
    if (count == NQOV_INVALID_SIZE) {
        ReportError("cannot read the file table of " + Quote(archivePath), QOVGetLastError());
        return false;
    }
    for (uint32_t index = 0; index < count; index++) {
        QOV_RECORD_INFO info;
        if (!SFileGetRecordInfo(ha, index, &info)) {
            ReportError("cannot read record " + std::to_string(index) + " of " + Quote(archivePath),
                        QOVGetLastError());
            return false;
        }
        if ((info.dwFlags & NQOV_FILE_EXISTS) == 0) continue;
        Record record;
        record.index = index;
        record.name = info.szFileName != nullptr ? info.szFileName : "";
        record.named = info.bNamed;
        record.flags = info.dwFlags;
        record.fileSize = info.dwFileSize;
        record.storedSize = info.dwStoredSize;
        record.storedOffset = info.StoredOffset;
        for (int i = 0; i < 16; i++) record.md5[i] = info.ContentMD5[i];
        records->push_back(record);
    }
    return true;
}

bool HasContent(const Record& record) {
    return (record.flags & (NQOV_FILE_DIRECTORY | NQOV_FILE_DELETE_MARKER)) == 0;
}

bool IsListFileName(const std::string& name) {
    static const char kListFile[] = NQOV_LISTFILE_NAME;
    if (name.size() != sizeof kListFile - 1) return false;
    for (size_t i = 0; i < name.size(); i++) {
        char ch = name[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != kListFile[i]) return false;
    }
    return true;
}

}  // namespace qov
