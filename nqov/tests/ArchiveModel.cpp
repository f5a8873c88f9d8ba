// ArchiveModel.cpp - helpers for the randomised archive tests.

#include "ArchiveModel.h"

#include "read/QOVRead.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace model {

namespace {

const uint64_t kDefaultSeed = 20261208;

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char ch : text) {
        hash ^= ch;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

int CompareNoCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string Md5Of(const Bytes& data) { return testutil::Md5Hex(data); }

// Index of the first differing byte, or -1.
long FirstDifference(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i]) return static_cast<long>(i);
    return -1;
}

class CountingCallback : public sfile_verify_piece_callback {
public:
    void OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) override {
        if (calls == 0) {
            if (dwPieceIndex != 0) inOrder = false;
        } else if (dwPieceIndex != calls || dwPieceCount != lastCount)
            inOrder = false;
        lastCount = dwPieceCount;
        calls++;
    }
    uint32_t calls = 0;
    uint32_t lastCount = 0;
    bool inOrder = true;
};

}  // namespace

uint64_t TestSeed(const std::string& salt) {
    uint64_t base = kDefaultSeed;
    const char* env = getenv("BREVIK_TEST_SEED");
    if (env != nullptr && *env != 0) base = strtoull(env, nullptr, 0);
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    static std::string printedFor;
    const std::string testName =
        info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : std::string();
    if (printedFor != testName) {
        printedFor = testName;
        printf("[   SEED   ] BREVIK_TEST_SEED=%llu (replay with this environment variable)\n",
               static_cast<unsigned long long>(base));
        fflush(stdout);
        testing::Test::RecordProperty("BREVIK_TEST_SEED", std::to_string(base));
    }
    Rng mix(base ^ Fnv1a(salt));
    return mix.Next();
}

uint64_t Rng::Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<uint32_t> AllFlagCombinations() {
    std::vector<uint32_t> combos;
    for (uint32_t compress : {0u, NQOV_FILE_COMPRESS})
        for (uint32_t cipher : {0u, NQOV_FILE_ENCRYPTED, NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY})
            for (uint32_t crc : {0u, NQOV_FILE_SECTOR_CRC})
                for (uint32_t unit : {0u, NQOV_FILE_SINGLE_UNIT})
                    combos.push_back(compress | cipher | crc | unit);
    return combos;
}

std::string FlagText(uint32_t flags) {
    std::string text;
    auto add = [&](uint32_t bit, const char* name) {
        if (flags & bit) text += text.empty() ? name : std::string("+") + name;
    };
    add(NQOV_FILE_COMPRESS, "compress");
    add(NQOV_FILE_ENCRYPTED, "encrypted");
    add(NQOV_FILE_FIX_KEY, "fixkey");
    add(NQOV_FILE_SECTOR_CRC, "crc");
    add(NQOV_FILE_SINGLE_UNIT, "single");
    add(NQOV_FILE_FLAG_20, "flag20");
    add(NQOV_FILE_FLAG_30, "flag30");
    return text.empty() ? "plain" : text;
}

std::vector<uint32_t> EdgeSizes(uint32_t sectorBytes) {
    return {0, 1, 3, 4, 31, 32, sectorBytes - 1, sectorBytes, sectorBytes + 1, 3 * sectorBytes + 7};
}

Bytes RandomContent(Rng& rng, size_t size) {
    switch (rng.Below(4)) {
        case 0:
            return testutil::RandomBytes(size, rng.Next());
        case 1:
            return testutil::TextBytes(size, rng.Next());
        case 2: {
            Bytes data(size);
            uint8_t value = static_cast<uint8_t>(rng.Next());
            for (size_t i = 0; i < size; i++) {
                if (rng.OneIn(97)) value = static_cast<uint8_t>(rng.Next());
                data[i] = value;
            }
            return data;
        }
        default: {
            // Text and noise in turn, so that some sectors compress and some do not.
            Bytes data;
            data.reserve(size);
            while (data.size() < size) {
                const size_t run = std::min<size_t>(size - data.size(), rng.Range(1, 3000));
                const Bytes part = rng.OneIn(2) ? testutil::TextBytes(run, rng.Next())
                                                : testutil::RandomBytes(run, rng.Next());
                data.insert(data.end(), part.begin(), part.end());
            }
            return data;
        }
    }
}

std::string NameMaker::Make(Rng& rng) {
    static const std::vector<std::string> folders = {
        "",
        "",
        "",
        "data",
        "Data/Sub",
        "DATA\\sub/mixed",
        "art\\textures",
        "\xE6\xB7\xB1\xE5\xB1\x82/\xE7\x9B\xAE\xE5\xBD\x95",
        "a/b/c/d/e/f",
        "\xC3\x9Cn\xC3\xAF",
        "sp ace/dot.dir",
        "dbl//slash",
    };
    static const std::vector<std::string> stems = {
        "file",   "Tex",   "\xE3\x83\xA2\xE3\x83\x87\xE3\x83\xAB", "na\xC3\xAFve", "x", "READ ME", "a.b.c",
        "~tilde", "-dash",
    };
    static const std::vector<std::string> extensions = {".bin", ".txt", "", ".tar.gz", ".DAT", "~1"};
    const std::string folder = rng.Pick(folders);
    std::string name;
    if (!folder.empty()) name = folder + (rng.OneIn(2) ? "/" : "\\");
    name += rng.Pick(stems) + "_" + std::to_string(m_counter++) + rng.Pick(extensions);
    // Now and then a name of the longest length a list file line keeps.
    if (rng.OneIn(40)) {
        const size_t longest = 259 - rng.Below(2);
        if (name.size() < longest) name = std::string(longest - name.size(), 'L') + name;
    }
    return name;
}

bool WriteInPieces(TNQOVArchive* ha, const ModelFile& file, Rng& rng) {
    TNQOVFile* hf = nullptr;
    const uint32_t size = static_cast<uint32_t>(file.data.size());
    if (!SFileCreateFileEx(ha, file.name.c_str(), size, file.flags, &hf)) return false;
    size_t done = 0;
    while (done < file.data.size()) {
        size_t part = 0;
        switch (rng.Below(5)) {
            case 0:
                part = 1;
                break;
            case 1:
                part = rng.Range(1, 700);
                break;
            case 2:
                part = rng.Range(1, 9000);
                break;
            case 3:
                part = file.data.size() - done;
                break;
            default:
                // An empty write changes nothing.
                if (!SFileWriteFile(hf, rng.OneIn(2) ? nullptr : file.data.data(), 0)) {
                    const uint32_t error = QOVGetLastError();
                    SFileFinishFile(hf);
                    QOVSetLastError(error);
                    return false;
                }
                continue;
        }
        part = std::min(part, file.data.size() - done);
        if (!SFileWriteFile(hf, file.data.data() + done, static_cast<uint32_t>(part))) {
            const uint32_t error = QOVGetLastError();
            SFileFinishFile(hf);
            QOVSetLastError(error);
            return false;
        }
        done += part;
    }
    return SFileFinishFile(hf);
}

void ExpectFileReadsBack(TNQOVArchive* ha, const ModelFile& file, Rng& rng, int randomReads) {
    const uint32_t size = static_cast<uint32_t>(file.data.size());
    SCOPED_TRACE("file \"" + file.name + "\" (" + FlagText(file.flags) + ", " + std::to_string(size) +
                 " bytes)");

    // Whole, with and without the piece check.
    for (bool checkPieces : {false, true}) {
        Bytes got;
        QOVSetLastError(0);
        const bool ok = testutil::ReadWhole(ha, file.name, &got, checkPieces);
        EXPECT_TRUE(ok) << "read failed with error " << QOVGetLastError() << ", piece check " << checkPieces;
        EXPECT_EQ(got.size(), file.data.size()) << "piece check " << checkPieces;
        if (got.size() == file.data.size() && got != file.data)
            ADD_FAILURE() << "content differs at byte "
                          << FirstDifference(got.data(), file.data.data(), got.size()) << ", piece check "
                          << checkPieces;
    }

    // Random pieces at random positions, through every move method.
    TNQOVFile* hf = nullptr;
    const uint32_t scope = rng.OneIn(2) ? QOV_OPEN_FROM_ARCHIVE : QOV_OPEN_PATCHED;
    if (!NQOVOpenFileEx(ha, file.name.c_str(), scope, &hf)) {
        ADD_FAILURE() << "open failed with error " << QOVGetLastError();
        return;
    }
    EXPECT_EQ(SFileGetFileSize(hf), size);
    uint32_t position = 0;
    for (int i = 0; i < randomReads; i++) {
        const bool checkPieces = rng.OneIn(2);
        uint32_t target = rng.OneIn(8) ? size + static_cast<uint32_t>(rng.Below(3))
                                       : static_cast<uint32_t>(rng.Below(uint64_t(size) + 1));
        const uint32_t method = static_cast<uint32_t>(rng.Below(3));
        const int64_t base = method == NQOV_FILE_BEGIN ? 0 : method == NQOV_FILE_CURRENT ? position : size;
        const uint32_t moved = SFileSetFilePointer(hf, static_cast<int32_t>(int64_t(target) - base), method);
        EXPECT_EQ(moved, target) << "move method " << method;
        position = target;

        uint32_t length = 0;
        switch (rng.Below(5)) {
            case 0:
                length = 0;
                break;
            case 1:
                length = 1;
                break;
            case 2:
                length = static_cast<uint32_t>(rng.Below(9000));
                break;
            case 3:
                length = target <= size ? size - target + static_cast<uint32_t>(rng.Below(3)) : 5;
                break;
            default:
                length = static_cast<uint32_t>(rng.Below(uint64_t(size) + 1));
                break;
        }
        std::vector<uint8_t> buffer(std::max<uint32_t>(length, 1), 0xCD);
        uint32_t read = 0xFFFFFFFF;
        QOVSetLastError(0);
        const bool ok = SFileReadFile(hf, buffer.data(), length, &read, checkPieces);
        const uint32_t expected = target < size ? std::min(length, size - target) : 0;
        EXPECT_EQ(read, expected) << "read of " << length << " at " << target;
        if (expected == length) {
            EXPECT_TRUE(ok) << "read of " << length << " at " << target << " failed with error "
                            << QOVGetLastError();
        } else {
            EXPECT_FALSE(ok) << "short read of " << length << " at " << target << " reported success";
            EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
        }
        if (read == expected && expected > 0) {
            const long diff = FirstDifference(buffer.data(), file.data.data() + target, expected);
            EXPECT_EQ(diff, -1) << "read of " << length << " at " << target << " (piece check " << checkPieces
                                << ") differs at byte " << diff;
        }
        position = target + std::min(read, expected);
        EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT), position);
    }
    EXPECT_TRUE(SFileCloseFile(hf));

    const uint32_t verify = VerifyFile(ha, file.name.c_str());
    if (size > 0) {
        EXPECT_EQ(verify, VERIFY_MD5_PRESENT);
    } else {
        EXPECT_TRUE(verify == 0 || verify == VERIFY_MD5_PRESENT) << "VerifyFile gave " << verify;
    }
    EXPECT_TRUE(SFileVerifyFilePieceMD5(ha, file.name.c_str())) << QOVGetLastError();
}

bool ReadListFile(TNQOVArchive* ha, std::vector<std::string>* pLines) {
    Bytes content;
    if (!testutil::ReadWhole(ha, NQOV_LISTFILE_NAME, &content, true)) return false;
    pLines->clear();
    size_t start = 0;
    for (size_t i = 0; i + 1 < content.size() + 1; i++) {
        if (i + 1 < content.size() && content[i] == '\r' && content[i + 1] == '\n') {
            pLines->emplace_back(content.begin() + start, content.begin() + i);
            start = i + 2;
            i++;
        }
    }
    return start == content.size();  // every line ends with CR LF
}

void ExpectDisjointLayout(TNQOVArchive* ha) {
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    auto digests = [&](uint64_t bytes) -> uint64_t {
        return info.dwRawChunkSize == 0 ? 0 : 16 * ((bytes + info.dwRawChunkSize - 1) / info.dwRawChunkSize);
    };
    struct Range {
        uint64_t start, end;
        std::string what;
    };
    std::vector<Range> ranges;
    const uint32_t count = SFileGetRecordCount(ha);
    for (uint32_t i = 0; i < count; i++) {
        QOV_RECORD_INFO record;
        ASSERT_TRUE(SFileGetRecordInfo(ha, i, &record));
        if (!(record.dwFlags & NQOV_FILE_EXISTS) || (record.dwFlags & NQOV_FILE_DELETE_MARKER) ||
            record.dwStoredSize == 0)
            continue;
        const uint64_t start = info.HeaderOffset + record.StoredOffset;
        ranges.push_back({start, start + record.dwStoredSize + digests(record.dwStoredSize),
                          std::string("record ") + record.szFileName});
    }
    const uint64_t het = info.HeaderOffset + info.HetTablePos64;
    const uint64_t bet = info.HeaderOffset + info.BetTablePos64;
    ranges.push_back({het, het + info.HetTableSize64 + digests(info.HetTableSize64), "HET table"});
    ranges.push_back({bet, bet + info.BetTableSize64 + digests(info.BetTableSize64), "BET table"});
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
    uint64_t previousEnd = info.HeaderOffset + info.HeaderSize;
    std::string previous = "header";
    for (const Range& range : ranges) {
        EXPECT_GE(range.start, previousEnd) << range.what << " overlaps " << previous;
        previousEnd = std::max(previousEnd, range.end);
        previous = range.what;
    }
    EXPECT_LE(previousEnd, info.MD5TablePos64) << previous << " runs into the MD5 piece table";

    // Digests no reader checks: the chunk digests after every stored blob,
    // the MD5 of each stored table and of the header.
    auto readAt = [&](uint64_t position, uint64_t length, Bytes* pOut) {
        pOut->assign(static_cast<size_t>(length), 0);
        return length == 0 || FileStream_Read(Impl(ha)->pStream.get(), &position, pOut->data(),
                                              static_cast<uint32_t>(length));
    };
    if (info.dwRawChunkSize != 0) {
        for (const Range& range : ranges) {
            // range.end includes the digests: split the blob from them.
            uint64_t blob = range.end - range.start;
            while (blob > 0 && blob + digests(blob) > range.end - range.start) blob--;
            Bytes bytes, stored;
            ASSERT_TRUE(readAt(range.start, blob, &bytes)) << range.what;
            ASSERT_TRUE(readAt(range.start + blob, digests(blob), &stored)) << range.what;
            for (uint64_t chunk = 0; chunk * info.dwRawChunkSize < blob; chunk++) {
                const uint64_t start = chunk * info.dwRawChunkSize;
                const uint64_t length = std::min<uint64_t>(info.dwRawChunkSize, blob - start);
                const std::string expected =
                    testutil::Md5Hex(bytes.data() + start, static_cast<size_t>(length));
                EXPECT_EQ(testutil::Hex(stored.data() + chunk * 16, 16), expected)
                    << "chunk digest " << chunk << " of " << range.what;
            }
        }
    }
    Bytes table;
    ASSERT_TRUE(readAt(het, info.HetTableSize64, &table));
    EXPECT_EQ(testutil::Md5Hex(table), testutil::Hex(info.MD5_HetTable, 16)) << "MD5_HetTable";
    ASSERT_TRUE(readAt(bet, info.BetTableSize64, &table));
    EXPECT_EQ(testutil::Md5Hex(table), testutil::Hex(info.MD5_BetTable, 16)) << "MD5_BetTable";
    Bytes header;
    ASSERT_TRUE(readAt(info.HeaderOffset, NQOV_HEADER_SIZE, &header));
    EXPECT_EQ(testutil::Md5Hex(header.data(), 156), testutil::Hex(header.data() + 156, 16))
        << "header digest";

    // The piece layer covers everything before the MD5 piece table.
    ASSERT_NE(info.dwMD5PieceSize, 0u);
    const uint64_t pieces = info.ArchieveSize / info.dwMD5PieceSize;
    EXPECT_EQ(info.ArchieveSize % info.dwMD5PieceSize, 0u);
    EXPECT_EQ(info.MD5TablePos64, info.ArchieveSize);
    EXPECT_EQ(info.MD5TableSize64, (pieces + 1) * 16);
    EXPECT_EQ(info.BitmapPos64, info.MD5TablePos64 + info.MD5TableSize64);
    EXPECT_EQ(info.BitmapSize64, pieces);
    uint64_t fileSize = 0;
    ASSERT_TRUE(FileStream_SizeOf(Impl(ha)->pStream.get(), &fileSize));
    EXPECT_EQ(fileSize, info.BitmapPos64 + info.BitmapSize64);
}

void ExpectOpenArchiveHolds(TNQOVArchive* ha, const std::vector<ModelFile>& files, Rng& rng,
                            int randomReads) {
    for (const ModelFile& file : files) ExpectFileReadsBack(ha, file, rng, randomReads);

    // Every file's record carries its name, flags, size and digest.
    std::map<std::string, QOV_RECORD_INFO> named;
    const uint32_t count = SFileGetRecordCount(ha);
    ASSERT_NE(count, NQOV_INVALID_SIZE);
    for (uint32_t i = 0; i < count; i++) {
        QOV_RECORD_INFO record;
        ASSERT_TRUE(SFileGetRecordInfo(ha, i, &record));
        if (record.bNamed && (record.dwFlags & NQOV_FILE_EXISTS) &&
            !(record.dwFlags & NQOV_FILE_DELETE_MARKER))
            named[record.szFileName] = record;
    }
    for (const ModelFile& file : files) {
        auto found = named.find(file.name);
        if (found == named.end()) {
            ADD_FAILURE() << "no record named \"" << file.name << "\"";
            continue;
        }
        const QOV_RECORD_INFO& record = found->second;
        const uint32_t size = static_cast<uint32_t>(file.data.size());
        EXPECT_EQ(record.dwFileSize, size) << file.name;
        EXPECT_EQ(record.dwFlags & (NQOV_FILE_DIRECTORY | NQOV_FILE_DELETE_MARKER), 0u) << file.name;
        if (size < 4) {
            EXPECT_EQ(record.dwFlags & (NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY), 0u) << file.name;
        }
        if (size < 32) {
            EXPECT_EQ(record.dwFlags & (NQOV_FILE_SECTOR_CRC | NQOV_FILE_COMPRESSED), 0u) << file.name;
        }
        if (size >= 32) {
            EXPECT_EQ(record.dwFlags & NQOV_FILE_COMPRESS, file.flags & NQOV_FILE_COMPRESS) << file.name;
            EXPECT_EQ(record.dwFlags & NQOV_FILE_SINGLE_UNIT, file.flags & NQOV_FILE_SINGLE_UNIT)
                << file.name;
        }
        if (size >= 4) {
            EXPECT_EQ(record.dwFlags & (NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY),
                      file.flags & (NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY))
                << file.name;
        }
        if (size > 0) {
            EXPECT_EQ(testutil::Hex(record.ContentMD5, 16), Md5Of(file.data)) << file.name;
        }
    }

    // The list file names every file once, sorted without regard to case.
    std::vector<std::string> lines;
    EXPECT_TRUE(ReadListFile(ha, &lines)) << "list file unreadable or not CR LF terminated";
    std::map<std::string, int> seen;
    for (const std::string& line : lines) seen[line]++;
    for (const ModelFile& file : files) EXPECT_EQ(seen[file.name], 1) << "list file lines for " << file.name;
    for (size_t i = 1; i < lines.size(); i++) {
        EXPECT_LT(CompareNoCase(lines[i - 1], lines[i]), 0)
            << "list file out of order or repeated: \"" << lines[i - 1] << "\" then \"" << lines[i] << "\"";
    }
    if (!files.empty()) {
        EXPECT_EQ(seen[NQOV_LISTFILE_NAME], 0) << "the list file names itself";
    }

    // Every piece verifies and the map says so.
    CountingCallback callback;
    uint32_t last = 0, pieceCount = 0, pieceSize = 0;
    ASSERT_TRUE(SFileGetPieceCount(ha, &last, &pieceCount, &pieceSize));
    EXPECT_TRUE(SFileVerifyAll(ha, &callback)) << QOVGetLastError();
    EXPECT_EQ(callback.calls, pieceCount);
    EXPECT_TRUE(callback.inOrder);
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    ASSERT_EQ(mapSize, pieceCount);
    for (uint32_t i = 0; i < mapSize; i++) {
        if (map[i] != 1) {
            ADD_FAILURE() << "map byte " << i << " is " << int(map[i]);
            break;
        }
    }
    ExpectDisjointLayout(ha);
}

void ExpectArchiveHolds(const std::string& path, const std::vector<ModelFile>& files, Rng& rng,
                        int randomReads) {
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << path << ": error " << QOVGetLastError();
    ExpectOpenArchiveHolds(ha, files, rng, randomReads);
    EXPECT_TRUE(SFileCloseArchive(ha, false));
}

}  // namespace model
