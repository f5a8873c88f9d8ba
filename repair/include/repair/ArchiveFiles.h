// repair/ArchiveFiles.h - the files of a local archive as a repair that
// works file by file needs them: names, sizes, content digests, the pieces
// each file's stored bytes lie in, and extraction.
//
// The archive is opened read-only with a handle of its own.  The library
// lets one thread at a time use a handle, so every call that uses it
// (FileId, Extract) takes this object's lock; the file list itself is read
// once, when opened, and never changes.

#ifndef BREVIK_REPAIR_ARCHIVEFILES_H
#define BREVIK_REPAIR_ARCHIVEFILES_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brevik {
namespace repair {

struct ArchiveFile {
    uint32_t id = 0;
    std::string name;
    uint32_t size = 0;  // of the content
    bool hasMd5 = false;
    uint8_t md5[16] = {};     // of the content
    uint32_t firstPiece = 0;  // the pieces its stored bytes lie in
    uint32_t pieceCount = 0;
};

class ArchiveFiles {
public:
    static constexpr uint32_t kNoFile = 0xFFFFFFFFu;

    // Null with the reason in *error (and the library's error in *code)
    // when the archive cannot be opened.
    static std::unique_ptr<ArchiveFiles> Open(const std::string& path, std::string* error,
                                              uint32_t* code = nullptr);
    ~ArchiveFiles();
    ArchiveFiles(const ArchiveFiles&) = delete;
    ArchiveFiles& operator=(const ArchiveFiles&) = delete;

    uint32_t PieceCount() const;
    // Null when no file has that id.
    const ArchiveFile* File(uint32_t id) const;
    // The library's look-up of a name; kNoFile when no file has it.
    uint32_t FileId(const std::string& name);
    // The pieces the list file lies in, and those no file's bytes lie in
    // (tables, padding): the names come from the list file, so these are
    // what must verify before names are trusted.
    std::vector<uint32_t> StructurePieces() const;
    // Extracts file `id` to `target` (UTF-8 path; missing folders are
    // made); false with the library's error in *error.
    bool Extract(uint32_t id, const std::string& target, uint32_t* error);

private:
    struct State;
    explicit ArchiveFiles(std::unique_ptr<State> state);
    std::unique_ptr<State> m;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_ARCHIVEFILES_H
