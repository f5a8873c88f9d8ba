// MD5MultiAvx512.cpp - MD5 compression of 16 lanes in AVX-512 registers.
//
// Compiled with -mavx512f -mavx512vl -mavx512bw (see nqov/CMakeLists.txt);
// the engine calls it only when the processor and the operating system
// support AVX-512.  One 32-bit element of a 512-bit register per lane:
// vpternlogd computes each round function in one instruction and vprold
// rotates, so a step is six instructions for 16 lanes.

#include "MD5Kernels.h"

// GCC 12's AVX-512 intrinsics start their results from a deliberately
// undefined value (_mm512_undefined_epi32), which its own uninitialised-use
// check reports once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <utility>

namespace {

constexpr unsigned kLanes = 16;

alignas(64) const uint8_t kIdleBlock[kMD5BlockSize] = {};

// The round function of each round as a vpternlogd truth table, with the
// operands (d, b, c): F = (b & c) | (~b & d), G = (b & d) | (c & ~d),
// H = b ^ c ^ d, I = c ^ (b | ~d).  d comes first because vpternlogd
// overwrites its first operand, and d is the one not needed afterwards.
constexpr int TruthTable(bool (*f)(bool b, bool c, bool d)) {
    int table = 0;
    for (int bit = 0; bit < 8; bit++) {
        if (f((bit >> 1) & 1, bit & 1, (bit >> 2) & 1)) table |= 1 << bit;
    }
    return table;
}
constexpr int kRoundFunction[4] = {
    TruthTable([](bool b, bool c, bool d) { return (b && c) || (!b && d); }),
    TruthTable([](bool b, bool c, bool d) { return (b && d) || (c && !d); }),
    TruthTable([](bool b, bool c, bool d) { return b != (c != d); }),
    TruthTable([](bool b, bool c, bool d) { return c != (b || !d); }),
};

// a + constant + message word of the step: all but the round function and
// the rotation, off the chain from one step to the next.  The empty asm
// keeps the compiler from moving the additions onto the chain.
template <unsigned Step>
inline __attribute__((always_inline)) __m512i MD5StepInput(__m512i a, const __m512i w[16],
                                                           const uint32_t* sine) {
    __m512i sum = _mm512_add_epi32(a, _mm512_set1_epi32(static_cast<int>(sine[Step])));
    sum = _mm512_add_epi32(sum, w[kMD5Word[Step]]);
    __asm__("" : "+v"(sum));
    return sum;
}

// One step; `input` holds MD5StepInput of this step and receives the next
// step's, which is made before the round function uses up d (the word the
// next step writes).
template <unsigned Step>
inline __attribute__((always_inline)) void MD5Step(__m512i s[4], __m512i& input, const __m512i w[16],
                                                   const uint32_t* sine) {
    constexpr unsigned t = MD5StepTarget(Step);
    const __m512i b = s[(t + 1) % 4];
    const __m512i c = s[(t + 2) % 4];
    const __m512i d = s[(t + 3) % 4];
    const __m512i sum = input;
    if constexpr (Step + 1 < 64) input = MD5StepInput<Step + 1>(d, w, sine);
    const __m512i f = _mm512_ternarylogic_epi32(d, b, c, kRoundFunction[Step / 16]);
    s[t] = _mm512_add_epi32(b, _mm512_rol_epi32(_mm512_add_epi32(sum, f), kMD5Rotation[Step]));
}

template <size_t... Steps>
inline __attribute__((always_inline)) void MD5Steps(__m512i s[4], const __m512i w[16], const uint32_t* sine,
                                                    std::index_sequence<Steps...>) {
    __m512i input = MD5StepInput<0>(s[0], w, sine);
    (MD5Step<Steps>(s, input, w, sine), ...);
}

// Turns 16 rows (one block of each lane) into 16 columns (one message word
// of every lane): 32-bit, then 64-bit interleaves within 128-bit parts, then
// two rounds of 128-bit part shuffles.
inline __attribute__((always_inline)) void Transpose16x16(__m512i r[16]) {
    __m512i t[16];
#pragma GCC unroll 16
    for (unsigned i = 0; i < 16; i += 2) {
        t[i] = _mm512_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm512_unpackhi_epi32(r[i], r[i + 1]);
    }
    // u[4g + j], part k: word 4k + j of rows 4g .. 4g + 3.
    __m512i u[16];
#pragma GCC unroll 16
    for (unsigned g = 0; g < 16; g += 4) {
        u[g + 0] = _mm512_unpacklo_epi64(t[g + 0], t[g + 2]);
        u[g + 1] = _mm512_unpackhi_epi64(t[g + 0], t[g + 2]);
        u[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
#pragma GCC unroll 16
    for (unsigned j = 0; j < 4; j++) {
        const __m512i lo0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x44);
        const __m512i hi0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xEE);
        const __m512i lo1 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x44);
        const __m512i hi1 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xEE);
        r[j] = _mm512_shuffle_i32x4(lo0, lo1, 0x88);
        r[4 + j] = _mm512_shuffle_i32x4(lo0, lo1, 0xDD);
        r[8 + j] = _mm512_shuffle_i32x4(hi0, hi1, 0x88);
        r[12 + j] = _mm512_shuffle_i32x4(hi0, hi1, 0xDD);
    }
}

}  // namespace

void MD5CompressAvx512(TMD5LaneState& state, const uint8_t* const pData[kMD5MaxLanes], uint32_t laneMask,
                       size_t nBlocks) {
    laneMask &= (1u << kLanes) - 1;
    if (laneMask == 0 || nBlocks == 0) return;

    // Idle lanes hash a block of zeros over and over; their results are
    // not stored.
    const uint8_t* p[kLanes];
    size_t advance[kLanes];
#pragma GCC unroll 16
    for (unsigned lane = 0; lane < kLanes; lane++) {
        const bool busy = (laneMask >> lane) & 1;
        p[lane] = busy ? pData[lane] : kIdleBlock;
        advance[lane] = busy ? kMD5BlockSize : 0;
    }

    __m512i s[4];
#pragma GCC unroll 16
    for (unsigned word = 0; word < 4; word++) s[word] = _mm512_load_si512(state.abcd[word]);

    for (; nBlocks > 0; nBlocks--) {
        // The step constants are read from memory in each block, as
        // broadcast operands.  Seen as constants, they would be built from
        // immediates (two instructions on the shuffle port each), or kept
        // in registers the message words need.
        const uint32_t* sine = kMD5Sine;
        __asm__("" : "+r"(sine));
        __m512i w[16];
#pragma GCC unroll 16
        for (unsigned lane = 0; lane < kLanes; lane++) {
            w[lane] = _mm512_loadu_si512(p[lane]);
            p[lane] += advance[lane];
        }
        Transpose16x16(w);
        const __m512i before[4] = {s[0], s[1], s[2], s[3]};
        MD5Steps(s, w, sine, std::make_index_sequence<64>());
#pragma GCC unroll 16
        for (unsigned word = 0; word < 4; word++) s[word] = _mm512_add_epi32(s[word], before[word]);
    }

#pragma GCC unroll 16

    for (unsigned word = 0; word < 4; word++)
        _mm512_mask_storeu_epi32(state.abcd[word], static_cast<__mmask16>(laneMask), s[word]);
}
