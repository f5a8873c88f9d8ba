// LocalCheck.cpp - looking at the local archive.

#include "LocalCheck.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "CoreThreads.h"
#include "Md5.h"

namespace brevik {
namespace repair {

namespace {

struct StreamCloser {
    void operator()(TFileStream* stream) const { FileStream_Free(stream); }
};
typedef std::unique_ptr<TFileStream, StreamCloser> StreamPtr;

// What a checking thread reads and hashes at a time: as many pieces as the
// multi-buffer engine has lanes, where they are small enough.
const uint32_t kCheckBatchPieces = 16;
const uint64_t kCheckBatchBytes = 16 * 1024 * 1024;

bool ReadAt(TFileStream* stream, uint64_t position, void* buffer, uint32_t length) {
    uint64_t at = position;
    return FileStream_Read(stream, &at, buffer, length);
}

// Looks for the header in the file's first bytes, as the library does.
HeaderFound FindLocalHeader(TFileStream* stream, uint64_t size, ArchiveHeader* header) {
    const uint64_t kWindow = 64 * 1024;
    std::vector<uint8_t> window;
    for (uint64_t start = 0; start < size && start < 16 * 1024 * 1024; start += kWindow) {
        const uint32_t length =
            static_cast<uint32_t>(std::min<uint64_t>(kWindow + kHeaderBytes, size - start));
        window.resize(length);
        if (!ReadAt(stream, start, window.data(), length)) return HeaderFound::kAbsent;
        const HeaderFound found = FindHeader(window.data(), length, kWindow, start, size, header);
        if (found != HeaderFound::kAbsent) return found;
    }
    return HeaderFound::kAbsent;
}

bool IsMissing(uint32_t error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

uint32_t PiecesPerBatch(const PieceLayout& layout) {
    return static_cast<uint32_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(kCheckBatchPieces, kCheckBatchBytes / layout.pieceSize)));
}

// Reads the pieces [first, end), which lie wholly inside the file, into
// `buffer` one after the other; false for each piece that could not be read.
std::vector<bool> ReadPieces(TFileStream* stream, const PieceLayout& layout, uint32_t first, uint32_t end,
                             std::vector<uint8_t>* buffer) {
    const uint64_t start = layout.Position(first);
    const uint64_t bytes = layout.Position(end - 1) + layout.Length(end - 1) - start;
    buffer->resize(static_cast<size_t>(bytes));
    std::vector<bool> read(end - first, true);
    if (ReadAt(stream, start, buffer->data(), static_cast<uint32_t>(bytes))) return read;
    // One read for all failed: which pieces can be read on their own?
    for (uint32_t piece = first; piece < end; ++piece) {
        read[piece - first] = ReadAt(stream, layout.Position(piece),
                                     buffer->data() + (layout.Position(piece) - start), layout.Length(piece));
    }
    return read;
}

// Checks the pieces [first, end): those that lie wholly inside the file
// are read and hashed together; the others are bad.
void CheckBatch(TFileStream* stream, uint64_t fileSize, const PieceLayout& layout,
                const std::vector<uint8_t>& pieceTable, uint32_t first, uint32_t end,
                std::vector<uint8_t>* buffer, std::vector<uint8_t>* states) {
    uint32_t inside = first;
    while (inside < end && layout.Position(inside) <= fileSize &&
           layout.Length(inside) <= fileSize - layout.Position(inside)) {
        ++inside;
    }
    std::vector<bool> read;
    if (stream != nullptr && inside > first) read = ReadPieces(stream, layout, first, inside, buffer);
    std::vector<ByteSpan> spans;
    std::vector<uint32_t> hashed;
    for (uint32_t piece = first; piece < end; ++piece) {
        (*states)[piece] = kPieceBad;
        if (piece - first >= read.size() || !read[piece - first]) continue;
        spans.push_back(
            {buffer->data() + (layout.Position(piece) - layout.Position(first)), layout.Length(piece)});
        hashed.push_back(piece);
    }
    std::vector<Digest> digests(spans.size());
    Md5Many(spans.data(), spans.size(), digests.data());
    for (size_t n = 0; n < hashed.size(); ++n) {
        const uint8_t* expected = pieceTable.data() + size_t(hashed[n]) * 16;
        if (std::memcmp(digests[n].bytes, expected, 16) == 0) (*states)[hashed[n]] = kPieceGood;
    }
}

// What one checking thread does: batches of pieces from `next` until none
// is left or a stop.
void CheckSome(const std::string& path, uint64_t fileSize, const PieceLayout& layout,
               const std::vector<uint8_t>& pieceTable, const StopFlag& stop, std::atomic<uint64_t>* next,
               std::atomic<uint32_t>* checked, std::vector<uint8_t>* states) {
    StreamPtr stream(FileStream_OpenFile(path.c_str(), false));
    std::vector<uint8_t> buffer;
    const uint32_t batch = PiecesPerBatch(layout);
    for (;;) {
        if (stop.IsSet()) return;
        const uint64_t taken = next->fetch_add(batch);
        if (taken >= layout.pieceCount) return;
        const uint32_t first = static_cast<uint32_t>(taken);
        const uint32_t end = first + std::min(batch, layout.pieceCount - first);
        CheckBatch(stream.get(), fileSize, layout, pieceTable, first, end, &buffer, states);
        checked->fetch_add(end - first);
    }
}

}  // namespace

bool InspectLocal(const std::string& path, LocalFile* local, std::string* error) {
    *local = LocalFile();
    StreamPtr stream(FileStream_OpenFile(path.c_str(), false));
    if (!stream) {
        const uint32_t code = QOVGetLastError();
        if (IsMissing(code)) return true;
        *error = "cannot open " + path + ", error " + std::to_string(code);
        return false;
    }
    local->exists = true;
    if (!FileStream_SizeOf(stream.get(), &local->size)) {
        *error = "cannot read the size of " + path + ", error " + std::to_string(QOVGetLastError());
        return false;
    }
    local->header = FindLocalHeader(stream.get(), local->size, &local->headerFields);

    TNQOVArchive* archive = nullptr;
    if (!SFileOpenArchive(path.c_str(), &archive, NQOV_OPEN_READ_ONLY)) {
        local->openError = QOVGetLastError();
        return true;
    }
    QOV_ARCHIVE_INFO info;
    const bool known = SFileGetArchiveInfo(archive, &info);
    SFileCloseArchive(archive, false);
    // The table as stored, to compare with the source's.
    if (known && local->header == HeaderFound::kFound && info.MD5TableSize64 <= kMaxPieceTableBytes &&
        info.MD5TablePos64 <= local->size && info.MD5TableSize64 <= local->size - info.MD5TablePos64) {
        local->pieceTable.resize(static_cast<size_t>(info.MD5TableSize64));
        local->opens = ReadAt(stream.get(), info.MD5TablePos64, local->pieceTable.data(),
                              static_cast<uint32_t>(info.MD5TableSize64));
    }
    if (!local->opens) local->openError = ERROR_FILE_CORRUPT;
    return true;
}

std::vector<uint8_t> CheckPieces(const std::string& path, uint64_t fileSize, const PieceLayout& layout,
                                 const std::vector<uint8_t>& pieceTable, unsigned threads,
                                 const StopFlag& stop, std::atomic<uint32_t>* checked) {
    std::vector<uint8_t> states(layout.pieceCount, kPieceUnknown);
    std::atomic<uint64_t> next{0};
    const auto work = [&] { CheckSome(path, fileSize, layout, pieceTable, stop, &next, checked, &states); };
    std::vector<std::unique_ptr<Thread>> helpers;
    for (unsigned n = 1; n < std::max(threads, 1u); ++n) {
        std::unique_ptr<Thread> helper(new Thread);
        if (!helper->Start(work)) break;  // fewer threads: this one does the rest
        helpers.push_back(std::move(helper));
    }
    work();
    helpers.clear();  // joins
    return states;
}

std::vector<FileSpan> FilesWithBadPieces(TNQOVArchive* archive, const std::vector<uint8_t>& states) {
    std::vector<FileSpan> files;
    if (!SFileBuildFileIdTable(archive)) return files;
    const uint32_t count = archive->GetFileCount();
    for (uint32_t id = 0; id < count; ++id) {
        if (!archive->IsFile(id)) continue;
        TFileEntry* entry = archive->GetFileEntry(id);
        if (entry == nullptr) continue;
        FileSpan span;
        span.firstPiece = entry->GetFirstPiece();
        span.pieceCount = entry->GetPieceCount();
        bool bad = false;
        for (uint32_t n = 0; n < span.pieceCount && !bad; ++n) {
            const uint64_t piece = uint64_t(span.firstPiece) + n;
            bad = piece >= states.size() || states[static_cast<size_t>(piece)] != kPieceGood;
        }
        if (!bad) continue;
        const char* name = archive->GetFileName(id);
        span.name = name != nullptr ? name : "";
        files.push_back(std::move(span));
    }
    return files;
}

}  // namespace repair
}  // namespace brevik
