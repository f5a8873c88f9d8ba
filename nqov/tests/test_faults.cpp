// Fault injection: the archive's file stream fails its Nth read, write,
// size query or size change, for N rising from 1 until the operation under
// test completes without reaching the Nth call (SQLite's loop).  Each fault
// comes once (one-shot, also as a torn write or read that moves half its
// bytes first) or stays from the Nth call on (permanent).
//
// Operations: opening, adding a file (create, write, finish), flushing (list
// file and table writer), closing with flush, SFileVerifyAll,
// SFileExtractFile and SFileReadFile.  For every N:
//  * a failed operation returns false with a non-zero last error, and a
//    successful one gave correct results;
//  * nothing leaks (the AddressSanitizer build checks this at exit);
//  * after a one-shot fault, and after a permanent fault once it is gone, a
//    later successful flush leaves an archive that opens with every earlier
//    file intact (and the file being added either intact or absent).
//
// The faults are injected by replacing the four operation pointers of the
// archive's TFileStream.

#include "ArchiveModel.h"
#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

using model::ModelFile;
using model::Rng;
using testutil::Bytes;

namespace {

//-----------------------------------------------------------------------------
// The faulty stream.

enum class Op { Read, Write, GetSize, SetSize };

const char* OpName(Op op) {
    switch (op) {
        case Op::Read:
            return "read";
        case Op::Write:
            return "write";
        case Op::GetSize:
            return "size query";
        default:
            return "size change";
    }
}

enum class Mode { Once, OnceTorn, Permanent };

const char* ModeName(Mode mode) {
    switch (mode) {
        case Mode::Once:
            return "one-shot";
        case Mode::OnceTorn:
            return "one-shot torn";
        default:
            return "permanent";
    }
}

const uint32_t kFaultError = ERROR_IO_DEVICE;

struct FaultPlan {
    bool armed = false;
    Op op = Op::Read;
    Mode mode = Mode::Once;
    uint64_t failAt = 0;
    uint64_t calls = 0;
    uint64_t fired = 0;
    STREAM_READ read = nullptr;
    STREAM_WRITE write = nullptr;
    STREAM_GETSIZE getSize = nullptr;
    STREAM_SETSIZE setSize = nullptr;
};

FaultPlan g_plan;

bool ShouldFail(Op op) {
    if (!g_plan.armed || g_plan.op != op) return false;
    g_plan.calls++;
    if (g_plan.calls == g_plan.failAt || (g_plan.mode == Mode::Permanent && g_plan.calls > g_plan.failAt)) {
        g_plan.fired++;
        return true;
    }
    return false;
}

bool FaultyRead(TFileStream* pStream, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) {
    if (ShouldFail(Op::Read)) {
        if (g_plan.mode == Mode::OnceTorn && dwLength > 1)
            g_plan.read(pStream, pPosition, pvBuffer, dwLength / 2);
        QOVSetLastError(kFaultError);
        return false;
    }
    return g_plan.read(pStream, pPosition, pvBuffer, dwLength);
}

bool FaultyWrite(TFileStream* pStream, uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) {
    if (ShouldFail(Op::Write)) {
        if (g_plan.mode == Mode::OnceTorn && dwLength > 1)
            g_plan.write(pStream, pPosition, pvBuffer, dwLength / 2);
        QOVSetLastError(kFaultError);
        return false;
    }
    return g_plan.write(pStream, pPosition, pvBuffer, dwLength);
}

bool FaultyGetSize(TFileStream* pStream, uint64_t* pSize) {
    if (ShouldFail(Op::GetSize)) {
        QOVSetLastError(kFaultError);
        return false;
    }
    return g_plan.getSize(pStream, pSize);
}

bool FaultySetSize(TFileStream* pStream, uint64_t qwSize) {
    if (ShouldFail(Op::SetSize)) {
        if (g_plan.mode == Mode::OnceTorn) g_plan.setSize(pStream, qwSize);  // done, but reported failed
        QOVSetLastError(kFaultError);
        return false;
    }
    return g_plan.setSize(pStream, qwSize);
}

void InstallFaults(TFileStream* pStream) {
    if (g_plan.read == nullptr) {
        g_plan.read = Impl(pStream)->StreamRead;
        g_plan.write = Impl(pStream)->StreamWrite;
        g_plan.getSize = Impl(pStream)->StreamGetSize;
        g_plan.setSize = Impl(pStream)->StreamSetSize;
    }
    Impl(pStream)->StreamRead = FaultyRead;
    Impl(pStream)->StreamWrite = FaultyWrite;
    Impl(pStream)->StreamGetSize = FaultyGetSize;
    Impl(pStream)->StreamSetSize = FaultySetSize;
}

void Arm(Op op, Mode mode, uint64_t failAt) {
    g_plan.armed = true;
    g_plan.op = op;
    g_plan.mode = mode;
    g_plan.failAt = failAt;
    g_plan.calls = 0;
    g_plan.fired = 0;
}

// Stops injecting; returns whether a fault fired since Arm.
bool Disarm() {
    g_plan.armed = false;
    return g_plan.fired > 0;
}

// An upper bound for N: no operation here makes this many stream calls.
const uint64_t kMaxCalls = 20000;

//-----------------------------------------------------------------------------
// The archives the operations run on.

struct ArchiveSetup {
    const char* name;
    uint16_t sectorShift;
    uint32_t pieceSize;
    uint32_t chunkSize;
    uint64_t headerOffset;
};

const ArchiveSetup kSetups[] = {
    {"plain", 0, 1500, 0, 0},
    {"chunks_offset", 1, 4096, 1024, 512},
};

std::vector<ModelFile> BaseFiles() {
    auto file = [](const char* name, Bytes data, uint32_t flags) {
        ModelFile f;
        f.name = name;
        f.data = std::move(data);
        f.flags = flags;
        return f;
    };
    return {
        file("a/plain.bin", testutil::RandomBytes(5000, 1), 0),
        file("a/zip.txt", testutil::TextBytes(9000, 2), NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC),
        file("b/enc.bin", testutil::RandomBytes(3000, 3), NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY),
        file("b/unit.bin", testutil::TextBytes(2500, 4),
             NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED),
        file("c/small", testutil::TextBytes(20, 5), NQOV_FILE_COMPRESS),
        file("c/empty", Bytes(), NQOV_FILE_COMPRESS),
    };
}

// The file an add writes.
ModelFile NewFile(const char* name, uint32_t flags, size_t size) {
    ModelFile f;
    f.name = name;
    f.data = testutil::TextBytes(size / 2, 7);
    const Bytes noise = testutil::RandomBytes(size - size / 2, 8);
    f.data.insert(f.data.end(), noise.begin(), noise.end());
    f.flags = flags;
    return f;
}

class FaultTest : public testing::TestWithParam<ArchiveSetup> {
protected:
    void SetUp() override {
        rng_.reset(new Rng(model::TestSeed(std::string("faults/") + GetParam().name)));
        base_ = dir_.File("base.qov");
        work_ = dir_.File("work.qov");
        const ArchiveSetup& s = GetParam();
        TNQOVArchive* ha =
            testutil::CreateArchive(base_, 64, s.sectorShift, s.pieceSize, s.chunkSize, s.headerOffset);
        ASSERT_NE(ha, nullptr) << QOVGetLastError();
        files_ = BaseFiles();
        for (const ModelFile& f : files_) ASSERT_TRUE(testutil::AddBytes(ha, f.name, f.data, f.flags, 1000));
        ASSERT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
        ASSERT_TRUE(testutil::ReadFile(base_, &baseImage_));
    }

    void TearDown() override { Disarm(); }

    // A fresh copy of the base archive, opened without faults, with the
    // faulty operations installed (not yet armed).
    TNQOVArchive* OpenWork() {
        EXPECT_TRUE(testutil::WriteFile(work_, baseImage_));
        TNQOVArchive* ha = nullptr;
        EXPECT_TRUE(SFileOpenArchive(work_.c_str(), &ha, 0)) << QOVGetLastError();
        if (ha != nullptr) InstallFaults(Impl(ha)->pStream.get());
        return ha;
    }

    // Whether the work archive opens (no check of its content).
    static bool OpensCleanly(const std::string& path) {
        TNQOVArchive* ha = nullptr;
        if (!SFileOpenArchive(path.c_str(), &ha, 0)) return false;
        SFileCloseArchive(ha, false);
        return true;
    }

    // After recovery: the work archive opens and holds exactly `files`.
    void ExpectWorkHolds(const std::vector<ModelFile>& files) {
        model::ExpectArchiveHolds(work_, files, *rng_, 1);
    }

    // Runs body(N) for N = 1, 2, ... until it reports that no fault fired.
    void Loop(const std::string& what, Op op, Mode mode, const std::function<bool(uint64_t)>& body) {
        uint64_t n = 1;
        for (; n < kMaxCalls; n++) {
            SCOPED_TRACE(what + ": " + ModeName(mode) + " fault of " + OpName(op) + " call " +
                         std::to_string(n));
            const bool fired = body(n);
            Disarm();
            if (HasFatalFailure()) return;
            if (HasFailure()) {
                ADD_FAILURE() << "stopping the loop at the first failure";
                return;
            }
            if (!fired) break;
        }
        ASSERT_LT(n, kMaxCalls);
        printf("  %s, %s fault of %s: %llu calls\n", what.c_str(), ModeName(mode), OpName(op),
               static_cast<unsigned long long>(n - 1));
    }

    testutil::TempDir dir_;
    std::string base_, work_;
    Bytes baseImage_;
    std::vector<ModelFile> files_;
    std::unique_ptr<Rng> rng_;
};

//-----------------------------------------------------------------------------
// Opening.

TEST_P(FaultTest, Open) {
    for (Op op : {Op::Read, Op::GetSize}) {
        for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
            Loop("open", op, mode, [&](uint64_t n) {
                EXPECT_TRUE(testutil::WriteFile(work_, baseImage_));
                TFileStream* stream = FileStream_OpenFile(work_.c_str(), true);
                EXPECT_NE(stream, nullptr);
                if (stream == nullptr) return false;
                InstallFaults(stream);
                TNQOVArchive* ha = reinterpret_cast<TNQOVArchive*>(1);
                QOVSetLastError(0);
                Arm(op, mode, n);
                const bool ok = OpenArchiveOnStream(stream, &ha, 0);
                const uint32_t error = QOVGetLastError();
                const bool fired = Disarm();
                if (!ok) {
                    EXPECT_NE(error, 0u) << "a failed open left no error";
                    EXPECT_EQ(ha, nullptr);
                    EXPECT_TRUE(fired) << "the open failed without a fault";
                } else {
                    // A fault the open tolerated (the list file is optional)
                    // leaves an archive whose files all read back.
                    for (const ModelFile& f : files_) model::ExpectFileReadsBack(ha, f, *rng_, 1);
                    EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
                    EXPECT_TRUE(SFileCloseArchive(ha, true));
                }
                // Opening writes nothing.
                EXPECT_TRUE(testutil::ReadFileOrEmpty(work_) == baseImage_) << "the open changed the file";
                return fired;
            });
        }
    }
}

// An open that tolerated a fault (a list file it could not read), followed
// by an add and a flush: the list file written then must still name every
// earlier file.
TEST_P(FaultTest, OpenFaultThenFlushKeepsNames) {
    for (Mode mode : {Mode::Once, Mode::OnceTorn}) {
        Loop("open, add, flush", Op::Read, mode, [&](uint64_t n) {
            EXPECT_TRUE(testutil::WriteFile(work_, baseImage_));
            TFileStream* stream = FileStream_OpenFile(work_.c_str(), true);
            EXPECT_NE(stream, nullptr);
            if (stream == nullptr) return false;
            InstallFaults(stream);
            TNQOVArchive* ha = nullptr;
            Arm(Op::Read, mode, n);
            const bool ok = OpenArchiveOnStream(stream, &ha, 0);
            const bool fired = Disarm();
            if (!ok) return fired;
            const ModelFile added = NewFile("new/after open.bin", NQOV_FILE_COMPRESS, 1000);
            EXPECT_TRUE(model::WriteInPieces(ha, added, *rng_));
            EXPECT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
            ha = nullptr;
            EXPECT_TRUE(SFileOpenArchive(work_.c_str(), &ha, 0)) << QOVGetLastError();
            if (ha == nullptr) return fired;
            std::vector<std::string> lines;
            EXPECT_TRUE(model::ReadListFile(ha, &lines));
            std::string missing;
            for (const ModelFile& f : files_)
                if (std::find(lines.begin(), lines.end(), f.name) == lines.end()) missing += " " + f.name;
            EXPECT_TRUE(missing.empty()) << ModeName(mode) << " read " << n << ": names lost:" << missing;
            SFileCloseArchive(ha, false);
            return fired;
        });
    }
}

//-----------------------------------------------------------------------------
// Adding a file.

TEST_P(FaultTest, AddFile) {
    const bool chunks = GetParam().chunkSize != 0;
    const std::vector<ModelFile> kinds = {
        NewFile("new/added.bin",
                chunks ? 0u : NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_SECTOR_CRC, 7000),
        NewFile("new/unit.bin", NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, 3000),
    };
    // Added after the faulty add, in the same session: it must not land on
    // anything live either.
    const ModelFile after = NewFile("new/after.bin", NQOV_FILE_COMPRESS, 2500);
    std::vector<Op> ops = {Op::Write, Op::GetSize};
    if (chunks) ops.push_back(Op::Read);  // chunk digests are read back
    for (const ModelFile& added : kinds) {
        for (Op op : ops) {
            for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
                Loop("add " + added.name, op, mode, [&](uint64_t n) {
                    TNQOVArchive* ha = OpenWork();
                    if (ha == nullptr) return false;
                    QOVSetLastError(0);
                    Arm(op, mode, n);
                    Rng pieces(n);
                    const bool ok = model::WriteInPieces(ha, added, pieces);
                    const uint32_t error = QOVGetLastError();
                    if (!ok) {
                        EXPECT_NE(error, 0u) << "a failed add left no error";
                    }
                    if (mode == Mode::Permanent && g_plan.fired > 0) {
                        // While the fault stays, a flush fails too.
                        QOVSetLastError(0);
                        if (!SFileFlushArchive(ha)) {
                            EXPECT_NE(QOVGetLastError(), 0u);
                        }
                    }
                    const bool fired = Disarm();
                    EXPECT_TRUE(ok || fired) << "the add failed without a fault: " << error;

                    // Once the fault is gone, another file goes in and a
                    // flush writes a whole archive.
                    EXPECT_TRUE(model::WriteInPieces(ha, after, pieces)) << QOVGetLastError();
                    EXPECT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
                    EXPECT_TRUE(SFileCloseArchive(ha, false));
                    std::vector<ModelFile> expected = files_;
                    if (ok) expected.push_back(added);
                    expected.push_back(after);
                    ExpectWorkHolds(expected);
                    if (!ok) {
                        TNQOVArchive* check = nullptr;
                        if (SFileOpenArchive(work_.c_str(), &check, 0)) {
                            TNQOVFile* hf = nullptr;
                            if (NQOVOpenFileEx(check, added.name.c_str(), QOV_OPEN_PATCHED, &hf)) {
                                EXPECT_EQ(SFileGetFileSize(hf), 0u) << "a failed add left content behind";
                                SFileCloseFile(hf);
                            }
                            SFileCloseArchive(check, false);
                        }
                    }
                    return fired;
                });
            }
        }
    }
}

//-----------------------------------------------------------------------------
// Flushing and closing.

TEST_P(FaultTest, Flush) {
    const ModelFile one = NewFile("new/one.bin", NQOV_FILE_COMPRESS, 4000);
    const ModelFile two = NewFile("new/two.bin", 0, 2000);
    for (Op op : {Op::Write, Op::Read, Op::GetSize, Op::SetSize}) {
        for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
            Loop("flush", op, mode, [&](uint64_t n) {
                TNQOVArchive* ha = OpenWork();
                if (ha == nullptr) return false;
                EXPECT_TRUE(model::WriteInPieces(ha, one, *rng_));
                EXPECT_TRUE(model::WriteInPieces(ha, two, *rng_));
                QOVSetLastError(0);
                Arm(op, mode, n);
                const bool ok = SFileFlushArchive(ha);
                const uint32_t error = QOVGetLastError();
                if (!ok) {
                    EXPECT_NE(error, 0u) << "a failed flush left no error";
                    // Whatever part failed, the next flush writes the tables again.
                    EXPECT_NE(Impl(ha)->dwFlags & NQOV_FLAG_CHANGED, 0u)
                        << "a failed flush left the tables stale";
                }
                if (mode == Mode::Permanent && g_plan.fired > 0) {
                    QOVSetLastError(0);
                    if (!SFileFlushArchive(ha)) {
                        EXPECT_NE(QOVGetLastError(), 0u);
                    }
                }
                const bool fired = Disarm();
                EXPECT_TRUE(ok || fired) << "the flush failed without a fault: " << error;

                EXPECT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
                EXPECT_TRUE(SFileCloseArchive(ha, false));
                std::vector<ModelFile> expected = files_;
                expected.push_back(one);
                expected.push_back(two);
                ExpectWorkHolds(expected);
                return fired;
            });
        }
    }
}

TEST_P(FaultTest, CloseWithFlush) {
    const ModelFile one = NewFile("new/one.bin", NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, 3000);
    for (Op op : {Op::Write, Op::Read, Op::SetSize}) {
        for (Mode mode : {Mode::Once, Mode::Permanent}) {
            Loop("close", op, mode, [&](uint64_t n) {
                TNQOVArchive* ha = OpenWork();
                if (ha == nullptr) return false;
                EXPECT_TRUE(model::WriteInPieces(ha, one, *rng_));
                QOVSetLastError(0);
                Arm(op, mode, n);
                const bool ok = SFileCloseArchive(ha, true);  // releases the archive in every case
                const uint32_t error = QOVGetLastError();
                const bool fired = Disarm();
                if (!ok) {
                    EXPECT_NE(error, 0u) << "a failed close left no error";
                }
                EXPECT_TRUE(ok || fired);
                if (ok) {
                    std::vector<ModelFile> expected = files_;
                    expected.push_back(one);
                    ExpectWorkHolds(expected);
                }
                return fired;
            });
        }
    }
}

//-----------------------------------------------------------------------------
// Verifying, extracting, reading.

TEST_P(FaultTest, VerifyAll) {
    for (Op op : {Op::Read, Op::GetSize}) {
        for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
            Loop("verify", op, mode, [&](uint64_t n) {
                TNQOVArchive* ha = OpenWork();
                if (ha == nullptr) return false;
                QOVSetLastError(0);
                Arm(op, mode, n);
                const bool ok = SFileVerifyAll(ha, nullptr);
                const uint32_t error = QOVGetLastError();
                const bool fired = Disarm();
                if (!ok) {
                    EXPECT_NE(error, 0u) << "a failed verification left no error";
                    EXPECT_TRUE(fired);
                }
                // Without the fault every piece verifies again, and the map says so.
                EXPECT_TRUE(SFileVerifyAll(ha, nullptr)) << QOVGetLastError();
                uint32_t size = 0;
                const uint8_t* map = SFileGetBitmap(ha, &size);
                EXPECT_NE(map, nullptr);
                for (uint32_t i = 0; map != nullptr && i < size; i++)
                    EXPECT_EQ(map[i], 1) << "map byte " << i;
                EXPECT_TRUE(SFileFlushArchive(ha));
                EXPECT_TRUE(SFileCloseArchive(ha, false));
                EXPECT_TRUE(testutil::ReadFileOrEmpty(work_) == baseImage_)
                    << "verification changed the file";
                return fired;
            });
        }
    }
}

TEST_P(FaultTest, Extract) {
    const std::string out = dir_.File("out/extracted.bin");
    const Bytes previous = testutil::TextBytes(123, 42);
    for (const ModelFile& f : files_) {
        for (Op op : {Op::Read, Op::GetSize}) {
            for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
                Loop("extract " + f.name, op, mode, [&](uint64_t n) {
                    TNQOVArchive* ha = OpenWork();
                    if (ha == nullptr) return false;
                    // An earlier file at the target stays when extraction fails.
                    const bool existed = (n % 2) == 0;
                    remove(out.c_str());
                    if (existed) {
                        EXPECT_TRUE(testutil::WriteFile(out, previous));
                    }
                    QOVSetLastError(0);
                    Arm(op, mode, n);
                    const bool ok = SFileExtractFile(ha, f.name.c_str(), out.c_str());
                    const uint32_t error = QOVGetLastError();
                    const bool fired = Disarm();
                    Bytes got;
                    if (ok) {
                        EXPECT_TRUE(testutil::ReadFile(out, &got));
                        EXPECT_TRUE(got == f.data) << "extraction succeeded with wrong content";
                    } else {
                        EXPECT_NE(error, 0u) << "a failed extraction left no error";
                        EXPECT_TRUE(fired);
                        if (existed) {
                            EXPECT_TRUE(testutil::ReadFileOrEmpty(out) == previous)
                                << "the earlier file changed";
                        } else {
                            EXPECT_FALSE(testutil::FileExists(out)) << "a failed extraction left a file";
                        }
                        EXPECT_FALSE(testutil::FileExists(out + ".part")) << "a partial file stayed";
                    }
                    // Without the fault it works.
                    EXPECT_TRUE(SFileExtractFile(ha, f.name.c_str(), out.c_str())) << QOVGetLastError();
                    EXPECT_TRUE(testutil::ReadFileOrEmpty(out) == f.data);
                    EXPECT_TRUE(SFileCloseArchive(ha, false));
                    return fired;
                });
            }
        }
    }
}

// A fault while a whole file is verified is a read error, never a content
// error: VerifyFile must not report VERIFY_FILE_MD5_ERROR for good bytes.
TEST_P(FaultTest, VerifyFile) {
    for (const ModelFile& f : files_) {
        for (Op op : {Op::Read, Op::GetSize}) {
            for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
                Loop("verify " + f.name, op, mode, [&](uint64_t n) {
                    TNQOVArchive* ha = OpenWork();
                    if (ha == nullptr) return false;
                    Arm(op, mode, n);
                    const uint32_t flags = VerifyFile(ha, f.name.c_str());
                    const bool fired = Disarm();
                    EXPECT_EQ(flags & VERIFY_FILE_MD5_ERROR, 0u)
                        << "an I/O fault reported as wrong content: " << flags;
                    EXPECT_EQ(flags & VERIFY_FILE_SECTOR_CRC_ERROR, 0u)
                        << "an I/O fault reported as a checksum error";
                    if (!fired) {
                        EXPECT_EQ(flags, f.data.empty() ? (flags & VERIFY_MD5_PRESENT) : VERIFY_MD5_PRESENT);
                    }
                    EXPECT_EQ(VerifyFile(ha, f.name.c_str()) & ~VERIFY_MD5_PRESENT, 0u);
                    EXPECT_TRUE(SFileCloseArchive(ha, false));
                    return fired;
                });
            }
        }
    }
}

TEST_P(FaultTest, ReadFile) {
    for (const ModelFile& f : files_) {
        for (bool checkPieces : {false, true}) {
            for (Op op : {Op::Read, Op::GetSize}) {
                for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
                    Loop("read " + f.name + (checkPieces ? " with piece check" : ""), op, mode,
                         [&](uint64_t n) {
                             TNQOVArchive* ha = OpenWork();
                             if (ha == nullptr) return false;
                             TNQOVFile* hf = nullptr;
                             EXPECT_TRUE(NQOVOpenFileEx(ha, f.name.c_str(), QOV_OPEN_PATCHED, &hf));
                             if (hf == nullptr) {
                                 SFileCloseArchive(ha, false);
                                 return false;
                             }
                             // Start inside the file so that reads cross sectors.
                             const uint32_t size = static_cast<uint32_t>(f.data.size());
                             const uint32_t start = size > 600 ? 300 : 0;
                             SFileSetFilePointer(hf, static_cast<int32_t>(start), NQOV_FILE_BEGIN);
                             Bytes buffer(size + 1);
                             uint32_t read = 0xFFFFFFFF;
                             QOVSetLastError(0);
                             Arm(op, mode, n);
                             const bool ok =
                                 SFileReadFile(hf, buffer.data(), size - start, &read, checkPieces);
                             const uint32_t error = QOVGetLastError();
                             const bool fired = Disarm();
                             EXPECT_LE(read, size - start);
                             if (read <= size - start) {
                                 EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + read,
                                                        f.data.begin() + start))
                                     << "wrong bytes delivered (" << read << ")";
                             }
                             if (ok) {
                                 EXPECT_EQ(read, size - start);
                             } else {
                                 EXPECT_NE(error, 0u) << "a failed read left no error";
                                 EXPECT_TRUE(fired);
                             }
                             EXPECT_EQ(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT),
                                       start + std::min(read, size - start));
                             // The handle stays usable.
                             SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN);
                             read = 0;
                             EXPECT_TRUE(SFileReadFile(hf, buffer.data(), size, &read, checkPieces) ||
                                         size == 0)
                                 << QOVGetLastError();
                             EXPECT_EQ(read, size);
                             EXPECT_TRUE(std::equal(f.data.begin(), f.data.end(), buffer.begin()));
                             EXPECT_TRUE(SFileCloseFile(hf));
                             EXPECT_TRUE(SFileCloseArchive(ha, false));
                             return fired;
                         });
                }
            }
        }
    }
}

// A piece delivered by a downloader: a failed write reports its error and
// marks the piece bad; without the fault the same bytes are written.
TEST_P(FaultTest, WritePieceVerified) {
    const uint32_t pieceSize = GetParam().pieceSize;
    ASSERT_GE(baseImage_.size(), 2u * pieceSize);
    const Bytes piece(baseImage_.begin() + pieceSize, baseImage_.begin() + 2 * pieceSize);
    for (Mode mode : {Mode::Once, Mode::OnceTorn, Mode::Permanent}) {
        Loop("write piece", Op::Write, mode, [&](uint64_t n) {
            TNQOVArchive* ha = OpenWork();
            if (ha == nullptr) return false;
            QOVSetLastError(0);
            Arm(Op::Write, mode, n);
            const bool ok = SFileWritePieceVerified(ha, 1, piece.data(), pieceSize);
            const uint32_t error = QOVGetLastError();
            const bool fired = Disarm();
            uint32_t size = 0;
            const uint8_t* map = SFileGetBitmap(ha, &size);
            EXPECT_TRUE(map != nullptr && size > 1);
            if (!ok) {
                EXPECT_NE(error, 0u) << "a failed piece write left no error";
                EXPECT_TRUE(fired);
                if (map != nullptr && size > 1) {
                    EXPECT_EQ(map[1], 2);
                }
            }
            EXPECT_TRUE(SFileWritePieceVerified(ha, 1, piece.data(), pieceSize)) << QOVGetLastError();
            if (map != nullptr && size > 1) {
                EXPECT_EQ(map[1], 1);
            }
            EXPECT_TRUE(SFileVerifyAll(ha, nullptr));
            EXPECT_TRUE(SFileCloseArchive(ha, true));
            EXPECT_TRUE(testutil::ReadFileOrEmpty(work_) == baseImage_);
            return fired;
        });
    }
}

// The first write of a flush (the list file's) fails once; the tables are
// written all the same.  The next flush must leave a whole archive.
TEST_P(FaultTest, FlushAfterFailedListFileWrite) {
    TNQOVArchive* ha = OpenWork();
    ASSERT_NE(ha, nullptr);
    const ModelFile one = NewFile("new/one.bin", NQOV_FILE_COMPRESS, 4000);
    ASSERT_TRUE(model::WriteInPieces(ha, one, *rng_));
    Arm(Op::Write, Mode::Once, 1);
    EXPECT_FALSE(SFileFlushArchive(ha));
    EXPECT_EQ(QOVGetLastError(), kFaultError);
    Disarm();
    // The list file is still to be written, and so are the tables after it:
    // it goes where the HET table now is.
    const uint32_t flags = Impl(ha)->dwFlags;
    EXPECT_NE(flags & NQOV_FLAG_LISTFILE_CHANGED, 0u);
    EXPECT_NE(flags & NQOV_FLAG_CHANGED, 0u) << std::hex << "flags 0x" << flags;
    EXPECT_TRUE(SFileFlushArchive(ha)) << QOVGetLastError();
    EXPECT_TRUE(SFileCloseArchive(ha, false));
    EXPECT_TRUE(OpensCleanly(work_)) << QOVGetLastError();
    std::vector<ModelFile> expected = files_;
    expected.push_back(one);
    ExpectWorkHolds(expected);
}

INSTANTIATE_TEST_SUITE_P(Archives, FaultTest, testing::ValuesIn(kSetups),
                         [](const testing::TestParamInfo<ArchiveSetup>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
