// standin/engine/GameArchive.h - the game's QOV archive as the
// archive-backed engine uses it: open, its pieces with the state of each,
// its files by id, verified piece writes and extraction.
//
// The archive library lets one thread at a time use an archive (lazily
// loaded tables, the verified-piece cache and the piece-state map are
// unguarded), while the engine calls come from the plug-in's threads and
// the download threads.  Every use of the archive object therefore goes
// through this class, under its one lock.

#ifndef BREVIK_STANDIN_GAMEARCHIVE_H
#define BREVIK_STANDIN_GAMEARCHIVE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QOVLib.h"
#include <fund/win/monitor.h>

namespace standin {

class GameArchive;

// A handle of its own on the game archive for one download thread: the
// archive library lets one thread use a handle, so each download thread
// writes (and checks, the costly part) its pieces through its own, and
// tells the shared archive which pieces came in.
class GameArchiveWriter {
public:
    GameArchiveWriter(GameArchive& owner, TNQOVArchive* archive) : m_owner(owner), m_archive(archive) {}
    ~GameArchiveWriter() { SFileCloseArchive(m_archive, false); }

    GameArchiveWriter(const GameArchiveWriter&) = delete;
    GameArchiveWriter& operator=(const GameArchiveWriter&) = delete;

    // The library's verified piece write; false when the bytes do not verify.
    bool Write(uint32_t piece, const void* data, uint32_t length);
    // The library's verified writes of pieces at hand, hashed together:
    // stored[n] tells whether pieces[n] verified and was written.
    void WriteMany(std::vector<QOV_PIECE_WRITE>& pieces, std::vector<bool>* stored);

private:
    GameArchive& m_owner;
    TNQOVArchive* const m_archive;
};

class GameArchive {
public:
    GameArchive() = default;
    ~GameArchive() { Close(); }

    GameArchive(const GameArchive&) = delete;
    GameArchive& operator=(const GameArchive&) = delete;

    // Opens the archive for writing, numbers its files and loads its MD5
    // piece table; the list file's pieces must verify (without it, names are
    // lost).  False with a library error code otherwise.
    bool Open(const std::string& path, uint32_t* error);
    // Writes the piece-state map back, then closes.
    void Close();

    bool HasHeaderDigest(const uint8_t digest[16]);

    // Reads every piece from the file and records whether it verifies (one
    // that cannot be read does not), several pieces hashed at once; false
    // when `stop` was set.
    bool CheckPieces(const std::atomic<bool>& stop);
    uint32_t BadPieceCount();
    // Pieces that are damaged but belong to no file (tables, padding).
    std::vector<uint32_t> UnownedBadPieces();

    uint32_t PieceCount() const { return m_pieceCount; }
    uint32_t PieceLength(uint32_t piece) const;
    uint64_t PiecePosition(uint32_t piece) const { return uint64_t(piece) * m_pieceSize; }
    // The library's verified write; records the piece's state.
    bool WritePiece(uint32_t piece, const void* data, uint32_t length);
    // A writer on a handle of its own; null when the archive cannot be
    // opened again (WritePiece then does).
    std::unique_ptr<GameArchiveWriter> OpenWriter();
    // A piece a writer stored: good, also in the piece-state map.
    void MarkStored(uint32_t piece);
    bool WriteMap(uint32_t* error);

    bool HasFile(uint32_t id);
    uint32_t FileId(const char* name);
    const char* FileName(uint32_t id);
    bool FileSize(uint32_t id, uint32_t* size);
    bool FileMD5(uint32_t id, uint8_t digest[16]);
    // Every piece of the file verifies.
    bool FileComplete(uint32_t id);
    // Bytes of the file's pieces found damaged since the archive was opened
    // (what a sync of the file fetches; it stays the same after the sync).
    uint64_t FileFetchBytes(uint32_t id);
    // The file's pieces that do not verify now.
    std::vector<uint32_t> FileBadPieces(uint32_t id);
    bool Extract(uint32_t id, const std::string& path, uint32_t* error);

private:
    enum : uint8_t { kUnknown = 0, kGood = 1, kBad = 2 };

    bool Pieces(uint32_t id, uint32_t* first, uint32_t* count);
    bool ListFileIntact(std::vector<uint8_t>* buffer);
    void Record(uint32_t piece, bool good);

    fund::win::monitor m_lock;
    std::string m_path;
    TNQOVArchive* m_archive = nullptr;
    uint32_t m_pieceSize = 0;
    uint32_t m_pieceCount = 0;
    uint32_t m_lastPieceSize = 0;
    std::vector<uint8_t> m_state;
    std::vector<uint8_t> m_fetch;  // 1: found damaged since the open
};

}  // namespace standin

#endif  // BREVIK_STANDIN_GAMEARCHIVE_H
