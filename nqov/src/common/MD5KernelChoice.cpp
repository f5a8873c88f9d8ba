// MD5KernelChoice.cpp - which MD5 kernel this process runs: what the
// processor and the operating system support (CPUID, XGETBV), and the
// process-wide choice (QOVSetMD5Kernel).
//
// A processor that has AVX2 or AVX-512 is not enough: the operating system
// must also save the wider registers on a thread switch, which it announces
// in XCR0 (read with XGETBV once it has set CPUID's OSXSAVE bit).

#include "QOVLib.h"

#include <atomic>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define NQOV_X86 1
#endif

namespace {

struct TSimdSupport {
    bool bAvx2 = false;
    bool bAvx512 = false;
};

#if defined(NQOV_X86)

// CPUID.1:ECX
constexpr uint32_t kCpuidOsxsave = 1u << 27;
constexpr uint32_t kCpuidAvx = 1u << 28;
// CPUID.(7,0):EBX
constexpr uint32_t kCpuidAvx2 = 1u << 5;
constexpr uint32_t kCpuidAvx512F = 1u << 16;
constexpr uint32_t kCpuidAvx512BW = 1u << 30;
constexpr uint32_t kCpuidAvx512VL = 1u << 31;
// XCR0: the register state the operating system saves.
constexpr uint64_t kXcr0SseAvx = 0x6;         // XMM, upper YMM
constexpr uint64_t kXcr0Avx512 = 0x6 | 0xE0;  // and opmask, upper ZMM0-15, ZMM16-31

uint64_t ReadXcr0() {
    uint32_t lo = 0, hi = 0;
    // XGETBV with ECX = 0; written as an instruction so that this file
    // needs no instruction-set flag (the _xgetbv intrinsic wants -mxsave).
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

TSimdSupport DetectSimdSupport() {
    TSimdSupport support;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return support;
    if ((ecx & kCpuidOsxsave) == 0 || (ecx & kCpuidAvx) == 0) return support;
    const uint64_t xcr0 = ReadXcr0();
    if (__get_cpuid_max(0, nullptr) < 7) return support;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    support.bAvx2 = (xcr0 & kXcr0SseAvx) == kXcr0SseAvx && (ebx & kCpuidAvx2) != 0;
    const uint32_t avx512 = kCpuidAvx512F | kCpuidAvx512BW | kCpuidAvx512VL;
    support.bAvx512 = support.bAvx2 && (xcr0 & kXcr0Avx512) == kXcr0Avx512 && (ebx & avx512) == avx512;
    return support;
}

#else

TSimdSupport DetectSimdSupport() { return TSimdSupport(); }

#endif

const TSimdSupport& SimdSupport() {
    static const TSimdSupport support = DetectSimdSupport();
    return support;
}

std::atomic<int> g_md5Kernel{QOV_MD5_AUTO};

bool IsKnownKernel(int nKernel) { return nKernel >= QOV_MD5_AUTO && nKernel <= QOV_MD5_AVX512; }

}  // namespace

bool QOVMD5KernelSupported(int nKernel) {
    switch (nKernel) {
        case QOV_MD5_AUTO:
        case QOV_MD5_SCALAR:
            return true;
        case QOV_MD5_AVX2:
            return SimdSupport().bAvx2;
        case QOV_MD5_AVX512:
            return SimdSupport().bAvx512;
        default:
            return false;
    }
}

bool QOVSetMD5Kernel(int nKernel) {
    if (!IsKnownKernel(nKernel)) {
        QOVSetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!QOVMD5KernelSupported(nKernel)) {
        QOVSetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    g_md5Kernel.store(nKernel, std::memory_order_relaxed);
    return true;
}

int QOVGetMD5Kernel() {
    const int chosen = g_md5Kernel.load(std::memory_order_relaxed);
    if (chosen != QOV_MD5_AUTO) return chosen;
    if (SimdSupport().bAvx512) return QOV_MD5_AVX512;
    if (SimdSupport().bAvx2) return QOV_MD5_AVX2;
    return QOV_MD5_SCALAR;
}
