// QOVVerifyAll.cpp - verifying every piece of an archive, hashing pieces on
// a few threads.

#include "verify/QOVVerify.h"

#include "common/MD5Kernels.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <thread>

namespace {

// Pieces up to this size are verified in memory, in batches of at most
// this many bytes: each thread takes a group of pieces of the batch and
// hashes them together, as many at once as the MD5 engine has lanes.
const uint32_t kParallelPieceLimit = 16 * 1024 * 1024;
const uint64_t kBatchBytes = 64 * 1024 * 1024;

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

// Pieces a thread hashes together at most: the engine's lanes.
constexpr uint32_t kMD5GroupPieces = kMD5MaxLanes;

unsigned HashWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? std::min(cores, 8u) - 1 : 0;
}

// Applies the outcome of piece i of a whole-archive pass.
void RecordVerifyOutcome(TNQOVArchiveImpl* ha, uint32_t index, bool good, bool* pbResult) {
    if (good) {
        ha->StateMap.Record(index, NQOV_PIECE_GOOD);
    } else if (ha->StateMap.IsRecordable()) {
        *pbResult = false;
        QOV_LOG_ERROR("bit map status check fail!", QOVGetLastError());
        ha->StateMap.Record(index, NQOV_PIECE_BAD);
    }
}

}  // namespace

bool SFileVerifyAll(TNQOVArchive* haIn, sfile_verify_piece_callback* pCallback) {
    return SFileVerifyAllUntil(haIn, pCallback, nullptr);
}

bool SFileVerifyAllUntil(TNQOVArchive* haIn, sfile_verify_piece_callback* pCallback,
                         const std::atomic<bool>* pbStop) {
    // Looked at before each piece is read and before each is reported.
    const auto stopped = [pbStop] { return pbStop != nullptr && pbStop->load(std::memory_order_relaxed); };
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        TPieceLayout layout;
        QOV_FAIL_IF(!GetPieceLayout(ha, &layout), "SFileGetPieceCount failed!", ERROR_FILE_CORRUPT, false);
        const uint32_t count = layout.dwPieceCount;
        if (count == 0) return true;

        bool result = true;
        const uint32_t bufferSize =
            static_cast<uint32_t>(std::min<uint64_t>(layout.dwPieceSize, ha->Header.ArchieveSize));
        if (bufferSize > kParallelPieceLimit) {
            // Large pieces: one after the other, hashed from the file in chunks.
            for (uint32_t index = 0; index < count; index++) {
                QOV_FAIL_IF(stopped(), "verification stopped", ERROR_CANCELLED, false);
                uint8_t digest[16];
                QOV_FAIL_IF(!HashPieceOnDisk(ha, layout, index, digest), "FileStream_Read error!",
                            QOVGetLastError(), false);
                RecordVerifyOutcome(ha, index, DigestMatchesTable(ha, index, digest), &result);
                if (pCallback != nullptr) pCallback->OnPieceVerified(count, index);
            }
            return result;
        }

        // Pieces are read and hashed in batches on a few threads, each
        // thread a group of them with its own engine; outcomes and
        // callbacks follow in increasing order, and a piece that cannot be
        // read ends the pass after the ones before it, as one after the
        // other would.
        const unsigned workers = count >= 4 ? HashWorkers() : 0;
        const uint64_t share = kBatchBytes / (workers + 1);
        const uint32_t group = static_cast<uint32_t>(
            std::max<uint64_t>(1, std::min<uint64_t>(kMD5GroupPieces, share / bufferSize)));
        const uint32_t batch = std::min<uint32_t>(count, group * (workers + 1));
        std::vector<std::unique_ptr<uint8_t[]>> buffers(batch);
        for (auto& buffer : buffers) {
            buffer = QOVAllocArray<uint8_t>(bufferSize);
            QOV_FAIL_IF(!buffer, "QOV_ALLOC failed", ERROR_NOT_ENOUGH_MEMORY, false);
        }
        std::unique_ptr<TParallelRunner> runner;
        try {
            if (workers > 0) runner = QOVNew<TParallelRunner>(workers);
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
            QOV_FAIL_IF(stopped(), "verification stopped", ERROR_CANCELLED, false);
            const std::function<void(size_t)> readAndHashGroup = [&](size_t g) {
                const uint32_t from = static_cast<uint32_t>(g) * group;
                const uint32_t to = std::min(inBatch, from + group);
                TPieceData pieces[kMD5GroupPieces];
                uint32_t read[kMD5GroupPieces];
                size_t nRead = 0;
                for (uint32_t j = from; j < to; j++) {
                    const uint32_t index = first + j;
                    jobs[j].readError = ERROR_SUCCESS;
                    // A stop asked for meanwhile: the rest of the batch is not read.
                    if (stopped()) {
                        jobs[j].readError = ERROR_CANCELLED;
                        continue;
                    }
                    if (!ReadPiece(ha, layout, index, buffers[j].get())) {
                        const uint32_t error = QOVGetLastError();
                        jobs[j].readError = error != ERROR_SUCCESS ? error : ERROR_READ_FAULT;
                        continue;
                    }
                    pieces[nRead].pbData = buffers[j].get();
                    pieces[nRead].cbData = PieceLength(layout, index);
                    read[nRead++] = j;
                }
                HashPieces(pieces, nRead);
                for (size_t n = 0; n < nRead; n++) memcpy(jobs[read[n]].digest, pieces[n].digest, 16);
            };
            const size_t groups = (inBatch + group - 1) / group;
            if (runner)
                runner->Run(groups, readAndHashGroup);
            else
                for (size_t g = 0; g < groups; g++) readAndHashGroup(g);

            for (uint32_t j = 0; j < inBatch; j++) {
                const uint32_t index = first + j;
                QOV_FAIL_IF(stopped() || jobs[j].readError == ERROR_CANCELLED, "verification stopped",
                            ERROR_CANCELLED, false);
                QOV_FAIL_IF(jobs[j].readError != ERROR_SUCCESS, "FileStream_Read error!", jobs[j].readError,
                            false);
                RecordVerifyOutcome(ha, index, DigestMatchesTable(ha, index, jobs[j].digest), &result);
                if (pCallback != nullptr) pCallback->OnPieceVerified(count, index);
            }
        }
        return result;
    });
}
