// QOVExtractFile.cpp - extracting a file of an archive to a disk file.

#include "read/QOVRead.h"

#include "common/QOVFileStreamBackend.h"

#include <atomic>
#include <cstdio>
#include <random>
#include <string>

namespace {

// How many names a temporary file tries before the extraction gives up.
const int kTemporaryNameAttempts = 32;

uint64_t MixBits(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

// A fresh unpredictable 64-bit value: a random seed drawn once per process,
// and a counter, so that threads and processes never draw the same one.
uint64_t NextTemporaryTag() {
    static const uint64_t seed = [] {
        std::random_device device;
        return (uint64_t(device()) << 32) ^ device() ^ uint64_t(reinterpret_cast<uintptr_t>(&device));
    }();
    static std::atomic<uint64_t> counter{0};
    return MixBits(seed ^ MixBits(counter.fetch_add(1)));
}

// A temporary name for TARGET in TARGET's folder (so that the rename stays
// on one volume): the target's name with a random tag, or only the tag when
// that is too long.  Empty when even that does not fit.
std::string TemporaryName(const std::string& target, uint64_t tag) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(tag));
    std::string name = target + suffix;
    if (name.size() <= STREAM_MAX_NAME) return name;
    const size_t cut = target.find_last_of("\\/");
    name = (cut == std::string::npos ? std::string() : target.substr(0, cut + 1)) + "~" + (suffix + 1);
    return name.size() <= STREAM_MAX_NAME ? name : std::string();
}

// Creates a temporary file beside TARGET that did not exist before (created
// exclusively: neither an existing file nor another file of the archive
// being extracted at the same time can be overwritten).  *PATH gets its name.
TFileStreamImpl* CreateTemporary(const std::string& target, std::string* path) {
    for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        *path = TemporaryName(target, NextTemporaryTag());
        if (path->empty()) return nullptr;
        if (TFileStreamImpl* stream = FileStream_CreateNew(path->c_str())) return stream;
        const uint32_t error = QOVGetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return nullptr;
    }
    return nullptr;
}

// Copies an open file to a disk file.  The data goes to a temporary file
// first, renamed over the target at the end, so that a failed extraction
// leaves an existing target untouched.  A target whose folder is too long
// for any temporary name beside it is written in place.
uint32_t CopyToDisk(TNQOVFileImpl* hf, const char* szExtracted) {
    if (!FileStream_CreateFolders(szExtracted)) return QOVGetLastError();
    std::string partName;
    TFileStreamPtr output(CreateTemporary(szExtracted, &partName));
    const bool inPlace = partName.empty();
    if (inPlace) {
        partName = szExtracted;
        output.reset(Impl(FileStream_MakeNew(partName.c_str())));
    }
    if (!output) return QOVGetLastError();

    const uint32_t sectorBytes = hf->ha->dwSectorBytes;
    const uint32_t blockSize =
        sectorBytes >= QOV_READ_BLOCK ? QOV_READ_BLOCK : QOV_READ_BLOCK / sectorBytes * sectorBytes;
    std::unique_ptr<uint8_t[]> buffer = QOVAllocArray<uint8_t>(blockSize);
    uint32_t error = buffer ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    while (error == ERROR_SUCCESS) {
        uint32_t read = 0;
        if (!SFileReadFile(hf, buffer.get(), blockSize, &read, true) && QOVGetLastError() != ERROR_HANDLE_EOF)
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
        QOV_FAIL_IF(
            szToExtract == nullptr || szExtracted == nullptr || *szToExtract == 0 || *szExtracted == 0,
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
        QOV_FAIL_IF(szExtracted == nullptr || *szExtracted == 0, "invalid parameter!",
                    ERROR_INVALID_PARAMETER, false);
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
