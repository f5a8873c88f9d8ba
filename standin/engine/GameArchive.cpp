// standin/engine/GameArchive.cpp - the game archive under one lock.

#include "GameArchive.h"

#include <algorithm>
#include <cstring>

namespace standin {

bool GameArchive::Open(const std::string& path, uint32_t* error) {
    Close();
    fund::win::monitor_lock hold(m_lock);
    TNQOVArchive* archive = nullptr;
    if (!SFileOpenArchive(path.c_str(), &archive, 0)) {
        *error = QOVGetLastError();
        return false;
    }
    m_archive = archive;
    std::vector<uint8_t> buffer;
    if (!SFileBuildFileIdTable(archive) ||
        !SFileGetPieceCount(archive, &m_lastPieceSize, &m_pieceCount, &m_pieceSize) ||
        !SFileLoadMd5(archive) || !ListFileIntact(&buffer)) {
        *error = QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_FILE_CORRUPT;
        SFileCloseArchive(archive, false);
        m_archive = nullptr;
        return false;
    }
    m_state.assign(m_pieceCount, kUnknown);
    m_fetch.assign(m_pieceCount, 0);
    m_path = path;
    return true;
}

void GameArchive::Close() {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr) return;
    uint32_t size = 0;
    if (SFileGetBitmap(m_archive, &size) != nullptr) m_archive->WriteBitmap();
    SFileCloseArchive(m_archive, false);
    m_archive = nullptr;
    m_state.clear();
    m_fetch.clear();
    m_pieceCount = 0;
}

bool GameArchive::ListFileIntact(std::vector<uint8_t>* buffer) {
    TFileEntry* entry = m_archive->RecordByName(NQOV_LISTFILE_NAME);
    if (entry == nullptr) return true;
    const uint32_t first = entry->GetFirstPiece();
    const uint32_t count = entry->GetPieceCount();
    buffer->resize(m_pieceSize);
    for (uint32_t piece = first; piece - first < count; ++piece) {
        if (piece >= m_pieceCount) return false;
        if (!SFileReadPieceVerified(m_archive, piece, buffer->data(), PieceLength(piece))) return false;
    }
    return true;
}

bool GameArchive::HasHeaderDigest(const uint8_t digest[16]) {
    fund::win::monitor_lock hold(m_lock);
    return m_archive != nullptr && std::memcmp(m_archive->GetHeaderMD5(), digest, 16) == 0;
}

uint32_t GameArchive::PieceLength(uint32_t piece) const {
    return piece + 1 == m_pieceCount ? m_lastPieceSize : m_pieceSize;
}

void GameArchive::Record(uint32_t piece, bool good) {
    m_state[piece] = good ? kGood : kBad;
    if (!good) m_fetch[piece] = 1;
}

bool GameArchive::CheckPieces(const std::atomic<bool>& stop) {
    // Runs of pieces that fill the MD5 engine's lanes, each under the lock
    // on its own so that the other threads get their turns in between.
    const uint32_t kRun = 16;
    std::vector<uint8_t> states(kRun);
    for (uint32_t first = 0; first < m_pieceCount; first += std::min(kRun, m_pieceCount - first)) {
        if (stop) return false;
        fund::win::monitor_lock hold(m_lock);
        if (m_archive == nullptr) return false;
        const uint32_t count = std::min(kRun, m_pieceCount - first);
        // A piece that cannot be read (a file cut short) is a damaged piece
        // like any other.
        SFileVerifyPieces(m_archive, first, count, states.data());
        for (uint32_t n = 0; n < count; ++n) Record(first + n, states[n] == NQOV_PIECE_GOOD);
    }
    return true;
}

uint32_t GameArchive::BadPieceCount() {
    fund::win::monitor_lock hold(m_lock);
    uint32_t bad = 0;
    for (uint8_t state : m_state) bad += state != kGood;
    return bad;
}

std::vector<uint32_t> GameArchive::UnownedBadPieces() {
    fund::win::monitor_lock hold(m_lock);
    std::vector<uint8_t> owned(m_pieceCount, 0);
    const uint32_t files = m_archive != nullptr ? m_archive->GetFileCount() : 0;
    for (uint32_t id = 0; id < files; ++id) {
        uint32_t first = 0, count = 0;
        if (!Pieces(id, &first, &count)) continue;
        for (uint32_t piece = first; piece - first < count && piece < m_pieceCount; ++piece) owned[piece] = 1;
    }
    std::vector<uint32_t> bad;
    for (uint32_t piece = 0; piece < m_pieceCount; ++piece) {
        if (!owned[piece] && m_state[piece] != kGood) bad.push_back(piece);
    }
    return bad;
}

bool GameArchive::WritePiece(uint32_t piece, const void* data, uint32_t length) {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr || piece >= m_pieceCount) return false;
    const bool good = SFileWritePieceVerified(m_archive, piece, data, length);
    // A rejected delivery leaves what is on disk as it was, so the piece
    // keeps the state it had.
    if (good) Record(piece, true);
    return good;
}

std::unique_ptr<GameArchiveWriter> GameArchive::OpenWriter() {
    std::string path;
    {
        fund::win::monitor_lock hold(m_lock);
        if (m_archive == nullptr) return nullptr;
        path = m_path;
    }
    TNQOVArchive* archive = nullptr;
    if (!SFileOpenArchive(path.c_str(), &archive, 0)) return nullptr;
    std::unique_ptr<GameArchiveWriter> writer(new GameArchiveWriter(*this, archive));
    if (!SFileLoadMd5(archive)) return nullptr;
    return writer;
}

void GameArchive::MarkStored(uint32_t piece) {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr || piece >= m_pieceCount) return;
    Record(piece, true);
    uint32_t size = 0;
    uint8_t* map = SFileGetBitmap(m_archive, &size);
    if (map != nullptr && piece < size) map[piece] = kGood;
}

bool GameArchiveWriter::Write(uint32_t piece, const void* data, uint32_t length) {
    if (!SFileWritePieceVerified(m_archive, piece, data, length)) return false;
    m_owner.MarkStored(piece);
    return true;
}

void GameArchiveWriter::WriteMany(std::vector<QOV_PIECE_WRITE>& pieces, std::vector<bool>* stored) {
    SFileWritePiecesVerified(m_archive, pieces.data(), static_cast<uint32_t>(pieces.size()));
    stored->assign(pieces.size(), false);
    for (size_t n = 0; n < pieces.size(); ++n) {
        if (pieces[n].dwResult != QOV_PIECE_WRITTEN) continue;
        (*stored)[n] = true;
        m_owner.MarkStored(pieces[n].dwIndex);
    }
}

bool GameArchive::WriteMap(uint32_t* error) {
    fund::win::monitor_lock hold(m_lock);
    *error = ERROR_SUCCESS;
    if (m_archive == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return false;
    }
    uint32_t size = 0;
    if (SFileGetBitmap(m_archive, &size) == nullptr) return true;  // an archive without a map
    if (m_archive->WriteBitmap()) return true;
    *error = QOVGetLastError() != ERROR_SUCCESS ? QOVGetLastError() : ERROR_CAN_NOT_COMPLETE;
    return false;
}

//-----------------------------------------------------------------------------
// Files

bool GameArchive::Pieces(uint32_t id, uint32_t* first, uint32_t* count) {
    if (m_archive == nullptr || !m_archive->IsFile(id)) return false;
    TFileEntry* entry = m_archive->GetFileEntry(id);
    if (entry == nullptr) return false;
    *first = entry->GetFirstPiece();
    *count = entry->GetPieceCount();
    return true;
}

bool GameArchive::HasFile(uint32_t id) {
    fund::win::monitor_lock hold(m_lock);
    return m_archive != nullptr && m_archive->IsFile(id);
}

uint32_t GameArchive::FileId(const char* name) {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr || name == nullptr) return NQOV_INVALID_FILE_ID;
    const uint32_t id = m_archive->GetFileId(name);
    return id != NQOV_INVALID_FILE_ID && m_archive->IsFile(id) ? id : NQOV_INVALID_FILE_ID;
}

const char* GameArchive::FileName(uint32_t id) {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr || !m_archive->IsFile(id)) return nullptr;
    return m_archive->GetFileName(id);
}

bool GameArchive::FileSize(uint32_t id, uint32_t* size) {
    fund::win::monitor_lock hold(m_lock);
    TFileEntry* entry = m_archive != nullptr && m_archive->IsFile(id) ? m_archive->GetFileEntry(id) : nullptr;
    if (entry == nullptr) return false;
    *size = entry->GetFileSize();
    return true;
}

bool GameArchive::FileMD5(uint32_t id, uint8_t digest[16]) {
    fund::win::monitor_lock hold(m_lock);
    TFileEntry* entry = m_archive != nullptr && m_archive->IsFile(id) ? m_archive->GetFileEntry(id) : nullptr;
    if (entry == nullptr || entry->GetMD5() == nullptr) return false;
    std::memcpy(digest, entry->GetMD5(), 16);
    return true;
}

bool GameArchive::FileComplete(uint32_t id) {
    fund::win::monitor_lock hold(m_lock);
    uint32_t first = 0, count = 0;
    if (!Pieces(id, &first, &count)) return false;
    for (uint32_t piece = first; piece - first < count; ++piece) {
        if (piece >= m_pieceCount || m_state[piece] != kGood) return false;
    }
    return true;
}

uint64_t GameArchive::FileFetchBytes(uint32_t id) {
    fund::win::monitor_lock hold(m_lock);
    uint32_t first = 0, count = 0;
    if (!Pieces(id, &first, &count)) return 0;
    uint64_t bytes = 0;
    for (uint32_t piece = first; piece - first < count && piece < m_pieceCount; ++piece) {
        if (m_fetch[piece] || m_state[piece] != kGood) bytes += PieceLength(piece);
    }
    return bytes;
}

std::vector<uint32_t> GameArchive::FileBadPieces(uint32_t id) {
    fund::win::monitor_lock hold(m_lock);
    std::vector<uint32_t> bad;
    uint32_t first = 0, count = 0;
    if (!Pieces(id, &first, &count)) return bad;
    for (uint32_t piece = first; piece - first < count && piece < m_pieceCount; ++piece) {
        if (m_state[piece] != kGood) bad.push_back(piece);
    }
    return bad;
}

bool GameArchive::Extract(uint32_t id, const std::string& path, uint32_t* error) {
    fund::win::monitor_lock hold(m_lock);
    if (m_archive == nullptr || !m_archive->IsFile(id)) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (SFileExtractFileFromFileIdTable(id, m_archive, path.c_str())) return true;
    *error = QOVGetLastError();
    return false;
}

}  // namespace standin
