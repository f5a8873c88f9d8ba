// archive.cpp - opening archives and reading their file tables.

#include "archive.h"

#include <cstring>
#include <map>

#include "errors.h"

namespace qov {

bool OpenArchive(const std::string& path, bool readOnly, ArchiveHandle* archive, uint32_t* error) {
    QOVSetLastError(ERROR_SUCCESS);
    if (SFileOpenArchive(path.c_str(), archive->Receive(), readOnly ? NQOV_OPEN_READ_ONLY : 0)) return true;
    const uint32_t code = QOVGetLastError();
    if (error != nullptr) *error = code;
    ReportError("cannot open archive " + Quote(path), code);
    return false;
}

bool OpenChain(const ChainSpec& chain, ArchiveHandle* archive, std::vector<TNQOVArchive*>* archives,
               uint32_t* error, std::string* failure) {
    const auto fail = [&](const std::string& message, uint32_t code) {
        archive->Close(false);
        if (archives != nullptr) archives->clear();
        if (error != nullptr) *error = code;
        if (failure != nullptr)
            *failure = message + ": " + DescribeError(code);
        else
            ReportError(message, code);
        return false;
    };
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileOpenArchive(chain.path.c_str(), archive->Receive(), NQOV_OPEN_READ_ONLY))
        return fail("cannot open archive " + Quote(chain.path), QOVGetLastError());
    TNQOVArchive* ha = archive->get();
    if (archives != nullptr) archives->assign(1, ha);
    for (const std::string& patch : chain.patches) {
        QOVSetLastError(ERROR_SUCCESS);
        if (!SFileOpenPatchArchive(patch.c_str(), ha, NQOV_OPEN_READ_ONLY))
            return fail("cannot attach patch " + Quote(patch) + " to " + Quote(chain.path),
                        QOVGetLastError());
        if (archives == nullptr) continue;
        // The chain is searched newest first, so the patch just attached is
        // the one found even when an older one has the same name.
        TNQOVArchive* attached = ha->FindArchiveByFileName(patch.c_str());
        if (attached == nullptr || attached == ha)
            return fail("cannot find patch " + Quote(patch) + " in the chain of " + Quote(chain.path),
                        ERROR_FILE_NOT_FOUND);
        archives->push_back(attached);
    }
    return true;
}

const std::string& ChainArchivePath(const ChainSpec& chain, size_t k) {
    return k == 0 || k > chain.patches.size() ? chain.path : chain.patches[k - 1];
}

bool ReadChainRecords(TNQOVArchive* ha, const ChainSpec& chain, const std::vector<TNQOVArchive*>& archives,
                      std::vector<Record>* records) {
    records->clear();
    // Each archive's own records, by name, with its header offset (records
    // store their offset from the header, entries their file position).
    struct Table {
        std::multimap<std::string, Record> byName;
        uint64_t headerOffset = 0;
    };
    std::vector<Table> tables(archives.size());
    for (size_t k = 0; k < archives.size(); k++) {
        std::vector<Record> own;
        if (!ReadRecords(archives[k], ChainArchivePath(chain, k), &own)) return false;
        for (Record& record : own) {
            record.archive = k;
            tables[k].byName.emplace(record.name, record);
        }
        QOV_ARCHIVE_INFO info;
        if (!SFileGetArchiveInfo(archives[k], &info)) {
            ReportError("cannot read the header figures of " + Quote(ChainArchivePath(chain, k)),
                        QOVGetLastError());
            return false;
        }
        tables[k].headerOffset = info.HeaderOffset;
    }

    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileBuildFileIdTable(ha)) {
        ReportError("cannot number the files of " + Quote(chain.path), QOVGetLastError());
        return false;
    }
    const uint32_t count = ha->GetFileCount();
    for (uint32_t id = 0; id < count; id++) {
        const std::string where = "file id " + std::to_string(id) + " of " + Quote(chain.path);
        TFileEntry* entry = ha->GetFileEntry(id);
        TNQOVArchive* owner = ha->GetArchiveOfFile(id);
        if (entry == nullptr || owner == nullptr) {
            Report("no record for " + where);
            return false;
        }
        size_t k = 0;
        while (k < archives.size() && archives[k] != owner) k++;
        if (k == archives.size()) {
            Report("the record of " + where + " is in no archive of the chain");
            return false;
        }
        const char* name = entry->GetFileName();
        const std::string text = name != nullptr ? name : "";
        // The record of that archive with the entry's name; should a damaged
        // table hold the name twice, the one with the entry's place and sizes.
        const Record* match = nullptr;
        const auto range = tables[k].byName.equal_range(text);
        for (auto it = range.first; it != range.second; ++it) {
            const Record& candidate = it->second;
            const bool same = candidate.fileSize == entry->GetFileSize() &&
                              candidate.storedSize == entry->GetCompressedSize() &&
                              tables[k].headerOffset + candidate.storedOffset == entry->GetFilePosition();
            if (match == nullptr || same) match = &candidate;
            if (same) break;
        }
        if (match == nullptr) {
            Report("cannot find the record " + Quote(text) + " of " + where + " in " +
                   Quote(ChainArchivePath(chain, k)));
            return false;
        }
        Record record = *match;
        record.fileId = id;
        records->push_back(record);
    }
    return true;
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

bool ParseTag(const std::string& text, uint8_t tag[16]) {
    if (text.size() != 32) return false;
    const auto digit = [](char ch) -> int {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < 16; i++) {
        const int high = digit(text[2 * i]), low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        tag[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
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
