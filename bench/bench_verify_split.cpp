// bench_verify_split.cpp - the two passes of `qov verify`, timed apart.
//
//   bench_verify_split [--jobs N] ARCHIVE
//
// Opens ARCHIVE read-only and does what `qov verify` does, in the same
// order, timing each pass:
//   pieces: every piece against its digest (SFileVerifyAll, with the
//           piece-state map loaded and cleared, as qov does);
//   files:  every stored file read and checked against its content MD5
//           (VerifyFile on each record that has content).
// Prints one line:
//   open_s= pieces_s= files_s= pieces= files= bad_pieces= bad_files=
// and per-pass CPU time of the process (pieces_cpu_s=, files_cpu_s=).
//
// With --jobs N (N > 1) the files pass runs on N threads, each with its own
// read-only handle taking files from a common counter (as `qov extract`
// does): what a parallel files pass in `qov verify` would give.

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QOVLib.h"

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

const uint32_t kBad =
    VERIFY_CANNOT_OPEN | VERIFY_READ_ERROR | VERIFY_FILE_SECTOR_CRC_ERROR | VERIFY_FILE_MD5_ERROR;

// Verifies NAMES from a common counter with its own handle on PATH; adds
// the bad ones to *BAD.
void VerifyWorker(const char* path, const std::vector<std::string>* names, std::atomic<size_t>* next,
                  std::atomic<uint32_t>* bad) {
    TNQOVArchive* ha = nullptr;
    if (!SFileOpenArchive(path, &ha, NQOV_OPEN_READ_ONLY)) {
        bad->fetch_add(1);
        return;
    }
    for (;;) {
        const size_t i = next->fetch_add(1);
        if (i >= names->size()) break;
        if (VerifyFile(ha, (*names)[i].c_str()) & kBad) bad->fetch_add(1);
    }
    SFileCloseArchive(ha, false);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned jobs = 1;
    if (argc == 4 && std::strcmp(argv[1], "--jobs") == 0) {
        jobs = unsigned(std::strtoul(argv[2], nullptr, 10));
        argv += 2;
        argc -= 2;
    }
    if (argc != 2 || jobs < 1 || jobs > 64) {
        std::fprintf(stderr, "usage: bench_verify_split [--jobs N] ARCHIVE\n");
        return 2;
    }
    const double t0 = Now();
    TNQOVArchive* ha = nullptr;
    if (!SFileOpenArchive(argv[1], &ha, NQOV_OPEN_READ_ONLY)) {
        std::fprintf(stderr, "cannot open %s: error %u\n", argv[1], QOVGetLastError());
        return 2;
    }
    const double t1 = Now(), c1 = CpuSeconds();

    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    SFileGetPieceCount(ha, &lastPieceSize, &pieceCount, &pieceSize);
    uint32_t mapSize = 0;
    uint8_t* map = SFileGetBitmap(ha, &mapSize);
    if (map != nullptr) std::memset(map, NQOV_PIECE_UNKNOWN, mapSize);
    SFileVerifyAll(ha, nullptr);
    uint32_t badPieces = 0;
    for (uint32_t i = 0; i < pieceCount; i++)
        if (map == nullptr || i >= mapSize || map[i] != NQOV_PIECE_GOOD) badPieces++;
    const double t2 = Now(), c2 = CpuSeconds();

    std::vector<std::string> names;
    const uint32_t records = SFileGetRecordCount(ha);
    for (uint32_t i = 0; i < records && records != NQOV_INVALID_SIZE; i++) {
        QOV_RECORD_INFO info;
        if (!SFileGetRecordInfo(ha, i, &info) || (info.dwFlags & NQOV_FILE_EXISTS) == 0) continue;
        if (info.dwFlags & (NQOV_FILE_DIRECTORY | NQOV_FILE_DELETE_MARKER)) continue;
        names.push_back(info.szFileName != nullptr ? info.szFileName : "");
    }
    uint32_t badFiles = 0;
    if (jobs == 1) {
        for (const std::string& name : names)
            if (VerifyFile(ha, name.c_str()) & kBad) badFiles++;
    } else {
        std::atomic<size_t> next{0};
        std::atomic<uint32_t> bad{0};
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < jobs; i++) workers.emplace_back(VerifyWorker, argv[1], &names, &next, &bad);
        for (std::thread& worker : workers) worker.join();
        badFiles = bad.load();
    }
    const double t3 = Now(), c3 = CpuSeconds();
    SFileCloseArchive(ha, false);

    std::printf(
        "open_s=%.4f pieces_s=%.4f pieces_cpu_s=%.4f files_s=%.4f files_cpu_s=%.4f "
        "pieces=%u files=%zu bad_pieces=%u bad_files=%u jobs=%u\n",
        t1 - t0, t2 - t1, c2 - c1, t3 - t2, c3 - c2, pieceCount, names.size(), badPieces, badFiles, jobs);
    return badPieces == 0 && badFiles == 0 ? 0 : 1;
}
