// bench_repair_pass.cpp - the repair tool's check pass (MORLRepairTools.exe
// without its window), timed.  A Windows program, run under Wine.
//
//   bench_repair_pass FOLDER [scalar|avx2|avx512|auto]
//
// FOLDER is laid out as the tool's own folder: MORLFilelist.ini and the
// archives in MORLDownload\.  The MD5 kernel is forced as named (default
// auto).  Prints one line:
//   kernel=K pass_s= cpu_s= failed=0|1
// (cpu_s: user + kernel time of the process during the pass; failed: the
// pass listed an archive as failed).

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "QOVLib.h"
#include "RepairPass.h"

namespace {

class QuietView : public IRepairView {
public:
    void ShowStatus(const std::wstring&) override {}
    void ShowProgress(int) override {}
    void ShowResult(const std::wstring& text, const std::wstring&) override { result = text; }
    bool IsStopRequested() const override { return false; }
    const std::atomic<bool>& StopFlag() const override { return m_neverStop; }
    std::wstring result;

private:
    std::atomic<bool> m_neverStop{false};
};

double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    const auto seconds = [](const FILETIME& time) {
        return double((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

int KernelByName(const char* name) {
    if (std::strcmp(name, "scalar") == 0) return QOV_MD5_SCALAR;
    if (std::strcmp(name, "avx2") == 0) return QOV_MD5_AVX2;
    if (std::strcmp(name, "avx512") == 0) return QOV_MD5_AVX512;
    if (std::strcmp(name, "auto") == 0) return QOV_MD5_AUTO;
    return -1;
}

const char* KernelName(int kernel) {
    return kernel == QOV_MD5_AVX512 ? "avx512" : kernel == QOV_MD5_AVX2 ? "avx2" : "scalar";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: bench_repair_pass FOLDER [scalar|avx2|avx512|auto]\n");
        return 2;
    }
    char name[16] = "auto";
    if (argc == 3) WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, name, sizeof(name), nullptr, nullptr);
    const int kernel = KernelByName(name);
    if (kernel < 0 || !QOVSetMD5Kernel(kernel)) {
        std::fprintf(stderr, "bench_repair_pass: the kernel %s cannot be used here\n", name);
        return 2;
    }
    QuietView view;
    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const bool ran = RunRepairPass(argv[1], view);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    if (!ran) {
        std::fprintf(stderr, "bench_repair_pass: no MORLFilelist.ini with archives in the folder\n");
        return 1;
    }
    const bool failed = view.result != kRepairSucceededText;
    std::printf("kernel=%s pass_s=%.3f cpu_s=%.3f failed=%d\n", KernelName(QOVGetMD5Kernel()), seconds, cpu,
                failed ? 1 : 0);
    return 0;
}
