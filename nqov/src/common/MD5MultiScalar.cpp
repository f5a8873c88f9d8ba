// MD5MultiScalar.cpp - the engine's scalar kernel: libtomcrypt's MD5
// compression, one lane after another.
//
// libtomcrypt keeps its compression function private, but md5_process
// compresses whole blocks straight from the input while its buffer is empty;
// so each lane's chaining values are put into a hash state with nothing
// buffered, its blocks are processed, and the values are taken back.  The
// bit count of that state is not used: the engine pads the messages itself.

#include "MD5Kernels.h"

#include <tomcrypt.h>

namespace {

// libtomcrypt takes unsigned long lengths, 32 bits on Windows.
constexpr size_t kMaxBlocksPerCall = (size_t(1) << 30) / kMD5BlockSize;

void CompressLane(TMD5LaneState& state, unsigned lane, const uint8_t* pbData, size_t nBlocks) {
    hash_state md;
    md5_init(&md);
    for (unsigned word = 0; word < 4; word++) md.md5.state[word] = state.abcd[word][lane];
    while (nBlocks > 0) {
        const size_t blocks = nBlocks < kMaxBlocksPerCall ? nBlocks : kMaxBlocksPerCall;
        md.md5.length = 0;  // only guards libtomcrypt's own bit count against overflow
        md5_process(&md, pbData, static_cast<unsigned long>(blocks * kMD5BlockSize));
        pbData += blocks * kMD5BlockSize;
        nBlocks -= blocks;
    }
    for (unsigned word = 0; word < 4; word++)
        state.abcd[word][lane] = static_cast<uint32_t>(md.md5.state[word]);
}

}  // namespace

void MD5CompressScalar(TMD5LaneState& state, const uint8_t* const pData[kMD5MaxLanes], uint32_t laneMask,
                       size_t nBlocks) {
    for (unsigned lane = 0; lane < kMD5MaxLanes; lane++) {
        if ((laneMask >> lane) & 1) CompressLane(state, lane, pData[lane], nBlocks);
    }
}
