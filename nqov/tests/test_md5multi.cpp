// The multi-buffer MD5 engine (common/MD5Multi.h) against libtomcrypt's
// MD5, with each kernel forced in turn.  A kernel this machine cannot run is
// reported as skipped.  Every test is named md5/<test>/<kernel>.
//
// Random cases print their seed; NQOV_TEST_SEED=<number> replays one.

#include "QOVLib.h"
#include "common/MD5Multi.h"

#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Digest = std::array<uint8_t, 16>;

Digest ReferenceMD5(const uint8_t* pb, size_t cb) {
    hash_state md;
    md5_init(&md);
    while (cb > 0) {
        const size_t part = cb < (size_t(1) << 30) ? cb : (size_t(1) << 30);  // unsigned long on Windows
        md5_process(&md, pb, static_cast<unsigned long>(part));
        pb += part;
        cb -= part;
    }
    Digest digest;
    md5_done(&md, digest.data());
    return digest;
}

std::string Hex(const Digest& digest) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

const char* KernelName(int kernel) {
    switch (kernel) {
        case QOV_MD5_SCALAR:
            return "scalar";
        case QOV_MD5_AVX2:
            return "avx2";
        case QOV_MD5_AVX512:
            return "avx512";
        default:
            return "auto";
    }
}

unsigned ExpectedLanes(int kernel) { return kernel == QOV_MD5_AVX512 ? 16 : kernel == QOV_MD5_AVX2 ? 8 : 1; }

uint64_t TestSeed() {
    uint64_t seed = 20260415;
    const char* env = std::getenv("NQOV_TEST_SEED");
    if (env != nullptr && *env != 0) seed = std::strtoull(env, nullptr, 0);
    printf("[   SEED   ] NQOV_TEST_SEED=%llu (replay with this environment variable)\n",
           static_cast<unsigned long long>(seed));
    return seed;
}

// Pseudo-random bytes (xorshift), fast enough for hundreds of megabytes.
void FillPattern(uint8_t* pb, size_t cb, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < cb; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        memcpy(pb + i, &x, cb - i < 8 ? cb - i : 8);
    }
}

std::vector<uint8_t> PatternBytes(size_t cb, uint64_t seed) {
    std::vector<uint8_t> bytes(cb);
    FillPattern(bytes.data(), cb, seed);
    return bytes;
}

TMD5Job WholeMessage(const uint8_t* pb, size_t cb, uint8_t* pbDigest, void* pvUser = nullptr) {
    TMD5Job job;
    job.pvData = pb;
    job.cbData = cb;
    job.pbDigest = pbDigest;
    job.pvUser = pvUser;
    return job;
}

// Each test runs with its kernel forced, and puts the automatic choice back.
class MD5Multi : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        if (!QOVMD5KernelSupported(GetParam()))
            GTEST_SKIP() << KernelName(GetParam()) << " is not supported on this machine";
        ASSERT_TRUE(QOVSetMD5Kernel(GetParam()));
    }
    void TearDown() override { QOVSetMD5Kernel(QOV_MD5_AUTO); }
};

// Not skipped on a machine without the kernel: there it checks the refusal.
class MD5KernelChoice : public testing::TestWithParam<int> {
protected:
    void TearDown() override { QOVSetMD5Kernel(QOV_MD5_AUTO); }
};

//-----------------------------------------------------------------------------
// The choice of kernel.

// The compiler's own detection (CPUID and XGETBV in its runtime library).
bool CompilerSeesKernel(int kernel) {
    __builtin_cpu_init();
    switch (kernel) {
        case QOV_MD5_AVX2:
            return __builtin_cpu_supports("avx2");
        case QOV_MD5_AVX512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
        default:
            return true;
    }
}

TEST_P(MD5KernelChoice, ForcingUsesTheKernelOrFailsWithNotSupported) {
    const int kernel = GetParam();
    EXPECT_EQ(QOVMD5KernelSupported(kernel), CompilerSeesKernel(kernel));
    const int before = QOVGetMD5Kernel();
    if (QOVMD5KernelSupported(kernel)) {
        ASSERT_TRUE(QOVSetMD5Kernel(kernel));
        EXPECT_EQ(QOVGetMD5Kernel(), kernel);
        TMD5Multi engine;
        EXPECT_EQ(engine.Kernel(), kernel);
        EXPECT_EQ(engine.Lanes(), ExpectedLanes(kernel));
    } else {
        QOVSetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(QOVSetMD5Kernel(kernel));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
        EXPECT_EQ(QOVGetMD5Kernel(), before);
    }

    // Unknown values change nothing.
    const int current = QOVGetMD5Kernel();
    for (int unknown : {-1, 4, 1000}) {
        QOVSetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(QOVSetMD5Kernel(unknown));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_FALSE(QOVMD5KernelSupported(unknown));
        EXPECT_EQ(QOVGetMD5Kernel(), current);
    }

    // Automatic: the widest kernel the machine runs.
    ASSERT_TRUE(QOVSetMD5Kernel(QOV_MD5_AUTO));
    const int best = QOVMD5KernelSupported(QOV_MD5_AVX512) ? QOV_MD5_AVX512
                     : QOVMD5KernelSupported(QOV_MD5_AVX2) ? QOV_MD5_AVX2
                                                           : QOV_MD5_SCALAR;
    EXPECT_EQ(QOVGetMD5Kernel(), best);
}

//-----------------------------------------------------------------------------
// Whole messages.

// Rounds of jobs that fill every lane of an idle engine, whose lengths
// rotate so that each lane hashes every length from 0 to 4,200 bytes once,
// from a start that is seldom aligned.  Lanes of one round end at different
// blocks, and the lengths cover every padding edge (55, 56, 63, 64 ...).
TEST_P(MD5Multi, EveryLengthUpTo4200InEveryLane) {
    constexpr size_t kLengths = 4201;
    const std::vector<uint8_t> bytes = PatternBytes(kLengths + 64, 1);
    TMD5Multi engine;
    const unsigned lanes = engine.Lanes();
    std::vector<Digest> digests(lanes);
    size_t failures = 0;
    for (size_t round = 0; round < kLengths; round++) {
        for (unsigned lane = 0; lane < lanes; lane++) {
            const size_t length = (round + lane * 263) % kLengths;
            const size_t offset = (round + lane * 7) % 61;
            ASSERT_TRUE(engine.Add(WholeMessage(bytes.data() + offset, length, digests[lane].data())));
        }
        ASSERT_EQ(engine.BusyLanes(), lanes);
        engine.Finish();
        for (unsigned lane = 0; lane < lanes; lane++) {
            const size_t length = (round + lane * 263) % kLengths;
            const size_t offset = (round + lane * 7) % 61;
            const Digest expected = ReferenceMD5(bytes.data() + offset, length);
            if (digests[lane] != expected && failures++ < 10) {
                ADD_FAILURE() << "lane " << lane << ", " << length << " bytes at offset " << offset << ": "
                              << Hex(digests[lane]) << ", expected " << Hex(expected);
            }
        }
    }
    EXPECT_EQ(failures, 0u);
}

// Many jobs of very different lengths through few lanes: finished lanes are
// refilled while the others go on, Run hands back each job once, as soon as
// it is done.
TEST_P(MD5Multi, LanesOfMixedLengthsAreRefilledAsTheyFinish) {
    std::mt19937_64 rng(TestSeed());
    const std::vector<uint8_t> bytes = PatternBytes(400000, 2);
    struct TCase {
        size_t offset, length;
        Digest digest;
        int returned;
    };
    std::vector<TCase> cases(700);
    for (TCase& c : cases) {
        const unsigned kind = rng() % 10;
        const size_t limit = kind < 4 ? 300 : kind < 7 ? 20000 : kind < 9 ? 70000 : 300000;
        c.length = rng() % (limit + 1);
        c.offset = rng() % 64;
        c.returned = 0;
    }

    TMD5Multi engine;
    TMD5Job done[kMD5MaxLanes];
    size_t next = 0, addedBesideBusyLanes = 0;
    for (;;) {
        while (next < cases.size()) {
            const bool othersBusy = engine.BusyLanes() > 0;
            TCase& c = cases[next];
            if (!engine.Add(WholeMessage(bytes.data() + c.offset, c.length, c.digest.data(), &c))) break;
            addedBesideBusyLanes += othersBusy ? 1 : 0;
            next++;
        }
        const unsigned busy = engine.BusyLanes();
        const unsigned finished = engine.Run(done);
        if (finished == 0) break;
        ASSERT_LE(finished, busy);
        EXPECT_EQ(engine.BusyLanes(), busy - finished);
        for (unsigned i = 0; i < finished; i++) static_cast<TCase*>(done[i].pvUser)->returned++;
    }
    EXPECT_EQ(next, cases.size());
    EXPECT_TRUE(engine.Idle());
    if (engine.Lanes() > 1) {
        EXPECT_GT(addedBesideBusyLanes, cases.size() / 2);
    }

    for (const TCase& c : cases) {
        ASSERT_EQ(c.returned, 1) << c.length << " bytes at offset " << c.offset;
        ASSERT_EQ(Hex(c.digest), Hex(ReferenceMD5(bytes.data() + c.offset, c.length)))
            << c.length << " bytes at offset " << c.offset;
    }

    // QOVMD5Many: the same jobs in one call.
    std::vector<TMD5Job> jobs;
    std::vector<Digest> digests(cases.size());
    for (size_t i = 0; i < cases.size(); i++)
        jobs.push_back(WholeMessage(bytes.data() + cases[i].offset, cases[i].length, digests[i].data()));
    QOVMD5Many(jobs.data(), jobs.size());
    for (size_t i = 0; i < cases.size(); i++) ASSERT_EQ(digests[i], cases[i].digest) << "job " << i;
}

TEST_P(MD5Multi, IdleEngineHasNothingToRun) {
    TMD5Multi engine;
    TMD5Job done[kMD5MaxLanes];
    EXPECT_TRUE(engine.Idle());
    EXPECT_EQ(engine.Run(done), 0u);
    engine.Finish();
    QOVMD5Many(nullptr, 0);

    // An empty message has a digest too, and a job without a place for it
    // is still handed back.
    Digest digest{};
    ASSERT_TRUE(engine.Add(WholeMessage(nullptr, 0, digest.data())));
    const unsigned added = engine.Lanes() > 1 ? 2 : 1;
    if (added == 2) {
        ASSERT_TRUE(engine.Add(WholeMessage(nullptr, 0, nullptr)));
    }
    unsigned handedBack = 0;
    for (unsigned n; (n = engine.Run(done)) > 0;) handedBack += n;
    EXPECT_EQ(handedBack, added);
    EXPECT_EQ(Hex(digest), "d41d8cd98f00b204e9800998ecf8427e");
}

// Pieces of 1 MiB in every lane, one byte longer or shorter here and there.
TEST_P(MD5Multi, OneMebibyteInEveryLane) {
    constexpr size_t kMiB = 1 << 20;
    const std::vector<uint8_t> bytes = PatternBytes(kMiB + 4096, 3);
    TMD5Multi engine;
    std::vector<TMD5Job> jobs;
    std::vector<Digest> digests(2 * kMD5MaxLanes);
    for (unsigned i = 0; i < digests.size(); i++) {
        const size_t length = kMiB - 1 + i % 3;
        jobs.push_back(WholeMessage(bytes.data() + i * 67, length, digests[i].data()));
    }
    QOVMD5Many(jobs.data(), jobs.size());
    for (unsigned i = 0; i < jobs.size(); i++) {
        EXPECT_EQ(Hex(digests[i]),
                  Hex(ReferenceMD5(static_cast<const uint8_t*>(jobs[i].pvData), jobs[i].cbData)))
            << "job " << i;
    }
}

// A message over 512 MiB: its length in bits no longer fits in 32 bits.
// Every lane hashes it, from an unaligned start.  The buffer and its
// libtomcrypt digest are made once for the test program.
class MD5MultiLarge : public MD5Multi {
protected:
    static constexpr size_t kLength = (size_t(512) << 20) + 4097;
    static constexpr size_t kOffset = 3;

    static void TearDownTestSuite() { s_bytes.reset(); }

    static const uint8_t* Message() {
        if (!s_bytes) {
            s_bytes.reset(new uint8_t[kOffset + kLength]);
            FillPattern(s_bytes.get(), kOffset + kLength, 4);
            s_expected = ReferenceMD5(s_bytes.get() + kOffset, kLength);
        }
        return s_bytes.get() + kOffset;
    }

    static std::unique_ptr<uint8_t[]> s_bytes;
    static Digest s_expected;
};
std::unique_ptr<uint8_t[]> MD5MultiLarge::s_bytes;
Digest MD5MultiLarge::s_expected;

TEST_P(MD5MultiLarge, MessageOver512MiBInEveryLane) {
    static_assert((uint64_t(kLength) * 8) >> 32 == 1, "the bit count needs more than 32 bits");
    const uint8_t* message = Message();
    TMD5Multi engine;
    std::vector<TMD5Job> jobs;
    std::vector<Digest> digests(engine.Lanes());
    for (unsigned lane = 0; lane < engine.Lanes(); lane++)
        jobs.push_back(WholeMessage(message, kLength, digests[lane].data()));
    QOVMD5Many(jobs.data(), jobs.size());
    for (unsigned lane = 0; lane < engine.Lanes(); lane++)
        EXPECT_EQ(Hex(digests[lane]), Hex(s_expected)) << "lane " << lane;
}

//-----------------------------------------------------------------------------
// Messages in several jobs (contexts).

// One message in two jobs, for every split where the first job leaves 0, 1,
// 55, 56 or 63 bytes of an unfinished block and the second brings up to two
// blocks more: the block completed across the jobs and the padding edges.
TEST_P(MD5Multi, MessageSplitAcrossTwoJobsAtEveryPaddingEdge) {
    const std::vector<uint8_t> bytes = PatternBytes(512, 5);
    const size_t firstLengths[] = {0, 1, 8, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 200};
    for (size_t first : firstLengths) {
        for (size_t second = 0; second <= 130; second++) {
            TMD5Context context;
            Digest digest{};
            TMD5Job head = WholeMessage(bytes.data() + 1, first, nullptr);
            head.pContext = &context;
            head.bFinal = false;
            TMD5Job tail = WholeMessage(bytes.data() + 1 + first, second, digest.data());
            tail.pContext = &context;
            TMD5Multi engine;
            ASSERT_TRUE(engine.Add(head));
            EXPECT_FALSE(engine.Add(tail)) << "the context is still in a lane";
            engine.Finish();
            EXPECT_EQ(context.cbTotal, first);
            EXPECT_EQ(context.cbPending, first % 64);
            ASSERT_TRUE(engine.Add(tail));
            engine.Finish();
            ASSERT_EQ(Hex(digest), Hex(ReferenceMD5(bytes.data() + 1, first + second)))
                << first << " + " << second << " bytes";
            EXPECT_EQ(context.cbTotal, 0u) << "the context is empty again";
        }
    }
}

// Many messages, each in chunks of random size (empty ones included),
// their jobs interleaved: QOVMD5Many keeps each message's chunks in order
// while the lanes hash chunks of other messages.
TEST_P(MD5Multi, InterleavedMessagesInChunks) {
    std::mt19937_64 rng(TestSeed());
    const std::vector<uint8_t> bytes = PatternBytes(1 << 20, 6);
    const size_t edgeSizes[] = {0, 1, 55, 56, 57, 63, 64, 65, 127, 128, 129};
    struct TMessage {
        size_t offset, length;
        std::vector<size_t> chunks;
        TMD5Context context;
        Digest digest;
    };
    std::vector<TMessage> messages(40);
    for (TMessage& m : messages) {
        m.offset = rng() % 1000;
        const size_t nChunks = 1 + rng() % 12;
        m.length = 0;
        for (size_t i = 0; i < nChunks; i++) {
            const size_t size = rng() % 3 == 0 ? edgeSizes[rng() % 11] : rng() % 20000;
            m.chunks.push_back(size);
            m.length += size;
        }
    }
    std::vector<TMD5Job> jobs;
    std::vector<size_t> position(messages.size(), 0);
    for (size_t chunk = 0;; chunk++) {
        bool any = false;
        for (size_t i = 0; i < messages.size(); i++) {
            TMessage& m = messages[i];
            if (chunk >= m.chunks.size()) continue;
            any = true;
            TMD5Job job =
                WholeMessage(bytes.data() + m.offset + position[i], m.chunks[chunk], m.digest.data());
            job.pContext = &m.context;
            job.bFinal = chunk + 1 == m.chunks.size();
            jobs.push_back(job);
            position[i] += m.chunks[chunk];
        }
        if (!any) break;
    }
    QOVMD5Many(jobs.data(), jobs.size());
    for (const TMessage& m : messages) {
        ASSERT_EQ(Hex(m.digest), Hex(ReferenceMD5(bytes.data() + m.offset, m.length)))
            << m.chunks.size() << " chunks, " << m.length << " bytes";
    }
}

// The public batch call: more messages than lanes, of mixed lengths (an
// empty one without data among them), each with its own digest.
TEST_P(MD5Multi, BatchOfWholeMessages) {
    const std::vector<uint8_t> bytes = PatternBytes(70000, 11);
    std::vector<QOV_MD5_MESSAGE> messages;
    std::vector<Digest> digests(3 * kMD5MaxLanes + 5);
    for (size_t i = 0; i < digests.size(); i++) {
        const size_t length = i == 7 ? 0 : (i * 977) % 65600;
        messages.push_back({i == 7 ? nullptr : bytes.data() + i, length, digests[i].data()});
    }
    ASSERT_TRUE(QOVMD5Batch(messages.data(), messages.size()));
    for (size_t i = 0; i < messages.size(); i++) {
        EXPECT_EQ(Hex(digests[i]), Hex(ReferenceMD5(bytes.data() + i, messages[i].cbData)))
            << "message " << i;
    }
    EXPECT_TRUE(QOVMD5Batch(nullptr, 0));
}

TEST_P(MD5Multi, BatchRefusesMessagesItCannotHash) {
    uint8_t byte = 1;
    Digest digest{};
    const Digest untouched = digest;
    const QOV_MD5_MESSAGE noDigest[] = {{&byte, 1, digest.data()}, {&byte, 1, nullptr}};
    const QOV_MD5_MESSAGE noData[] = {{&byte, 1, digest.data()}, {nullptr, 5, digest.data()}};
    for (const QOV_MD5_MESSAGE* messages : {noDigest, noData}) {
        QOVSetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(QOVMD5Batch(messages, 2));
        EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(digest, untouched) << "nothing is hashed";
    }
    QOVSetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(QOVMD5Batch(nullptr, 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

std::string KernelParamName(const testing::TestParamInfo<int>& info) { return KernelName(info.param); }

const int kKernels[] = {QOV_MD5_SCALAR, QOV_MD5_AVX2, QOV_MD5_AVX512};

INSTANTIATE_TEST_SUITE_P(md5, MD5KernelChoice, testing::ValuesIn(kKernels), KernelParamName);
INSTANTIATE_TEST_SUITE_P(md5, MD5Multi, testing::ValuesIn(kKernels), KernelParamName);
INSTANTIATE_TEST_SUITE_P(md5, MD5MultiLarge, testing::ValuesIn(kKernels), KernelParamName);

}  // namespace
