// QOVPieces.cpp - the piece layer: the MD5 piece table, verified reads and
// writes of single pieces, whole-archive and per-file verification, and the
// piece-state map.

#include "read/QOVArchive.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <thread>

namespace {

const uint8_t kPieceGood = 1;
const uint8_t kPieceBad = 2;

struct TPieceLayout {
    uint32_t dwPieceSize = 0;
    uint32_t dwPieceCount = 0;
    uint32_t dwLastPieceSize = 0;
};

bool GetPieceLayout(TNQOVArchiveImpl* ha, TPieceLayout* pLayout) {
    const TQOVHeader& header = ha->Header;
    if (header.dwMD5PieceSize == 0) return false;
    const uint64_t count = (header.ArchieveSize + header.dwMD5PieceSize - 1) / header.dwMD5PieceSize;
    if (count > UINT32_MAX) return false;
    pLayout->dwPieceSize = header.dwMD5PieceSize;
    pLayout->dwPieceCount = static_cast<uint32_t>(count);
    const uint32_t rest = static_cast<uint32_t>(header.ArchieveSize % header.dwMD5PieceSize);
    pLayout->dwLastPieceSize = rest == 0 ? header.dwMD5PieceSize : rest;
    return true;
}

uint32_t PieceLength(const TPieceLayout& layout, uint32_t index) {
    return index + 1 == layout.dwPieceCount ? layout.dwLastPieceSize : layout.dwPieceSize;
}

// Steps 1-3 of piece verification: index and length.
bool CheckPieceRequest(TNQOVArchiveImpl* ha, uint32_t wIndex, uint32_t wLength, TPieceLayout* pLayout) {
    QOV_FAIL_IF(!GetPieceLayout(ha, pLayout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT, false);
    QOV_FAIL_IF(wIndex >= pLayout->dwPieceCount, "wIndex >= dwPieceCount", ERROR_ACCESS_DENIED, false);
    if (wIndex + 1 == pLayout->dwPieceCount) {
        QOV_FAIL_IF(wLength != pLayout->dwLastPieceSize, "wLength != dwLastPieceSize",
                    ERROR_FILE_CORRUPT, false);
    } else {
        QOV_FAIL_IF(wLength != pLayout->dwPieceSize, "dwLength != ha->pHeader->dwMD5PieceSize",
                    ERROR_FILE_INVALID, false);
    }
    return true;
}

// Compares a computed digest with the table (steps 4-5 of piece verification).
bool DigestMatchesTable(TNQOVArchiveImpl* ha, uint32_t wIndex, const uint8_t digest[16]) {
    if (!SFileLoadMd5(ha)) {
        QOV_LOG_ERROR("SFileLoadMd5 failed!", QOVGetLastError());
        return false;
    }
    if (static_cast<uint64_t>(wIndex) * 16 + 32 > ha->dwMD5TableSize) {
        QOV_FAIL("SFileLoadMd5 failed!", ERROR_FILE_CORRUPT, false);
    }
    if (memcmp(ha->pMD5Table.get() + static_cast<size_t>(wIndex) * 16, digest, 16) != 0) {
        QOV_LOG_ERROR("md5 compare failed!", 0);
        QOVSetLastError(ERROR_SUCCESS);
        return false;
    }
    return true;
}

bool ReadPiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t* pbBuffer) {
    uint64_t position = static_cast<uint64_t>(index) * layout.dwPieceSize;
    return FileStream_Read(ha->pStream.get(), &position, pbBuffer, PieceLength(layout, index));
}

bool HasWritableMap(const TNQOVArchiveImpl* ha) { return ha->pBitmap != nullptr && ha->bMapWritable; }

// Pieces are hashed from the file in chunks of at most this size, so a large
// piece size costs no large buffer.
const uint32_t kHashChunk = 1024 * 1024;
// Pieces up to this size are verified in memory, several at once, in
// batches of about this many bytes.
const uint32_t kParallelPieceLimit = 16 * 1024 * 1024;
const uint32_t kBatchBytes = 32 * 1024 * 1024;

// Reads piece `index` from the file and hashes it; false with the read's
// error when a read fails.
bool HashPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint8_t digest[16]) {
    const uint32_t length = PieceLength(layout, index);
    std::unique_ptr<uint8_t[]> chunk = QOVAllocArray<uint8_t>(std::min(length, kHashChunk));
    QOV_FAIL_IF(!chunk, "QOV_ALLOC failed", ERROR_NOT_ENOUGH_MEMORY, false);
    TMD5 md5;
    uint64_t position = static_cast<uint64_t>(index) * layout.dwPieceSize;
    for (uint32_t done = 0; done < length;) {
        const uint32_t part = std::min(length - done, kHashChunk);
        if (!FileStream_Read(ha->pStream.get(), &position, chunk.get(), part)) return false;
        md5.Update(chunk.get(), part);
        done += part;
        position += part;
    }
    md5.Final(digest);
    return true;
}

void SetPieceStateFor(TNQOVArchiveImpl* ha, uint32_t index, bool good);

// SFileReadPieceVerified without the caller's buffer: reads, checks and
// records the state of one piece.
bool VerifyPieceOnDisk(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index) {
    if (index >= layout.dwPieceCount) QOV_FAIL("wIndex >= dwPieceCount", ERROR_ACCESS_DENIED, false);
    uint8_t digest[16];
    if (!HashPieceOnDisk(ha, layout, index, digest)) {
        QOV_LOG_ERROR("FileStream_Read failed", QOVGetLastError());
        return false;
    }
    const bool good = DigestMatchesTable(ha, index, digest);
    SetPieceStateFor(ha, index, good);
    return good;
}

//-----------------------------------------------------------------------------
// Hashes pieces on a few threads; the caller applies results in order, so the
// outcome is exactly that of verifying one piece after the other.

// Runs a task for each index of a batch on a few threads (the calling one
// helps); the caller applies the results in order, so the outcome is that of
// one piece after the other.
class TParallelRunner {
public:
    explicit TParallelRunner(unsigned workers) {
        try {
            for (unsigned i = 0; i < workers; i++) m_threads.emplace_back([this] { WorkerLoop(); });
        } catch (...) {
            Stop();
            throw;
        }
    }

    ~TParallelRunner() { Stop(); }

    // Runs task(i) for every i below count; returns when all are done and no
    // worker still holds the batch.
    void Run(size_t count, const std::function<void(size_t)>& task) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_task = &task;
            m_count = count;
            m_next = 0;
            m_generation++;
        }
        m_wake.notify_all();
        Drain(&task, count);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_done.wait(lock, [this] { return m_active == 0; });
        m_task = nullptr;
    }

private:
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads) thread.join();
        m_threads.clear();
    }

    void Drain(const std::function<void(size_t)>* task, size_t count) {
        for (;;) {
            const size_t index = m_next.fetch_add(1);
            if (index >= count) return;
            (*task)(index);
        }
    }

    void WorkerLoop() {
        uint64_t seen = 0;
        for (;;) {
            const std::function<void(size_t)>* task = nullptr;
            size_t count = 0;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return m_stop || (m_generation != seen && m_task != nullptr); });
                if (m_stop) return;
                seen = m_generation;
                task = m_task;
                count = m_count;
                m_active++;
            }
            Drain(task, count);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_active--;
            }
            m_done.notify_all();
        }
    }

    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    const std::function<void(size_t)>* m_task = nullptr;
    size_t m_count = 0;
    std::atomic<size_t> m_next{0};
    unsigned m_active = 0;
    uint64_t m_generation = 0;
    bool m_stop = false;
};

unsigned HashWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? std::min(cores, 8u) - 1 : 0;
}

// Applies the outcome of piece i of a whole-archive pass.
void RecordVerifyOutcome(TNQOVArchiveImpl* ha, uint32_t index, bool good, bool* pbResult) {
    if (good) {
        SetPieceState(ha, index, kPieceGood);
    } else if (HasWritableMap(ha)) {
        *pbResult = false;
        QOV_LOG_ERROR("bit map status check fail!", QOVGetLastError());
        SetPieceState(ha, index, kPieceBad);
    }
}

}  // namespace

//-----------------------------------------------------------------------------
// Piece arithmetic.

TPieceRange RecordPieceRange(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry) {
    TPieceRange range;
    TPieceLayout layout;
    if (!GetPieceLayout(ha, &layout)) return range;
    const uint64_t start = ha->HeaderOffset + pEntry->StoredOffset;
    const uint64_t length = pEntry->dwStoredSize + ChunkDigestBytes(ha, pEntry->dwStoredSize);
    range.dwFirstPiece = static_cast<uint32_t>(start / layout.dwPieceSize);
    if (length == 0) return range;
    const uint64_t last = (start + length - 1) / layout.dwPieceSize;
    range.dwPieceCount = static_cast<uint32_t>(last - range.dwFirstPiece + 1);
    range.dwLastPieceSize =
        last + 1 == layout.dwPieceCount ? layout.dwLastPieceSize : layout.dwPieceSize;
    return range;
}

void SetPieceState(TNQOVArchiveImpl* ha, uint32_t dwIndex, uint8_t state) {
    if (HasWritableMap(ha) && dwIndex < ha->dwBitmapSize) ha->pBitmap[dwIndex] = state;
}

namespace {
void SetPieceStateFor(TNQOVArchiveImpl* ha, uint32_t index, bool good) {
    SetPieceState(ha, index, good ? kPieceGood : kPieceBad);
}
}  // namespace

namespace {

// Verified pieces kept per archive, and the memory they may take in all.
const size_t kVerifiedPieceSlots = 4;
const uint64_t kVerifiedPieceBytes = 16 * 1024 * 1024;

TNQOVArchiveImpl::TVerifiedPiece* FindVerifiedPiece(TNQOVArchiveImpl* ha, uint32_t index) {
    for (auto& piece : ha->VerifiedPieces)
        if (piece.dwIndex == index) {
            piece.qwLastUse = ++ha->qwPieceClock;
            return &piece;
        }
    return nullptr;
}

// Reads piece `index` whole into `data`, verifies it and keeps it; null
// (state recorded, error set) when it cannot be read or does not verify.
const TNQOVArchiveImpl::TVerifiedPiece* KeepVerifiedPiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout,
                                                      uint32_t index, size_t slots,
                                                      std::unique_ptr<uint8_t[]> data) {
    const uint32_t length = PieceLength(layout, index);
    if (!SFileReadPieceVerified(ha, index, data.get(), length)) return nullptr;
    if (ha->VerifiedPieces.size() >= slots) {
        auto oldest = std::min_element(ha->VerifiedPieces.begin(), ha->VerifiedPieces.end(),
                                       [](const auto& a, const auto& b) { return a.qwLastUse < b.qwLastUse; });
        ha->VerifiedPieces.erase(oldest);
    }
    TNQOVArchiveImpl::TVerifiedPiece piece;
    piece.dwIndex = index;
    piece.dwLength = length;
    piece.qwLastUse = ++ha->qwPieceClock;
    piece.pbData = std::move(data);
    ha->VerifiedPieces.push_back(std::move(piece));
    return &ha->VerifiedPieces.back();
}

// Checks that the bytes of piece `index` that a read delivered are verified
// ones: the piece is verified once from the file (whole) and kept, later
// reads compare their bytes with the kept ones.
bool CheckEdgePiece(TNQOVArchiveImpl* ha, const TPieceLayout& layout, uint32_t index, uint64_t qwPosition,
                    const uint8_t* pbData, uint32_t cbData) {
    const TNQOVArchiveImpl::TVerifiedPiece* piece = FindVerifiedPiece(ha, index);
    if (piece == nullptr) {
        const uint32_t length = PieceLength(layout, index);
        const size_t slots = static_cast<size_t>(
            std::min<uint64_t>(kVerifiedPieceSlots, kVerifiedPieceBytes / std::max<uint32_t>(length, 1)));
        std::unique_ptr<uint8_t[]> data = slots > 0 ? QOVAllocArray<uint8_t>(length) : nullptr;
        // Pieces too large to keep are verified from the file every time.
        if (!data) return VerifyPieceOnDisk(ha, layout, index);
        piece = KeepVerifiedPiece(ha, layout, index, slots, std::move(data));
        if (piece == nullptr) return false;
    }
    // The part of the read inside this piece.
    const uint64_t pieceStart = static_cast<uint64_t>(index) * layout.dwPieceSize;
    const uint64_t from = std::max(qwPosition, pieceStart);
    const uint64_t to = std::min(qwPosition + cbData, pieceStart + piece->dwLength);
    if (from >= to) return true;
    if (memcmp(piece->pbData.get() + (from - pieceStart), pbData + (from - qwPosition),
               static_cast<size_t>(to - from)) == 0)
        return true;
    // The bytes read are not the verified ones: the file changed under us.
    ha->VerifiedPieces.clear();
    QOV_FAIL("the bytes read differ from the verified piece", ERROR_FILE_CORRUPT, false);
}

}  // namespace

bool CheckRawRangePieces(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData,
                         uint32_t cbData) {
    TPieceLayout layout;
    if (!GetPieceLayout(ha, &layout)) return false;
    const uint64_t pieceSize = layout.dwPieceSize;
    const uint64_t first = qwPosition / pieceSize;
    const uint64_t offset = qwPosition % pieceSize;
    const uint64_t count = (offset + cbData + pieceSize - 1) / pieceSize;
    if (count == 0 || first + count > ha->dwBitmapSize) return false;

    const uint32_t firstIndex = static_cast<uint32_t>(first);
    const uint32_t lastIndex = static_cast<uint32_t>(first + count - 1);
    if (!CheckEdgePiece(ha, layout, firstIndex, qwPosition, pbData, cbData)) return false;
    if (count == 1) return true;
    if (!CheckEdgePiece(ha, layout, lastIndex, qwPosition, pbData, cbData)) return false;
    const uint8_t* middle = pbData + (pieceSize - offset);
    for (uint32_t index = firstIndex + 1; index < lastIndex; index++, middle += pieceSize) {
        if (!SFileVerifyPiece(ha, index, middle, layout.dwPieceSize)) return false;
    }
    return true;
}

//-----------------------------------------------------------------------------
// Exported piece operations.

bool SFileGetPieceCount(TNQOVArchive* haIn, uint32_t* pdwLastPieceSize, uint32_t* pdwPieceCount,
                        uint32_t* pdwPieceSize) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidArchive(ha), "parameter error", ERROR_INVALID_HANDLE, false);
    QOV_FAIL_IF(pdwLastPieceSize == nullptr || pdwPieceCount == nullptr || pdwPieceSize == nullptr,
                "parameter error", ERROR_INVALID_PARAMETER, false);
    TPieceLayout layout;
    QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "parameter error", ERROR_FILE_CORRUPT, false);
    *pdwLastPieceSize = layout.dwLastPieceSize;
    *pdwPieceCount = layout.dwPieceCount;
    *pdwPieceSize = layout.dwPieceSize;
    return true;
}

bool SFileLoadMd5(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);
    if (ha->pMD5Table) return true;
    const TQOVHeader& header = ha->Header;
    const uint32_t tableSize = static_cast<uint32_t>(header.MD5TableSize64);
    QOV_FAIL_IF(header.MD5TablePos64 == 0 || tableSize == 0 || tableSize % 16 != 0,
                "invalid MD5 piece table", ERROR_INVALID_PARAMETER, false);
    uint64_t fileSize = 0, end = 0;
    if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) return false;
    QOV_FAIL_IF(!CheckedAdd64(header.MD5TablePos64, tableSize, &end) || end > fileSize,
                "MD5 piece table beyond the file", ERROR_FILE_CORRUPT, false);
    std::unique_ptr<uint8_t[]> table = QOVAllocArray<uint8_t>(tableSize);
    QOV_FAIL_IF(!table, "QOV_ALLOC failed", ERROR_NOT_ENOUGH_MEMORY, false);
    uint64_t position = header.MD5TablePos64;
    if (!FileStream_Read(ha->pStream.get(), &position, table.get(), tableSize)) return false;
    uint8_t digest[16];
    QOVMD5(table.get(), tableSize - 16, digest);
    QOV_FAIL_IF(memcmp(digest, table.get() + tableSize - 16, 16) != 0, "MD5 piece table corrupt",
                ERROR_FILE_CORRUPT, false);
    ha->pMD5Table = std::move(table);
    ha->dwMD5TableSize = tableSize;
    return true;
}

bool SFileVerifyPiece(TNQOVArchive* haIn, uint32_t wIndex, const void* pvData, uint32_t wLength) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handles", ERROR_INVALID_HANDLE, false);
    QOV_FAIL_IF(pvData == nullptr, "invalid handles", ERROR_INVALID_PARAMETER, false);
    TPieceLayout layout;
    if (!CheckPieceRequest(ha, wIndex, wLength, &layout)) return false;
    uint8_t digest[16];
    QOVMD5(pvData, wLength, digest);
    return DigestMatchesTable(ha, wIndex, digest);
}

bool SFileReadPieceVerified(TNQOVArchive* haIn, uint32_t wIndex, void* pvBuffer, uint32_t wLength) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    if (QOVLogEnabled())
        QOVLogFormat("[debug QOV2LOG]%d [%s] [%d] [%d]:\n", __LINE__, __func__,
                     static_cast<int>(wIndex), static_cast<int>(wLength));
    QOV_FAIL_IF(!IsValidArchive(ha), "valid handle", ERROR_INVALID_HANDLE, false);
    QOV_FAIL_IF(pvBuffer == nullptr, "valid handle", ERROR_INVALID_PARAMETER, false);
    TPieceLayout layout;
    if (!CheckPieceRequest(ha, wIndex, wLength, &layout)) return false;
    uint64_t position = static_cast<uint64_t>(wIndex) * layout.dwPieceSize;
    if (!FileStream_Read(ha->pStream.get(), &position, pvBuffer, wLength)) {
        QOV_LOG_ERROR("FileStream_Read failed", QOVGetLastError());
        return false;
    }
    const bool good = SFileVerifyPiece(ha, wIndex, pvBuffer, wLength);
    SetPieceState(ha, wIndex, good ? kPieceGood : kPieceBad);
    if (!good) QOV_LOG_ERROR("SFileVerifyPiece failed", QOVGetLastError());
    return good;
}

bool SFileWritePieceVerified(TNQOVArchive* haIn, uint32_t wIndex, const void* pvData,
                             uint32_t wLength) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    if (QOVLogEnabled())
        QOVLogFormat("[debug QOV2LOG]%d [%s] [%d] [%d]\n", __LINE__, __func__,
                     static_cast<int>(wIndex), static_cast<int>(wLength));
    QOV_FAIL_IF(!IsValidArchive(ha), "isValidQOVHandle failed", ERROR_INVALID_HANDLE, false);
    if (!SFileVerifyPiece(ha, wIndex, pvData, wLength)) {
        SetPieceState(ha, wIndex, kPieceBad);
        QOV_LOG_ERROR("SFileVerifyPiece failed", QOVGetLastError());
        return false;
    }
    const uint64_t position = static_cast<uint64_t>(wIndex) * ha->Header.dwMD5PieceSize;
    const uint32_t error = WriteArchiveBytes(ha, position, pvData, wLength);
    if (error != ERROR_SUCCESS) {
        SetPieceState(ha, wIndex, kPieceBad);
        QOV_FAIL("FileStream_Write failed", error, false);
    }
    SetPieceState(ha, wIndex, kPieceGood);
    return true;
}

bool SFileVerifyAll(TNQOVArchive* haIn, sfile_verify_piece_callback* pCallback) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileVerifyAll");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);
        TPieceLayout layout;
        QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT,
                    false);
        const uint32_t count = layout.dwPieceCount;
        if (count == 0) return true;

        bool result = true;
        const uint32_t bufferSize =
            static_cast<uint32_t>(std::min<uint64_t>(layout.dwPieceSize, ha->Header.ArchieveSize));
        if (bufferSize > kParallelPieceLimit) {
            // Large pieces: one after the other, hashed from the file in chunks.
            for (uint32_t index = 0; index < count; index++) {
                uint8_t digest[16];
                QOV_FAIL_IF(!HashPieceOnDisk(ha, layout, index, digest), "FileStream_Read error!",
                            QOVGetLastError(), false);
                RecordVerifyOutcome(ha, index, DigestMatchesTable(ha, index, digest), &result);
                if (pCallback != nullptr) pCallback->OnPieceVerified(count, index);
            }
            return result;
        }

        // Pieces are read and hashed in batches on a few threads; outcomes
        // and callbacks follow in increasing order, and a piece that cannot
        // be read ends the pass after the ones before it, as one after the
        // other would.
        const unsigned workers = count >= 4 ? HashWorkers() : 0;
        const uint32_t perBatch = std::max<uint32_t>(1, kBatchBytes / bufferSize);
        const uint32_t batch = std::min<uint32_t>(count, std::min<uint32_t>(perBatch, (workers + 1) * 8));
        std::vector<std::unique_ptr<uint8_t[]>> buffers(batch);
        for (auto& buffer : buffers) {
            buffer = QOVAllocArray<uint8_t>(bufferSize);
            QOV_FAIL_IF(!buffer, "QOV_ALLOC failed", ERROR_NOT_ENOUGH_MEMORY, false);
        }
        std::unique_ptr<TParallelRunner> runner;
        try {
            if (workers > 0) runner.reset(new TParallelRunner(workers));
        } catch (...) {
            runner.reset();  // no threads to be had: everything on this thread
        }

        struct PieceJob {
            uint32_t readError;
            uint8_t digest[16];
        };
        std::vector<PieceJob> jobs(batch);
        for (uint32_t first = 0; first < count; first += batch) {
            const uint32_t inBatch = std::min(batch, count - first);
            const std::function<void(size_t)> readAndHash = [&](size_t j) {
                const uint32_t index = first + static_cast<uint32_t>(j);
                jobs[j].readError = ERROR_SUCCESS;
                if (!ReadPiece(ha, layout, index, buffers[j].get())) {
                    const uint32_t error = QOVGetLastError();
                    jobs[j].readError = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
                    return;
                }
                QOVMD5(buffers[j].get(), PieceLength(layout, index), jobs[j].digest);
            };
            if (runner)
                runner->Run(inBatch, readAndHash);
            else
                for (uint32_t j = 0; j < inBatch; j++) readAndHash(j);

            for (uint32_t j = 0; j < inBatch; j++) {
                const uint32_t index = first + j;
                QOV_FAIL_IF(jobs[j].readError != ERROR_SUCCESS, "FileStream_Read error!", jobs[j].readError,
                            false);
                RecordVerifyOutcome(ha, index, DigestMatchesTable(ha, index, jobs[j].digest), &result);
                if (pCallback != nullptr) pCallback->OnPieceVerified(count, index);
            }
        }
        return result;
    });
}

namespace {

// Reads and verifies every piece a record's stored bytes touch, on the
// archive that holds it; true when all verified.
bool VerifyRecordPieces(TFileEntryImpl* pEntry) {
    TNQOVArchiveImpl* owner = pEntry->ha;
    const TPieceRange range = RecordPieceRange(owner, pEntry);
    TPieceLayout layout;
    QOV_FAIL_IF(!GetPieceLayout(owner, &layout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT, false);
    bool allGood = true;
    for (uint32_t i = 0; i < range.dwPieceCount; i++)
        if (!VerifyPieceOnDisk(owner, layout, range.dwFirstPiece + i)) allGood = false;
    return allGood;
}

}  // namespace

bool SFileVerifyFilePieceMD5FromFileTable(TNQOVArchive* haIn, uint32_t dwFileId) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileVerifyFilePieceMD5FromFileTable");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, false);
        TFileEntryImpl* entry = FileIdRecord(ha, dwFileId);
        QOV_FAIL_IF(entry == nullptr || entry->IsDirectory(), "invalid file id", ERROR_INVALID_PARAMETER, false);
        return VerifyRecordPieces(entry);
    });
}

bool SFileVerifyFilePieceMD5(TNQOVArchive* haIn, const char* szFileName) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFileVerifyFilePieceMD5");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &hf)) return false;
        TFileEntryImpl* entry = Impl(hf)->pFileEntry;
        SFileCloseFile(hf);
        return VerifyRecordPieces(entry);
    });
}

bool SFilePathToPieceIndex(TNQOVArchive* haIn, const char* szFileName, uint32_t* pdwFirstPiece,
                           uint32_t* pdwPieceCount) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_OPERATION("SFilePathToPieceIndex");
    return QOVGuard(false, [&]() -> bool {
        QOV_LOG_ENTRY();
        QOV_FAIL_IF(!IsValidArchive(ha), "!IsValidQOVHandle(ha)", ERROR_INVALID_HANDLE, false);
        QOV_FAIL_IF(szFileName == nullptr || *szFileName == 0 || pdwFirstPiece == nullptr ||
                        pdwPieceCount == nullptr,
                    "invalid parameter", ERROR_INVALID_PARAMETER, false);
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, szFileName, QOV_OPEN_PATCHED, &hf)) {
            QOV_LOG_ERROR("failed!", QOVGetLastError());
            return false;
        }
        const TPieceRange range = RecordPieceRange(Impl(hf)->ha, Impl(hf)->pFileEntry);
        SFileCloseFile(hf);
        *pdwFirstPiece = range.dwFirstPiece;
        *pdwPieceCount = range.dwPieceCount;
        return true;
    });
}

// Whether the map may be written where the header puts it: not inside the
// pieces (they hold the header, the files and the tables) nor over the MD5
// piece table.  A damaged header can place it there, and writing it would
// then destroy what it lies on.
namespace {
bool MapLiesOutsideThePieces(const TNQOVArchiveImpl* ha, uint32_t size) {
    const TQOVHeader& h = ha->Header;
    uint64_t end = 0, tableEnd = 0;
    if (h.BitmapPos64 < h.ArchieveSize || !CheckedAdd64(h.BitmapPos64, size, &end)) return false;
    if (!CheckedAdd64(h.MD5TablePos64, h.MD5TableSize64, &tableEnd)) tableEnd = UINT64_MAX;
    return end <= h.MD5TablePos64 || h.BitmapPos64 >= tableEnd;
}
}  // namespace

uint8_t* SFileGetBitmap(TNQOVArchive* haIn, uint32_t* pdwSize) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    if (pdwSize != nullptr) *pdwSize = 0;
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, nullptr);
    if (ha->pBitmap != nullptr) {
        if (pdwSize != nullptr) *pdwSize = ha->dwBitmapSize;
        return ha->pBitmap;
    }
    const TQOVHeader& header = ha->Header;
    if (header.BitmapPos64 == 0 || header.BitmapSize64 == 0) {
        QOV_LOG_ERROR("ha->pHeader->BitmapPos64 == 0 || ha->pHeader->BitmapSize64 == 0!", 0);
        return nullptr;
    }
    const uint32_t size = static_cast<uint32_t>(header.BitmapSize64);
    uint64_t fileSize = 0, end = 0;
    if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) return nullptr;
    QOV_FAIL_IF(!CheckedAdd64(header.BitmapPos64, size, &end) || end > fileSize,
                "FileStream_Read failed!", ERROR_FILE_CORRUPT, nullptr);
    std::unique_ptr<uint8_t[]> map = QOVAllocArray<uint8_t>(size);
    QOV_FAIL_IF(!map, "QOV_ALLOC ha->bitmap failed!", ERROR_NOT_ENOUGH_MEMORY, nullptr);
    uint64_t position = header.BitmapPos64;
    if (!FileStream_Read(ha->pStream.get(), &position, map.get(), size)) {
        QOV_LOG_ERROR("FileStream_Read failed!", QOVGetLastError());
        return nullptr;
    }
    ha->BitmapHeap = std::move(map);
    ha->pBitmap = ha->BitmapHeap.get();
    ha->dwBitmapSize = size;
    if (pdwSize != nullptr) *pdwSize = size;
    return ha->pBitmap;
}

bool SFileWriteBitmap(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidArchive(ha), "!IsValidQOVHandle", ERROR_INVALID_HANDLE, false);
    if (ha->pBitmap == nullptr || ha->dwBitmapSize == 0) return true;
    QOV_FAIL_IF(!MapLiesOutsideThePieces(ha, ha->dwBitmapSize), "the map lies inside the pieces",
                ERROR_FILE_CORRUPT, false);
    const uint32_t error = WriteArchiveBytes(ha, ha->Header.BitmapPos64, ha->pBitmap, ha->dwBitmapSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "!FileStream_Write", error, false);
    return true;
}

//-----------------------------------------------------------------------------
// The piece-state map straight from the file.

bool TNQOVArchiveImpl::InitBitMapByFileMapping_i(bool bWritable) {
    if (BitmapMapping.pvView != nullptr) {
        QOV_LOG_ERROR("m_file_map_handle != null ", ERROR_ALREADY_EXISTS);
        return false;
    }
    const uint64_t position = Header.BitmapPos64;
    const uint32_t size = static_cast<uint32_t>(Header.BitmapSize64);
    uint64_t fileSize = 0, end = 0;
    if (position == 0 || size == 0 || !FileStream_SizeOf(pStream.get(), &fileSize) ||
        !CheckedAdd64(position, size, &end) || end > fileSize ||
        (bWritable && !MapLiesOutsideThePieces(this, size))) {
        QOV_LOG_ERROR("CreateFileMappingW failed! ", ERROR_FILE_CORRUPT);
        QOVSetLastError(ERROR_FILE_CORRUPT);
        return false;
    }
    const uint32_t granularity = FileStream_AllocationGranularity();
    const uint64_t aligned = position / granularity * granularity;
    TFileMapping mapping;
    if (!FileStream_MapView(pStream.get(), aligned, bWritable, &mapping)) {
        QOV_LOG_ERROR("MapViewOfFile failed! ", QOVGetLastError());
        return false;
    }
    BitmapHeap.reset();
    BitmapMapping = mapping;
    pBitmap = static_cast<uint8_t*>(mapping.pvView) + (position - aligned);
    dwBitmapSize = size;
    bMapWritable = bWritable;
    return true;
}
