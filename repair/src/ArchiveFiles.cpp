// ArchiveFiles.cpp - the file list of a local archive, read once, and the
// handle for look-ups and extraction under a lock.

#include "repair/ArchiveFiles.h"

#include <algorithm>
#include <cstring>

#include "CoreThreads.h"
#include "QOVLib.h"

namespace brevik {
namespace repair {

namespace {

struct ArchiveCloser {
    void operator()(TNQOVArchive* archive) const { SFileCloseArchive(archive, false); }
};
typedef std::unique_ptr<TNQOVArchive, ArchiveCloser> ArchivePtr;

uint32_t LibraryError() {
    const uint32_t code = QOVGetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_FILE_CORRUPT;
}

}  // namespace

struct ArchiveFiles::State {
    Monitor lock;  // the handle's: one thread at a time
    ArchivePtr archive;
    uint32_t pieceCount = 0;
    std::vector<ArchiveFile> files;  // by id; id kNoFile where there is none
    uint32_t listFileId = kNoFile;
};

ArchiveFiles::ArchiveFiles(std::unique_ptr<State> state) : m(std::move(state)) {}
ArchiveFiles::~ArchiveFiles() = default;

std::unique_ptr<ArchiveFiles> ArchiveFiles::Open(const std::string& path, std::string* error,
                                                 uint32_t* code) {
    std::unique_ptr<State> state(new State);
    TNQOVArchive* opened = nullptr;
    uint32_t lastPiece = 0, pieceSize = 0;
    bool ok = SFileOpenArchive(path.c_str(), &opened, NQOV_OPEN_READ_ONLY);
    state->archive.reset(opened);
    ok = ok && SFileBuildFileIdTable(opened) &&
         SFileGetPieceCount(opened, &lastPiece, &state->pieceCount, &pieceSize);
    if (!ok) {
        const uint32_t library = LibraryError();
        if (code != nullptr) *code = library;
        *error = "cannot read the files of " + path + ", error " + std::to_string(library);
        return nullptr;
    }
    const uint32_t count = opened->GetFileCount();
    state->files.resize(count);
    for (uint32_t id = 0; id < count; ++id) {
        ArchiveFile& file = state->files[id];
        file.id = kNoFile;
        TFileEntry* entry = opened->IsFile(id) ? opened->GetFileEntry(id) : nullptr;
        if (entry == nullptr) continue;
        file.id = id;
        const char* name = opened->GetFileName(id);
        file.name = name != nullptr ? name : "";
        file.size = entry->GetFileSize();
        if (const uint8_t* md5 = entry->GetMD5()) {
            file.hasMd5 = true;
            std::memcpy(file.md5, md5, sizeof file.md5);
        }
        file.firstPiece = entry->GetFirstPiece();
        file.pieceCount = entry->GetPieceCount();
        if (file.name == NQOV_LISTFILE_NAME) state->listFileId = id;
    }
    return std::unique_ptr<ArchiveFiles>(new ArchiveFiles(std::move(state)));
}

uint32_t ArchiveFiles::PieceCount() const { return m->pieceCount; }

const ArchiveFile* ArchiveFiles::File(uint32_t id) const {
    if (id >= m->files.size() || m->files[id].id == kNoFile) return nullptr;
    return &m->files[id];
}

uint32_t ArchiveFiles::FileId(const std::string& name) {
    Entered hold(m->lock);
    const uint32_t id = m->archive->GetFileId(name.c_str());
    return File(id) != nullptr ? id : kNoFile;
}

std::vector<uint32_t> ArchiveFiles::StructurePieces() const {
    enum : uint8_t { kFree, kFileData, kListFile };
    std::vector<uint8_t> held(m->pieceCount, kFree);
    for (const ArchiveFile& file : m->files) {
        if (file.id == kNoFile) continue;
        const uint8_t kind = file.id == m->listFileId ? kListFile : kFileData;
        for (uint64_t piece = file.firstPiece; piece < uint64_t(file.firstPiece) + file.pieceCount; ++piece) {
            if (piece < held.size()) held[static_cast<size_t>(piece)] = std::max(held[piece], kind);
        }
    }
    std::vector<uint32_t> pieces;
    for (uint32_t piece = 0; piece < m->pieceCount; ++piece) {
        if (held[piece] != kFileData) pieces.push_back(piece);
    }
    return pieces;
}

bool ArchiveFiles::Extract(uint32_t id, const std::string& target, uint32_t* error) {
    *error = ERROR_SUCCESS;
    if (File(id) == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    Entered hold(m->lock);
    if (SFileExtractFileFromFileIdTable(id, m->archive.get(), target.c_str())) return true;
    *error = LibraryError();
    return false;
}

}  // namespace repair
}  // namespace brevik
