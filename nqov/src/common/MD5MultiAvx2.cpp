// MD5MultiAvx2.cpp - MD5 compression of 8 lanes in AVX2 registers.
//
// Compiled with -mavx2 (see nqov/CMakeLists.txt); the engine calls it only
// when the processor and the operating system support AVX2.  One 32-bit
// element of a 256-bit register per lane.  AVX2 has no rotate and no
// three-input logic, so the round functions are written to keep the chain
// from one step to the next short: what depends only on the older words is
// computed off it.

#include "MD5Kernels.h"

#include <immintrin.h>

#include <utility>

namespace {

constexpr unsigned kLanes = 8;

alignas(32) const uint8_t kIdleBlock[kMD5BlockSize] = {};

template <unsigned Bits>
inline __attribute__((always_inline)) __m256i RotateLeft(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, Bits), _mm256_srli_epi32(x, 32 - Bits));
}

// sum + the round function of the round over (b, c, d), where b is the word
// the step before wrote: the parts made of c and d alone are off the chain.
template <unsigned Round>
inline __attribute__((always_inline)) __m256i AddRoundFunction(__m256i sum, __m256i b, __m256i c, __m256i d) {
    if constexpr (Round == 0) {  // F = d ^ (b & (c ^ d))
        return _mm256_add_epi32(sum, _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d))));
    } else if constexpr (Round == 1) {  // G = (b & d) + (c & ~d): the two never share a bit
        return _mm256_add_epi32(_mm256_add_epi32(sum, _mm256_andnot_si256(d, c)), _mm256_and_si256(b, d));
    } else if constexpr (Round == 2) {  // H = b ^ c ^ d
        return _mm256_add_epi32(sum, _mm256_xor_si256(b, _mm256_xor_si256(c, d)));
    } else {  // I = c ^ (b | ~d)
        const __m256i notD = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
        return _mm256_add_epi32(sum, _mm256_xor_si256(c, _mm256_or_si256(b, notD)));
    }
}

// a + constant + message word of the step: all but the round function and
// the rotation, off the chain from one step to the next.  The empty asm
// keeps the compiler from moving the additions onto the chain.
template <unsigned Step>
inline __attribute__((always_inline)) __m256i MD5StepInput(__m256i a, const __m256i w[16],
                                                           const uint32_t* sine) {
    __m256i sum = _mm256_add_epi32(a, _mm256_set1_epi32(static_cast<int>(sine[Step])));
    sum = _mm256_add_epi32(sum, w[kMD5Word[Step]]);
    __asm__("" : "+x"(sum));
    return sum;
}

// One step; `input` holds MD5StepInput of this step and receives the next
// step's (from d, the word the next step writes).
template <unsigned Step>
inline __attribute__((always_inline)) void MD5Step(__m256i s[4], __m256i& input, const __m256i w[16],
                                                   const uint32_t* sine) {
    constexpr unsigned t = MD5StepTarget(Step);
    const __m256i b = s[(t + 1) % 4];
    const __m256i c = s[(t + 2) % 4];
    const __m256i d = s[(t + 3) % 4];
    const __m256i sum = AddRoundFunction<Step / 16>(input, b, c, d);
    if constexpr (Step + 1 < 64) input = MD5StepInput<Step + 1>(d, w, sine);
    s[t] = _mm256_add_epi32(b, RotateLeft<kMD5Rotation[Step]>(sum));
}

template <size_t... Steps>
inline __attribute__((always_inline)) void MD5Steps(__m256i s[4], const __m256i w[16], const uint32_t* sine,
                                                    std::index_sequence<Steps...>) {
    __m256i input = MD5StepInput<0>(s[0], w, sine);
    (MD5Step<Steps>(s, input, w, sine), ...);
}

// Turns 8 rows of 8 words into 8 columns: 32-bit and 64-bit interleaves
// within 128-bit halves, then a half exchange.
inline __attribute__((always_inline)) void Transpose8x8(__m256i r[8]) {
    __m256i t[8];
#pragma GCC unroll 16
    for (unsigned i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_epi32(r[i], r[i + 1]);
    }
    // u[4g + j], half h: word 4h + j of rows 4g .. 4g + 3.
    __m256i u[8];
#pragma GCC unroll 16
    for (unsigned g = 0; g < 8; g += 4) {
        u[g + 0] = _mm256_unpacklo_epi64(t[g + 0], t[g + 2]);
        u[g + 1] = _mm256_unpackhi_epi64(t[g + 0], t[g + 2]);
        u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
        u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
    }
#pragma GCC unroll 16
    for (unsigned j = 0; j < 4; j++) {
        r[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
        r[4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
    }
}

}  // namespace

void MD5CompressAvx2(TMD5LaneState& state, const uint8_t* const pData[kMD5MaxLanes], uint32_t laneMask,
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

    __m256i s[4];
#pragma GCC unroll 16
    for (unsigned word = 0; word < 4; word++)
        s[word] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.abcd[word]));

    for (; nBlocks > 0; nBlocks--) {
        // The step constants are read from memory in each block, as
        // broadcast operands.  Seen as constants, they would be built from
        // immediates (two instructions on the shuffle port each), or kept
        // in registers the message words need.
        const uint32_t* sine = kMD5Sine;
        __asm__("" : "+r"(sine));
        // Words 0..7 of every lane, then words 8..15.
        __m256i w[16];
#pragma GCC unroll 16
        for (unsigned lane = 0; lane < kLanes; lane++) {
            w[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[lane]));
            w[8 + lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[lane] + 32));
            p[lane] += advance[lane];
        }
        Transpose8x8(w);
        Transpose8x8(w + 8);
        const __m256i before[4] = {s[0], s[1], s[2], s[3]};
        MD5Steps(s, w, sine, std::make_index_sequence<64>());
#pragma GCC unroll 16
        for (unsigned word = 0; word < 4; word++) s[word] = _mm256_add_epi32(s[word], before[word]);
    }

    // Only the busy lanes' words are written back.
    const __m256i keep =
        _mm256_sub_epi32(_mm256_setzero_si256(),
                         _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(laneMask)),
                                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
                                          _mm256_set1_epi32(1)));
#pragma GCC unroll 16
    for (unsigned word = 0; word < 4; word++) {
        __m256i* row = reinterpret_cast<__m256i*>(state.abcd[word]);
        _mm256_storeu_si256(row, _mm256_blendv_epi8(_mm256_loadu_si256(row), s[word], keep));
    }
}
