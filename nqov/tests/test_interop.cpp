// Interop: archives written by an independent implementation of the format
// (tests/data/fixtures, indexed by fixtures.json) are read exactly as their
// manifests say: header and tables, every record, every file's content,
// lookups and the piece check.  Fields a manifest marks as disputed are not
// compared.

#include "MiniJson.h"
#include "read/QOVRead.h"
#include "verify/QOVVerify.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <set>

using minijson::Value;
using testutil::Bytes;

namespace {

const std::string kFixtures = std::string(NQOV_TEST_DATA_DIR) + "/fixtures/";

Value LoadJson(const std::string& path) { return minijson::Parse(testutil::ReadText(path)); }

struct FixtureCase {
    std::string name;
    Value entry;
};

void PrintTo(const FixtureCase& fixture, std::ostream* os) { *os << fixture.name; }

std::vector<FixtureCase> LoadCases() {
    std::vector<FixtureCase> cases;
    const Value index = LoadJson(kFixtures + "fixtures.json");
    for (const Value& entry : index.items) cases.push_back({entry["case"].text, entry});
    return cases;
}

// "files[0,1,3].open_error/read/verify, lookups[1].open_error: why" gives
// files[0].open_error, files[0].read, ... lookups[1].open_error.
std::set<std::string> ParseDisputed(const Value& disputed) {
    std::set<std::string> fields;
    for (const Value& reason : disputed.items) {
        const std::string head = reason.text.substr(0, reason.text.find(':'));
        size_t start = 0;
        while (start < head.size()) {
            size_t end = head.find(", ", start);
            if (end == std::string::npos) end = head.size();
            const std::string item = head.substr(start, end - start);
            const size_t open = item.find('['), close = item.find(']');
            const std::string what = item.substr(0, open);
            const std::string indexes = item.substr(open + 1, close - open - 1);
            const std::string names = item.substr(close + 2);
            size_t i = 0;
            while (i <= indexes.size()) {
                size_t comma = indexes.find(',', i);
                if (comma == std::string::npos) comma = indexes.size();
                const std::string index = indexes.substr(i, comma - i);
                size_t n = 0;
                while (n <= names.size()) {
                    size_t slash = names.find('/', n);
                    if (slash == std::string::npos) slash = names.size();
                    fields.insert(what + "[" + index + "]." + names.substr(n, slash - n));
                    n = slash + 1;
                }
                i = comma + 1;
            }
            start = end + 2;
        }
    }
    return fields;
}

std::string HexOf(const uint8_t* data) { return testutil::Hex(data, 16); }

std::string HashText(uint64_t value) {
    char text[32];
    snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
    return text;
}

std::string FlagsText(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

std::vector<uint32_t> Children(TNQOVArchive* ha, const TFileEntryImpl& entry) {
    std::vector<uint32_t> children;
    for (uint32_t child = entry.FirstChild; child != QOV_NO_RECORD;
         child = Impl(ha)->Records[child].NextSibling)
        children.push_back(child);
    return children;
}

// Opens by name with scope 0 and reads file_size bytes without piece checks.
Value ReadResult(TNQOVArchive* ha, const std::string& name, uint32_t size) {
    Value result;
    result.kind = Value::Kind::Object;
    TNQOVFile* hf = nullptr;
    auto setNumber = [&](const char* key, double number) {
        Value v;
        v.kind = Value::Kind::Number;
        v.number = number;
        result.members[key] = v;
    };
    if (!NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf)) {
        setNumber("error", QOVGetLastError());
        return result;
    }
    Bytes data(size + 1);  // never an empty buffer: a null buffer is refused
    uint32_t read = 0;
    const bool ok = SFileReadFile(hf, data.data(), size, &read, false);
    const uint32_t error = QOVGetLastError();
    SFileCloseFile(hf);
    if (!ok) {
        setNumber("error", error);
        return result;
    }
    setNumber("error", 0);
    setNumber("size", read);
    Value md5, sha;
    md5.kind = sha.kind = Value::Kind::String;
    md5.text = testutil::Md5Hex(data.data(), read);
    sha.text = testutil::Sha256Hex(data.data(), read);
    result.members["md5"] = md5;
    result.members["sha256"] = sha;
    return result;
}

// "none", "ok", "mismatch:i" or "unused" (the block is not used).
std::string SectorChecksumState(TNQOVArchive* ha, const std::string& name, const TFileEntryImpl& entry) {
    if (!(entry.dwFlags & NQOV_FILE_SECTOR_CRC)) return "none";
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf)) return "unopenable";
    Impl(hf)->bVerifySectorChecksums = true;
    Bytes sector(Impl(ha)->dwSectorBytes);
    std::string state;
    for (uint32_t index = 0; index * static_cast<uint64_t>(Impl(ha)->dwSectorBytes) < entry.dwFileSize;
         index++) {
        uint32_t read = 0;
        if (!SFileReadFile(hf, sector.data(), Impl(ha)->dwSectorBytes, &read, false) &&
            QOVGetLastError() == ERROR_QOV_SECTOR_CHECKSUM) {
            state = "mismatch:" + std::to_string(index);
            break;
        }
    }
    if (state.empty()) state = Impl(hf)->SectorChksums ? "ok" : "unused";
    SFileCloseFile(hf);
    return state;
}

// The distinct method bytes of the stored blocks ("plain" for blocks as
// long as their content), in order of first appearance.
std::vector<std::string> MethodBytes(TNQOVArchive* ha, const std::string& name, const TFileEntryImpl& entry) {
    std::vector<std::string> methods;
    if (!(entry.dwFlags & NQOV_FILE_COMPRESSED) || entry.dwFileSize == 0) return methods;
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf)) return methods;
    Bytes content(entry.dwFileSize);
    uint32_t read = 0;
    SFileReadFile(hf, content.data(), entry.dwFileSize, &read, false);
    auto add = [&](const std::string& method) {
        if (std::find(methods.begin(), methods.end(), method) == methods.end()) methods.push_back(method);
    };
    auto methodOf = [&](uint64_t position, uint32_t stored, uint32_t plain, uint32_t key) {
        Bytes block(stored);
        if (stored == 0 || !FileStream_Read(Impl(ha)->pStream.get(), &position, block.data(), stored)) return;
        if (entry.dwFlags & NQOV_FILE_ENCRYPTED) DecryptQOVBlock(block.data(), stored, key);
        char text[8];
        snprintf(text, sizeof(text), "0x%02X", block[0]);
        add(stored == plain ? "plain" : text);
    };
    if (entry.dwFlags & NQOV_FILE_SINGLE_UNIT) {
        methodOf(Impl(hf)->qwStoredStart, entry.dwStoredSize, entry.dwFileSize, Impl(hf)->dwCipherKey);
    } else if (Impl(hf)->SectorOffsets) {
        for (uint32_t i = 0; i < Impl(hf)->nSectors; i++) {
            const uint32_t plain =
                std::min(Impl(ha)->dwSectorBytes, entry.dwFileSize - i * Impl(ha)->dwSectorBytes);
            methodOf(Impl(hf)->qwStoredStart + Impl(hf)->SectorOffsets[i],
                     Impl(hf)->SectorOffsets[i + 1] - Impl(hf)->SectorOffsets[i], plain,
                     Impl(hf)->dwCipherKey + i);
        }
    }
    SFileCloseFile(hf);
    return methods;
}

class InteropTest : public testing::TestWithParam<FixtureCase> {
protected:
    void SetUp() override {
        const Value& entry = GetParam().entry;
        manifest = LoadJson(kFixtures + entry["manifest"].text);
        disputed = ParseDisputed(entry["disputed"]);
        archivePath = dir.File(entry["archive"].text);
        ASSERT_TRUE(testutil::CopyFile(kFixtures + entry["archive"].text, archivePath));
    }

    void TearDown() override {
        if (ha != nullptr) SFileCloseArchive(ha, false);
    }

    bool Disputed(const std::string& field) const { return disputed.count(field) != 0; }

    void CheckHeader();
    void CheckRecords();
    void CheckFiles();
    void CheckLookups();
    void CheckBadPieces();
    void AttachPatchesAndCheckTheChain();

    testutil::TempDir dir;
    Value manifest;
    std::set<std::string> disputed;
    std::string archivePath;
    TNQOVArchive* ha = nullptr;
};

void InteropTest::CheckHeader() {
    QOV_ARCHIVE_INFO info;
    ASSERT_TRUE(SFileGetArchiveInfo(ha, &info));
    uint32_t lastPiece = 0, pieces = 0, pieceSize = 0;
    ASSERT_TRUE(SFileGetPieceCount(ha, &lastPiece, &pieces, &pieceSize));
    const Value& m = manifest;
    EXPECT_EQ(info.HeaderOffset, m["header_offset"].UInt());
    EXPECT_EQ(info.wFormatVersion, m["format_version"].UInt());
    EXPECT_EQ(info.wSectorSize, m["sector_size_exp"].UInt());
    EXPECT_EQ(info.dwSectorBytes, m["sector_bytes"].UInt());
    EXPECT_EQ(info.ArchieveSize, m["archive_size"].UInt());
    EXPECT_EQ(pieceSize, m["piece_size"].UInt());
    EXPECT_EQ(pieces, m["piece_count"].UInt());
    EXPECT_EQ(lastPiece, m["last_piece_size"].UInt());
    EXPECT_EQ(info.dwRawChunkSize, m["raw_chunk_size"].UInt());
    EXPECT_EQ(info.HetTablePos64, m["het_pos"].UInt());
    EXPECT_EQ(info.HetTableSize64, m["het_size"].UInt());
    EXPECT_EQ(info.BetTablePos64, m["bet_pos"].UInt());
    EXPECT_EQ(info.BetTableSize64, m["bet_size"].UInt());
    EXPECT_EQ(info.MD5TablePos64, m["md5_table_pos"].UInt());
    EXPECT_EQ(info.MD5TableSize64, m["md5_table_size"].UInt());
    EXPECT_EQ(info.BitmapPos64, m["bitmap_pos"].UInt());
    EXPECT_EQ(info.BitmapSize64, m["bitmap_size"].UInt());
    EXPECT_EQ(info.dwMaxFileCount, m["max_file_count"].UInt());
    EXPECT_EQ(info.dwHashTableSize, m["hash_table_size"].UInt());
    EXPECT_EQ(info.dwFileTableSize, m["file_table_size"].UInt());
    const Value& widths = m["bet_widths"];
    EXPECT_EQ(Impl(ha)->BetWidths.pos, widths["pos"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.size, widths["size"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.stored, widths["stored"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.flags, widths["flags"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.md5, widths["md5"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.parent, widths["parent"].UInt());
    EXPECT_EQ(Impl(ha)->BetWidths.record, widths["record"].UInt());
    EXPECT_EQ(HexOf(info.MD5_QOVHeader), m["md5_header"].text);
    EXPECT_EQ(HexOf(info.MD5_HetTable), m["md5_het"].text);
    EXPECT_EQ(HexOf(info.MD5_BetTable), m["md5_bet"].text);
    EXPECT_EQ(HexOf(info.MD5_PatchBaseTag), m["patch_base_tag"].text);
    EXPECT_EQ(HexOf(info.MD5_PatchedTag), m["patched_tag"].text);
    const uint8_t* version = IsZeroDigest(info.MD5_PatchedTag) ? info.MD5_QOVHeader : info.MD5_PatchedTag;
    EXPECT_EQ(HexOf(version), m["version_tag"].text);

    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    std::vector<std::pair<uint64_t, uint64_t>> notOne, expected;
    for (uint32_t i = 0; map != nullptr && i < mapSize; i++)
        if (map[i] != 1) notOne.push_back({i, map[i]});
    for (const Value& pair : m["piece_map_not_1"].items) expected.push_back({pair[0].UInt(), pair[1].UInt()});
    EXPECT_EQ(notOne, expected);
}

void InteropTest::CheckRecords() {
    const Value& files = manifest["files"];
    ASSERT_EQ(SFileGetRecordCount(ha), files.size());
    for (const Value& file : files.items) {
        const uint32_t index = static_cast<uint32_t>(file["index"].UInt());
        SCOPED_TRACE("record " + std::to_string(index) + " " + file["name"].text);
        QOV_RECORD_INFO info;
        ASSERT_TRUE(SFileGetRecordInfo(ha, index, &info));
        EXPECT_EQ(std::string(info.szFileName), file["name"].text);
        EXPECT_EQ(info.bNamed, file["named"].boolean);
        EXPECT_EQ(HashText(info.NameHash64), file["name_hash"].text);
        EXPECT_EQ(info.dwHetIndex, file["het_index"].UInt());
        EXPECT_EQ(FlagsText(info.dwFlags), file["flags"].text);
        EXPECT_EQ(info.dwFileSize, file["file_size"].UInt());
        EXPECT_EQ(info.dwStoredSize, file["stored_size"].UInt());
        EXPECT_EQ(info.StoredOffset, file["stored_offset"].UInt());
        EXPECT_EQ(HexOf(info.ContentMD5), file["content_md5"].text);
        EXPECT_EQ(HashText(info.ParentNameHash), file["parent_name_hash"].text);

        const TFileEntryImpl& entry = Impl(ha)->Records[index];
        std::vector<uint32_t> expectedChildren;
        for (const Value& child : file["children"].items)
            expectedChildren.push_back(static_cast<uint32_t>(child.UInt()));
        EXPECT_EQ(Children(ha, entry), expectedChildren);

        const TPieceRange range = RecordPieceRange(Impl(ha), &entry);
        EXPECT_EQ(range.dwFirstPiece, file["first_piece"].UInt());
        EXPECT_EQ(range.dwPieceCount, file["piece_count"].UInt());
        EXPECT_EQ(range.dwLastPieceSize, file["last_piece_size"].UInt());
    }
}

void InteropTest::CheckFiles() {
    std::vector<std::string> verifyNames;
    std::vector<uint32_t> verifyExpected;
    for (const Value& file : manifest["files"].items) {
        const uint32_t index = static_cast<uint32_t>(file["index"].UInt());
        const std::string name = file["name"].text;
        const std::string field = "files[" + std::to_string(index) + "].";
        SCOPED_TRACE("file " + std::to_string(index) + " " + name);
        const TFileEntryImpl& entry = Impl(ha)->Records[index];

        if (!Disputed(field + "open_error")) {
            TNQOVFile* hf = nullptr;
            const bool opened = NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf);
            EXPECT_EQ(opened ? 0u : QOVGetLastError(), file["open_error"].UInt());
            if (opened) SFileCloseFile(hf);
        }
        if (!Disputed(field + "read")) {
            const Value expected = file["read"];
            const Value actual = ReadResult(ha, name, entry.dwFileSize);
            EXPECT_EQ(actual["error"].UInt(), expected["error"].UInt());
            if (expected["error"].UInt() == 0 && actual["error"].UInt() == 0) {
                EXPECT_EQ(actual["size"].UInt(), expected["size"].UInt());
                EXPECT_EQ(actual["md5"].text, expected["md5"].text);
                EXPECT_EQ(actual["sha256"].text, expected["sha256"].text);
            }
        }
        if (!Disputed(field + "verify")) {
            EXPECT_EQ(VerifyFile(ha, name.c_str()), file["verify"].UInt());
            verifyNames.push_back(name);
            verifyExpected.push_back(static_cast<uint32_t>(file["verify"].UInt()));
        }

        const std::string crc = SectorChecksumState(ha, name, entry);
        const std::string expectedCrc = file["sector_crc"].text;
        EXPECT_EQ(crc, expectedCrc == "unreadable" ? "unused" : expectedCrc);

        std::vector<std::string> expectedMethods;
        for (const Value& method : file["methods"].items) expectedMethods.push_back(method.text);
        EXPECT_EQ(MethodBytes(ha, name, entry), expectedMethods);
    }

    // Every file at once, read a block of each at a time and hashed
    // together: what each alone gives.  Without bad pieces, reading without
    // the piece check gives the same.
    std::vector<const char*> names;
    for (const std::string& name : verifyNames) names.push_back(name.c_str());
    std::vector<uint32_t> results(names.size(), 0xFFFFFFFFu);
    ASSERT_TRUE(VerifyFiles(ha, names.data(), static_cast<uint32_t>(names.size()), results.data(), true));
    EXPECT_EQ(results, verifyExpected);
    const Value& bad = manifest["bad_pieces"];
    if (bad.kind != Value::Kind::Object && bad.items.empty()) {
        std::fill(results.begin(), results.end(), 0xFFFFFFFFu);
        ASSERT_TRUE(
            VerifyFiles(ha, names.data(), static_cast<uint32_t>(names.size()), results.data(), false));
        EXPECT_EQ(results, verifyExpected);
    }
}

void InteropTest::CheckLookups() {
    if (!manifest.Has("lookups")) return;
    size_t n = 0;
    for (const Value& lookup : manifest["lookups"].items) {
        const std::string query = lookup["query"].text;
        SCOPED_TRACE("lookup " + query);
        TFileEntryImpl* entry = RecordByName(Impl(ha), query.c_str());
        if (lookup["index"].IsNull()) {
            EXPECT_EQ(entry, nullptr);
        } else {
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(Impl(entry)->dwIndex, lookup["index"].UInt());
        }
        if (!Disputed("lookups[" + std::to_string(n) + "].open_error")) {
            TNQOVFile* hf = nullptr;
            const bool opened = NQOVOpenFileEx(ha, query.c_str(), QOV_OPEN_FROM_ARCHIVE, &hf);
            EXPECT_EQ(opened ? 0u : QOVGetLastError(), lookup["open_error"].UInt());
            if (opened) SFileCloseFile(hf);
        }
        n++;
    }
}

void InteropTest::CheckBadPieces() {
    uint32_t mapSize = 0;
    uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    memset(map, 0, mapSize);
    const bool clean = SFileVerifyAll(ha, nullptr);
    const Value& expected = manifest["bad_pieces"];
    if (expected.kind == Value::Kind::Object) {
        EXPECT_FALSE(clean);
        EXPECT_EQ(QOVGetLastError(), expected["error"].UInt());
        return;
    }
    std::vector<uint64_t> bad, wanted;
    for (uint32_t i = 0; i < mapSize; i++)
        if (map[i] == 2) bad.push_back(i);
    for (const Value& index : expected.items) wanted.push_back(index.UInt());
    EXPECT_EQ(bad, wanted);
    EXPECT_EQ(clean, wanted.empty());

    // The same pieces checked in runs, hashed several at once.
    std::vector<uint8_t> states(mapSize, 0);
    memset(map, 0, mapSize);
    EXPECT_EQ(SFileVerifyPieces(ha, 0, mapSize, states.data()), wanted.empty());
    if (!wanted.empty()) {
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_CORRUPT));
    }
    std::vector<uint64_t> badInRuns;
    for (uint32_t i = 0; i < mapSize; i++) {
        if (states[i] == NQOV_PIECE_BAD) badInRuns.push_back(i);
        EXPECT_EQ(map[i], states[i]) << "piece " << i;
    }
    EXPECT_EQ(badInRuns, wanted);
}

// Attaches the case's patches (oldest first), checks each attach result,
// then opens every name of the chain with the patched scope.
void InteropTest::AttachPatchesAndCheckTheChain() {
    const Value& patches = GetParam().entry["patches"];
    const Value& expectedAttach = manifest["patches"];
    ASSERT_EQ(patches.size(), expectedAttach.size());
    std::vector<TNQOVArchive*> accepted{ha};  // chain position 0 is the base
    for (size_t i = 0; i < patches.size(); i++) {
        const std::string name = patches[i].text;
        const std::string path = dir.File(std::to_string(i) + "_" + name);
        ASSERT_TRUE(testutil::CopyFile(kFixtures + name, path));
        const bool attached = SFileOpenPatchArchive(path.c_str(), ha, 0);
        EXPECT_EQ(attached ? 0u : QOVGetLastError(), expectedAttach[i]["attach_error"].UInt()) << name;
        if (attached) accepted.push_back(Impl(ha)->Chain.front());
    }
    EXPECT_EQ(Impl(ha)->Chain.size(), accepted.size()) << "a refused patch leaves the chain as it was";

    for (const Value& link : manifest["chain"].items) {
        const std::string name = link["name"].text;
        SCOPED_TRACE("chain name " + name);
        TNQOVFile* hf = nullptr;
        const bool opened = NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_PATCHED, &hf);
        EXPECT_EQ(opened ? 0u : QOVGetLastError(), link["open_error"].UInt());
        if (opened) {
            const auto position = std::find(accepted.begin(), accepted.end(), Impl(hf)->ha);
            EXPECT_EQ(static_cast<uint64_t>(position - accepted.begin()), link["archive"].UInt());
            EXPECT_EQ(Impl(hf)->pFileEntry->dwIndex, link["index"].UInt());
            EXPECT_EQ(HashText(Impl(hf)->pFileEntry->NameHash64), link["name_hash"].text);
            const uint32_t size = SFileGetFileSize(hf);
            Bytes data(size + 1);
            uint32_t read = 0;
            const bool ok = SFileReadFile(hf, data.data(), size, &read, false);
            const Value& expectedRead = link["read"];
            EXPECT_EQ(ok ? 0u : QOVGetLastError(), expectedRead["error"].UInt());
            if (ok && expectedRead["error"].UInt() == 0) {
                EXPECT_EQ(read, expectedRead["size"].UInt());
                EXPECT_EQ(testutil::Md5Hex(data.data(), read), expectedRead["md5"].text);
                EXPECT_EQ(testutil::Sha256Hex(data.data(), read), expectedRead["sha256"].text);
            }
            SFileCloseFile(hf);
        }
        EXPECT_EQ(VerifyFile(ha, name.c_str()), link["verify"].UInt());
    }
}

TEST_P(InteropTest, ReadsAsTheManifestSays) {
    const bool opened = SFileOpenArchive(archivePath.c_str(), &ha, 0);
    const uint32_t error = QOVGetLastError();
    ASSERT_EQ(opened, manifest["open_ok"].boolean) << "open error " << error;
    if (!opened) {
        EXPECT_EQ(ha, nullptr);
        if (!manifest["open_error"].IsNull()) {
            EXPECT_EQ(error, manifest["open_error"].UInt());
        }
        return;
    }
    CheckHeader();
    CheckRecords();
    CheckFiles();
    CheckLookups();
    CheckBadPieces();
    if (manifest.Has("patches")) AttachPatchesAndCheckTheChain();
}

// Reading never changes an archive file.
TEST_P(InteropTest, ReadingLeavesTheFileUnchanged) {
    const Bytes before = testutil::ReadFileOrEmpty(archivePath);
    if (SFileOpenArchive(archivePath.c_str(), &ha, 0)) {
        for (uint32_t i = 0; i < SFileGetRecordCount(ha); i++) {
            QOV_RECORD_INFO info;
            ASSERT_TRUE(SFileGetRecordInfo(ha, i, &info));
            VerifyFile(ha, info.szFileName);
        }
        SFileVerifyAll(ha, nullptr);
        EXPECT_TRUE(SFileCloseArchive(ha, true));
        ha = nullptr;
    }
    EXPECT_EQ(testutil::ReadFileOrEmpty(archivePath), before);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, InteropTest, testing::ValuesIn(LoadCases()),
                         [](const testing::TestParamInfo<FixtureCase>& info) { return info.param.name; });

}  // namespace
