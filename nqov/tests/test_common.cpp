// Shared helpers of the archive library (QOVCommon): the lookup3 name hash,
// the cipher table and table cipher, file keys, pseudo names, bit arrays,
// sector checksums, MD5 and the log sink.  Reference values come from the
// published lookup3 driver, from the fixture manifests (written by an
// independent implementation) and from the well-known constants of the
// cipher this format shares with its ancestors.

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <random>
// GCC 12 reports -Wmaybe-uninitialized inside <regex>'s own automaton code
// when it is inlined at -O2 (a known false positive of that compiler).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <vector>

using testutil::Bytes;

namespace {

const uint64_t kTopBit = 1ull << 63;

uint32_t Adler32FromZero(const uint8_t* data, size_t size) {
    uint32_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < size; i++) {
        s1 = (s1 + data[i]) % 65521;
        s2 = (s2 + s1) % 65521;
    }
    return (s2 << 16) | s1;
}

std::string Md5Of(const std::string& text) {
    uint8_t digest[16];
    QOVMD5(text.data(), text.size(), digest);
    return testutil::Hex(digest, 16);
}

}  // namespace

//-----------------------------------------------------------------------------
// lookup3 hashlittle2 and the name hash.

TEST(NameHash, HashLittle2MatchesTheLookup3Driver) {
    struct Case {
        const char* text;
        size_t length;
        uint32_t c, b;          // initial values
        uint32_t wantC, wantB;  // results
    } cases[] = {
        {"", 0, 0, 0, 0xdeadbeef, 0xdeadbeef},
        {"", 0, 0, 0xdeadbeef, 0xbd5b7dde, 0xdeadbeef},
        {"", 0, 0xdeadbeef, 0xdeadbeef, 0x9c093ccd, 0xbd5b7dde},
        {"Four score and seven years ago", 30, 0, 0, 0x17770551, 0xce7226e6},
    };
    for (const Case& test : cases) {
        uint32_t c = test.c, b = test.b;
        QOVHashLittle2(test.text, test.length, &c, &b);
        EXPECT_EQ(c, test.wantC) << '"' << test.text << "\" " << test.c << "," << test.b;
        EXPECT_EQ(b, test.wantB) << '"' << test.text << "\" " << test.c << "," << test.b;
    }
}

// Names and hashes from the fixture manifests.  Their lengths cover the
// lookup3 tail cases (1, 4, 5, 8, 12 = one exact block, 13, 21, 23 bytes),
// upper case, '/' and UTF-8 bytes above 0x7F.
TEST(NameHash, MatchesTheIndependentWriter) {
    struct Case {
        const char* name;
        uint64_t masked;
    } cases[] = {
        {"x", 0xEAD79F6542E512F9ull},
        {"Data", 0xE1CB8A79371C0093ull},
        {"stuff", 0xAB4A5964CC23795Eull},
        {"lzma.txt", 0xF37C3B0D9D8C3B8Full},
        {"readme.txt", 0xEADD6F606A83B0C8ull},
        {"(listfile)", 0xBBC43BB0B2F3866Aull},
        {"su/bzip2.txt", 0x8C47693646BE63FDull},
        {"Data/Scripts", 0xF36602BE21B31F9Eull},
        {"dir/three.txt", 0xE87EAA5B204C30C5ull},
        {"su/incompressible.bin", 0xDA61D19ACB0E990Bull},
        {"Data/Textures/stone.dds", 0x841FB946B50187EBull},
        {"\xE4\xB8\xAD\xE6\x96\x87/\xE5\x90\x8D\xE5\xAD\x97.txt", 0xFABFC4A68352EE39ull},
    };
    for (const Case& test : cases) EXPECT_EQ(QOVNameHash(test.name) | kTopBit, test.masked) << test.name;
}

TEST(NameHash, FoldsAsciiCaseAndSlashesOnly) {
    const uint64_t base = QOVNameHash("Data/Foo.TXT");
    EXPECT_EQ(QOVNameHash("data\\foo.txt"), base);
    EXPECT_EQ(QOVNameHash("DATA\\FOO.TXT"), base);
    EXPECT_EQ(QOVNameHashN("Data/Foo.TXT.", 12), base);  // the length is what counts
    EXPECT_NE(QOVNameHash("Data/Foo.TXT."), base);
    EXPECT_NE(QOVNameHash("Data//Foo.TXT"), base);
    // Bytes above 0x7F are kept as they are: a Latin-1 capital is not folded.
    EXPECT_NE(QOVNameHash("\xC9t\xC9"), QOVNameHash("\xE9t\xE9"));
    EXPECT_NE(QOVNameHash("a\x80"), QOVNameHash("a\x81"));
    // Letters next to the folded range are not touched.
    EXPECT_NE(QOVNameHash("@[`{"), QOVNameHash("`{@["));
    EXPECT_NE(QOVNameHash("["), QOVNameHash("{"));
}

TEST(NameHash, LongNamesUseTheWholeName) {
    // Names longer than any fixed buffer of the hash are normalised in full.
    std::string a(2000, 'a'), b(2000, 'A');
    EXPECT_EQ(QOVNameHash(a.c_str()), QOVNameHash(b.c_str()));
    b[1999] = 'B';
    EXPECT_NE(QOVNameHash(a.c_str()), QOVNameHash(b.c_str()));
    b = a;
    b[0] = 'b';
    EXPECT_NE(QOVNameHash(a.c_str()), QOVNameHash(b.c_str()));
}

TEST(NameHash, BitCount) {
    EXPECT_EQ(QOVBitCount(0), 0u);
    EXPECT_EQ(QOVBitCount(1), 1u);
    EXPECT_EQ(QOVBitCount(255), 8u);
    EXPECT_EQ(QOVBitCount(256), 9u);
    EXPECT_EQ(QOVBitCount(kTopBit), 64u);
    EXPECT_EQ(QOVBitCount(~0ull), 64u);
}

//-----------------------------------------------------------------------------
// Cipher table, table cipher and file keys.

TEST(Cipher, TableWords) {
    EXPECT_EQ(QOVCipherWord(0x000), 0x55C636E2u);
    EXPECT_EQ(QOVCipherWord(0x001), 0x02BE0170u);
    EXPECT_EQ(QOVCipherWord(0x100), 0x76F8C1B1u);
    EXPECT_EQ(QOVCipherWord(0x2FF), 0x4C202B7Au);
    EXPECT_EQ(QOVCipherWord(0x300), 0x15F261D3u);
    EXPECT_EQ(QOVCipherWord(0x400), 0x193AA698u);
    EXPECT_EQ(QOVCipherWord(0x4FF), 0x7303286Cu);
}

TEST(Cipher, EncipherKnownWords) {
    uint8_t block[20];
    const uint32_t clear[5] = {0, 1, 2, 3, 0xDEADBEEF};
    const uint32_t stored[5] = {0x2B14C012, 0x7EF08E72, 0x3C48E5F2, 0x53AD2A73, 0x3DC01C1A};
    for (int i = 0; i < 5; i++) WriteLE32(block + 4 * i, clear[i]);
    EncryptQOVBlock(block, sizeof(block), 0x12345678);
    for (int i = 0; i < 5; i++) EXPECT_EQ(ReadLE32(block + 4 * i), stored[i]) << "word " << i;
    DecryptQOVBlock(block, sizeof(block), 0x12345678);
    for (int i = 0; i < 5; i++) EXPECT_EQ(ReadLE32(block + 4 * i), clear[i]) << "word " << i;
}

TEST(Cipher, RoundTripKeepsTrailingBytesInClear) {
    std::mt19937 random(7);
    for (size_t size : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 513u, 4095u, 4096u}) {
        const Bytes clear = testutil::RandomBytes(size, size + 1);
        for (int round = 0; round < 4; round++) {
            const uint32_t key = random();
            Bytes block = clear;
            EncryptQOVBlock(block.data(), block.size(), key);
            const size_t whole = size / 4 * 4;
            // Whole words change (a word equal to its cipher is possible but
            // not for every word of a block); the tail stays as it was.
            if (whole >= 8) {
                EXPECT_NE(Bytes(block.begin(), block.begin() + whole),
                          Bytes(clear.begin(), clear.begin() + whole));
            }
            EXPECT_EQ(Bytes(block.begin() + whole, block.end()), Bytes(clear.begin() + whole, clear.end()))
                << size;
            Bytes wrong = block;
            DecryptQOVBlock(wrong.data(), wrong.size(), key + 1);
            if (whole >= 4) {
                EXPECT_NE(wrong, clear) << size;
            }
            DecryptQOVBlock(block.data(), block.size(), key);
            EXPECT_EQ(block, clear) << size << " key " << key;
        }
    }
}

TEST(Cipher, FileKeyOfKnownNames) {
    // The keys the format family has always used for its own tables.
    EXPECT_EQ(QOVFileKey("(hash table)", 0, 0, false), 0xC3AF3770u);
    EXPECT_EQ(QOVFileKey("(block table)", 0, 0, false), 0xEC83B3A3u);
    EXPECT_EQ(QOVFileKey("(listfile)", 0, 0, false), 0x2D2F0A94u);
}

TEST(Cipher, FileKeyUsesThePlainNameInUpperCase) {
    const uint32_t key = QOVFileKey("main.lua", 0, 0, false);
    EXPECT_EQ(key, 0x24DD2D1Eu);
    EXPECT_EQ(QOVFileKey("Data\\Scripts\\main.lua", 0, 0, false), key);
    EXPECT_EQ(QOVFileKey("Data/Scripts/MAIN.LUA", 0, 0, false), key);
    EXPECT_EQ(QOVFileKey("a\\b/main.lua", 0, 0, false), key);  // the last of either separator
    EXPECT_NE(QOVFileKey("main.lua.", 0, 0, false), key);
    // A name ending in a separator has an empty plain name.
    EXPECT_EQ(QOVFileKey("folder\\", 0, 0, false), 0x7FED7FEDu);
    // Without FIX_KEY the position and size do not matter.
    EXPECT_EQ(QOVFileKey("main.lua", 0x1000, 77, false), key);
}

TEST(Cipher, FixKeyAddsTheLow32BitsOfTheOffsetAndXorsTheSize) {
    const uint32_t plain = QOVFileKey("fix.lua", 0, 0, false);
    EXPECT_EQ(QOVFileKey("Data\\fix.lua", 0x1234500000ABCull, 7000, true), 0xF9758A60u);
    EXPECT_EQ(QOVFileKey("Data\\fix.lua", 0x1234500000ABCull, 7000, true), (plain + 0x00000ABCu) ^ 7000u);
    EXPECT_EQ(QOVFileKey("fix.lua", 0x100000000ull, 0, true), plain);
}

//-----------------------------------------------------------------------------
// Pseudo names and reserved names.

TEST(PseudoName, Recognised) {
    struct Case {
        const char* name;
        bool pseudo;
        uint64_t number;
    } cases[] = {
        {".File123.", true, 123},
        {".file123.xxx", true, 123},
        {".FILE0.", true, 0},
        {".File007.", true, 7},
        {".File18446744073709551615.", true, 0xFFFFFFFFFFFFFFFFull},
        {".File18446744073709551616.", false, 0},  // 2^64
        {".File99999999999999999999.", false, 0},  // far above 2^64
        {".File.", false, 0},
        {".File123", false, 0},
        {".File12a.", false, 0},
        {".File 1.", false, 0},
        {"File123.", false, 0},
        {"x.File123.", false, 0},
        {".Fil", false, 0},
        {"", false, 0},
    };
    for (const Case& test : cases) {
        uint64_t number = 0xABCDEF;
        EXPECT_EQ(IsPseudoFileName(test.name, &number), test.pseudo) << test.name;
        if (test.pseudo) {
            EXPECT_EQ(number, test.number) << test.name;
        }
    }
    EXPECT_FALSE(IsPseudoFileName(nullptr, nullptr));
    EXPECT_TRUE(IsPseudoFileName(".File1.", nullptr));
}

TEST(PseudoName, MadeNamesParseBack) {
    for (uint64_t value : {0ull, 1ull, 0x8000000000000000ull, 0xBAE53E7C399D443Cull, ~0ull}) {
        const std::string name = MakePseudoFileName(value);
        EXPECT_EQ(name, ".File" + std::to_string(value) + ".");
        uint64_t back = 0;
        ASSERT_TRUE(IsPseudoFileName(name.c_str(), &back)) << name;
        EXPECT_EQ(back, value);
    }
}

TEST(PseudoName, ListFileNameAndCaseInsensitiveOrder) {
    EXPECT_TRUE(IsListFileName("(listfile)"));
    EXPECT_TRUE(IsListFileName("(LISTFILE)"));
    EXPECT_TRUE(IsListFileName("(ListFile)"));
    EXPECT_FALSE(IsListFileName("(listfile) "));
    EXPECT_FALSE(IsListFileName("listfile"));
    EXPECT_FALSE(IsListFileName(nullptr));

    EXPECT_EQ(QOVCompareNoCase("ABC", "abc"), 0);
    EXPECT_LT(QOVCompareNoCase("a", "ab"), 0);
    EXPECT_GT(QOVCompareNoCase("b", "A"), 0);
    // Letters are folded to lower case before comparing: '_' (0x5F) sorts
    // before 'a' (0x61) even though it is above 'A' (0x41).
    EXPECT_LT(QOVCompareNoCase("_", "A"), 0);
    // Bytes compare unsigned: UTF-8 sorts after ASCII.
    EXPECT_GT(QOVCompareNoCase("\xC3\xA9", "z"), 0);
    EXPECT_NE(QOVCompareNoCase("\xC9", "\xE9"), 0);
}

//-----------------------------------------------------------------------------
// Bit arrays.

namespace {

uint64_t NaiveGet(const Bytes& array, uint64_t start, uint32_t count) {
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t bit = start + i;
        value |= static_cast<uint64_t>((array[bit / 8] >> (bit % 8)) & 1) << i;
    }
    return value;
}

void NaiveSet(Bytes* array, uint64_t start, uint32_t count, uint64_t value) {
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t bit = start + i;
        const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
        if ((value >> i) & 1)
            (*array)[bit / 8] |= mask;
        else
            (*array)[bit / 8] &= static_cast<uint8_t>(~mask);
    }
}

}  // namespace

TEST(BitArray, GetAndSetMatchBitByBitAtEveryWidth) {
    std::mt19937_64 random(20240601);
    const size_t arrayBytes = 64;
    for (int round = 0; round < 3000; round++) {
        const uint32_t width = static_cast<uint32_t>(round % 65);  // 0..64
        const uint64_t start = random() % (arrayBytes * 8 - width + 1);
        Bytes array = testutil::RandomBytes(arrayBytes, round);
        Bytes expected = array;
        EXPECT_EQ(GetBits64(array.data(), start, width), NaiveGet(array, start, width))
            << "start " << start << " width " << width;

        const uint64_t value = random();
        SetBits64(array.data(), start, width, value);
        NaiveSet(&expected, start, width, value);  // only the low `width` bits land
        ASSERT_EQ(array, expected) << "start " << start << " width " << width;
        const uint64_t mask = width == 64 ? ~0ull : (1ull << width) - 1;
        EXPECT_EQ(GetBits64(array.data(), start, width), value & mask);
    }
}

TEST(BitArray, FieldsEndingAtTheLastByteReadNothingBeyond) {
    // Exactly sized heap arrays: a read past the end shows under the sanitizer.
    for (uint32_t width = 1; width <= 64; width++) {
        for (uint32_t shift = 0; shift < 8; shift++) {
            const size_t bytes = (shift + width + 7) / 8;
            std::unique_ptr<uint8_t[]> array(new uint8_t[bytes]);
            for (size_t i = 0; i < bytes; i++) array[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
            Bytes copy(array.get(), array.get() + bytes);
            EXPECT_EQ(GetBits64(array.get(), shift, width), NaiveGet(copy, shift, width))
                << "shift " << shift << " width " << width;
            SetBits64(array.get(), shift, width, 0x0123456789ABCDEFull);
            NaiveSet(&copy, shift, width, 0x0123456789ABCDEFull);
            EXPECT_EQ(Bytes(array.get(), array.get() + bytes), copy);
        }
    }
}

TEST(BitArray, WideFieldsThroughBytes) {
    std::mt19937_64 random(99);
    for (int round = 0; round < 500; round++) {
        const uint32_t width = static_cast<uint32_t>(random() % 200);  // up to 199 bits
        const uint64_t start = random() % 300;
        Bytes array = testutil::RandomBytes(80, round + 1000);
        const Bytes before = array;
        const Bytes value = testutil::RandomBytes((width + 7) / 8 + 1, round + 5000);
        SetBitsFromBytes(array.data(), start, width, value.data());

        Bytes expected = before;
        for (uint32_t i = 0; i < width; i++) NaiveSet(&expected, start + i, 1, (value[i / 8] >> (i % 8)) & 1);
        ASSERT_EQ(array, expected) << "start " << start << " width " << width;

        // Read back into a buffer of exactly the field's bytes: the bits
        // above the width in the last byte are zero.
        const size_t outBytes = (width + 7) / 8;
        Bytes out(outBytes + 1, 0xEE);
        GetBitsToBytes(array.data(), start, width, out.data(), outBytes);
        for (uint32_t i = 0; i < width; i++)
            ASSERT_EQ((out[i / 8] >> (i % 8)) & 1, (value[i / 8] >> (i % 8)) & 1) << i;
        if (width % 8 != 0) {
            EXPECT_EQ(out[outBytes - 1] >> (width % 8), 0);
        }
        EXPECT_EQ(out[outBytes], 0xEE) << "wrote past the output";
    }
}

TEST(BitArray, GetBitsToBytesClipsOrZeroFills) {
    Bytes array = testutil::RandomBytes(40, 3);
    // A 128-bit field into 16 bytes at an odd offset.
    uint8_t md5[16];
    GetBitsToBytes(array.data(), 13, 128, md5, 16);
    for (uint32_t i = 0; i < 128; i++)
        ASSERT_EQ((md5[i / 8] >> (i % 8)) & 1, static_cast<int>(NaiveGet(array, 13 + i, 1))) << i;
    // A wider field than the output keeps only the low bytes.
    uint8_t four[4];
    GetBitsToBytes(array.data(), 5, 100, four, 4);
    EXPECT_EQ(ReadLE32(four), static_cast<uint32_t>(NaiveGet(array, 5, 32)));
    // A narrower field leaves the high bytes zero; width 0 gives zeros.
    uint8_t wide[16];
    GetBitsToBytes(array.data(), 3, 12, wide, 16);
    EXPECT_EQ(ReadLE16(wide), static_cast<uint16_t>(NaiveGet(array, 3, 12)));
    for (int i = 2; i < 16; i++) EXPECT_EQ(wide[i], 0) << i;
    GetBitsToBytes(array.data(), 3, 0, wide, 16);
    for (int i = 0; i < 16; i++) EXPECT_EQ(wide[i], 0) << i;
}

//-----------------------------------------------------------------------------
// Sector checksums and MD5.

TEST(Digest, SectorChecksumIsAdler32StartingFromZero) {
    const std::string abc = "abc";
    // Adler-32 with the usual start value 1 would be 0x024D0127.
    EXPECT_EQ(QOVSectorChecksum(abc.data(), 3), 0x024A0126u);
    EXPECT_EQ(QOVSectorChecksum(abc.data(), 0), 0u);
    // Long inputs cross the coder's modulo interval (5552 bytes).
    for (size_t size : {1u, 5552u, 5553u, 65536u, 100000u}) {
        const Bytes data = testutil::RandomBytes(size, size);
        EXPECT_EQ(QOVSectorChecksum(data.data(), static_cast<uint32_t>(size)),
                  Adler32FromZero(data.data(), size))
            << size;
    }
    const Bytes ones(70000, 0xFF);
    EXPECT_EQ(QOVSectorChecksum(ones.data(), 70000), Adler32FromZero(ones.data(), ones.size()));
}

TEST(Digest, Md5OfKnownStrings) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("The quick brown fox jumps over the lazy dog"), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Digest, Md5InPartsEqualsMd5AtOnce) {
    const Bytes data = testutil::RandomBytes(10000, 1);
    uint8_t whole[16], parts[16];
    QOVMD5(data.data(), data.size(), whole);
    TMD5 md5;
    size_t done = 0;
    for (size_t part : {0u, 1u, 63u, 64u, 65u, 1000u, 4096u}) {
        md5.Update(data.data() + done, part);
        done += part;
    }
    md5.Update(data.data() + done, data.size() - done);
    md5.Final(parts);
    EXPECT_EQ(testutil::Hex(parts, 16), testutil::Hex(whole, 16));
    uint8_t zero[16] = {};
    EXPECT_TRUE(IsZeroDigest(zero));
    zero[15] = 1;
    EXPECT_FALSE(IsZeroDigest(zero));
}

//-----------------------------------------------------------------------------
// Log sink.

namespace {

std::vector<std::string> g_lines;
void CollectLine(const char* line) { g_lines.push_back(line); }
// A sink that does its own I/O and so disturbs the last error.
void ClobberingSink(const char* line) {
    g_lines.push_back(line);
    QOVSetLastError(4242);
}

class LogSinkTest : public testing::Test {
protected:
    void SetUp() override { g_lines.clear(); }
    void TearDown() override {
        QOVSetLogSink(nullptr);
        g_lines.clear();
    }
};

}  // namespace

TEST_F(LogSinkTest, DebugAndErrorLineFormats) {
    QOVSetLogSink(CollectLine);
    EXPECT_FALSE(SFileFlushArchive(nullptr));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    ASSERT_GE(g_lines.size(), 2u);
    const std::regex debugLine(R"(\[debug QOV2LOG\]\d+ \[[^\]\n]+\] \n)");
    const std::regex errorLine(R"(\[error QOV2LOG\]\d+ \[[^\]\n]+\] \[result\]:[^\n]*;\[code\]:6\n)");
    EXPECT_TRUE(std::regex_match(g_lines.front(), debugLine)) << g_lines.front();
    EXPECT_TRUE(std::regex_match(g_lines.back(), errorLine)) << g_lines.back();

    // The open gives the archive name and 0 in its debug line.
    g_lines.clear();
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(SFileOpenArchive("no-such-archive.qov", &ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    ASSERT_FALSE(g_lines.empty());
    EXPECT_TRUE(std::regex_match(
        g_lines.front(), std::regex(R"(\[debug QOV2LOG\]\d+ \[[^\]\n]+\] \[no-such-archive\.qov\] \[0\]\n)")))
        << g_lines.front();
    EXPECT_TRUE(std::regex_match(
        g_lines.back(),
        std::regex(R"(\[error QOV2LOG\]\d+ \[SFileOpenArchive\] \[result\]:[^\n]*;\[code\]:2\n)")))
        << g_lines.back();
}

// Every line names the operation that wrote it ("[SFileFlushArchive]"), so
// a log read later says where a failure happened.
TEST_F(LogSinkTest, LinesNameTheOperation) {
    QOVSetLogSink(CollectLine);
    TNQOVArchive* ha = nullptr;
    SFileFlushArchive(nullptr);
    SFileOpenArchive("no-such-archive.qov", &ha, 0);
    NQOVOpenFileEx(nullptr, "x", 0, nullptr);
    SFileVerifyAll(nullptr, nullptr);
    const std::vector<std::string> lines = g_lines;
    QOVSetLogSink(nullptr);
    std::vector<std::string> wrong;
    for (const std::string& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, std::regex(R"(^\[\w+ QOV2LOG\]\d+ \[([^\]]*)\])")))
            << line;
        const std::string operation = match[1];
        if (operation.compare(0, 5, "SFile") != 0 && operation.compare(0, 4, "NQOV") != 0)
            wrong.push_back(line);
    }
    EXPECT_TRUE(wrong.empty()) << "a line names no operation, e.g. " << wrong[0];
}

TEST_F(LogSinkTest, LoggingNeverChangesTheLastError) {
    QOVSetLogSink(ClobberingSink);
    QOVSetLastError(1234);
    QOV_LOG_ERROR("test line", 5);
    EXPECT_EQ(QOVGetLastError(), 1234u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        g_lines[0], std::regex(R"(\[error QOV2LOG\]\d+ \[\w+\] \[result\]:test line;\[code\]:5\n)")))
        << g_lines[0];

    // Operations report the same error with a sink that disturbs it.
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(SFileOpenArchive("no-such-archive.qov", &ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SFileOpenArchive("", &ha, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SFileGetFileSize(nullptr), NQOV_INVALID_SIZE);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(LogSinkTest, LongLinesAreCutNotOverrun) {
    QOVSetLogSink(CollectLine);
    const std::string longName(3000, 'n');
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(SFileOpenArchive(longName.c_str(), &ha, 0));
    ASSERT_FALSE(g_lines.empty());
    for (const std::string& line : g_lines) EXPECT_LE(line.size(), 1023u);
}

TEST_F(LogSinkTest, NoSinkNoLines) {
    QOVSetLogSink(CollectLine);
    QOVSetLogSink(nullptr);
    EXPECT_FALSE(SFileFlushArchive(nullptr));
    EXPECT_TRUE(g_lines.empty());
}
