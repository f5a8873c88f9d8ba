// bench_md5.cpp - the multi-buffer MD5 engine alone, per kernel.
//
//   bench_md5 engine [--mib N] [--reps R]
//   bench_md5 write FILE [--mib N]
//   bench_md5 kernel
//
// engine: N MiB (default 256) of pseudo-random bytes in memory, cut into
// pieces of 1 MiB and of 32 KiB, hashed by QOVMD5Many with each kernel the
// machine runs, about 1 GiB per run (the pieces several times over), R runs
// (default 3).  Then the whole buffer as one message (one lane busy, the
// others idle: what a single long stream costs).  Prints for each a
// readable line and a line
//   RESULT kernel=K piece=P best_gbps= median_gbps= cpu_gbps=
// (piece=0 for the single message), and the MD5 of the whole buffer as
//   WHOLE <hex digest>
// which md5sum of the file written by `write` must give.  Every kernel's
// digests must equal the scalar kernel's (libtomcrypt); if not, it fails.
//
// write: writes the same N MiB to FILE.
//
// kernel: prints the kernel the library chooses by itself (scalar, avx2 or
// avx512).

#include "QOVLib.h"
#include "common/MD5Multi.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Digest = std::array<uint8_t, 16>;

constexpr uint64_t kSeed = 15;
constexpr double kBytesPerRun = 1024.0 * 1024 * 1024;

const char* KernelName(int kernel) {
    switch (kernel) {
        case QOV_MD5_SCALAR:
            return "scalar";
        case QOV_MD5_AVX2:
            return "avx2";
        case QOV_MD5_AVX512:
            return "avx512";
        default:
            return "auto";
    }
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::vector<uint8_t> MakeBytes(size_t cb) {
    std::vector<uint8_t> bytes(cb);
    uint64_t x = kSeed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < cb; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(bytes.data() + i, &x, std::min<size_t>(8, cb - i));
    }
    return bytes;
}

std::string Hex(const Digest& digest) {
    char text[33];
    for (unsigned i = 0; i < 16; i++) snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

struct TRunFigures {
    std::vector<double> wall;
    std::vector<double> cpu;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Hashes the buffer in pieces of cbPiece, `passes` times per run.
TRunFigures TimePieces(const std::vector<uint8_t>& bytes, size_t cbPiece, unsigned reps,
                       std::vector<Digest>* pDigests) {
    const size_t nPieces = bytes.size() / cbPiece;
    pDigests->assign(nPieces, Digest{});
    std::vector<TMD5Job> jobs(nPieces);
    for (size_t i = 0; i < nPieces; i++) {
        jobs[i].pvData = bytes.data() + i * cbPiece;
        jobs[i].cbData = cbPiece;
        jobs[i].pbDigest = (*pDigests)[i].data();
    }
    const unsigned passes = std::max(1u, unsigned(kBytesPerRun / double(nPieces * cbPiece)));
    TRunFigures figures;
    for (unsigned rep = 0; rep < reps; rep++) {
        const double wall = WallSeconds(), cpu = CpuSeconds();
        for (unsigned pass = 0; pass < passes; pass++) QOVMD5Many(jobs.data(), jobs.size());
        const double bytesHashed = double(passes) * double(nPieces * cbPiece);
        figures.wall.push_back(bytesHashed / (WallSeconds() - wall) / 1e9);
        figures.cpu.push_back(bytesHashed / (CpuSeconds() - cpu) / 1e9);
    }
    return figures;
}

TRunFigures TimeWhole(const std::vector<uint8_t>& bytes, Digest* pDigest) {
    TMD5Job job;
    job.pvData = bytes.data();
    job.cbData = bytes.size();
    job.pbDigest = pDigest->data();
    TRunFigures figures;
    const double wall = WallSeconds(), cpu = CpuSeconds();
    QOVMD5Many(&job, 1);
    figures.wall.push_back(double(bytes.size()) / (WallSeconds() - wall) / 1e9);
    figures.cpu.push_back(double(bytes.size()) / (CpuSeconds() - cpu) / 1e9);
    return figures;
}

void Report(int kernel, size_t cbPiece, const TRunFigures& figures) {
    const double best = *std::max_element(figures.wall.begin(), figures.wall.end());
    const double median = Median(figures.wall);
    const double cpu = Median(figures.cpu);
    char what[64];
    if (cbPiece == 0) {
        snprintf(what, sizeof(what), "one message");
    } else {
        snprintf(what, sizeof(what), "%zu KiB pieces", cbPiece / 1024);
    }
    printf("  %-7s %-16s best %6.2f GB/s   median %6.2f GB/s   per CPU second %6.2f GB/s\n",
           KernelName(kernel), what, best, median, cpu);
    printf("RESULT kernel=%s piece=%zu best_gbps=%.3f median_gbps=%.3f cpu_gbps=%.3f\n", KernelName(kernel),
           cbPiece, best, median, cpu);
}

int RunEngine(size_t cbTotal, unsigned reps) {
    const std::vector<uint8_t> bytes = MakeBytes(cbTotal);
    const size_t pieceSizes[] = {size_t(1) << 20, size_t(32) << 10};
    printf("  %zu MiB in memory, about 1 GiB hashed per run, %u runs; automatic choice: %s\n", cbTotal >> 20,
           reps, KernelName(QOVGetMD5Kernel()));
    std::vector<std::vector<Digest>> reference(2);
    Digest wholeReference{};
    int failures = 0;
    for (int kernel : {QOV_MD5_SCALAR, QOV_MD5_AVX2, QOV_MD5_AVX512}) {
        if (!QOVSetMD5Kernel(kernel)) {
            printf("  %-7s not supported on this machine\n", KernelName(kernel));
            continue;
        }
        for (size_t i = 0; i < 2; i++) {
            std::vector<Digest> digests;
            Report(kernel, pieceSizes[i], TimePieces(bytes, pieceSizes[i], reps, &digests));
            if (kernel == QOV_MD5_SCALAR) reference[i] = digests;
            if (digests != reference[i]) {
                fprintf(stderr, "bench_md5: %s digests differ from the scalar kernel's\n",
                        KernelName(kernel));
                failures++;
            }
        }
        Digest whole{};
        Report(kernel, 0, TimeWhole(bytes, &whole));
        if (kernel == QOV_MD5_SCALAR) wholeReference = whole;
        if (whole != wholeReference) {
            fprintf(stderr, "bench_md5: %s digest of the whole buffer differs\n", KernelName(kernel));
            failures++;
        }
    }
    QOVSetMD5Kernel(QOV_MD5_AUTO);
    printf("WHOLE %s\n", Hex(wholeReference).c_str());
    return failures == 0 ? 0 : 1;
}

int WriteFile(const char* path, size_t cbTotal) {
    const std::vector<uint8_t> bytes = MakeBytes(cbTotal);
    FILE* file = fopen(path, "wb");
    if (file == nullptr) {
        perror(path);
        return 1;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (fclose(file) != 0 || !written) {
        perror(path);
        return 1;
    }
    return 0;
}

int Usage() {
    fprintf(stderr,
            "usage: bench_md5 engine [--mib N] [--reps R]\n       bench_md5 write FILE [--mib N]\n"
            "       bench_md5 kernel\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    const char* path = nullptr;
    size_t mib = 256;
    unsigned reps = 3;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) {
            mib = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--reps" && i + 1 < argc) {
            reps = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (command == "write" && path == nullptr) {
            path = argv[i];
        } else {
            return Usage();
        }
    }
    if (mib == 0 || mib > 4096 || reps == 0) return Usage();
    if (command == "engine") return RunEngine(mib << 20, reps);
    if (command == "kernel" && argc == 2) {
        const int kernel = QOVGetMD5Kernel();
        printf("%s\n", kernel == QOV_MD5_AVX512 ? "avx512" : kernel == QOV_MD5_AVX2 ? "avx2" : "scalar");
        return 0;
    }
    if (command == "write" && path != nullptr) return WriteFile(path, mib << 20);
    return Usage();
}
