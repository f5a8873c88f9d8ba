// fuzz_decompress.cpp - libFuzzer target for compressed blocks.
//
// Input: two bytes (little-endian) giving an expected plain length, one byte
// choosing the coders of the round trip, then the block.  The block is
// decoded with that expected length and with lengths derived from its own
// (equal: stored plain; one shorter; much longer), each into a heap buffer of
// exactly the expected length so that any write past it is caught.  Then the
// block is compressed as if it were plain data and must decode back to
// itself.

#include "common/QOVCompression.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void InvariantFailed(const char* what, int line) {
    fprintf(stderr, "fuzz_decompress: invariant broken (line %d): %s\n", line, what);
    fflush(stderr);
    abort();
}

#define FUZZ_CHECK(cond, what)                          \
    do {                                                \
        if (!(cond)) InvariantFailed((what), __LINE__); \
    } while (0)

// Decodes into a buffer of exactly cbExpected bytes; returns the result and
// the produced length.
bool Decode(const uint8_t* pbBlock, uint32_t cbBlock, uint32_t cbExpected, std::vector<uint8_t>* pOut) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[cbExpected == 0 ? 1 : cbExpected]);
    uint32_t produced = cbExpected;
    const bool ok = DecompressBlock(out.get(), &produced, pbBlock, cbBlock);
    if (ok) {
        FUZZ_CHECK(produced <= cbExpected, "DecompressBlock produced more than expected");
        pOut->assign(out.get(), out.get() + produced);
    }
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1u << 20)) return 0;
    const uint32_t expected = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8);
    const uint8_t selector = data[2];
    // The block on the heap, exactly its length, so that over-reads are caught.
    const uint32_t cbBlock = static_cast<uint32_t>(size - 3);
    std::unique_ptr<uint8_t[]> blockOwner(new uint8_t[cbBlock == 0 ? 1 : cbBlock]);
    memcpy(blockOwner.get(), data + 3, cbBlock);
    const uint8_t* block = blockOwner.get();

    std::vector<uint8_t> out;
    Decode(block, cbBlock, expected, &out);
    if (Decode(block, cbBlock, expected * 16u + 1, &out) && cbBlock == 0)
        FUZZ_CHECK(out.empty(), "an empty block decoded to bytes");

    // As long as the plain data: the block itself.
    FUZZ_CHECK(Decode(block, cbBlock, cbBlock, &out), "a block as long as expected was refused");
    FUZZ_CHECK(out.size() == cbBlock && (cbBlock == 0 || memcmp(out.data(), block, cbBlock) == 0),
               "a block as long as expected did not come back unchanged");
    if (cbBlock > 0) Decode(block, cbBlock, cbBlock - 1, &out);
    Decode(block, cbBlock, cbBlock * 4 + 64, &out);

    // In place, as the sector reader does for plain sectors.
    {
        std::vector<uint8_t> inPlace(block, block + cbBlock);
        uint32_t produced = cbBlock;
        if (cbBlock > 0) {
            FUZZ_CHECK(DecompressBlock(inPlace.data(), &produced, inPlace.data(), cbBlock),
                       "in-place plain block refused");
            FUZZ_CHECK(memcmp(inPlace.data(), block, cbBlock) == 0, "in-place plain block changed");
        }
    }

    // Round trip of the block taken as plain data.
    if (cbBlock > 0 && cbBlock <= 64 * 1024) {
        const uint32_t methods = selector & (NQOV_COMPRESSION_ZLIB | NQOV_COMPRESSION_BZIP2);
        std::unique_ptr<uint8_t[]> packed(new uint8_t[cbBlock]);
        uint32_t cbPacked = cbBlock;
        const bool ok = methods == NQOV_COMPRESSION_ZLIB
                            ? CompressBlock(block, packed.get(), &cbPacked, cbBlock, -1)
                            : QOVCompressBlockMethods(block, packed.get(), &cbPacked, cbBlock, -1, methods);
        FUZZ_CHECK(ok, "compressing a block failed");
        FUZZ_CHECK(cbPacked <= cbBlock, "a compressed block is longer than its input");
        FUZZ_CHECK(Decode(packed.get(), cbPacked, cbBlock, &out), "a compressed block does not decode");
        FUZZ_CHECK(out.size() == cbBlock && memcmp(out.data(), block, cbBlock) == 0,
                   "a compressed block decodes to other bytes");
    }
    return 0;
}
