// MD5KernelEnvironment.cpp - runs a test program with one MD5 kernel forced,
// for the test variants that repeat the piece, verify, repair and fixture
// tests with each kernel (nqov_add_md5_kernel_variants in
// cmake/NqovTesting.cmake).  The kernel comes from the environment variable
// BREVIK_TEST_MD5_KERNEL (scalar, avx2 or avx512), read here in test code
// only; without it the program runs with the library's own choice.  When
// this machine cannot run the kernel, every test is skipped.

#include "QOVLib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

class TForcedMD5Kernel : public testing::Environment {
public:
    void SetUp() override {
        const char* name = std::getenv("BREVIK_TEST_MD5_KERNEL");
        if (name == nullptr || *name == 0) return;
        const int kernel = KernelByName(name);
        ASSERT_NE(kernel, QOV_MD5_AUTO) << "BREVIK_TEST_MD5_KERNEL=" << name << " is no kernel";
        if (!QOVMD5KernelSupported(kernel)) GTEST_SKIP() << name << " is not supported on this machine";
        ASSERT_TRUE(QOVSetMD5Kernel(kernel));
        ASSERT_EQ(QOVGetMD5Kernel(), kernel);
        printf("[   MD5    ] every test runs with the %s kernel forced\n", name);
    }

private:
    static int KernelByName(const char* name) {
        if (std::strcmp(name, "scalar") == 0) return QOV_MD5_SCALAR;
        if (std::strcmp(name, "avx2") == 0) return QOV_MD5_AVX2;
        if (std::strcmp(name, "avx512") == 0) return QOV_MD5_AVX512;
        return QOV_MD5_AUTO;
    }
};

// GoogleTest owns and deletes the environment.
testing::Environment* const g_forcedKernel = testing::AddGlobalTestEnvironment(new TForcedMD5Kernel);

}  // namespace
