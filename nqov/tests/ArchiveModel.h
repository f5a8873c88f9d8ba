// ArchiveModel.h - helpers for the randomised archive tests (properties,
// damaged input, fault injection): seeds that can be replayed, a small
// random generator, random file names and contents, writing a file in random
// pieces, and checks that an archive holds exactly the files a test wrote.
//
// Seeds: every random test derives its generator from one base seed, printed
// at the start of the test.  BREVIK_TEST_SEED=<number> replaces the default
// base seed, so a failure seen with one seed can be replayed with it.

#ifndef NQOV_TESTS_ARCHIVEMODEL_H
#define NQOV_TESTS_ARCHIVEMODEL_H

#include "TestUtil.h"

#include <cstdint>
#include <string>
#include <vector>

namespace model {

using testutil::Bytes;

// The base seed (BREVIK_TEST_SEED or the default) mixed with a salt that keeps
// the streams of different tests apart.  Prints the base seed once per test.
uint64_t TestSeed(const std::string& salt);

// splitmix64: small, fast, and the same on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // Uniform in [0, n); 0 when n is 0.
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    // Uniform in [lo, hi].
    uint64_t Range(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    bool OneIn(uint64_t n) { return Below(n) == 0; }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[static_cast<size_t>(Below(items.size()))];
    }

private:
    uint64_t m_state;
};

// One file as a test wrote it.
struct ModelFile {
    std::string name;
    Bytes data;
    uint32_t flags = 0;  // flags passed to SFileCreateFileEx
};

// Every combination of compression, encryption (with and without the fixed
// key), sector checksums and single-unit storage: 24 flag words.
std::vector<uint32_t> AllFlagCombinations();

// "c+e+k+s+u" style text of a flag word, for messages.
std::string FlagText(uint32_t flags);

// File sizes around the edges for a sector size: 0, 1, 3, 4, 31, 32,
// sector - 1, sector, sector + 1 and a few sectors.
std::vector<uint32_t> EdgeSizes(uint32_t sectorBytes);

// Content of a given size: random, text-like or runs of one byte, so that
// sectors are stored both compressed and plain.
Bytes RandomContent(Rng& rng, size_t size);

// Unique random names: nested folders with '/' and '\', UTF-8, spaces and
// dots, every one distinct from the others without regard to letter case
// and never equal to a folder of another name.
class NameMaker {
public:
    std::string Make(Rng& rng);

private:
    uint32_t m_counter = 0;
};

// Writes one file through SFileCreateFileEx / SFileWriteFile (in random
// pieces, some of one byte, some empty) / SFileFinishFile.  On failure the
// handle is finished and the last error is that of the failed step.
bool WriteInPieces(TNQOVArchive* ha, const ModelFile& file, Rng& rng);

// Reads the file back whole (with and without the piece check) and in random
// pieces at random positions, checks VerifyFile and the piece check of the
// file's pieces; reports mismatches through gtest.
void ExpectFileReadsBack(TNQOVArchive* ha, const ModelFile& file, Rng& rng, int randomReads = 6);

// Opens the archive, checks every file (ExpectFileReadsBack), the name of
// every record, the list file, SFileVerifyAll with every map byte 1 and the
// layout (no two stored ranges overlap, nothing lies in the tables), closes.
void ExpectArchiveHolds(const std::string& path, const std::vector<ModelFile>& files, Rng& rng,
                        int randomReads = 6);

// Checks an open archive the same way (without closing it).
void ExpectOpenArchiveHolds(TNQOVArchive* ha, const std::vector<ModelFile>& files, Rng& rng,
                            int randomReads = 6);

// Lines of the list file (without CR LF); false when it cannot be read.
bool ReadListFile(TNQOVArchive* ha, std::vector<std::string>* pLines);

// Stored ranges of the live file records and of the HET and BET tables
// must not overlap, and all must end before the MD5 piece table.
void ExpectDisjointLayout(TNQOVArchive* ha);

}  // namespace model

#endif  // NQOV_TESTS_ARCHIVEMODEL_H
