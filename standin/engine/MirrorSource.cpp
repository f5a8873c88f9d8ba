// standin/engine/MirrorSource.cpp - the local mirror archive as a download
// source.  The archive is opened read-only through the archive library,
// which tells its layout; the bytes themselves come straight from its
// stream (the stream serialises reads with a lock of its own), so that the
// download threads do not share the archive object.

#include "MirrorSource.h"

#include <cstring>

#include "QOVLib.h"

namespace standin {

namespace {

class ArchiveMirror : public MirrorSource {
public:
    ArchiveMirror(TNQOVArchive* archive, std::string path) : m_archive(archive), m_path(std::move(path)) {}
    ~ArchiveMirror() override { SFileCloseArchive(m_archive, false); }

    ArchiveMirror(const ArchiveMirror&) = delete;
    ArchiveMirror& operator=(const ArchiveMirror&) = delete;

    bool LoadLayout(std::string* error);

    bool Read(uint64_t position, void* buffer, uint32_t length) override {
        if (length > m_layout.fileSize || position > m_layout.fileSize - length) return false;
        uint64_t at = position;
        return FileStream_Read(m_archive->GetStream(), &at, buffer, length);
    }
    const MirrorLayout& Layout() const override { return m_layout; }
    std::string Describe() const override { return "mirror archive " + m_path; }

private:
    void AddStructure(uint64_t position, uint64_t length) {
        if (length > 0) m_layout.structure.push_back(ByteRange{position, length});
    }

    TNQOVArchive* const m_archive;
    const std::string m_path;
    MirrorLayout m_layout;
};

bool ArchiveMirror::LoadLayout(std::string* error) {
    QOV_ARCHIVE_INFO info;
    uint64_t fileSize = 0;
    if (!SFileGetArchiveInfo(m_archive, &info) || !FileStream_SizeOf(m_archive->GetStream(), &fileSize)) {
        *error = "cannot read the mirror's header, error " + std::to_string(QOVGetLastError());
        return false;
    }
    if (info.dwMD5PieceSize == 0 || info.ArchieveSize > fileSize) {
        *error = "the mirror's piece layout is broken";
        return false;
    }
    m_layout.fileSize = fileSize;
    m_layout.archiveSize = info.ArchieveSize;
    m_layout.pieceSize = info.dwMD5PieceSize;
    std::memcpy(m_layout.headerDigest, info.MD5_QOVHeader, 16);
    AddStructure(info.HeaderOffset, info.HeaderSize);
    AddStructure(info.HeaderOffset + info.HetTablePos64, info.HetTableSize64);
    AddStructure(info.HeaderOffset + info.BetTablePos64, info.BetTableSize64);
    if (TFileEntry* entry = m_archive->RecordByName(NQOV_LISTFILE_NAME)) {
        AddStructure(entry->GetFilePosition(), entry->GetCompressedSize());
    }
    AddStructure(info.ArchieveSize, fileSize - info.ArchieveSize);
    return true;
}

}  // namespace

std::unique_ptr<MirrorSource> OpenMirrorSource(const std::string& location, std::string* error) {
    if (location.empty()) {
        *error = "no mirror is set ([Archive] Mirror)";
        return nullptr;
    }
    if (location.compare(0, 7, "http://") == 0 || location.compare(0, 8, "https://") == 0) {
        *error = "HTTP mirrors are not supported yet: " + location;
        return nullptr;
    }
    TNQOVArchive* archive = nullptr;
    if (!SFileOpenArchive(location.c_str(), &archive, NQOV_OPEN_READ_ONLY)) {
        *error = "cannot open the mirror archive " + location + ", error " + std::to_string(QOVGetLastError());
        return nullptr;
    }
    std::unique_ptr<ArchiveMirror> mirror(new ArchiveMirror(archive, location));
    if (!mirror->LoadLayout(error)) return nullptr;
    return mirror;
}

}  // namespace standin
