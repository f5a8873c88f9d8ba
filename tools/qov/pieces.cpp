// pieces.cpp - checking every piece of an archive on several threads.
//
// The pieces are handed out in runs that fill the MD5 engine's lanes; each
// worker verifies its runs with its own handle, and so with its own reads
// and its own engine.

#include "pieces.h"

#include <algorithm>

#include "errors.h"
#include "workers.h"

namespace qov {

namespace {

// Pieces per run: at least the engine's 16 lanes, and about 16 MiB.
uint32_t PiecesPerRun(uint32_t pieceSize) {
    const uint64_t bySize = (16ull << 20) / std::max<uint32_t>(pieceSize, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(4096, std::max<uint64_t>(16, bySize)));
}

}  // namespace

std::vector<uint32_t> PieceReport::BadAmong(uint32_t first, uint32_t pieces) const {
    std::vector<uint32_t> found;
    for (uint64_t index = first; index < uint64_t(first) + pieces; index++)
        if (index >= states.size() || states[index] != NQOV_PIECE_GOOD)
            found.push_back(static_cast<uint32_t>(index));
    return found;
}

bool CheckAllPieces(TNQOVArchive* ha, const std::string& path, size_t threads,
                    const std::function<void(uint64_t, uint64_t)>& progress, PieceReport* report) {
    report->path = path;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileGetPieceCount(ha, &report->lastSize, &report->count, &report->size) || report->size == 0) {
        ReportError("cannot count the pieces of " + Quote(path), QOVGetLastError());
        return false;
    }
    report->states.assign(report->count, NQOV_PIECE_BAD);
    const uint32_t perRun = PiecesPerRun(report->size);
    const size_t runs = report->count / perRun + (report->count % perRun != 0);
    const auto verifyRun = [&](TNQOVArchive* handle, size_t run) {
        const uint32_t first = static_cast<uint32_t>(run * perRun);
        const uint32_t count = std::min(perRun, report->count - first);
        // Bad pieces are in the states; the result adds nothing to them.
        SFileVerifyPieces(handle, first, count, report->states.data() + first);
    };
    std::function<void(size_t)> runsDone;
    if (progress) {
        runsDone = [&](size_t done) {
            progress(std::min<uint64_t>(uint64_t(done) * perRun, report->count), report->count);
        };
    }
    ArchiveHandle own;  // each worker's handle is opened from PATH, also with one thread
    if (!ForEachOnWorkers(path, runs, threads, &own, verifyRun, runsDone)) return false;
    for (uint32_t index = 0; index < report->count; index++)
        if (report->states[index] != NQOV_PIECE_GOOD) report->bad.push_back(index);
    return true;
}

}  // namespace qov
