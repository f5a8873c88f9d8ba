// bench_many_files.cpp - an archive of a great many small files.
//
//   bench_many_files create ARCHIVE COUNT
//       Makes ARCHIVE (it must not exist) with COUNT files named
//       data\dirNNN\subNN\fileNNNNNNN.txt, each holding one short line, and a
//       file table of capacity COUNT * 1.2; closing with flush writes the list
//       file.
//   bench_many_files open ARCHIVE COUNT
//       Opens ARCHIVE read-only in this (fresh) process and prints, on one line:
//         open_s=   wall time of SFileOpenArchive alone
//         rss_before_kb= / maxrss_kb=   peak resident memory of the process
//                   before the open and after it (getrusage ru_maxrss)
//         open_cpu_s=   CPU time of the process during the open
//         records= named=   records in use (files, folders, the list file),
//                   and how many carry a real name
//         lookups=  names opened and read back with the expected content
//         lookup_ms=   average wall time of one such open-and-read (after
//                   the timed open; files this small are stored as they are,
//                   and reading one checks the pieces it lies in)
//       Exits non-zero when a check fails.

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

long MaxRssKb() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string FileName(uint32_t i) {
    char name[64];
    std::snprintf(name, sizeof name, "data\\dir%03u\\sub%02u\\file%07u.txt", i / 10000, (i / 100) % 100, i);
    return name;
}

std::string Content(uint32_t i) {
    char text[64];
    std::snprintf(text, sizeof text, "content of file %07u\n", i);
    return text;
}

int Create(const char* path, uint32_t count) {
    const double start = Now();
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, count + count / 5);
    TNQOVArchive* ha = nullptr;
    if (!SFileCreateArchive(path, &params, &ha)) {
        std::fprintf(stderr, "cannot create %s: error %u\n", path, QOVGetLastError());
        return 1;
    }
    for (uint32_t i = 0; i < count; i++) {
        const std::string name = FileName(i), content = Content(i);
        TNQOVFile* hf = nullptr;
        if (!SFileCreateFile(ha, name.c_str(), uint32_t(content.size()), &hf) ||
            !SFileWriteFile(hf, content.data(), uint32_t(content.size())) || !SFileFinishFile(hf)) {
            std::fprintf(stderr, "cannot add %s: error %u\n", name.c_str(), QOVGetLastError());
            SFileCloseArchive(ha, false);
            return 1;
        }
        if ((i + 1) % 200000 == 0) std::fprintf(stderr, "  %u files added (%.1f s)\n", i + 1, Now() - start);
    }
    const double added = Now();
    if (!SFileCloseArchive(ha, true)) {
        std::fprintf(stderr, "cannot close %s: error %u\n", path, QOVGetLastError());
        return 1;
    }
    std::printf("created %s: %u files, adding %.2f s, closing %.2f s\n", path, count, added - start,
                Now() - added);
    return 0;
}

// Opens name I and checks its content.
bool LookUp(TNQOVArchive* ha, uint32_t i) {
    const std::string name = FileName(i), expected = Content(i);
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf)) {
        std::fprintf(stderr, "%s not found: error %u\n", name.c_str(), QOVGetLastError());
        return false;
    }
    char buffer[128];
    uint32_t read = 0;
    SFileReadFile(hf, buffer, sizeof buffer, &read, true);
    SFileCloseFile(hf);
    if (std::string(buffer, read) != expected) {
        std::fprintf(stderr, "%s: wrong content\n", name.c_str());
        return false;
    }
    return true;
}

int Open(const char* path, uint32_t count) {
    const long before = MaxRssKb();
    TNQOVArchive* ha = nullptr;
    const double cpuStart = CpuSeconds();
    const double start = Now();
    const bool opened = SFileOpenArchive(path, &ha, NQOV_OPEN_READ_ONLY);
    const double openSeconds = Now() - start;
    const double openCpu = CpuSeconds() - cpuStart;
    const long after = MaxRssKb();
    if (!opened) {
        std::fprintf(stderr, "cannot open %s: error %u\n", path, QOVGetLastError());
        return 1;
    }

    bool ok = true;
    uint32_t lookups = 0;
    const double lookupStart = Now();
    const uint32_t probes[] = {0, 1, 99, 100, 12345, count / 2, count - 2, count - 1};
    for (uint32_t i : probes) {
        if (i >= count) continue;
        ok = LookUp(ha, i) && ok;
        lookups++;
    }
    uint64_t x = 88172645463325252ull;  // a fixed sequence of further names
    for (int n = 0; n < 100; n++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        ok = LookUp(ha, uint32_t(x % count)) && ok;
        lookups++;
    }
    const double lookupSeconds = Now() - lookupStart;
    TNQOVFile* missing = nullptr;
    if (NQOVOpenFileEx(ha, "data\\dir000\\sub00\\no-such-file.txt", QOV_OPEN_FROM_ARCHIVE, &missing)) {
        std::fprintf(stderr, "a name that is not there was found\n");
        SFileCloseFile(missing);
        ok = false;
    }

    const uint32_t records = SFileGetRecordCount(ha);
    uint32_t named = 0;
    for (uint32_t i = 0; i < records; i++) {
        QOV_RECORD_INFO info;
        if (SFileGetRecordInfo(ha, i, &info) && (info.dwFlags & NQOV_FILE_EXISTS) && info.bNamed) named++;
    }
    if (named < count) {
        std::fprintf(stderr, "only %u of %u files have their names\n", named, count);
        ok = false;
    }
    SFileCloseArchive(ha, false);
    std::printf(
        "open_s=%.4f open_cpu_s=%.4f rss_before_kb=%ld maxrss_kb=%ld records=%u named=%u "
        "lookups=%u lookup_ms=%.3f %s\n",
        openSeconds, openCpu, before, after, records, named, lookups,
        lookups > 0 ? lookupSeconds * 1000 / lookups : 0.0, ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: bench_many_files create|open ARCHIVE COUNT\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Usage();
    char* end = nullptr;
    const unsigned long count = std::strtoul(argv[3], &end, 10);
    if (end == argv[3] || *end != 0 || count < 2 || count > NQOV_MAX_FILE_COUNT / 2) return Usage();
    if (std::strcmp(argv[1], "create") == 0) return Create(argv[2], uint32_t(count));
    if (std::strcmp(argv[1], "open") == 0) return Open(argv[2], uint32_t(count));
    return Usage();
}
