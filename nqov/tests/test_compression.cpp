// Tests of compressed blocks: CompressBlock, DecompressBlock and the coder
// table behind them.
//
// Reference blocks are made with the coder libraries themselves (zlib's
// deflate, libbzip2, the LZMA SDK encoder), never with the code under test,
// so a fault shared by both directions cannot hide.  Buffers handed to the
// code under test are heap blocks of exactly the stated size, so an
// AddressSanitizer build catches any read or write past them.

#include "common/QOVCommon.h"
#include "common/QOVCompression.h"

#include <gtest/gtest.h>

#include <bzlib.h>
#include <zlib.h>

#include <LzmaEnc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

const uint32_t kUnchanged = 0xDEADBEEFu;  // last-error value no call sets

//-----------------------------------------------------------------------------
// Inputs

Bytes Zeros(size_t n) { return Bytes(n, 0); }

// Text-like data: words from a small vocabulary, so it compresses well but
// not trivially.
Bytes Text(size_t n, uint32_t seed = 1) {
    static const char* const kWords[] = {"archive ", "sector ", "piece ", "table ",   "block ", "header ",
                                         "repair ",  "the ",    "of ",    "digest\n", "file ",  "QOV "};
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(n);
    return out;
}

Bytes Random(size_t n, uint32_t seed = 7) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

//-----------------------------------------------------------------------------
// Calls into the code under test with exactly sized heap buffers.

struct Result {
    bool ok;
    uint32_t length;  // *pcbOutBuffer on return
    uint32_t error;   // last error, kUnchanged when none was set
    Bytes data;       // the first `length` bytes of the output (on success)
};

Result Compress(const Bytes& input, uint32_t capacity) {
    std::unique_ptr<uint8_t[]> in(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    if (!input.empty()) std::memcpy(in.get(), input.data(), input.size());
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity == 0 ? 1 : capacity]);
    uint32_t cb = capacity;
    QOVSetLastError(kUnchanged);
    Result r;
    r.ok = CompressBlock(in.get(), out.get(), &cb, static_cast<uint32_t>(input.size()), -1);
    r.length = cb;
    r.error = QOVGetLastError();
    if (r.ok && cb <= capacity) r.data.assign(out.get(), out.get() + cb);
    return r;
}

Result Compress(const Bytes& input) { return Compress(input, static_cast<uint32_t>(input.size())); }

Result CompressMethods(const Bytes& input, uint32_t methods) {
    Bytes out(input.size() + 1);
    uint32_t cb = static_cast<uint32_t>(input.size());
    QOVSetLastError(kUnchanged);
    Result r;
    r.ok = QOVCompressBlockMethods(input.data(), out.data(), &cb, static_cast<uint32_t>(input.size()), -1,
                                   methods);
    r.length = cb;
    r.error = QOVGetLastError();
    if (r.ok) r.data.assign(out.begin(), out.begin() + cb);
    return r;
}

Result Decompress(const Bytes& block, uint32_t expected) {
    // Exact-size copies: an overrun on either side is a heap overflow.
    std::unique_ptr<uint8_t[]> in(new uint8_t[block.empty() ? 1 : block.size()]);
    if (!block.empty()) std::memcpy(in.get(), block.data(), block.size());
    std::unique_ptr<uint8_t[]> out(new uint8_t[expected == 0 ? 1 : expected]);
    uint32_t cb = expected;
    QOVSetLastError(kUnchanged);
    Result r;
    r.ok = DecompressBlock(out.get(), &cb, in.get(), static_cast<uint32_t>(block.size()));
    r.length = cb;
    r.error = QOVGetLastError();
    if (r.ok && cb <= expected) r.data.assign(out.get(), out.get() + cb);
    return r;
}

//-----------------------------------------------------------------------------
// Reference coders (the libraries themselves).

// zlib stream as CompressBlock's settings make it: level 6, memLevel 8,
// default strategy, the given window.
Bytes ZlibReference(const Bytes& input, int windowBits) {
    z_stream z;
    std::memset(&z, 0, sizeof(z));
    EXPECT_EQ(Z_OK, deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY));
    Bytes out(deflateBound(&z, static_cast<uLong>(input.size())) + 16);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes ZlibDefault(const Bytes& input) {
    uLongf cb = compressBound(static_cast<uLong>(input.size()));
    Bytes out(cb);
    EXPECT_EQ(Z_OK, compress2(out.data(), &cb, input.data(), static_cast<uLong>(input.size()), 9));
    out.resize(cb);
    return out;
}

Bytes Bzip2Reference(const Bytes& input) {
    unsigned int cb = static_cast<unsigned int>(input.size() + input.size() / 100 + 600);
    Bytes out(cb);
    EXPECT_EQ(BZ_OK, BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &cb,
                                              const_cast<char*>(reinterpret_cast<const char*>(input.data())),
                                              static_cast<unsigned int>(input.size()), 9, 0, 30));
    out.resize(cb);
    return out;
}

void* SdkAlloc(void*, size_t size) { return std::malloc(size); }
void SdkFree(void*, void* address) { std::free(address); }
ISzAlloc g_sdkAlloc = {SdkAlloc, SdkFree};

struct LzmaSettings {
    int lc = 3, lp = 0, pb = 2;
    bool endMark = true;
};

// An LZMA block: 0x20, filter byte 0, five property bytes, the 8-byte size
// field (all FF: unknown size), then the stream from the LZMA SDK encoder.
Bytes LzmaBlock(const Bytes& input, const LzmaSettings& s = LzmaSettings()) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 5;
    props.dictSize = 1u << 16;
    props.lc = s.lc;
    props.lp = s.lp;
    props.pb = s.pb;
    props.numThreads = 1;
    SizeT cbStream = input.size() + input.size() / 3 + 256;
    Bytes stream(cbStream);
    Byte propBytes[LZMA_PROPS_SIZE];
    SizeT cbProps = LZMA_PROPS_SIZE;
    EXPECT_EQ(SZ_OK, LzmaEncode(stream.data(), &cbStream, input.data(), input.size(), &props, propBytes,
                                &cbProps, s.endMark ? 1 : 0, nullptr, &g_sdkAlloc, &g_sdkAlloc));
    EXPECT_EQ(static_cast<SizeT>(LZMA_PROPS_SIZE), cbProps);
    Bytes block(2 + LZMA_PROPS_SIZE + 8 + cbStream, 0xFF);
    block[0] = NQOV_COMPRESSION_LZMA;
    block[1] = 0;
    std::copy(propBytes, propBytes + LZMA_PROPS_SIZE, block.begin() + 2);
    std::copy(stream.begin(), stream.begin() + cbStream, block.begin() + 2 + LZMA_PROPS_SIZE + 8);
    return block;
}

Bytes WithMethod(uint8_t method, const Bytes& coded) {
    Bytes block(1 + coded.size());
    block[0] = method;
    std::copy(coded.begin(), coded.end(), block.begin() + 1);
    return block;
}

void ExpectCorrupt(const Bytes& block, uint32_t expected) {
    const Result d = Decompress(block, expected);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_CORRUPT), d.error);
}

//-----------------------------------------------------------------------------
// Round trips

struct Kind {
    const char* name;
    Bytes (*make)(size_t);
};
Bytes MakeZeros(size_t n) { return Zeros(n); }
Bytes MakeText(size_t n) { return Text(n); }
Bytes MakeRandom(size_t n) { return Random(n); }
const Kind kKinds[] = {{"zeros", MakeZeros}, {"text", MakeText}, {"random", MakeRandom}};
const size_t kSizes[] = {0, 1, 31, 32, 255, 256, 257, 4096, 65536};

// Every size crossing a window boundary of the zlib compressor.
const size_t kWindowSizes[] = {1,    256,  257,  512,  513,  1024,  1025,  2048,
                               2049, 4096, 4097, 8192, 8193, 16384, 16385, 65536};

TEST(CompressionRoundTrip, EverySizeAndKindComesBackUnchanged) {
    for (const Kind& kind : kKinds) {
        for (size_t n : kSizes) {
            SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(n));
            const Bytes input = kind.make(n);
            const Result c = Compress(input);
            ASSERT_TRUE(c.ok);
            ASSERT_LE(c.length, n);
            if (c.length == n) {
                EXPECT_EQ(input, c.data) << "a block as long as its input is the input";
            } else {
                ASSERT_GE(c.length, 2u);
                EXPECT_EQ(NQOV_COMPRESSION_ZLIB, c.data[0]);
                EXPECT_LE(c.length + 1, n);
            }
            const Result d = Decompress(c.data, static_cast<uint32_t>(n));
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(n, d.length);
            EXPECT_EQ(input, d.data);
        }
    }
}

TEST(CompressionRoundTrip, CompressibleInputsAreCompressedRandomOnesStoredPlain) {
    for (size_t n : {257u, 4096u, 65536u}) {
        SCOPED_TRACE(n);
        EXPECT_LT(Compress(Zeros(n)).length, n);
        EXPECT_LT(Compress(Text(n)).length, n);
        EXPECT_EQ(n, Compress(Random(n)).length);
    }
}

TEST(CompressionRoundTrip, LargerCapacityGivesTheSameBlock) {
    const Bytes input = Text(5000);
    const Result exact = Compress(input);
    const Result roomy = Compress(input, 3 * 5000);
    ASSERT_TRUE(exact.ok);
    ASSERT_TRUE(roomy.ok);
    EXPECT_EQ(exact.data, roomy.data);
}

TEST(CompressionRoundTrip, LevelArgumentDoesNotChangeTheBlock) {
    const Bytes input = Text(3000);
    std::vector<Bytes> blocks;
    for (int32_t level : {-1, 0, 1, 9, 1000}) {
        Bytes out(input.size());
        uint32_t cb = static_cast<uint32_t>(out.size());
        ASSERT_TRUE(CompressBlock(input.data(), out.data(), &cb, static_cast<uint32_t>(input.size()), level));
        out.resize(cb);
        blocks.push_back(out);
    }
    for (const Bytes& b : blocks) EXPECT_EQ(blocks[0], b);
}

//-----------------------------------------------------------------------------
// zlib settings

TEST(CompressionZlibSettings, WindowBitsFollowTheInputLength) {
    EXPECT_EQ(8, QOVZlibWindowBits(0));
    EXPECT_EQ(8, QOVZlibWindowBits(256));
    EXPECT_EQ(9, QOVZlibWindowBits(257));
    EXPECT_EQ(9, QOVZlibWindowBits(512));
    EXPECT_EQ(10, QOVZlibWindowBits(513));
    EXPECT_EQ(10, QOVZlibWindowBits(1024));
    EXPECT_EQ(11, QOVZlibWindowBits(1025));
    EXPECT_EQ(11, QOVZlibWindowBits(2048));
    EXPECT_EQ(12, QOVZlibWindowBits(2049));
    EXPECT_EQ(12, QOVZlibWindowBits(4096));
    EXPECT_EQ(13, QOVZlibWindowBits(4097));
    EXPECT_EQ(13, QOVZlibWindowBits(8192));
    EXPECT_EQ(14, QOVZlibWindowBits(8193));
    EXPECT_EQ(14, QOVZlibWindowBits(16384));
    EXPECT_EQ(15, QOVZlibWindowBits(16385));
    EXPECT_EQ(15, QOVZlibWindowBits(0xFFFFFFFFu));
}

// The compressor reuses its streams between blocks; each block must still be
// byte for byte what a fresh stream with the same settings writes.  Sizes are
// visited in a scrambled order, twice, so every stream is reused after
// blocks of other sizes.
TEST(CompressionZlibSettings, BlocksMatchAFreshStreamWithTheSameSettings) {
    std::vector<size_t> order;
    for (int pass = 0; pass < 2; pass++)
        for (size_t n : kWindowSizes) order.push_back(n);
    std::mt19937 rng(3);
    std::shuffle(order.begin(), order.end(), rng);

    uint32_t seed = 100;
    for (size_t n : order) {
        for (int kind = 0; kind < 2; kind++) {
            SCOPED_TRACE(std::to_string(n) + (kind ? " text" : " zeros"));
            const Bytes input = kind ? Text(n, seed++) : Zeros(n);
            const Result c = Compress(input);
            ASSERT_TRUE(c.ok);
            const Bytes expected = ZlibReference(input, QOVZlibWindowBits(static_cast<uint32_t>(n)));
            if (expected.size() + 2 > n) {
                EXPECT_EQ(input, c.data);
                continue;
            }
            ASSERT_EQ(WithMethod(NQOV_COMPRESSION_ZLIB, expected), c.data);
            // The zlib header names the window: CINFO + 8 bits, never below 9.
            const int cinfoBits = (c.data[1] >> 4) + 8;
            EXPECT_EQ(std::max(9, QOVZlibWindowBits(static_cast<uint32_t>(n))), cinfoBits);
        }
    }
}

TEST(CompressionZlibSettings, StreamsStayIndependentAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 50; i++) {
                const size_t n = kWindowSizes[(t * 7 + i) % (sizeof(kWindowSizes) / sizeof(size_t))];
                const Bytes input = Text(n, static_cast<uint32_t>(t * 1000 + i));
                Bytes block(n);
                uint32_t cb = static_cast<uint32_t>(n);
                if (!CompressBlock(input.data(), block.data(), &cb, static_cast<uint32_t>(n), -1)) {
                    failures[t]++;
                    continue;
                }
                block.resize(cb);
                Bytes out(n);
                uint32_t cbOut = static_cast<uint32_t>(n);
                if (!DecompressBlock(out.data(), &cbOut, block.data(), cb) || cbOut != n || out != input)
                    failures[t]++;
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; t++) EXPECT_EQ(0, failures[t]) << "thread " << t;
}

//-----------------------------------------------------------------------------
// Compression edge cases and parameters

TEST(CompressionEdgeCases, SectorOfZerosBecomesAZlibBlock) {
    const Result c = Compress(Zeros(4096));
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(NQOV_COMPRESSION_ZLIB, c.data[0]);
    EXPECT_LT(c.length, 4095u);
}

TEST(CompressionEdgeCases, RandomBytesAreStoredPlain) {
    const Bytes input = Random(100, 42);
    const Result c = Compress(input);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(100u, c.length);
    EXPECT_EQ(input, c.data);
}

// Random bytes followed by zeros: the deflated length creeps up by about a
// byte per zero, so the boundary of the gain rule can be hit exactly.
TEST(CompressionEdgeCases, GainRuleBoundary) {
    bool foundKept = false, foundDropped = false;
    for (size_t k = 1000; k < 1100 && !(foundKept && foundDropped); k++) {
        for (size_t m = 0; m < 64; m++) {
            Bytes input = Random(k, static_cast<uint32_t>(k));
            input.resize(k + m, 0);
            const size_t n = input.size();
            const size_t coded = ZlibReference(input, QOVZlibWindowBits(static_cast<uint32_t>(n))).size();
            if (coded + 1 != n && coded + 2 != n) continue;
            SCOPED_TRACE(std::to_string(k) + "+" + std::to_string(m));
            const Result c = Compress(input);
            ASSERT_TRUE(c.ok);
            if (coded + 2 == n) {
                // Two bytes shorter: kept, the block is one byte shorter.
                foundKept = true;
                EXPECT_EQ(n - 1, c.length);
                EXPECT_EQ(NQOV_COMPRESSION_ZLIB, c.data[0]);
            } else {
                // One byte shorter would make a block as long as the input,
                // which reads as plain data: stored plain instead.
                foundDropped = true;
                EXPECT_EQ(n, c.length);
                EXPECT_EQ(input, c.data);
            }
            const Result d = Decompress(c.data, static_cast<uint32_t>(n));
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(input, d.data);
        }
    }
    EXPECT_TRUE(foundKept);
    EXPECT_TRUE(foundDropped);
}

TEST(CompressionEdgeCases, TinyInputsAreStoredPlain) {
    // One and two bytes can never gain the two bytes a kept step needs.
    for (size_t n : {1u, 2u}) {
        const Result c = Compress(Zeros(n));
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(n, c.length);
        EXPECT_EQ(Zeros(n), c.data);
    }
}

TEST(CompressionEdgeCases, EmptyInputGivesAnEmptyBlock) {
    uint8_t in = 0, out = 0;
    uint32_t cb = 10;
    ASSERT_TRUE(CompressBlock(&in, &out, &cb, 0, -1));
    EXPECT_EQ(0u, cb);
}

TEST(CompressionParameters, CapacitySmallerThanInputFails) {
    const Result c = Compress(Zeros(4096), 4095);
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), c.error);
    EXPECT_EQ(4095u, c.length) << "the length is left alone on failure";
}

TEST(CompressionParameters, NullPointersFail) {
    uint8_t in[16] = {}, out[16] = {};
    uint32_t cb = sizeof(out);

    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(CompressBlock(in, out, nullptr, sizeof(in), -1));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());

    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(CompressBlock(in, nullptr, &cb, sizeof(in), -1));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());

    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(CompressBlock(nullptr, out, &cb, sizeof(in), -1));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());

    // The pointers are checked before an empty input is accepted.
    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(CompressBlock(nullptr, out, &cb, 0, -1));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());
}

TEST(CompressionMethods, Bzip2AloneMakesA0x10Block) {
    const Bytes input = Text(20000, 9);
    const Result c = CompressMethods(input, NQOV_COMPRESSION_BZIP2);
    ASSERT_TRUE(c.ok);
    ASSERT_LT(c.length, input.size());
    EXPECT_EQ(NQOV_COMPRESSION_BZIP2, c.data[0]);
    EXPECT_EQ(WithMethod(NQOV_COMPRESSION_BZIP2, Bzip2Reference(input)), c.data);
    const Result d = Decompress(c.data, static_cast<uint32_t>(input.size()));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(CompressionMethods, ChainRunsZlibThenBzip2AndDecodesBack) {
    // bzip2 of deflated zeros is larger than the deflated zeros, but still
    // far below the plain input, so both steps are kept.
    const Bytes input = Zeros(65536);
    const Result c = CompressMethods(input, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2);
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2, c.data[0]);
    const Bytes zlib = ZlibReference(input, 15);
    EXPECT_EQ(WithMethod(0x12, Bzip2Reference(zlib)), c.data);
    const Result d = Decompress(c.data, 65536);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(CompressionMethods, ChainKeepsOnlyTheStepsThatGain) {
    // Each step is measured against the plain input, so the bzip2 step may
    // be kept or dropped after deflate; either way the block decodes back.
    for (size_t n : {300u, 4096u, 65536u}) {
        SCOPED_TRACE(n);
        const Bytes input = Text(n, 5);
        const Result c = CompressMethods(input, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2);
        ASSERT_TRUE(c.ok);
        ASSERT_LT(c.length, n);
        EXPECT_NE(0, c.data[0] & NQOV_COMPRESSION_ZLIB);
        const Result d = Decompress(c.data, static_cast<uint32_t>(n));
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(input, d.data);
    }
    // Random data: no step gains, the input is stored plain.
    const Bytes random = Random(5000);
    const Result c = CompressMethods(random, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(random, c.data);
}

TEST(CompressionMethods, ChainDropsALaterStepThatDoesNotGain) {
    // Deflate gains a little on mostly random data; bzip2 over the deflated
    // bytes adds its own overhead and no longer gains against the input, so
    // the block is the deflate step alone.
    bool found = false;
    for (size_t zeros = 0; zeros < 1000 && !found; zeros += 4) {
        Bytes input = Random(4000, 61);
        input.resize(4000 + zeros, 0);
        const uint32_t n = static_cast<uint32_t>(input.size());
        const Bytes zlib = ZlibReference(input, QOVZlibWindowBits(n));
        if (zlib.size() + 2 > n || Bzip2Reference(zlib).size() + 2 <= n) continue;
        found = true;
        SCOPED_TRACE(zeros);
        const Result c = CompressMethods(input, NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2);
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(WithMethod(NQOV_COMPRESSION_ZLIB, zlib), c.data);
        const Result d = Decompress(c.data, n);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(input, d.data);
    }
    EXPECT_TRUE(found);
}

TEST(CompressionMethods, MethodsWithoutACompressorFail) {
    const Bytes input = Zeros(1000);
    for (uint32_t m : {0x01u, 0x04u, 0x20u, 0x22u, 0x80u}) {
        SCOPED_TRACE(m);
        const Result c = CompressMethods(input, m);
        EXPECT_FALSE(c.ok);
        EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_SUPPORTED), c.error);
    }
}

//-----------------------------------------------------------------------------
// Decompression: methods and the plain case

TEST(DecompressionMethods, Zlib0x02BlockFromZlibItselfDecodes) {
    const Bytes input = Text(10000, 11);
    const Result d = Decompress(WithMethod(0x02, ZlibDefault(input)), 10000);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(DecompressionMethods, Bzip2BlockDecodes) {
    const Bytes input = Text(10000, 12);
    const Result d = Decompress(WithMethod(0x10, Bzip2Reference(input)), 10000);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(10000u, d.length);
    EXPECT_EQ(input, d.data);
}

TEST(DecompressionMethods, Block0x12IsBunzippedThenInflated) {
    // Coded in compression order: deflate first, bzip2 over the result.
    for (const Bytes& input : {Text(4096, 13), Zeros(4096)}) {
        const Bytes block = WithMethod(0x12, Bzip2Reference(ZlibDefault(input)));
        const Result d = Decompress(block, 4096);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(4096u, d.length);
        EXPECT_EQ(input, d.data);
    }
}

TEST(DecompressionMethods, Block0x12WhoseMiddleLayerExceedsTheExpectedLengthFails) {
    // Every coder of a chain gets the expected length as room, so deflated
    // random data (longer than the data itself) cannot pass through bzip2.
    const Bytes input = Random(4096);
    const Bytes zlib = ZlibDefault(input);
    ASSERT_GT(zlib.size(), input.size());
    ExpectCorrupt(WithMethod(0x12, Bzip2Reference(zlib)), 4096);
}

TEST(DecompressionMethods, UnknownMethodBitsFailWithNotSupported) {
    const Bytes coded = ZlibDefault(Text(500));
    for (uint8_t m : {0x01, 0x03, 0x04, 0x08, 0x40, 0x80, 0x22, 0x30, 0x32, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(m));
        const Result d = Decompress(WithMethod(m, coded), 500);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_SUPPORTED), d.error);
    }
}

TEST(DecompressionMethods, BlockAsLongAsExpectedIsCopiedWhateverItsFirstByte) {
    for (uint8_t first : {0x02, 0x10, 0x12, 0x20, 0x01, 0x00}) {
        SCOPED_TRACE(static_cast<int>(first));
        Bytes block = Random(64, first);
        block[0] = first;
        const Result d = Decompress(block, 64);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(64u, d.length);
        EXPECT_EQ(block, d.data);
        EXPECT_EQ(kUnchanged, d.error);
    }
}

TEST(DecompressionMethods, PlainBlockDecodedInPlace) {
    Bytes buffer = Random(50);
    const Bytes copy = buffer;
    uint32_t cb = 50;
    ASSERT_TRUE(DecompressBlock(buffer.data(), &cb, buffer.data(), 50));
    EXPECT_EQ(50u, cb);
    EXPECT_EQ(copy, buffer);
}

TEST(DecompressionMethods, MethodByteZeroCopiesTheRestOneByteShort) {
    const Bytes payload = Text(40);
    const Result d = Decompress(WithMethod(0x00, payload), 41 + 5);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(40u, d.length);
    EXPECT_EQ(payload, d.data);
}

TEST(DecompressionMethods, MethodByteZeroLargerThanTheBufferFails) {
    // 41 bytes after the method byte do not fit a 40-byte buffer.
    const Result d = Decompress(WithMethod(0x00, Text(41)), 40);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_CORRUPT), d.error);
}

TEST(DecompressionMethods, EmptyBlockGivesNothing) {
    uint8_t in = 0x02, out = 0;
    uint32_t cb = 100;
    ASSERT_TRUE(DecompressBlock(&out, &cb, &in, 0));
    EXPECT_EQ(0u, cb);
}

TEST(DecompressionParameters, NullPointers) {
    uint8_t in[8] = {0x02}, out[16] = {};
    uint32_t cb = sizeof(out);

    // No input: false without touching the last error.
    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(DecompressBlock(out, &cb, nullptr, sizeof(in)));
    EXPECT_EQ(kUnchanged, QOVGetLastError());
    EXPECT_FALSE(DecompressBlock(out, &cb, nullptr, 0));
    EXPECT_EQ(kUnchanged, QOVGetLastError());

    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(DecompressBlock(out, nullptr, in, sizeof(in)));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());

    QOVSetLastError(kUnchanged);
    EXPECT_FALSE(DecompressBlock(nullptr, &cb, in, sizeof(in)));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), QOVGetLastError());
}

//-----------------------------------------------------------------------------
// Decompression: broken zlib and bzip2 blocks

TEST(DecompressionBrokenZlib, TruncatedBlocksFail) {
    const Bytes input = Text(8000, 21);
    const Bytes block = WithMethod(0x02, ZlibDefault(input));
    // Every prefix that still has a coded byte (the full block minus the
    // Adler-32 trailer included).
    for (size_t len = 2; len < block.size(); len++) {
        SCOPED_TRACE(len);
        ExpectCorrupt(Bytes(block.begin(), block.begin() + len), 8000);
    }
    ExpectCorrupt({0x02}, 8000);  // method byte alone: no coder output
}

TEST(DecompressionBrokenZlib, CorruptedBlocksFail) {
    const Bytes input = Text(8000, 22);
    const Bytes block = WithMethod(0x02, ZlibDefault(input));
    Bytes badHeader = block;
    badHeader[1] ^= 0x01;  // header check bits no longer match
    ExpectCorrupt(badHeader, 8000);
    Bytes badTrailer = block;
    badTrailer.back() ^= 0x80;  // Adler-32 mismatch
    ExpectCorrupt(badTrailer, 8000);
    Bytes badMiddle = block;
    for (size_t i = 10; i < 40; i++) badMiddle[i] = 0xFF;
    ExpectCorrupt(badMiddle, 8000);
}

TEST(DecompressionBrokenZlib, OutputLargerThanExpectedFails) {
    const Bytes input = Text(8000, 23);
    const Bytes block = WithMethod(0x02, ZlibDefault(input));
    ExpectCorrupt(block, 7999);
    ExpectCorrupt(block, 1000);
    const Result exact = Decompress(block, 8000);
    ASSERT_TRUE(exact.ok);
    EXPECT_EQ(input, exact.data);
    // A larger buffer is fine: the length produced is returned.
    const Result roomy = Decompress(block, 9000);
    ASSERT_TRUE(roomy.ok);
    EXPECT_EQ(8000u, roomy.length);
}

TEST(DecompressionBrokenZlib, EmptyStreamOutputFails) {
    // A valid zlib stream of nothing: the coder produces 0 bytes.
    ExpectCorrupt(WithMethod(0x02, ZlibDefault(Bytes())), 100);
}

TEST(DecompressionBrokenBzip2, TruncatedBlocksFail) {
    const Bytes input = Text(8000, 31);
    const Bytes block = WithMethod(0x10, Bzip2Reference(input));
    for (size_t len = 1; len < block.size(); len++) {
        SCOPED_TRACE(len);
        ExpectCorrupt(Bytes(block.begin(), block.begin() + len), 8000);
    }
}

TEST(DecompressionBrokenBzip2, CorruptedBlocksFail) {
    const Bytes input = Text(8000, 32);
    const Bytes block = WithMethod(0x10, Bzip2Reference(input));
    Bytes badMagic = block;
    badMagic[1] = 'X';
    ExpectCorrupt(badMagic, 8000);
    Bytes badLevel = block;
    badLevel[4] = '0';  // block size digit out of range
    ExpectCorrupt(badLevel, 8000);
    Bytes badCrc = block;
    badCrc[12] ^= 0x55;  // inside the block CRC
    ExpectCorrupt(badCrc, 8000);
    Bytes badMiddle = block;
    badMiddle[block.size() / 2] ^= 0xFF;
    ExpectCorrupt(badMiddle, 8000);
}

TEST(DecompressionBrokenBzip2, OutputLargerThanExpectedFails) {
    const Bytes input = Text(8000, 33);
    const Bytes block = WithMethod(0x10, Bzip2Reference(input));
    ExpectCorrupt(block, 7999);
    ExpectCorrupt(block, 1);
    const Result exact = Decompress(block, 8000);
    ASSERT_TRUE(exact.ok);
    EXPECT_EQ(input, exact.data);
}

TEST(DecompressionBrokenChain, EitherLayerBrokenFails) {
    const Bytes input = Text(4096, 34);
    const Bytes zlib = ZlibDefault(input);
    // The bzip2 layer decodes, the zlib layer inside it is cut short.
    ExpectCorrupt(WithMethod(0x12, Bzip2Reference(Bytes(zlib.begin(), zlib.end() - 5))), 4096);
    // The outer layer is zlib, not bzip2.
    ExpectCorrupt(WithMethod(0x12, zlib), 4096);
    // Inflated data larger than expected.
    ExpectCorrupt(WithMethod(0x12, Bzip2Reference(zlib)), 4095);
}

//-----------------------------------------------------------------------------
// Decompression: LZMA blocks

TEST(DecompressionLzma, ValidBlocksDecode) {
    for (size_t n : {1u, 100u, 4096u, 65536u}) {
        for (int kind = 0; kind < 3; kind++) {
            SCOPED_TRACE(std::to_string(n) + " kind " + std::to_string(kind));
            const Bytes input = kind == 0 ? Zeros(n) : kind == 1 ? Text(n, 41) : Random(n, 41);
            const Result d = Decompress(LzmaBlock(input), static_cast<uint32_t>(n));
            ASSERT_TRUE(d.ok);
            EXPECT_EQ(n, d.length);
            EXPECT_EQ(input, d.data);
        }
    }
}

TEST(DecompressionLzma, StreamWithoutEndMarkDecodesToTheExpectedLength) {
    const Bytes input = Text(5000, 42);
    LzmaSettings s;
    s.endMark = false;
    const Result d = Decompress(LzmaBlock(input, s), 5000);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(DecompressionLzma, UnusualPropertiesDecode) {
    // lc + lp above 4 is valid LZMA; lc 8 + lp 4 needs the largest table.
    const Bytes input = Text(3000, 43);
    for (const LzmaSettings& s :
         {LzmaSettings{0, 0, 0, true}, LzmaSettings{8, 4, 4, true}, LzmaSettings{4, 2, 1, true}}) {
        SCOPED_TRACE(std::to_string(s.lc) + "/" + std::to_string(s.lp) + "/" + std::to_string(s.pb));
        const Result d = Decompress(LzmaBlock(input, s), 3000);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(input, d.data);
    }
}

TEST(DecompressionLzma, DecodesAtMostTheExpectedLength) {
    const Bytes input = Text(5000, 44);
    const Bytes block = LzmaBlock(input);
    const Result shorter = Decompress(block, 3000);
    ASSERT_TRUE(shorter.ok);
    EXPECT_EQ(3000u, shorter.length);
    EXPECT_EQ(Bytes(input.begin(), input.begin() + 3000), shorter.data);
    // The end mark stops a stream before a larger buffer is full.
    const Result longer = Decompress(block, 8000);
    ASSERT_TRUE(longer.ok);
    EXPECT_EQ(5000u, longer.length);
    EXPECT_EQ(input, longer.data);
}

TEST(DecompressionLzma, MissingEndMarkAfterAFullBufferIsNotNeeded) {
    // Decoding stops when the buffer is full, so the end mark (the last
    // bytes of the stream) is never read.
    const Bytes input = Text(6000, 49);
    const Bytes block = LzmaBlock(input);
    const Result d = Decompress(Bytes(block.begin(), block.end() - 2), 6000);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(DecompressionLzma, FourteenBytesOrFewerAfterTheMethodByteFail) {
    const Bytes full = LzmaBlock(Text(1000, 45));
    ASSERT_GT(full.size(), 15u);
    for (size_t behind = 0; behind <= 14; behind++) {
        SCOPED_TRACE(behind);
        ExpectCorrupt(Bytes(full.begin(), full.begin() + 1 + behind), 1000);
    }
}

TEST(DecompressionLzma, BrokenBlocksFail) {
    const Bytes input = Text(6000, 46);
    const Bytes block = LzmaBlock(input);

    Bytes badFilter = block;
    badFilter[1] = 1;
    ExpectCorrupt(badFilter, 6000);

    Bytes badProps = block;
    badProps[2] = 225;  // lc/lp/pb byte out of range
    ExpectCorrupt(badProps, 6000);

    // Streams cut inside the data run out of input before the buffer is
    // full.
    for (size_t cut : {size_t(8), size_t(50), block.size() / 2}) {
        SCOPED_TRACE(cut);
        ExpectCorrupt(Bytes(block.begin(), block.end() - cut), 6000);
    }

    Bytes badStart = block;
    badStart[15] = 0xFF;  // the range coder's first byte must be 0
    ExpectCorrupt(badStart, 6000);
}

TEST(DecompressionLzma, HostileDictionarySizeAllocatesNothingLarge) {
    // A 4 GiB dictionary in the header: decoding into the caller's buffer
    // never allocates a dictionary, so this only decodes normally.
    const Bytes input = Text(2000, 47);
    Bytes block = LzmaBlock(input);
    block[3] = block[4] = block[5] = block[6] = 0xFF;
    const Result d = Decompress(block, 2000);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(input, d.data);
}

TEST(DecompressionLzma, OnlyAsTheWholeMethodByte) {
    Bytes block = LzmaBlock(Text(1000, 48));
    block[0] = 0x22;
    const Result d = Decompress(block, 1000);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_SUPPORTED), d.error);
}

//-----------------------------------------------------------------------------
// Mutated blocks: no crash, no overrun (exact-size buffers), and either a
// clean error or at most the expected length.  The seed is printed; set
// BREVIK_TEST_SEED to replay a run.

uint32_t MutationSeed() {
    const char* env = std::getenv("BREVIK_TEST_SEED");
    uint32_t seed = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 0))
                        : static_cast<uint32_t>(std::random_device{}());
    std::cout << "[ seed     ] BREVIK_TEST_SEED=" << seed << std::endl;
    return seed;
}

Bytes Mutate(const Bytes& block, std::mt19937& rng) {
    Bytes b = block;
    switch (rng() % 6) {
        case 0:  // flip a few bits
        case 1: {
            const int flips = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < flips; i++) b[rng() % b.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
        }
        case 2: {  // overwrite a run with random bytes
            const size_t at = rng() % b.size();
            const size_t len = std::min<size_t>(b.size() - at, 1 + rng() % 16);
            for (size_t i = 0; i < len; i++) b[at + i] = static_cast<uint8_t>(rng());
            break;
        }
        case 3:  // truncate
            b.resize(1 + rng() % b.size());
            break;
        case 4: {  // append garbage
            const size_t len = 1 + rng() % 64;
            for (size_t i = 0; i < len; i++) b.push_back(static_cast<uint8_t>(rng()));
            break;
        }
        default:  // change a byte of the header area
            b[rng() % std::min<size_t>(b.size(), 20)] = static_cast<uint8_t>(rng());
            break;
    }
    return b;
}

void MutationRun(const char* name, const Bytes& block, uint32_t expected, uint32_t seed) {
    std::mt19937 rng(seed);
    int successes = 0;
    for (int i = 0; i < 2000; i++) {
        const Bytes b = Mutate(block, rng);
        // Sometimes a smaller buffer than the data needs.
        const uint32_t room = (rng() % 4 == 0) ? static_cast<uint32_t>(rng() % (expected + 1)) : expected;
        const Result d = Decompress(b, room);
        if (d.ok) {
            ASSERT_LE(d.length, room) << name << " mutation " << i;
            successes++;
        } else {
            ASSERT_TRUE(d.error == static_cast<uint32_t>(ERROR_FILE_CORRUPT) ||
                        d.error == static_cast<uint32_t>(ERROR_NOT_SUPPORTED))
                << name << " mutation " << i << " error " << d.error;
        }
    }
    std::cout << "[ mutated  ] " << name << ": " << successes << " of 2000 decoded" << std::endl;
}

TEST(DecompressionMutations, MutatedBlocksNeverCrash) {
    const uint32_t seed = MutationSeed();
    const Bytes input = Text(3000, 51);
    MutationRun("zlib", WithMethod(0x02, ZlibDefault(input)), 3000, seed);
    MutationRun("bzip2", WithMethod(0x10, Bzip2Reference(input)), 3000, seed + 1);
    MutationRun("zlib+bzip2", WithMethod(0x12, Bzip2Reference(ZlibDefault(input))), 3000, seed + 2);
    MutationRun("lzma", LzmaBlock(input), 3000, seed + 3);
}

}  // namespace
