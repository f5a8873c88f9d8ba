// Property tests of the archive library: random archives written with every
// combination of the file flags, over sector sizes, piece sizes (powers of
// two or not, smaller or larger than a sector), chunk digests and header
// offsets, read back every way the interface offers.
//
// Properties:
//  * every file reads back byte for byte, whole and in random pieces at
//    random positions, with and without the piece check, from the archive
//    that wrote it (after a flush), after reopening it, reopened read-only,
//    and with sector checksum verification switched on;
//  * VerifyFile gives VERIFY_MD5_PRESENT for every non-empty file and the
//    piece check of every file's pieces passes;
//  * SFileVerifyAll succeeds and leaves every map byte 1;
//  * every file's record carries its name again after reopening, and the
//    list file names each file once, sorted without regard to case;
//  * a second round of files added to the reopened archive leaves the
//    earlier ones intact;
//  * over many sessions of open / add / flush / close, the writer never
//    writes over live data: every earlier file still verifies and no two
//    stored ranges (files, HET, BET) overlap.
//
// Random choices come from the seed printed at the start of each test
// (BREVIK_TEST_SEED replays one).

#include "ArchiveModel.h"
#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>

using model::ModelFile;
using model::Rng;
using testutil::Bytes;

namespace {

struct ArchiveConfig {
    uint16_t sectorShift;
    uint32_t pieceSize;
    uint32_t chunkSize;
    uint64_t headerOffset;
};

std::string ConfigName(const ArchiveConfig& config) {
    return "shift" + std::to_string(config.sectorShift) + "_piece" + std::to_string(config.pieceSize) +
           "_chunk" + std::to_string(config.chunkSize) + "_offset" + std::to_string(config.headerOffset);
}

void PrintTo(const ArchiveConfig& config, std::ostream* os) { *os << ConfigName(config); }

// Every chunk size with every header offset and every sector shift; the
// piece sizes rotate so that each appears with several sector sizes.
std::vector<ArchiveConfig> AllConfigs() {
    static const uint32_t chunks[] = {0, 1024, 4096};
    static const uint64_t offsets[] = {0, 512, 3 * 1024};
    static const uint32_t pieces[] = {3000, 1000, 4096, 512, 65536, 1536, 777, 1024 * 1024};
    std::vector<ArchiveConfig> configs;
    for (uint32_t i = 0; i < 36; i++) {
        ArchiveConfig config;
        config.chunkSize = chunks[i / 12];
        config.headerOffset = offsets[(i / 4) % 3];
        config.sectorShift = static_cast<uint16_t>(i % 4);
        config.pieceSize = pieces[(i * 3 + i / 4) % 8];
        configs.push_back(config);
    }
    return configs;
}

uint32_t SectorBytes(const ArchiveConfig& config) { return 512u << config.sectorShift; }

TNQOVArchive* NewArchive(const std::string& path, const ArchiveConfig& config, uint32_t capacity) {
    return testutil::CreateArchive(path, capacity, config.sectorShift, config.pieceSize, config.chunkSize,
                                   config.headerOffset);
}

// Files of every flag combination at every edge size plus one random size.
std::vector<ModelFile> MakeFiles(Rng& rng, model::NameMaker& names, uint32_t sectorBytes) {
    std::vector<ModelFile> files;
    std::vector<uint32_t> sizes = model::EdgeSizes(sectorBytes);
    for (uint32_t flags : model::AllFlagCombinations()) {
        std::vector<uint32_t> mine = sizes;
        mine.push_back(static_cast<uint32_t>(rng.Below(5 * sectorBytes + 1)));
        for (uint32_t size : mine) {
            ModelFile file;
            file.name = names.Make(rng);
            file.flags = flags;
            if (rng.OneIn(6)) file.flags |= rng.OneIn(2) ? NQOV_FILE_FLAG_20 : NQOV_FILE_FLAG_30;
            file.data = model::RandomContent(rng, size);
            files.push_back(std::move(file));
        }
    }
    // Write them in a random order, so that kinds and sizes interleave.
    for (size_t i = files.size(); i > 1; i--) std::swap(files[i - 1], files[rng.Below(i)]);
    return files;
}

void WriteAll(TNQOVArchive* ha, const std::vector<ModelFile>& files, Rng& rng) {
    for (const ModelFile& file : files) {
        ASSERT_TRUE(model::WriteInPieces(ha, file, rng))
            << "writing \"" << file.name << "\" (" << model::FlagText(file.flags) << ", " << file.data.size()
            << " bytes) failed with error " << QOVGetLastError();
        // A flush between files must change nothing for the files.
        if (rng.OneIn(60)) {
            ASSERT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
        }
    }
}

void ExpectExtracts(TNQOVArchive* ha, const ModelFile& file, const std::string& path) {
    SCOPED_TRACE("extract \"" + file.name + "\"");
    ASSERT_TRUE(SFileExtractFile(ha, file.name.c_str(), path.c_str())) << QOVGetLastError();
    Bytes got;
    ASSERT_TRUE(testutil::ReadFile(path, &got));
    EXPECT_TRUE(got == file.data) << "extracted " << got.size() << " bytes, wrote " << file.data.size();
    remove(path.c_str());
}

class ArchiveRoundTrip : public testing::TestWithParam<ArchiveConfig> {};

TEST_P(ArchiveRoundTrip, EveryFileReadsBackEveryWay) {
    const ArchiveConfig config = GetParam();
    Rng rng(model::TestSeed("roundtrip/" + ConfigName(config)));
    testutil::TempDir dir;
    const std::string path = dir.File("archive.qov");
    model::NameMaker names;

    // Round 1: write, flush, check the live archive.
    std::vector<ModelFile> files = MakeFiles(rng, names, SectorBytes(config));
    TNQOVArchive* ha = NewArchive(path, config, 700);
    ASSERT_NE(ha, nullptr) << QOVGetLastError();
    WriteAll(ha, files, rng);
    // Before any flush the files read back already (without the piece
    // check: the MD5 piece table is written by the flush).
    for (size_t i = 0; i < files.size(); i += 5) {
        Bytes got;
        EXPECT_TRUE(testutil::ReadWhole(ha, files[i].name, &got, false)) << files[i].name;
        EXPECT_TRUE(got == files[i].data) << files[i].name << " before the flush";
    }
    ASSERT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
    {
        SCOPED_TRACE("after the flush, same handle");
        model::ExpectOpenArchiveHolds(ha, files, rng, 2);
    }
    ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    if (HasFatalFailure()) return;

    // Reopened for writing: everything, and a few extractions.
    {
        SCOPED_TRACE("reopened");
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        model::ExpectOpenArchiveHolds(ha, files, rng, 6);
        for (size_t i = 0; i < files.size(); i += 7)
            ExpectExtracts(ha, files[i], dir.File("out/" + std::to_string(i) + ".bin"));
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    }

    // Reopened read-only, with sector checksum verification switched on: the
    // checksums the writer stored must match what it stored.
    {
        SCOPED_TRACE("reopened read-only, sector checksums checked");
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
        Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
        for (const ModelFile& file : files) model::ExpectFileReadsBack(ha, file, rng, 2);
        TNQOVFile* hf = nullptr;
        EXPECT_FALSE(SFileCreateFile(ha, "refused.bin", 10, &hf));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(hf, nullptr);
        EXPECT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    }

    // Round 2: more files added to the reopened archive.
    {
        SCOPED_TRACE("second round");
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        std::vector<ModelFile> more;
        for (uint32_t flags : model::AllFlagCombinations()) {
            ModelFile file;
            file.name = names.Make(rng);
            file.flags = flags;
            file.data = model::RandomContent(rng, rng.Below(3 * SectorBytes(config) + 2));
            more.push_back(std::move(file));
        }
        WriteAll(ha, more, rng);
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        files.insert(files.end(), more.begin(), more.end());
        model::ExpectArchiveHolds(path, files, rng, 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Configs, ArchiveRoundTrip, testing::ValuesIn(AllConfigs()),
                         [](const testing::TestParamInfo<ArchiveConfig>& info) {
                             return ConfigName(info.param);
                         });

//-----------------------------------------------------------------------------
// Many sessions: files added over several open / add / flush / close rounds
// (some adds failing on purpose), the archive checked after each session.

class WriterSessions : public testing::TestWithParam<int> {};

// One random session: a few files, maybe a flush in the middle, maybe an
// add that fails (short content, or a name that exists).
void RunSession(TNQOVArchive* ha, std::vector<ModelFile>& files, model::NameMaker& names, Rng& rng,
                uint32_t sectorBytes) {
    const std::vector<uint32_t> combos = model::AllFlagCombinations();
    const uint32_t adds = static_cast<uint32_t>(rng.Range(1, 8));
    for (uint32_t i = 0; i < adds; i++) {
        ModelFile file;
        file.name = names.Make(rng);
        file.flags = rng.Pick(combos);
        const uint32_t size = rng.OneIn(3) ? rng.Pick(model::EdgeSizes(sectorBytes))
                                           : static_cast<uint32_t>(rng.Below(6 * sectorBytes));
        file.data = model::RandomContent(rng, size);

        switch (rng.Below(8)) {
            case 0: {
                // Announced longer than written: the finish fails and the
                // name must not open afterwards.
                TNQOVFile* hf = nullptr;
                ASSERT_TRUE(SFileCreateFileEx(ha, file.name.c_str(), size + 1 + uint32_t(rng.Below(5000)),
                                              file.flags, &hf))
                    << QOVGetLastError();
                if (size > 0) {
                    ASSERT_TRUE(SFileWriteFile(hf, file.data.data(), size)) << QOVGetLastError();
                }
                EXPECT_FALSE(SFileFinishFile(hf));
                EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_CAN_NOT_COMPLETE));
                // No content of the failed file stays reachable.  (The name
                // itself still opens, as an empty delete marker: see
                // FailedAdd.NameNoLongerOpens.)
                TNQOVFile* opened = nullptr;
                if (NQOVOpenFileEx(ha, file.name.c_str(), QOV_OPEN_PATCHED, &opened)) {
                    EXPECT_EQ(SFileGetFileSize(opened), 0u) << "a failed add left content behind";
                    SFileCloseFile(opened);
                }
                continue;
            }
            case 1:
                if (!files.empty()) {
                    // An existing name is refused and the old file stays.
                    ModelFile again = rng.Pick(files);
                    again.data = model::RandomContent(rng, rng.Below(100));
                    EXPECT_FALSE(model::WriteInPieces(ha, again, rng));
                    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
                }
                break;
            case 2:
                ASSERT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
                break;
            default:
                break;
        }
        ASSERT_TRUE(model::WriteInPieces(ha, file, rng))
            << "writing \"" << file.name << "\" failed with error " << QOVGetLastError();
        files.push_back(std::move(file));
    }
}

TEST_P(WriterSessions, EarlierFilesSurviveEverySession) {
    const int group = GetParam();
    Rng rng(model::TestSeed("sessions/" + std::to_string(group)));
    const std::vector<ArchiveConfig> configs = AllConfigs();
    for (int round = 0; round < 8; round++) {
        const ArchiveConfig config = configs[rng.Below(configs.size())];
        SCOPED_TRACE("archive " + std::to_string(round) + ", " + ConfigName(config));
        testutil::TempDir dir;
        const std::string path = dir.File("sessions.qov");
        model::NameMaker names;
        std::vector<ModelFile> files;

        TNQOVArchive* ha = NewArchive(path, config, 200);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
        ASSERT_TRUE(SFileCloseArchive(ha, true));
        const int sessions = static_cast<int>(rng.Range(3, 6));
        for (int session = 0; session < sessions; session++) {
            SCOPED_TRACE("session " + std::to_string(session));
            ha = nullptr;
            ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
            RunSession(ha, files, names, rng, SectorBytes(config));
            if (HasFatalFailure()) {
                SFileCloseArchive(ha, false);
                return;
            }
            if (rng.OneIn(2)) {
                ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
            } else {
                ASSERT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
                ASSERT_TRUE(SFileCloseArchive(ha, false));
            }
            model::ExpectArchiveHolds(path, files, rng, 2);
            if (HasFailure()) return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Groups, WriterSessions, testing::Range(0, 6));

// Enciphered files opened by their pseudo name ".File<hash>." have no name
// to derive the key from: the key is found from the sector offset table
// (compressed files) or from known content at the start of the file (a WAVE
// file, an executable, an XML file).  Such files read back correctly; a
// plain enciphered file without known content cannot be read (error 10001),
// and is never read as garbage.
TEST(PseudoNames, EncipheredFilesFindTheirKey) {
    Rng rng(model::TestSeed("pseudo"));
    auto withStart = [&](const std::string& start, size_t size) {
        Bytes data = testutil::TextBytes(size, rng.Next());
        for (size_t i = 0; i < start.size() && i < size; i++) data[i] = static_cast<uint8_t>(start[i]);
        return data;
    };
    auto riff = [&](size_t size) {
        std::string start = "RIFF";
        const uint32_t length = static_cast<uint32_t>(std::min<size_t>(size, 4096) - 8);
        for (int i = 0; i < 4; i++) start.push_back(static_cast<char>(length >> (8 * i)));
        start += "WAVE";
        return withStart(start, size);
    };
    const std::string exe("MZ\x90\0\x03\0\0\0", 8);
    struct Case {
        const char* name;
        Bytes data;
        uint32_t flags;
        bool readable;
    };
    std::vector<Case> cases;
    for (uint32_t extra : {0u, NQOV_FILE_FIX_KEY}) {
        const uint32_t enc = NQOV_FILE_ENCRYPTED | extra;
        cases.push_back({"zip", testutil::TextBytes(9000, 1), enc | NQOV_FILE_COMPRESS, true});
        cases.push_back({"zipcrc", testutil::RandomBytes(5000, 2),
                         enc | NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC, true});
        cases.push_back({"xml", withStart("<?xml version=\"1.0\"?>", 7000), enc, true});
        cases.push_back({"exe", withStart(exe, 6000), enc, true});
        cases.push_back({"wave", riff(10000), enc, true});
        // The first sector of a short file is the whole file.
        cases.push_back({"wave-short", riff(300), enc, true});
        cases.push_back(
            {"unit-xml", withStart("<?xml version=\"1.0\"?>", 3000), enc | NQOV_FILE_SINGLE_UNIT, true});
        cases.push_back({"unit-exe", withStart(exe, 3000), enc | NQOV_FILE_SINGLE_UNIT, true});
        cases.push_back({"noise", testutil::RandomBytes(5000, 3), enc, false});
        cases.push_back({"unit-noise", testutil::RandomBytes(3000, 4), enc | NQOV_FILE_SINGLE_UNIT, false});
    }
    testutil::TempDir dir;
    const std::string path = dir.File("pseudo.qov");
    TNQOVArchive* ha = testutil::CreateArchive(path, 64, 3, 4096);
    ASSERT_NE(ha, nullptr);
    for (size_t i = 0; i < cases.size(); i++) {
        ModelFile file;
        file.name = "dir/" + std::string(cases[i].name) + std::to_string(i) + ".dat";
        file.data = cases[i].data;
        file.flags = cases[i].flags;
        ASSERT_TRUE(model::WriteInPieces(ha, file, rng)) << file.name << ": " << QOVGetLastError();
    }
    ASSERT_TRUE(SFileCloseArchive(ha, true));

    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    for (size_t i = 0; i < cases.size(); i++) {
        const std::string name = "dir/" + std::string(cases[i].name) + std::to_string(i) + ".dat";
        SCOPED_TRACE(name + " (" + model::FlagText(cases[i].flags) + ")");
        TNQOVFile* named = nullptr;
        ASSERT_TRUE(NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &named));
        const uint64_t hash = Impl(named)->pFileEntry->NameHash64;
        SFileCloseFile(named);
        for (uint32_t scope : {QOV_OPEN_FROM_ARCHIVE, QOV_OPEN_PATCHED}) {
            const std::string pseudo = ".File" + std::to_string(hash) + ".";
            TNQOVFile* hf = nullptr;
            ASSERT_TRUE(NQOVOpenFileEx(ha, pseudo.c_str(), scope, &hf)) << QOVGetLastError();
            Bytes got(cases[i].data.size());
            uint32_t read = 0;
            QOVSetLastError(0);
            const bool ok = SFileReadFile(hf, got.data(), static_cast<uint32_t>(got.size()), &read, true);
            if (cases[i].readable) {
                EXPECT_TRUE(ok) << QOVGetLastError();
                EXPECT_TRUE(got == cases[i].data) << "wrong content through the pseudo name";
            } else {
                EXPECT_FALSE(ok) << "read without a key";
                EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_QOV_FILE_KEY));
                EXPECT_EQ(read, 0u);
            }
            SFileCloseFile(hf);
        }
    }
    SFileCloseArchive(ha, false);
}

// An archive filled to its capacity: the add that finds no record fails
// with ERROR_DISK_FULL, and every file added before it survives a flush and
// a reopen.
TEST(FullArchive, AddsBeyondCapacityFailCleanly) {
    Rng rng(model::TestSeed("capacity"));
    for (uint32_t capacity : {1u, 2u, 5u, 12u}) {
        SCOPED_TRACE("capacity " + std::to_string(capacity));
        testutil::TempDir dir;
        const std::string path = dir.File("full.qov");
        TNQOVArchive* ha = testutil::CreateArchive(path, capacity, 0, 1000);
        ASSERT_NE(ha, nullptr);
        std::vector<ModelFile> files;
        model::NameMaker names;
        uint32_t error = 0;
        for (int i = 0; i < 40; i++) {
            ModelFile file;
            file.name = rng.OneIn(2) ? "f" + std::to_string(i) : names.Make(rng);
            file.flags = rng.Pick(model::AllFlagCombinations());
            file.data = model::RandomContent(rng, rng.Below(3000));
            if (!model::WriteInPieces(ha, file, rng)) {
                error = QOVGetLastError();
                break;
            }
            files.push_back(std::move(file));
        }
        EXPECT_EQ(error, static_cast<uint32_t>(ERROR_DISK_FULL));
        EXPECT_LE(files.size(), capacity);
        QOVSetLastError(0);
        const bool flushed = SFileFlushArchive(ha);
        printf("  capacity %u: %zu files, flush %s (%u)\n", capacity, files.size(),
               flushed ? "succeeded" : "failed", QOVGetLastError());
        if (!flushed) {
            // No record is left for the list file.
            EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_DISK_FULL));
        }
        EXPECT_TRUE(SFileCloseArchive(ha, false));
        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        for (const ModelFile& f : files) model::ExpectFileReadsBack(ha, f, rng, 2);
        EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
        SFileCloseArchive(ha, false);
    }
}

// A finish after fewer bytes than announced fails, and the name no longer
// opens: not in the archive that wrote it, not after a flush and reopen.
// A failed add leaves a delete marker: its content is gone, and the name
// only opens as an empty file (a delete marker's flags are openable ones).
TEST(FailedAdd, LeavesAnEmptyDeleteMarker) {
    testutil::TempDir dir;
    const std::string path = dir.File("failed.qov");
    TNQOVArchive* ha = testutil::CreateArchive(path);
    ASSERT_NE(ha, nullptr);
    ASSERT_TRUE(testutil::AddBytes(ha, "kept.bin", testutil::TextBytes(5000, 1)));
    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(SFileCreateFileEx(ha, "short.bin", 100, NQOV_FILE_COMPRESS, &hf));
    const Bytes part = testutil::TextBytes(40, 2);
    ASSERT_TRUE(SFileWriteFile(hf, part.data(), 40));
    EXPECT_FALSE(SFileFinishFile(hf));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_CAN_NOT_COMPLETE));
    ASSERT_TRUE(SFileCloseArchive(ha, true));
    ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    Bytes kept;
    EXPECT_TRUE(testutil::ReadWhole(ha, "kept.bin", &kept));
    EXPECT_TRUE(kept == testutil::TextBytes(5000, 1));

    TNQOVFile* opened = nullptr;
    ASSERT_TRUE(NQOVOpenFileEx(ha, "short.bin", QOV_OPEN_PATCHED, &opened));
    EXPECT_EQ(SFileGetFileSize(opened), 0u);
    EXPECT_EQ(Impl(opened)->pFileEntry->dwFlags, NQOV_FILE_EXISTS | NQOV_FILE_DELETE_MARKER);
    SFileCloseFile(opened);
    EXPECT_EQ(VerifyFile(ha, "short.bin"), 0u) << "no content, no digest to compare";
    SFileCloseArchive(ha, false);
}

}  // namespace
