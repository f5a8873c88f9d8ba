// Damaged input: archives cut short, archives with bytes flipped in the
// header, the HET and BET tables, the MD5 piece table, the piece-state map,
// sector offset tables and file data, and a list of targeted damages to
// single table fields.  The archive library must never crash, hang or read
// out of bounds (the AddressSanitizer build runs these too); every failure
// must carry a non-zero error code; and:
//  * a cut archive that still opens gives only correct bytes;
//  * a read with the piece check of an uncompressed, sector-stored file
//    whose record is unchanged either fails or gives the right bytes;
//  * damage to one piece is reported by SFileVerifyAll as exactly that
//    piece in the map;
//  * targeted damages are refused at open with the codes the format gives
//    (11 for tables placed past the end, 1392 for inconsistent tables).
//
// Tables are enciphered: to change a field inside one, the test deciphers
// the stored table (from byte 12 on, NQOV_KEY_HET_TABLE / NQOV_KEY_BET_TABLE),
// patches it, enciphers it again, and then fixes the header digest and
// recomputes the MD5 piece table (RewritePieceTable), so that only the
// damage it meant is seen.
//
// Random choices come from the seed printed at the start of each test
// (BREVIK_TEST_SEED replays one).

#include "ArchiveModel.h"
#include "read/QOVRead.h"
#include "write/QOVWrite.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

using model::ModelFile;
using model::Rng;
using testutil::Bytes;

namespace {

//-----------------------------------------------------------------------------
// Byte-level access to an archive image.

// Header field offsets (relative to the header).
enum : uint32_t {
    kHdrFormatVersion = 8,
    kHdrSectorSize = 10,
    kHdrArchieveSize = 12,
    kHdrBetPos = 20,
    kHdrHetPos = 28,
    kHdrMD5TablePos = 36,
    kHdrBitmapPos = 44,
    kHdrHetSize = 52,
    kHdrBetSize = 60,
    kHdrMD5TableSize = 68,
    kHdrBitmapSize = 76,
    kHdrPieceSize = 84,
    kHdrRawChunkSize = 88,
    kHdrMD5Bet = 124,
    kHdrMD5Het = 140,
    kHdrDigest = 156,
};

// HET and BET field offsets (from the start of the stored table).
enum : uint32_t {
    kExtBodySize = 8,
    kHetBodyTotalSize = 12,
    kHetEntryTotal = 16,
    kHetHashTableSize = 20,
    kHetNameHashBits = 24,
    kHetSlotIndexBits = 28,
    kHetSlotIndexBytes = 40,
    kHetSlotBytes = 44,
    kBetBodyTotalSize = 12,
    kBetEntryTotal = 16,
    kBetRecordBits = 20,
    kBetPosBitStart = 24,
    kBetSizeBitStart = 28,
    kBetStoredSizeBitStart = 32,
    kBetFlagsBitStart = 36,
    kBetMD5BitStart = 40,
    kBetPosBitCount = 48,
    kBetSizeBitCount = 52,
    kBetStoredSizeBitCount = 56,
    kBetFlagsBitCount = 60,
    kBetMD5BitCount = 64,
    kBetSpareBitCount = 68,
    kBetLowHashBitTotal = 72,
    kBetLowHashBitCount = 80,
    kBetLowHashBytes = 84,
    kBetParentBitStart = 88,
    kBetParentBitCount = 92,
    kBetFileTable = 96,
};

uint32_t Get32(const Bytes& b, uint64_t at) { return ReadLE32(&b[static_cast<size_t>(at)]); }
uint64_t Get64(const Bytes& b, uint64_t at) { return ReadLE64(&b[static_cast<size_t>(at)]); }
void Put16(Bytes& b, uint64_t at, uint16_t v) { WriteLE16(&b[static_cast<size_t>(at)], v); }
void Put32(Bytes& b, uint64_t at, uint32_t v) { WriteLE32(&b[static_cast<size_t>(at)], v); }
void Put64(Bytes& b, uint64_t at, uint64_t v) { WriteLE64(&b[static_cast<size_t>(at)], v); }

// Writes MD5(header bytes 0..155) into the header digest.
void FixHeaderDigest(Bytes& image, uint64_t headerOffset) {
    QOVMD5(&image[static_cast<size_t>(headerOffset)], kHdrDigest,
           &image[static_cast<size_t>(headerOffset + kHdrDigest)]);
}

// Recomputes the MD5 piece table from the header's figures: the MD5 of each
// piece of [0, ArchieveSize), then the MD5 of those digests.  Does nothing
// (false) when the figures do not describe a table inside the image.
bool RewritePieceTable(Bytes& image, uint64_t headerOffset) {
    const uint64_t archiveSize = Get64(image, headerOffset + kHdrArchieveSize);
    const uint32_t pieceSize = Get32(image, headerOffset + kHdrPieceSize);
    const uint64_t tablePos = Get64(image, headerOffset + kHdrMD5TablePos);
    const uint64_t tableSize = static_cast<uint32_t>(Get64(image, headerOffset + kHdrMD5TableSize));
    if (pieceSize == 0 || archiveSize > image.size()) return false;
    const uint64_t pieces = (archiveSize + pieceSize - 1) / pieceSize;
    if (tableSize < 16 || tableSize % 16 != 0 || tablePos > image.size() ||
        tableSize > image.size() - tablePos)
        return false;
    const uint64_t digests = std::min<uint64_t>(pieces, tableSize / 16 - 1);
    Bytes table(static_cast<size_t>(tableSize), 0);
    for (uint64_t i = 0; i < digests; i++) {
        const uint64_t start = i * pieceSize;
        const uint64_t length = std::min<uint64_t>(pieceSize, archiveSize - start);
        QOVMD5(&image[static_cast<size_t>(start)], static_cast<size_t>(length),
               &table[static_cast<size_t>(i * 16)]);
    }
    QOVMD5(table.data(), static_cast<size_t>(tableSize - 16), &table[static_cast<size_t>(tableSize - 16)]);
    std::copy(table.begin(), table.end(), image.begin() + static_cast<long>(tablePos));
    return true;
}

// After a change to the header or the tables: the header digest and the
// piece table agree with the image again.
void Reseal(Bytes& image, uint64_t headerOffset) {
    FixHeaderDigest(image, headerOffset);
    RewritePieceTable(image, headerOffset);
    FixHeaderDigest(image, headerOffset);
}

struct Range {
    uint64_t start, end;
};

enum class Table { Het, Bet };

// Deciphers one extended table (where the header says it is, or at `where`),
// lets `patch` change its clear bytes (same length), enciphers it again and
// reseals the image.
void PatchTable(Bytes& image, uint64_t headerOffset, Table which, const std::function<void(Bytes&)>& patch,
                bool reseal = true, const Range* where = nullptr) {
    const bool het = which == Table::Het;
    const uint64_t pos = where != nullptr
                             ? where->start
                             : headerOffset + Get64(image, headerOffset + (het ? kHdrHetPos : kHdrBetPos));
    const uint32_t size =
        where != nullptr
            ? static_cast<uint32_t>(where->end - where->start)
            : static_cast<uint32_t>(Get64(image, headerOffset + (het ? kHdrHetSize : kHdrBetSize)));
    const uint32_t key = het ? NQOV_KEY_HET_TABLE : NQOV_KEY_BET_TABLE;
    Bytes table(image.begin() + static_cast<long>(pos), image.begin() + static_cast<long>(pos + size));
    DecryptQOVBlock(table.data() + 12, table.size() - 12, key);
    patch(table);
    EncryptQOVBlock(table.data() + 12, table.size() - 12, key);
    std::copy(table.begin(), table.end(), image.begin() + static_cast<long>(pos));
    QOVMD5(table.data(), table.size(),
           &image[static_cast<size_t>(headerOffset + (het ? kHdrMD5Het : kHdrMD5Bet))]);
    if (reseal) Reseal(image, headerOffset);
}

// One field of BET record j (clear table).
struct BetField {
    uint32_t startOffset, countOffset;
};
const BetField kBetPos = {kBetPosBitStart, kBetPosBitCount};
const BetField kBetSize = {kBetSizeBitStart, kBetSizeBitCount};
const BetField kBetStored = {kBetStoredSizeBitStart, kBetStoredSizeBitCount};
const BetField kBetFlags = {kBetFlagsBitStart, kBetFlagsBitCount};
const BetField kBetParent = {kBetParentBitStart, kBetParentBitCount};

uint32_t BetWidth(const Bytes& bet, BetField field) { return Get32(bet, field.countOffset); }

void SetBetField(Bytes& bet, uint32_t record, BetField field, uint64_t value) {
    const uint64_t bit =
        static_cast<uint64_t>(record) * Get32(bet, kBetRecordBits) + Get32(bet, field.startOffset);
    SetBits64(&bet[kBetFileTable], bit, Get32(bet, field.countOffset), value);
}

//-----------------------------------------------------------------------------
// The sample archives.

struct RecordCopy {
    uint64_t storedOffset = 0;
    uint32_t fileSize = 0, storedSize = 0, flags = 0;
    uint8_t md5[16] = {};
    uint32_t index = 0;
};

struct Sample {
    std::string name;
    Bytes image;
    std::vector<ModelFile> files;
    std::map<std::string, RecordCopy> records;  // by file name
    QOV_ARCHIVE_INFO info = {};
    uint64_t headerOffset = 0;
    uint32_t sectorBytes = 0;
    // Where to damage.
    Range header{}, het{}, bet{}, md5Table{}, map{};
    std::vector<Range> offsetTables;  // sector offset tables of compressed sector files
    std::vector<Range> fileData;      // stored bytes of every file
};

// Raw byte damage of one image, and which of it the piece table was made to
// agree with (a reseal after it), so that no check can see it.
struct Damage {
    std::vector<Range> raw;
    std::vector<Range> sealed;
    void Raw(uint64_t start, uint64_t end) { raw.push_back({start, end}); }
    void SealAll() {
        sealed.insert(sealed.end(), raw.begin(), raw.end());
        raw.clear();
    }
    bool SealedIn(uint64_t start, uint64_t end) const {
        for (const Range& r : sealed)
            if (r.start < end && start < r.end) return true;
        return false;
    }
};

// Files of every kind: plain, enciphered (with and without the fixed key),
// compressed text and noise, with sector checksums, single-unit (plain and
// compressed+enciphered), tiny, empty, UTF-8 names in folders.
std::vector<ModelFile> SampleFiles(uint32_t sectorBytes) {
    auto file = [](const char* name, Bytes data, uint32_t flags) {
        ModelFile f;
        f.name = name;
        f.data = std::move(data);
        f.flags = flags;
        return f;
    };
    using testutil::RandomBytes;
    using testutil::TextBytes;
    return {
        file("plain/raw.bin", RandomBytes(3000, 1), 0),
        file("plain/enc.bin", RandomBytes(2600, 2), NQOV_FILE_ENCRYPTED),
        file("plain/encfix.bin", TextBytes(1700, 3), NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY),
        file("zip/text.txt", TextBytes(6000, 4), NQOV_FILE_COMPRESS),
        file("zip/random.bin", RandomBytes(1500, 5), NQOV_FILE_COMPRESS),
        file("zip/crc.txt", TextBytes(5000, 6), NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC),
        file("zip/enc crc.txt", TextBytes(4000, 7),
             NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY | NQOV_FILE_SECTOR_CRC),
        file("unit/raw.bin", RandomBytes(1200, 8), NQOV_FILE_SINGLE_UNIT),
        file("unit/zip enc.txt", TextBytes(3000, 9),
             NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED),
        file("tiny/3.bin", RandomBytes(3, 10), NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED),
        file("tiny/empty", Bytes(), NQOV_FILE_COMPRESS),
        file("data/\xE6\x97\xA5\xE6\x9C\xAC.txt", TextBytes(sectorBytes + 1, 11),
             NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED),
        file("plain/one sector.bin", RandomBytes(sectorBytes, 12), NQOV_FILE_ENCRYPTED),
    };
}

struct SampleKind {
    const char* name;
    uint16_t sectorShift;
    uint32_t pieceSize;
    uint32_t chunkSize;
    uint64_t headerOffset;
};

const SampleKind kSampleA = {"A", 0, 1000, 0, 0};
const SampleKind kSampleB = {"B", 1, 3000, 1024, 512};

Sample BuildSample(const SampleKind& kind) {
    Sample sample;
    sample.name = kind.name;
    testutil::TempDir dir;
    const std::string path = dir.File("sample.qov");
    TNQOVArchive* ha = testutil::CreateArchive(path, 64, kind.sectorShift, kind.pieceSize, kind.chunkSize,
                                               kind.headerOffset);
    EXPECT_NE(ha, nullptr);
    if (ha == nullptr) return sample;
    sample.sectorBytes = 512u << kind.sectorShift;
    sample.files = SampleFiles(sample.sectorBytes);
    for (const ModelFile& f : sample.files)
        EXPECT_TRUE(testutil::AddBytes(ha, f.name, f.data, f.flags, 700))
            << f.name << " " << QOVGetLastError();
    EXPECT_TRUE(SFileCloseArchive(ha, true));

    ha = nullptr;
    EXPECT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY));
    if (ha == nullptr) return sample;
    SFileGetArchiveInfo(ha, &sample.info);
    sample.headerOffset = sample.info.HeaderOffset;
    const uint64_t ho = sample.headerOffset;
    auto digests = [&](uint64_t bytes) -> uint64_t {
        return kind.chunkSize == 0 ? 0 : 16 * ((bytes + kind.chunkSize - 1) / kind.chunkSize);
    };
    for (const ModelFile& f : sample.files) {
        TNQOVFile* hf = nullptr;
        EXPECT_TRUE(NQOVOpenFileEx(ha, f.name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf));
        if (hf == nullptr) continue;
        const TFileEntry* e = Impl(hf)->pFileEntry;
        RecordCopy copy;
        copy.storedOffset = Impl(e)->StoredOffset;
        copy.fileSize = Impl(e)->dwFileSize;
        copy.storedSize = Impl(e)->dwStoredSize;
        copy.flags = Impl(e)->dwFlags;
        memcpy(copy.md5, Impl(e)->ContentMD5, 16);
        copy.index = Impl(e)->dwIndex;
        sample.records[f.name] = copy;
        const uint64_t start = ho + Impl(e)->StoredOffset;
        if (Impl(e)->dwStoredSize > 0)
            sample.fileData.push_back(
                {start, start + Impl(e)->dwStoredSize + digests(Impl(e)->dwStoredSize)});
        if ((Impl(e)->dwFlags & NQOV_FILE_COMPRESS) && !(Impl(e)->dwFlags & NQOV_FILE_SINGLE_UNIT) &&
            Impl(e)->dwFileSize > 0) {
            const uint32_t entries =
                Impl(hf)->nSectors + 1 + ((Impl(e)->dwFlags & NQOV_FILE_SECTOR_CRC) ? 1 : 0);
            sample.offsetTables.push_back({start, start + entries * 4});
        }
        SFileCloseFile(hf);
    }
    SFileCloseArchive(ha, false);

    const QOV_ARCHIVE_INFO& info = sample.info;
    sample.header = {ho, ho + NQOV_HEADER_SIZE};
    sample.het = {ho + info.HetTablePos64, ho + info.HetTablePos64 + info.HetTableSize64};
    sample.bet = {ho + info.BetTablePos64, ho + info.BetTablePos64 + info.BetTableSize64};
    sample.md5Table = {info.MD5TablePos64, info.MD5TablePos64 + info.MD5TableSize64};
    sample.map = {info.BitmapPos64, info.BitmapPos64 + info.BitmapSize64};
    EXPECT_TRUE(testutil::ReadFile(path, &sample.image));
    return sample;
}

const Sample& SampleA() {
    static const Sample sample = BuildSample(kSampleA);
    return sample;
}

const Sample& SampleB() {
    static const Sample sample = BuildSample(kSampleB);
    return sample;
}

//-----------------------------------------------------------------------------
// Exercising a damaged archive.

// How strictly content is judged.
enum class Judge {
    Intact,        // bytes are unchanged (cut archives): every successful read is right
    PieceChecked,  // bytes may be damaged: only piece-checked plain sector reads are judged
};

bool IsPlainSectorFile(uint32_t flags) {
    return (flags & (NQOV_FILE_COMPRESSED | NQOV_FILE_SINGLE_UNIT)) == 0;
}

bool RecordUnchanged(const TNQOVArchive* ha, const TFileEntry* e, const Sample& sample,
                     const RecordCopy& copy) {
    return Impl(ha)->HeaderOffset == sample.headerOffset && Impl(ha)->dwSectorBytes == sample.sectorBytes &&
           Impl(e)->StoredOffset == copy.storedOffset && Impl(e)->dwFileSize == copy.fileSize &&
           Impl(e)->dwStoredSize == copy.storedSize && Impl(e)->dwFlags == copy.flags &&
           memcmp(Impl(e)->ContentMD5, copy.md5, 16) == 0;
}

// Reads from the current position in blocks until the end, a failure or a
// cap; returns whether every read succeeded, with the bytes delivered.
bool ReadCapped(TNQOVFile* hf, bool checkPieces, Bytes* pData, uint32_t* pError) {
    const uint32_t kBlock = 64 * 1024, kCap = 4 * 1024 * 1024;
    pData->clear();
    *pError = 0;
    Bytes block(kBlock);
    while (pData->size() < kCap) {
        uint32_t read = 0;
        QOVSetLastError(0);
        const bool ok = SFileReadFile(hf, block.data(), kBlock, &read, checkPieces);
        const uint32_t error = QOVGetLastError();
        if (read > kBlock) {
            ADD_FAILURE() << "read reports " << read << " bytes for a block of " << kBlock;
            return false;
        }
        pData->insert(pData->end(), block.begin(), block.begin() + read);
        if (!ok) {
            if (error == ERROR_HANDLE_EOF && read < kBlock) return true;  // the end
            *pError = error;
            return false;
        }
        if (read == 0) return true;
    }
    return true;
}

// Opens every file of the sample and every record of the archive, reads,
// extracts and verifies; judges what comes back.
void ExerciseArchive(TNQOVArchive* ha, const Sample& sample, Judge judge, const Damage& damage, Rng& rng,
                     const testutil::TempDir& dir) {
    for (const ModelFile& f : sample.files) {
        SCOPED_TRACE("file " + f.name);
        const RecordCopy& copy = sample.records.at(f.name);
        TNQOVFile* hf = nullptr;
        QOVSetLastError(0);
        if (!NQOVOpenFileEx(ha, f.name.c_str(), QOV_OPEN_PATCHED, &hf)) {
            EXPECT_NE(QOVGetLastError(), 0u) << "open failed without an error code";
            EXPECT_EQ(hf, nullptr);
            continue;
        }
        const uint64_t start = sample.headerOffset + copy.storedOffset;
        const bool judged =
            judge == Judge::Intact ||
            (IsPlainSectorFile(copy.flags) && RecordUnchanged(ha, Impl(hf)->pFileEntry, sample, copy) &&
             !damage.SealedIn(start, start + copy.storedSize));
        for (bool checkPieces : {true, false}) {
            SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN);
            Bytes got;
            uint32_t error = 0;
            const bool ok = ReadCapped(hf, checkPieces, &got, &error);
            if (!ok) {
                EXPECT_NE(error, 0u) << "read failed without an error code";
            }
            const bool strict = judge == Judge::Intact || (judged && checkPieces);
            if (!strict) continue;
            if (ok) {
                EXPECT_TRUE(got == f.data)
                    << "wrong content (" << got.size() << " bytes) from a read that succeeded, "
                    << "piece check " << checkPieces;
            } else {
                // Bytes delivered before a failure are right too.
                EXPECT_LE(got.size(), f.data.size());
                if (got.size() <= f.data.size()) {
                    EXPECT_TRUE(std::equal(got.begin(), got.end(), f.data.begin()))
                        << "wrong bytes before a failure, piece check " << checkPieces;
                }
            }
        }
        // A few reads at random positions.
        for (int i = 0; i < 2; i++) {
            const uint32_t size = SFileGetFileSize(hf);
            const uint32_t at =
                static_cast<uint32_t>(rng.Below(uint64_t(std::min<uint32_t>(size, 1u << 20)) + 1));
            SFileSetFilePointer(hf, static_cast<int32_t>(at), NQOV_FILE_BEGIN);
            uint8_t buffer[700];
            uint32_t read = 0;
            const uint32_t want = static_cast<uint32_t>(rng.Range(1, sizeof(buffer)));
            QOVSetLastError(0);
            if (!SFileReadFile(hf, buffer, want, &read, rng.OneIn(2))) {
                EXPECT_NE(QOVGetLastError(), 0u);
            }
            EXPECT_LE(read, want);
        }
        EXPECT_TRUE(SFileCloseFile(hf));

        VerifyFile(ha, f.name.c_str());
        uint32_t first = 0, count = 0;
        SFilePathToPieceIndex(ha, f.name.c_str(), &first, &count);
        SFileVerifyFilePieceMD5(ha, f.name.c_str());

        if (rng.OneIn(3)) {
            const std::string out = dir.File("out/extracted.bin");
            QOVSetLastError(0);
            if (SFileExtractFile(ha, f.name.c_str(), out.c_str())) {
                // Extraction reads with the piece check.
                if (judge == Judge::Intact || judged) {
                    Bytes got;
                    EXPECT_TRUE(testutil::ReadFile(out, &got));
                    EXPECT_TRUE(got == f.data) << "extraction succeeded with wrong content";
                }
            } else {
                EXPECT_NE(QOVGetLastError(), 0u) << "extraction failed without an error code";
            }
            remove(out.c_str());
        }
    }

    // Every record, by its name or pseudo name.
    const uint32_t records = SFileGetRecordCount(ha);
    for (uint32_t i = 0; i < records && i < 256; i++) {
        QOV_RECORD_INFO info;
        if (!SFileGetRecordInfo(ha, i, &info)) continue;
        TNQOVFile* hf = nullptr;
        QOVSetLastError(0);
        if (!NQOVOpenFileEx(ha, info.szFileName, QOV_OPEN_FROM_ARCHIVE, &hf)) {
            EXPECT_NE(QOVGetLastError(), 0u) << "open of record " << i << " failed without an error code";
            continue;
        }
        Bytes got;
        uint32_t error = 0;
        if (!ReadCapped(hf, rng.OneIn(2), &got, &error)) {
            EXPECT_NE(error, 0u);
        }
        SFileCloseFile(hf);
    }

    SFileVerifyAll(ha, nullptr);
    uint32_t mapSize = 0;
    SFileGetBitmap(ha, &mapSize);
}

// Writes the image, opens it; on success exercises it.  Returns the open's
// error (0 when it opened).
uint32_t OpenAndExercise(const Bytes& image, const Sample& sample, Judge judge, const Damage& damage,
                         Rng& rng, const testutil::TempDir& dir, bool writeAfter = false) {
    const std::string path = dir.File("damaged.qov");
    EXPECT_TRUE(testutil::WriteFile(path, image));
    TNQOVArchive* ha = reinterpret_cast<TNQOVArchive*>(1);
    QOVSetLastError(0);
    if (!SFileOpenArchive(path.c_str(), &ha, 0)) {
        const uint32_t error = QOVGetLastError();
        EXPECT_NE(error, 0u) << "open failed without an error code";
        EXPECT_EQ(ha, nullptr) << "a failed open left a handle";
        return error == 0 ? 0xFFFFFFFF : error;
    }
    ExerciseArchive(ha, sample, judge, damage, rng, dir);
    if (!writeAfter) {
        EXPECT_TRUE(SFileCloseArchive(ha, false));
        return 0;
    }
    // Writing to the damaged archive: a file added and flushed, then the
    // result opened again.  Only clean outcomes are asked for.
    ModelFile added;
    added.name = "added/after damage.bin";
    added.data = testutil::TextBytes(3000, rng.Next());
    added.flags = rng.OneIn(2) ? NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED : NQOV_FILE_SECTOR_CRC;
    QOVSetLastError(0);
    if (!model::WriteInPieces(ha, added, rng)) {
        EXPECT_NE(QOVGetLastError(), 0u) << "a failed add left no error";
    }
    QOVSetLastError(0);
    if (!SFileCloseArchive(ha, true)) {
        EXPECT_NE(QOVGetLastError(), 0u) << "a failed flush left no error";
    }
    ha = nullptr;
    QOVSetLastError(0);
    if (SFileOpenArchive(path.c_str(), &ha, 0)) {
        Bytes got;
        QOVSetLastError(0);
        if (!testutil::ReadWhole(ha, added.name, &got, true)) {
            EXPECT_NE(QOVGetLastError(), 0u);
        }
        SFileVerifyAll(ha, nullptr);
        SFileCloseArchive(ha, false);
    } else {
        EXPECT_NE(QOVGetLastError(), 0u);
    }
    return 0;
}

std::string ImageDescription(const Sample& sample) {
    char text[200];
    snprintf(text, sizeof(text),
             "sample %s: HET %llu+%llu, BET %llu+%llu, MD5 table %llu+%llu, map %llu+%llu, size %zu",
             sample.name.c_str(), (unsigned long long)sample.het.start,
             (unsigned long long)(sample.het.end - sample.het.start), (unsigned long long)sample.bet.start,
             (unsigned long long)(sample.bet.end - sample.bet.start),
             (unsigned long long)sample.md5Table.start,
             (unsigned long long)(sample.md5Table.end - sample.md5Table.start),
             (unsigned long long)sample.map.start, (unsigned long long)(sample.map.end - sample.map.start),
             sample.image.size());
    return text;
}

//-----------------------------------------------------------------------------
// (a) Every prefix.

std::vector<uint64_t> PrefixLengths(const Sample& s) {
    std::set<uint64_t> lengths;
    const uint64_t size = s.image.size();
    auto every = [&](uint64_t from, uint64_t to) {
        for (uint64_t l = from; l <= std::min(to, size); l++) lengths.insert(l);
    };
    every(0, 256);
    every(s.headerOffset, s.headerOffset + 256);
    for (const Range& r : {s.het, s.bet, s.md5Table, s.map}) {
        every(r.start >= 32 ? r.start - 32 : 0, r.start + 64);
        every(r.end >= 64 ? r.end - 64 : 0, r.end + 32);
    }
    for (uint64_t l = 0; l <= size; l += 97) lengths.insert(l);
    lengths.insert(size);
    return std::vector<uint64_t>(lengths.begin(), lengths.end());
}

void RunPrefixes(const Sample& sample) {
    ASSERT_FALSE(sample.image.empty());
    Rng rng(model::TestSeed("prefix/" + sample.name));
    testutil::TempDir dir;
    SCOPED_TRACE(ImageDescription(sample));
    std::map<uint32_t, int> outcomes;
    for (uint64_t length : PrefixLengths(sample)) {
        SCOPED_TRACE("prefix of " + std::to_string(length) + " bytes");
        const Bytes image(sample.image.begin(), sample.image.begin() + static_cast<long>(length));
        const uint32_t result = OpenAndExercise(image, sample, Judge::Intact, Damage(), rng, dir);
        outcomes[result]++;
        if (length == sample.image.size()) {
            EXPECT_EQ(result, 0u) << "the whole archive did not open";
        }
        if (testing::Test::HasFatalFailure()) return;
    }
    for (const auto& outcome : outcomes)
        printf("  open result %u: %d prefixes\n", outcome.first, outcome.second);
}

TEST(DamagedPrefix, EveryPrefixOfSampleA) { RunPrefixes(SampleA()); }
TEST(DamagedPrefix, EveryPrefixOfSampleB) { RunPrefixes(SampleB()); }

// The tail of the archive cut off but the file kept at its size (as a
// download that stopped): the same rules.
TEST(DamagedPrefix, ZeroedTails) {
    const Sample& sample = SampleA();
    ASSERT_FALSE(sample.image.empty());
    Rng rng(model::TestSeed("zerotail"));
    testutil::TempDir dir;
    for (uint64_t length = 0; length < sample.image.size(); length += 61) {
        SCOPED_TRACE("zeros from " + std::to_string(length));
        Bytes image = sample.image;
        std::fill(image.begin() + static_cast<long>(length), image.end(), 0);
        OpenAndExercise(image, sample, Judge::PieceChecked, Damage(), rng, dir);
        if (testing::Test::HasFatalFailure()) return;
    }
}

//-----------------------------------------------------------------------------
// (b) Random flips.

enum class Region { Header, Het, Bet, Md5Table, Map, OffsetTables, FileData, Anywhere };

const char* RegionName(Region region) {
    switch (region) {
        case Region::Header:
            return "header";
        case Region::Het:
            return "HET";
        case Region::Bet:
            return "BET";
        case Region::Md5Table:
            return "MD5 table";
        case Region::Map:
            return "map";
        case Region::OffsetTables:
            return "sector offset tables";
        case Region::FileData:
            return "file data";
        default:
            return "anywhere";
    }
}

uint64_t PickIn(Rng& rng, const Range& range) { return range.start + rng.Below(range.end - range.start); }

uint64_t PickPosition(Rng& rng, const Sample& s, Region region) {
    switch (region) {
        case Region::Header:
            return PickIn(rng, s.header);
        case Region::Het:
            return PickIn(rng, s.het);
        case Region::Bet:
            return PickIn(rng, s.bet);
        case Region::Md5Table:
            return PickIn(rng, s.md5Table);
        case Region::Map:
            return PickIn(rng, s.map);
        case Region::OffsetTables:
            return PickIn(rng, s.offsetTables[rng.Below(s.offsetTables.size())]);
        case Region::FileData:
            return PickIn(rng, s.fileData[rng.Below(s.fileData.size())]);
        default:
            return rng.Below(s.image.size());
    }
}

uint8_t Mutated(Rng& rng, uint8_t old) {
    switch (rng.Below(5)) {
        case 0:
            return static_cast<uint8_t>(old ^ (1u << rng.Below(8)));
        case 1:
            return 0x00;
        case 2:
            return 0xFF;
        case 3:
            return static_cast<uint8_t>(old + (rng.OneIn(2) ? 1 : -1));
        default:
            return static_cast<uint8_t>(old ^ rng.Range(1, 255));
    }
}

// Damages the clear bytes of a table or a header field by field, so that
// parsers see plausible but wrong values, not just cipher noise.
void MutateClearBytes(Rng& rng, Bytes& clear, size_t from) {
    const int changes = static_cast<int>(rng.Range(1, 3));
    for (int c = 0; c < changes && clear.size() > from; c++) {
        const size_t at = from + static_cast<size_t>(rng.Below(clear.size() - from));
        if (rng.OneIn(2) && at + 4 <= clear.size()) {
            static const uint32_t values[] = {
                0,    1,    7,    8,      31,      32,         63,         64,         65,
                0x7F, 0x80, 0xFF, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
            const size_t word = at & ~size_t(3);
            uint32_t value = values[rng.Below(sizeof(values) / sizeof(values[0]))];
            if (rng.OneIn(3)) value = ReadLE32(&clear[word]) + static_cast<uint32_t>(rng.Range(1, 16)) - 8;
            if (word + 4 <= clear.size()) WriteLE32(&clear[word], value);
        } else {
            clear[at] = Mutated(rng, clear[at]);
        }
    }
}

void MutateOnce(Rng& rng, const Sample& s, Region region, Bytes& image, Damage& damage, std::string* pWhat) {
    const uint64_t ho = s.headerOffset;
    // Half the time the damage is made to the clear structure and the image
    // is resealed (header digest, piece table), so that it gets past the
    // integrity checks to the parsers.
    const bool structural = rng.OneIn(2);
    if (structural && (region == Region::Het || region == Region::Bet)) {
        // At the table's own place: an earlier damage may have moved the header's pointer.
        PatchTable(
            image, ho, region == Region::Het ? Table::Het : Table::Bet,
            [&](Bytes& clear) { MutateClearBytes(rng, clear, 8); }, true,
            region == Region::Het ? &s.het : &s.bet);
        damage.SealAll();
        *pWhat += std::string(" clear-") + RegionName(region);
        return;
    }
    if (structural && region == Region::Header) {
        Bytes header(image.begin() + static_cast<long>(ho),
                     image.begin() + static_cast<long>(ho + NQOV_HEADER_SIZE));
        MutateClearBytes(rng, header, 4);
        // Sectors of 256 KiB and more make every open file allocate that
        // much, and so does every piece-checked read for large pieces: slow
        // under AddressSanitizer.  DamagedFields.LargeSectorSizes and
        // DamagedFields.LargePieceSizes cover them.
        const uint16_t exponent = ReadLE16(&header[kHdrSectorSize]);
        if ((exponent & 31) >= 9 && (exponent & 31) <= 22)
            WriteLE16(&header[kHdrSectorSize], static_cast<uint16_t>(exponent - 8));
        const uint32_t pieceSize = ReadLE32(&header[kHdrPieceSize]);
        if (pieceSize > (1u << 18)) WriteLE32(&header[kHdrPieceSize], pieceSize & 0x3FFFF);
        const uint32_t chunkSize = ReadLE32(&header[kHdrRawChunkSize]);
        if (chunkSize > (1u << 18)) WriteLE32(&header[kHdrRawChunkSize], chunkSize & 0x3FFFF);
        std::copy(header.begin(), header.end(), image.begin() + static_cast<long>(ho));
        Reseal(image, ho);
        damage.SealAll();
        *pWhat += " clear-header";
        return;
    }
    if (structural && region == Region::OffsetTables) {
        // Decipher an enciphered table with its file key, damage, encipher.
        const ModelFile* file = nullptr;
        const RecordCopy* copy = nullptr;
        std::vector<std::pair<const ModelFile*, const RecordCopy*>> candidates;
        for (const ModelFile& f : s.files) {
            const RecordCopy& c = s.records.at(f.name);
            if ((c.flags & NQOV_FILE_COMPRESS) && !(c.flags & NQOV_FILE_SINGLE_UNIT) && c.fileSize > 0)
                candidates.push_back({&f, &c});
        }
        std::tie(file, copy) = candidates[rng.Below(candidates.size())];
        const uint32_t sectors = (copy->fileSize - 1) / s.sectorBytes + 1;
        const uint32_t entries = sectors + 1 + ((copy->flags & NQOV_FILE_SECTOR_CRC) ? 1 : 0);
        const uint64_t start = ho + copy->storedOffset;
        Bytes table(image.begin() + static_cast<long>(start),
                    image.begin() + static_cast<long>(start + entries * 4));
        const bool enciphered = (copy->flags & NQOV_FILE_ENCRYPTED) != 0;
        const uint32_t key = enciphered ? QOVFileKey(file->name.c_str(), copy->storedOffset, copy->fileSize,
                                                     (copy->flags & NQOV_FILE_FIX_KEY) != 0) -
                                              1
                                        : 0;
        if (enciphered) DecryptQOVBlock(table.data(), table.size(), key);
        MutateClearBytes(rng, table, 0);
        if (enciphered) EncryptQOVBlock(table.data(), table.size(), key);
        std::copy(table.begin(), table.end(), image.begin() + static_cast<long>(start));
        damage.Raw(start, start + table.size());
        *pWhat += " clear-offsets(" + file->name + ")";
        if (rng.OneIn(2)) {
            Reseal(image, ho);
            damage.SealAll();
            *pWhat += "(resealed)";
        }
        return;
    }
    const uint64_t at = PickPosition(rng, s, region);
    image[static_cast<size_t>(at)] = Mutated(rng, image[static_cast<size_t>(at)]);
    damage.Raw(at, at + 1);
    *pWhat += " " + std::to_string(at);
    // Sometimes the piece table is made to agree with raw damage too.
    if (region == Region::FileData && rng.OneIn(4)) {
        Reseal(image, ho);
        damage.SealAll();
        *pWhat += "(resealed)";
    }
}

void RunFlips(const Sample& sample, Region region, int iterations) {
    ASSERT_FALSE(sample.image.empty());
    Rng rng(model::TestSeed(std::string("flips/") + sample.name + "/" + RegionName(region)));
    testutil::TempDir dir;
    SCOPED_TRACE(ImageDescription(sample));
    std::map<uint32_t, int> outcomes;
    for (int i = 0; i < iterations; i++) {
        Bytes image = sample.image;
        std::string what = "iteration " + std::to_string(i) + ":";
        Damage damage;
        const int flips = static_cast<int>(rng.Range(1, 4));
        for (int f = 0; f < flips; f++) {
            const Region where =
                region == Region::Anywhere
                    ? static_cast<Region>(rng.Below(static_cast<uint64_t>(Region::Anywhere) + 1))
                    : region;
            MutateOnce(rng, sample, where, image, damage, &what);
        }
        SCOPED_TRACE(what);
        outcomes[OpenAndExercise(image, sample, Judge::PieceChecked, damage, rng, dir, rng.OneIn(4))]++;
        if (testing::Test::HasFatalFailure() || testing::Test::HasFailure()) return;
    }
    std::string summary;
    for (const auto& outcome : outcomes)
        summary += " " + std::to_string(outcome.first) + ":" + std::to_string(outcome.second);
    printf("  open results (error:count):%s\n", summary.c_str());
}

TEST(DamagedFlips, Header) { RunFlips(SampleA(), Region::Header, 400); }
TEST(DamagedFlips, HetTable) { RunFlips(SampleA(), Region::Het, 500); }
TEST(DamagedFlips, BetTable) { RunFlips(SampleA(), Region::Bet, 500); }
TEST(DamagedFlips, PieceTableAndMap) {
    RunFlips(SampleA(), Region::Md5Table, 150);
    RunFlips(SampleA(), Region::Map, 150);
}
TEST(DamagedFlips, SectorOffsetTables) { RunFlips(SampleA(), Region::OffsetTables, 500); }
TEST(DamagedFlips, FileData) { RunFlips(SampleA(), Region::FileData, 500); }
TEST(DamagedFlips, AnywhereInSampleB) { RunFlips(SampleB(), Region::Anywhere, 600); }

// One damaged byte in a piece of file data: the open succeeds, SFileVerifyAll
// fails, and the map marks exactly that piece.
TEST(DamagedPieces, EachDamagedPieceIsMarked) {
    for (const Sample* sample : {&SampleA(), &SampleB()}) {
        ASSERT_FALSE(sample->image.empty());
        SCOPED_TRACE(ImageDescription(*sample));
        testutil::TempDir dir;
        const std::string path = dir.File("piece.qov");
        const uint32_t pieceSize = sample->info.dwMD5PieceSize;
        const uint64_t pieces = sample->info.ArchieveSize / pieceSize;
        for (uint64_t piece = 0; piece < pieces; piece++) {
            // A byte of file data inside the piece, if there is one.
            uint64_t at = UINT64_MAX;
            for (const Range& r : sample->fileData) {
                const uint64_t from = std::max(r.start, piece * pieceSize);
                if (from < std::min(r.end, (piece + 1) * pieceSize)) {
                    at = from;
                    break;
                }
            }
            if (at == UINT64_MAX) continue;
            SCOPED_TRACE("piece " + std::to_string(piece) + ", byte " + std::to_string(at));
            Bytes image = sample->image;
            image[static_cast<size_t>(at)] ^= 0x5A;
            ASSERT_TRUE(testutil::WriteFile(path, image));
            TNQOVArchive* ha = nullptr;
            ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
            EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
            uint32_t mapSize = 0;
            const uint8_t* map = SFileGetBitmap(ha, &mapSize);
            ASSERT_NE(map, nullptr);
            ASSERT_EQ(mapSize, pieces);
            for (uint32_t i = 0; i < mapSize; i++) EXPECT_EQ(map[i], i == piece ? 2 : 1) << "map byte " << i;
            SFileCloseArchive(ha, true);
            // Closing with flush writes nothing back.
            EXPECT_TRUE(testutil::ReadFileOrEmpty(path) == image);
        }
    }
}

// A piece lost (zeros, as a download that has not delivered it yet) is
// marked, refused when offered with wrong bytes, and repaired by
// SFileWritePieceVerified with the right ones: then every file reads back
// and the file is the original again.
TEST(DamagedPieces, LostPieceIsRepairedByAVerifiedWrite) {
    for (const Sample* sample : {&SampleA(), &SampleB()}) {
        ASSERT_FALSE(sample->image.empty());
        SCOPED_TRACE(ImageDescription(*sample));
        Rng rng(model::TestSeed("repair/" + sample->name));
        testutil::TempDir dir;
        const std::string path = dir.File("repair.qov");
        const uint32_t pieceSize = sample->info.dwMD5PieceSize;
        const uint64_t pieces = sample->info.ArchieveSize / pieceSize;
        // Pieces after the first (which holds the header) and before the tables.
        for (uint64_t piece = 1; piece < pieces && (piece + 1) * pieceSize <= sample->het.start; piece++) {
            SCOPED_TRACE("piece " + std::to_string(piece));
            const long start = static_cast<long>(piece * pieceSize);
            const Bytes original(sample->image.begin() + start, sample->image.begin() + start + pieceSize);
            Bytes image = sample->image;
            std::fill(image.begin() + start, image.begin() + start + pieceSize, 0);
            if (image == sample->image) continue;
            ASSERT_TRUE(testutil::WriteFile(path, image));
            TNQOVArchive* ha = nullptr;
            ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
            EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
            uint32_t mapSize = 0;
            const uint8_t* map = SFileGetBitmap(ha, &mapSize);
            ASSERT_NE(map, nullptr);
            ASSERT_EQ(mapSize, pieces);
            EXPECT_EQ(map[piece], 2);

            Bytes wrong = original;
            wrong[rng.Below(wrong.size())] ^= 0x01;
            EXPECT_FALSE(SFileWritePieceVerified(ha, static_cast<uint32_t>(piece), wrong.data(), pieceSize));
            EXPECT_FALSE(
                SFileWritePieceVerified(ha, static_cast<uint32_t>(piece), original.data(), pieceSize - 1));
            EXPECT_EQ(map[piece], 2);
            EXPECT_TRUE(SFileWritePieceVerified(ha, static_cast<uint32_t>(piece), original.data(), pieceSize))
                << QOVGetLastError();
            EXPECT_EQ(map[piece], 1);
            EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
            for (const ModelFile& f : sample->files) model::ExpectFileReadsBack(ha, f, rng, 1);
            EXPECT_TRUE(SFileCloseArchive(ha, true));
            EXPECT_TRUE(testutil::ReadFileOrEmpty(path) == sample->image) << "the repaired file differs";
        }
    }
}

// Bytes before a header at an offset are not part of the archive's
// structure: garbage there still opens (only the first piece fails), and a
// signature planted there is a header that must be refused cleanly.
TEST(DamagedPrefix, GarbageBeforeTheHeader) {
    const Sample& sample = SampleB();
    ASSERT_FALSE(sample.image.empty());
    ASSERT_EQ(sample.headerOffset, 512u);
    Rng rng(model::TestSeed("garbage"));
    testutil::TempDir dir;
    Bytes image = sample.image;
    const Bytes noise = testutil::RandomBytes(512, rng.Next());
    std::copy(noise.begin(), noise.end(), image.begin());
    image[0] = 'X';  // no signature at 0
    const std::string path = dir.File("garbage.qov");
    ASSERT_TRUE(testutil::WriteFile(path, image));
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    uint32_t size = 0;
    const uint8_t* map = SFileGetBitmap(ha, &size);
    ASSERT_NE(map, nullptr);
    for (uint32_t i = 0; i < size; i++) EXPECT_EQ(map[i], i == 0 ? 2 : 1) << "map byte " << i;
    // Files outside the first piece read back with the piece check.
    for (const ModelFile& f : sample.files) {
        const RecordCopy& copy = sample.records.at(f.name);
        if (sample.headerOffset + copy.storedOffset < sample.info.dwMD5PieceSize) continue;
        Bytes got;
        EXPECT_TRUE(testutil::ReadWhole(ha, f.name, &got, true)) << f.name << ": " << QOVGetLastError();
        EXPECT_TRUE(got == f.data) << f.name;
    }
    SFileCloseArchive(ha, false);

    // A planted signature at 0, with and without a version that skips the digest.
    for (uint16_t version : {0, 1}) {
        SCOPED_TRACE("planted header version " + std::to_string(version));
        Bytes planted = image;
        Put32(planted, 0, NQOV_HEADER_SIGNATURE);
        Put16(planted, kHdrFormatVersion, version);
        OpenAndExercise(planted, sample, Judge::PieceChecked, Damage(), rng, dir);
        // A planted copy of the real header: positions relative to 0 now.
        std::copy(sample.image.begin() + 512, sample.image.begin() + 512 + NQOV_HEADER_SIZE, planted.begin());
        Put16(planted, kHdrFormatVersion, version);
        OpenAndExercise(planted, sample, Judge::PieceChecked, Damage(), rng, dir);
    }
}

//-----------------------------------------------------------------------------
// (c) Targeted damage.

struct OpenOutcome {
    bool opened = false;
    uint32_t error = 0;
};

// Writes the image and opens it; when it opens, exercises it (judging only
// piece-checked plain reads of unchanged records) and closes it.
OpenOutcome TryOpen(const Bytes& image, const Sample& sample) {
    testutil::TempDir dir;
    Rng rng(model::TestSeed("targeted"));
    OpenOutcome outcome;
    outcome.error = OpenAndExercise(image, sample, Judge::PieceChecked, Damage(), rng, dir);
    outcome.opened = outcome.error == 0;
    return outcome;
}

class DamagedFields : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(SampleA().image.empty());
        image = SampleA().image;
    }
    const Sample& sample() const { return SampleA(); }
    uint64_t ho() const { return sample().headerOffset; }
    void Het(const std::function<void(Bytes&)>& patch) { PatchTable(image, ho(), Table::Het, patch); }
    void Bet(const std::function<void(Bytes&)>& patch) { PatchTable(image, ho(), Table::Bet, patch); }
    void ExpectRefused(uint32_t code) {
        const OpenOutcome outcome = TryOpen(image, sample());
        EXPECT_FALSE(outcome.opened) << "the damaged archive opened";
        EXPECT_EQ(outcome.error, code);
    }
    Bytes image;
};

TEST_F(DamagedFields, HetHashTableSizeZero) {
    Het([](Bytes& t) { Put32(t, kHetHashTableSize, 0); });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, HetHashTableSizeAboveCapacity) {
    // Room for the larger slot array inside the body is not there either, but
    // a reader must not rely on that alone: grow the body to match.
    Het([](Bytes& t) {
        const uint32_t entries = Get32(t, kHetEntryTotal);
        Put32(t, kHetHashTableSize, entries * 4 / 3 + 1);
    });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    Het([](Bytes& t) {
        const uint32_t entries = Get32(t, kHetEntryTotal);
        // A smaller capacity with the stored slot array: slots exceed entries * 4 / 3.
        Put32(t, kHetEntryTotal, entries / 2);
    });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, HetNameHashBits7And65) {
    for (uint32_t bits : {0u, 7u, 65u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("dwNameHashBits " + std::to_string(bits));
        image = sample().image;
        Het([&](Bytes& t) { Put32(t, kHetNameHashBits, bits); });
        ExpectRefused(ERROR_FILE_CORRUPT);
    }
    // Widths that need not be supported but must not break anything.
    for (uint32_t bits : {8u, 9u, 32u, 63u}) {
        SCOPED_TRACE("dwNameHashBits " + std::to_string(bits));
        image = sample().image;
        Het([&](Bytes& t) { Put32(t, kHetNameHashBits, bits); });
        const OpenOutcome outcome = TryOpen(image, sample());
        if (!outcome.opened) {
            EXPECT_EQ(outcome.error, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
        }
    }
}

TEST_F(DamagedFields, HetSlotIndexWidths) {
    for (uint32_t bits : {0u, 1u, 33u, 64u, 65u, 0xFFFFFFFFu}) {
        SCOPED_TRACE("dwSlotIndexBits " + std::to_string(bits));
        image = sample().image;
        Het([&](Bytes& t) { Put32(t, kHetSlotIndexBits, bits); });
        const OpenOutcome outcome = TryOpen(image, sample());
        if (!outcome.opened) {
            EXPECT_EQ(outcome.error, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
        }
    }
    image = sample().image;
    Het([](Bytes& t) { Put32(t, kHetSlotIndexBytes, 0xFFFFFFF0u); });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, HetBodySizes) {
    Het([](Bytes& t) { Put32(t, kHetBodyTotalSize, Get32(t, kHetBodyTotalSize) + 1); });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    // A body shorter than 32 bytes.
    Het([](Bytes& t) {
        Put32(t, kExtBodySize, 20);
        Put32(t, kHetBodyTotalSize, 20);
    });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    // A body larger than the stored table means a compressed body; this one
    // does not decompress.
    Het([](Bytes& t) {
        Put32(t, kExtBodySize, 0x7FFFFFFF);
        Put32(t, kHetBodyTotalSize, 0x7FFFFFFF);
    });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, HetEntryTotalHuge) {
    // A capacity far beyond the stored slots: the archive may open (records
    // are only needed for the stored entries), and then works.
    Het([](Bytes& t) { Put32(t, kHetEntryTotal, 0x7FFFFFFF); });
    const OpenOutcome outcome = TryOpen(image, sample());
    if (!outcome.opened) {
        EXPECT_TRUE(outcome.error == ERROR_FILE_CORRUPT || outcome.error == ERROR_NOT_ENOUGH_MEMORY)
            << outcome.error;
        return;
    }
    // It opened: every file reads back, and a file can be added.
    testutil::TempDir dir;
    const std::string path = dir.File("huge.qov");
    ASSERT_TRUE(testutil::WriteFile(path, image));
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
    Rng rng(model::TestSeed("huge-entry-total"));
    for (const ModelFile& f : sample().files) model::ExpectFileReadsBack(ha, f, rng, 2);
    ModelFile added;
    added.name = "added/after.bin";
    added.data = testutil::TextBytes(3000, 99);
    added.flags = NQOV_FILE_COMPRESS;
    EXPECT_TRUE(model::WriteInPieces(ha, added, rng)) << QOVGetLastError();
    EXPECT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    std::vector<ModelFile> all = sample().files;
    all.push_back(added);
    model::ExpectArchiveHolds(path, all, rng, 2);
}

TEST_F(DamagedFields, BetWidth65) {
    for (BetField field : {kBetPos, kBetSize, kBetStored, kBetFlags, kBetParent}) {
        SCOPED_TRACE("BET width field at " + std::to_string(field.countOffset));
        image = sample().image;
        Bet([&](Bytes& t) { Put32(t, field.countOffset, 65); });
        ExpectRefused(ERROR_FILE_CORRUPT);
        image = sample().image;
        Bet([&](Bytes& t) { Put32(t, field.countOffset, 0xFFFFFFFF); });
        ExpectRefused(ERROR_FILE_CORRUPT);
    }
    image = sample().image;
    Bet([](Bytes& t) { Put32(t, kBetMD5BitCount, 129); });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    Bet([](Bytes& t) { Put32(t, kBetLowHashBitCount, 65); });
    ExpectRefused(ERROR_FILE_CORRUPT);
    // Fields that start beyond the record array.
    image = sample().image;
    Bet([](Bytes& t) { Put32(t, kBetFlagsBitStart, 0xFFFFFFF0u); });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    Bet([](Bytes& t) { Put32(t, kBetRecordBits, 0xFFFFFFFFu); });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, BetSpareBitCountNotZero) {
    Bet([](Bytes& t) { Put32(t, kBetSpareBitCount, 1); });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, BetEntryTotalHuge) {
    for (uint32_t value : {0x7FFFFFFFu, 0xFFFFFFFFu}) {
        image = sample().image;
        Bet([&](Bytes& t) { Put32(t, kBetEntryTotal, value); });
        ExpectRefused(ERROR_FILE_CORRUPT);
    }
    // More records than the HET capacity.
    image = sample().image;
    uint32_t capacity = 0;
    PatchTable(
        image, ho(), Table::Het, [&](Bytes& t) { capacity = Get32(t, kHetEntryTotal); }, false);
    Bet([&](Bytes& t) { Put32(t, kBetEntryTotal, capacity + 1); });
    ExpectRefused(ERROR_FILE_CORRUPT);
    image = sample().image;
    Bet([](Bytes& t) { Put32(t, kBetLowHashBytes, 0xFFFFFFF0u); });
    ExpectRefused(ERROR_FILE_CORRUPT);
}

TEST_F(DamagedFields, RecordPastTheEnd) {
    // The record with the largest offset moved as far as its field allows,
    // which is past the end of this archive.
    const RecordCopy* last = nullptr;
    for (const auto& record : sample().records)
        if (last == nullptr || record.second.storedOffset > last->storedOffset) last = &record.second;
    ASSERT_NE(last, nullptr);
    bool moved = false;
    Bet([&](Bytes& t) {
        const uint32_t width = BetWidth(t, kBetPos);
        const uint64_t far = width >= 64 ? ~0ull : (1ull << width) - 1;
        if (ho() + far + last->storedSize > image.size()) {
            SetBetField(t, last->index, kBetPos, far);
            moved = true;
        }
    });
    ASSERT_TRUE(moved) << "the sample cannot place a record past its end";
    ExpectRefused(ERROR_FILE_CORRUPT);

    // A stored size running past the end.
    image = sample().image;
    Bet([&](Bytes& t) {
        const uint32_t width = BetWidth(t, kBetStored);
        SetBetField(t, last->index, kBetStored, (1ull << width) - 1);
    });
    const OpenOutcome outcome = TryOpen(image, sample());
    if (!outcome.opened) {
        EXPECT_EQ(outcome.error, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    }
}

TEST_F(DamagedFields, ParentNamesNoRecord) {
    const RecordCopy& record = sample().records.at("zip/text.txt");
    Bet([&](Bytes& t) { SetBetField(t, record.index, kBetParent, 0x8123456789ABCDEFull); });
    const OpenOutcome outcome = TryOpen(image, sample());
    EXPECT_FALSE(outcome.opened);
    EXPECT_NE(outcome.error, 0u);
}

TEST_F(DamagedFields, RecordFlagsRefusedAtFileOpen) {
    const RecordCopy& record = sample().records.at("plain/raw.bin");
    for (uint32_t flags : {record.flags | 0x00080000u, record.flags | NQOV_FILE_DIRECTORY}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        image = sample().image;
        Bet([&](Bytes& t) { SetBetField(t, record.index, kBetFlags, flags); });
        testutil::TempDir dir;
        const std::string path = dir.File("flags.qov");
        ASSERT_TRUE(testutil::WriteFile(path, image));
        TNQOVArchive* ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        TNQOVFile* hf = nullptr;
        EXPECT_FALSE(NQOVOpenFileEx(ha, "plain/raw.bin", QOV_OPEN_PATCHED, &hf));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(VerifyFile(ha, "plain/raw.bin"), VERIFY_CANNOT_OPEN);
        SFileCloseArchive(ha, false);
    }
}

TEST_F(DamagedFields, RecordSizesLieAboutTheContent) {
    // Each file in turn claims a much larger content size (the field's
    // largest value): reads fail cleanly or stop at what is stored.
    for (const ModelFile& f : sample().files) {
        SCOPED_TRACE(f.name);
        image = sample().image;
        const RecordCopy& record = sample().records.at(f.name);
        Bet([&](Bytes& t) {
            const uint32_t width = BetWidth(t, kBetSize);
            SetBetField(t, record.index, kBetSize, width >= 32 ? 0xFFFFFFFFu : (1ull << width) - 1);
        });
        TryOpen(image, sample());
        image = sample().image;
        Bet([&](Bytes& t) { SetBetField(t, record.index, kBetSize, 0); });
        TryOpen(image, sample());
    }
}

TEST_F(DamagedFields, SectorSizeExponentOverflow) {
    for (uint16_t exponent : {23, 31}) {
        SCOPED_TRACE("wSectorSize " + std::to_string(exponent));
        image = sample().image;
        Put16(image, ho() + kHdrSectorSize, exponent);
        Reseal(image, ho());
        ExpectRefused(ERROR_FILE_CORRUPT);
    }
    // Only the low five bits count: 32 is the sample's own 512-byte sector.
    ASSERT_EQ(sample().sectorBytes, 512u);
    image = sample().image;
    Put16(image, ho() + kHdrSectorSize, 32);
    Reseal(image, ho());
    testutil::TempDir dir;
    const std::string path = dir.File("shift32.qov");
    ASSERT_TRUE(testutil::WriteFile(path, image));
    Rng rng(model::TestSeed("shift32"));
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    for (const ModelFile& f : sample().files) model::ExpectFileReadsBack(ha, f, rng, 2);
    SFileCloseArchive(ha, false);
}

TEST_F(DamagedFields, LargeSectorSizes) {
    // Valid exponents far from the written one: reads must fail cleanly or
    // give data, and must not write past their buffers.
    for (uint16_t exponent : {1, 5, 12, 16}) {
        SCOPED_TRACE("wSectorSize " + std::to_string(exponent));
        image = sample().image;
        Put16(image, ho() + kHdrSectorSize, exponent);
        Reseal(image, ho());
        TryOpen(image, sample());
    }
    // 2 GiB sectors: every open file's sector cache is that large, so only a
    // few reads (slow under AddressSanitizer otherwise).
    image = sample().image;
    Put16(image, ho() + kHdrSectorSize, 22);
    Reseal(image, ho());
    testutil::TempDir dir;
    const std::string path = dir.File("huge-sectors.qov");
    ASSERT_TRUE(testutil::WriteFile(path, image));
    TNQOVArchive* ha = nullptr;
    if (!SFileOpenArchive(path.c_str(), &ha, 0)) {
        EXPECT_NE(QOVGetLastError(), 0u);
        return;
    }
    for (const char* name : {"plain/raw.bin", "zip/text.txt", "zip/enc crc.txt"}) {
        SCOPED_TRACE(name);
        Bytes got;
        QOVSetLastError(0);
        if (testutil::ReadWhole(ha, name, &got, true)) {
            // One sector holds the whole file: a plain file reads the same.
            if (std::string(name) == "plain/raw.bin") {
                EXPECT_TRUE(got == testutil::RandomBytes(3000, 1));
            }
        } else {
            EXPECT_NE(QOVGetLastError(), 0u);
        }
    }
    SFileCloseArchive(ha, false);
}

TEST_F(DamagedFields, LargePieceSizes) {
    // One piece covering the whole archive, of a size far beyond it: the
    // table still has its digests, which no longer match.
    for (uint32_t pieceSize : {uint32_t(image.size()), 1u << 24, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SCOPED_TRACE("dwMD5PieceSize " + std::to_string(pieceSize));
        image = sample().image;
        Put32(image, ho() + kHdrPieceSize, pieceSize);
        FixHeaderDigest(image, ho());
        testutil::TempDir dir;
        const std::string path = dir.File("large-pieces.qov");
        ASSERT_TRUE(testutil::WriteFile(path, image));
        TNQOVArchive* ha = nullptr;
        if (!SFileOpenArchive(path.c_str(), &ha, 0)) {
            EXPECT_NE(QOVGetLastError(), 0u);
            continue;
        }
        uint32_t last = 0, count = 0, size = 0;
        if (SFileGetPieceCount(ha, &last, &count, &size)) {
            EXPECT_EQ(count, 1u);
            EXPECT_EQ(size, pieceSize);
        }
        EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
        Bytes got;
        EXPECT_FALSE(testutil::ReadWhole(ha, "plain/raw.bin", &got, true)) << "the piece check passed";
        EXPECT_NE(QOVGetLastError(), 0u);
        SFileCloseArchive(ha, false);
    }
}

TEST_F(DamagedFields, APieceLargerThanTheArchiveIsNotWrittenInto) {
    // Adding would pad the file to a whole piece: megabytes for a file of a
    // few kilobytes.  Such a header is damaged; up to 1 MiB of padding is let
    // through.
    for (uint32_t pieceSize : {1u << 20, 8u << 20, 200u << 20}) {
        SCOPED_TRACE("dwMD5PieceSize " + std::to_string(pieceSize));
        image = sample().image;
        ASSERT_LT(image.size(), pieceSize);
        Put32(image, ho() + kHdrPieceSize, pieceSize);
        FixHeaderDigest(image, ho());
        testutil::TempDir dir;
        const std::string path = dir.File("large-pieces.qov");
        ASSERT_TRUE(testutil::WriteFile(path, image));
        TNQOVArchive* ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        const bool added = testutil::AddBytes(ha, "new.bin", testutil::TextBytes(100, 7));
        const uint32_t error = QOVGetLastError();
        if (pieceSize > (1u << 20)) {
            // The flush refuses such a piece size on its own too, whatever
            // marked the tables for writing.
            Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
            EXPECT_FALSE(SFileFlushArchive(ha));
            EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
        }
        SFileCloseArchive(ha, true);
        const Bytes after = testutil::ReadFileOrEmpty(path);
        if (pieceSize <= (1u << 20)) {
            EXPECT_TRUE(added) << error;
            EXPECT_LE(after.size(), image.size() + (2u << 20));
        } else {
            EXPECT_FALSE(added);
            EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
            EXPECT_TRUE(after == image) << "the archive is left as it was";
        }
    }
}

TEST_F(DamagedFields, PieceSizeZero) {
    Put32(image, ho() + kHdrPieceSize, 0);
    FixHeaderDigest(image, ho());
    const OpenOutcome outcome = TryOpen(image, sample());
    if (!outcome.opened) {
        EXPECT_NE(outcome.error, 0u);
    }
    if (outcome.opened) {
        // Opened: the piece operations refuse.
        testutil::TempDir dir;
        const std::string path = dir.File("piece0.qov");
        ASSERT_TRUE(testutil::WriteFile(path, image));
        TNQOVArchive* ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0));
        uint32_t last = 0, count = 0, size = 0;
        EXPECT_FALSE(SFileGetPieceCount(ha, &last, &count, &size));
        EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
        SFileCloseArchive(ha, false);
    }
}

TEST_F(DamagedFields, PieceTableWithFewerDigestsThanPieces) {
    // A self-consistent table one digest short.
    const uint64_t size = Get64(image, ho() + kHdrMD5TableSize);
    const uint64_t pos = Get64(image, ho() + kHdrMD5TablePos);
    Put64(image, ho() + kHdrMD5TableSize, size - 16);
    QOVMD5(&image[static_cast<size_t>(pos)], static_cast<size_t>(size - 32),
           &image[static_cast<size_t>(pos + size - 32)]);
    FixHeaderDigest(image, ho());
    const OpenOutcome outcome = TryOpen(image, sample());
    if (!outcome.opened) {
        EXPECT_EQ(outcome.error, static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    }
}

TEST_F(DamagedFields, PieceTableSizes) {
    for (uint64_t size : {0ull, 24ull, 16ull, 0x100000000ull, 0xFFFFFFF0ull}) {
        SCOPED_TRACE("MD5TableSize64 " + std::to_string(size));
        image = sample().image;
        Put64(image, ho() + kHdrMD5TableSize, size);
        FixHeaderDigest(image, ho());
        const OpenOutcome outcome = TryOpen(image, sample());
        EXPECT_FALSE(outcome.opened);
        EXPECT_NE(outcome.error, 0u);
    }
}

TEST_F(DamagedFields, MapPastTheEnd) {
    for (uint64_t pos : {uint64_t(image.size()), uint64_t(image.size()) - 1, uint64_t{0xFFFFFFFFFFFFFFF0}}) {
        SCOPED_TRACE("BitmapPos64 " + std::to_string(pos));
        image = sample().image;
        Put64(image, ho() + kHdrBitmapPos, pos);
        FixHeaderDigest(image, ho());
        const OpenOutcome outcome = TryOpen(image, sample());
        EXPECT_FALSE(outcome.opened);
        EXPECT_NE(outcome.error, 0u);
    }
    image = sample().image;
    Put64(image, ho() + kHdrBitmapSize, 0xFFFFFFFFull);
    FixHeaderDigest(image, ho());
    const OpenOutcome outcome = TryOpen(image, sample());
    EXPECT_FALSE(outcome.opened);
    EXPECT_NE(outcome.error, 0u);
}

TEST_F(DamagedFields, TablePositionsPastTheEnd) {
    for (uint32_t field : {uint32_t(kHdrHetPos), uint32_t(kHdrBetPos)}) {
        for (uint64_t pos :
             {uint64_t(image.size()) + 1, uint64_t(image.size()) * 2, uint64_t{0xFFFFFFFFFFFFFFFF}}) {
            SCOPED_TRACE("field " + std::to_string(field) + " = " + std::to_string(pos));
            image = sample().image;
            Put64(image, ho() + field, pos);
            FixHeaderDigest(image, ho());
            ExpectRefused(ERROR_BAD_FORMAT);
        }
        // Position 0: no table.
        image = sample().image;
        Put64(image, ho() + field, 0);
        FixHeaderDigest(image, ho());
        ExpectRefused(ERROR_FILE_CORRUPT);
        // Inside the file but not a table, or a table running past the end.
        image = sample().image;
        Put64(image, ho() + field, 1000);
        FixHeaderDigest(image, ho());
        ExpectRefused(ERROR_FILE_CORRUPT);
        image = sample().image;
        Put64(image, ho() + field + (kHdrHetSize - kHdrHetPos), 0xFFFFFFF0ull);
        FixHeaderDigest(image, ho());
        ExpectRefused(ERROR_FILE_CORRUPT);
    }
    for (uint64_t pos : {uint64_t(image.size()) + 1, uint64_t{0xFFFFFFFFFFFFFFF0}}) {
        image = sample().image;
        Put64(image, ho() + kHdrMD5TablePos, pos);
        FixHeaderDigest(image, ho());
        const OpenOutcome outcome = TryOpen(image, sample());
        EXPECT_FALSE(outcome.opened);
        EXPECT_NE(outcome.error, 0u);
    }
}

TEST_F(DamagedFields, HeaderDigestAndVersion) {
    // A changed field with the old digest is refused; with version 1 the
    // digest is not checked.
    image[ho() + kHdrMD5Het] ^= 1;  // a field no reader checks
    ExpectRefused(ERROR_FILE_CORRUPT);
    Put16(image, ho() + kHdrFormatVersion, 1);
    const OpenOutcome outcome = TryOpen(image, sample());
    EXPECT_TRUE(outcome.opened) << outcome.error;
}

// List files that no writer would produce: very long lines, no line ends,
// control bytes, pseudo names, "~P" suffixes, lines split across reads.
TEST(DamagedListFile, StrangeListFiles) {
    std::vector<std::string> contents;
    contents.push_back(std::string(10000, 'x'));
    contents.push_back(std::string(300, 'a') + "\r\nzip/text.txt\r\n");
    contents.push_back("\x01\x02\x03zip/text.txt\n\n\n\rplain/raw.bin");
    contents.push_back(".File123.\r\n.FILE18446744073709551615.x\r\n.File99999999999999999999999.\r\n");
    contents.push_back("zip/text.txt~P1\r\n~P\r\n~\r\nplain/raw.bin~Pxx~P2\r\n");
    std::string split(4095, 'y');
    split += "\r\nzip/crc.txt\r\n";
    contents.push_back(split);
    contents.push_back(std::string(70000, '\n') + "zip/crc.txt");
    for (size_t c = 0; c < contents.size(); c++) {
        SCOPED_TRACE("list file " + std::to_string(c));
        testutil::TempDir dir;
        const std::string path = dir.File("list.qov");
        TNQOVArchive* ha = testutil::CreateArchive(path, 64, 0, 1000);
        ASSERT_NE(ha, nullptr);
        for (const ModelFile& f : SampleFiles(512))
            ASSERT_TRUE(testutil::AddBytes(ha, f.name, f.data, f.flags));
        // Write the list file by hand, then the tables without the list writer.
        ASSERT_TRUE(SFileFlushArchive(ha));
        const std::string& content = contents[c];
        TNQOVFile* hf = nullptr;
        Impl(ha)->dwFlags |= NQOV_FLAG_CHANGED;
        ASSERT_EQ(SFileAddFile_Init(Impl(ha), NQOV_LISTFILE_NAME, static_cast<uint32_t>(content.size()),
                                    NQOV_FILE_EXISTS | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, &hf),
                  0u);
        ASSERT_EQ(SFileAddFile_Write(Impl(hf), content.data(), static_cast<uint32_t>(content.size())), 0u);
        ASSERT_EQ(SFileAddFile_Finish(Impl(hf)), 0u);
        Impl(ha)->dwFlags &= ~NQOV_FLAG_LISTFILE_CHANGED;
        ASSERT_TRUE(SFileCloseArchive(ha, true));

        ha = nullptr;
        ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
        Rng rng(model::TestSeed("listfile"));
        for (const ModelFile& f : SampleFiles(512)) model::ExpectFileReadsBack(ha, f, rng, 1);
        Bytes list;
        EXPECT_TRUE(testutil::ReadWhole(ha, NQOV_LISTFILE_NAME, &list));
        EXPECT_EQ(std::string(list.begin(), list.end()), content);
        const uint32_t records = SFileGetRecordCount(ha);
        for (uint32_t i = 0; i < records; i++) {
            QOV_RECORD_INFO info;
            ASSERT_TRUE(SFileGetRecordInfo(ha, i, &info));
        }
        SFileCloseArchive(ha, false);
    }
}

}  // namespace
