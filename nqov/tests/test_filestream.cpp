// File streams (QOVFileStream): creation and opening, positioned and
// continuing reads and writes, the end of the file, read-only streams,
// resizing, name limits and folder creation.

#include "read/QOVRead.h"
#include "TestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

using testutil::Bytes;

namespace {

struct StreamCloser {
    void operator()(TFileStream* stream) const { FileStream_Free(stream); }
};
typedef std::unique_ptr<TFileStream, StreamCloser> StreamPtr;

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class FileStreamTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.File("data.bin");
        content = testutil::RandomBytes(100, 1);
        ASSERT_TRUE(testutil::WriteFile(path, content));
    }

    StreamPtr Open(bool write) { return StreamPtr(FileStream_OpenFile(path.c_str(), write)); }

    testutil::TempDir dir;
    std::string path;
    Bytes content;
};

}  // namespace

TEST_F(FileStreamTest, PositionedReadAndSize) {
    StreamPtr stream = Open(false);
    ASSERT_TRUE(stream);
    uint64_t size = 0;
    ASSERT_TRUE(FileStream_SizeOf(stream.get(), &size));
    EXPECT_EQ(size, 100u);
    Bytes buffer(30);
    uint64_t position = 40;
    ASSERT_TRUE(FileStream_Read(stream.get(), &position, buffer.data(), 30));
    EXPECT_EQ(buffer, Bytes(content.begin() + 40, content.begin() + 70));
    EXPECT_EQ(Impl(stream)->RawFilePos, 70u);
    EXPECT_EQ(position, 40u) << "the caller's position is not moved";
    EXPECT_STREQ(stream->GetFileName(), path.c_str());
}

TEST_F(FileStreamTest, ZeroByteReadAtTheEndIsRefused) {
    StreamPtr stream = Open(false);
    ASSERT_TRUE(stream);
    uint8_t byte = 0;
    uint64_t position = 100;
    QOVSetLastError(0);
    EXPECT_FALSE(FileStream_Read(stream.get(), &position, &byte, 0));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    position = 150;
    EXPECT_FALSE(FileStream_Read(stream.get(), &position, &byte, 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // A 0-byte read inside the file succeeds and sets the position.
    position = 99;
    EXPECT_TRUE(FileStream_Read(stream.get(), &position, &byte, 0));
    EXPECT_EQ(Impl(stream)->RawFilePos, 99u);
}

TEST_F(FileStreamTest, ReadCrossingTheEndDeliversWhatThereIs) {
    StreamPtr stream = Open(false);
    ASSERT_TRUE(stream);
    Bytes buffer(20, 0xCC);
    uint64_t position = 90;
    EXPECT_FALSE(FileStream_Read(stream.get(), &position, buffer.data(), 20));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_HANDLE_EOF));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), Bytes(content.begin() + 90, content.end()));
    EXPECT_EQ(Impl(stream)->RawFilePos, 100u) << "the position moves past the bytes read";
    // The next read without a position starts at the end.
    EXPECT_FALSE(FileStream_Read(stream.get(), nullptr, buffer.data(), 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileStreamTest, NullPositionContinuesAfterTheLastReadOrWrite) {
    StreamPtr stream = Open(true);
    ASSERT_TRUE(stream);
    Bytes buffer(10);
    uint64_t position = 20;
    ASSERT_TRUE(FileStream_Read(stream.get(), &position, buffer.data(), 10));
    ASSERT_TRUE(FileStream_Read(stream.get(), nullptr, buffer.data(), 10));
    EXPECT_EQ(buffer, Bytes(content.begin() + 30, content.begin() + 40));

    const Bytes patch(5, 0x5A);
    position = 50;
    ASSERT_TRUE(FileStream_Write(stream.get(), &position, patch.data(), 5));
    EXPECT_EQ(Impl(stream)->RawFilePos, 55u);
    ASSERT_TRUE(FileStream_Read(stream.get(), nullptr, buffer.data(), 10));
    EXPECT_EQ(buffer, Bytes(content.begin() + 55, content.begin() + 65));
    ASSERT_TRUE(FileStream_Write(stream.get(), nullptr, patch.data(), 5));  // at 65
    stream.reset();

    Bytes expected = content;
    std::fill(expected.begin() + 50, expected.begin() + 55, 0x5A);
    std::fill(expected.begin() + 65, expected.begin() + 70, 0x5A);
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), expected);
}

TEST_F(FileStreamTest, WriteToAReadOnlyStreamFailsQuietly) {
    StreamPtr stream = Open(false);
    ASSERT_TRUE(stream);
    const Bytes patch(10, 0x11);
    uint64_t position = 0;
    QOVSetLastError(4242);
    EXPECT_FALSE(FileStream_Write(stream.get(), &position, patch.data(), 10));
    EXPECT_EQ(QOVGetLastError(), 4242u) << "the last error is left as it was";
    stream.reset();
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), content);
}

TEST_F(FileStreamTest, SetSizeLeavesThePosition) {
    StreamPtr stream = Open(true);
    ASSERT_TRUE(stream);
    Bytes buffer(40);
    uint64_t position = 0;
    ASSERT_TRUE(FileStream_Read(stream.get(), &position, buffer.data(), 40));
    ASSERT_TRUE(FileStream_SetSize(stream.get(), 10));
    EXPECT_EQ(Impl(stream)->RawFilePos, 40u);
    uint64_t size = 0;
    ASSERT_TRUE(FileStream_SizeOf(stream.get(), &size));
    EXPECT_EQ(size, 10u);
    ASSERT_TRUE(FileStream_SetSize(stream.get(), 200));
    EXPECT_EQ(Impl(stream)->RawFilePos, 40u);
    stream.reset();
    Bytes expected(content.begin(), content.begin() + 10);
    expected.resize(200, 0);
    EXPECT_EQ(testutil::ReadFileOrEmpty(path), expected);

    StreamPtr readOnly = Open(false);
    ASSERT_TRUE(readOnly);
    EXPECT_FALSE(FileStream_SetSize(readOnly.get(), 5));
    EXPECT_EQ(testutil::FileSize(path), 200u);
}

TEST_F(FileStreamTest, WritingPastTheEndExtendsTheFile) {
    StreamPtr stream = Open(true);
    ASSERT_TRUE(stream);
    const Bytes tail(4, 0x77);
    uint64_t position = 120;
    ASSERT_TRUE(FileStream_Write(stream.get(), &position, tail.data(), 4));
    uint64_t size = 0;
    ASSERT_TRUE(FileStream_SizeOf(stream.get(), &size));
    EXPECT_EQ(size, 124u);
    stream.reset();
    const Bytes data = testutil::ReadFileOrEmpty(path);
    ASSERT_EQ(data.size(), 124u);
    EXPECT_EQ(Bytes(data.begin() + 100, data.begin() + 120), Bytes(20, 0));
}

TEST_F(FileStreamTest, ObjectInterfaceForwards) {
    StreamPtr stream = Open(true);
    ASSERT_TRUE(stream);
    QOVFileStreamInterface* object = stream.get();
    EXPECT_STREQ(object->GetFileName(), path.c_str());
    EXPECT_EQ(object->GetSize(), 100u);
    Bytes buffer(5);
    uint64_t position = 3;
    ASSERT_TRUE(object->Read(&position, buffer.data(), 5));
    EXPECT_EQ(buffer, Bytes(content.begin() + 3, content.begin() + 8));
    position = 100;
    ASSERT_TRUE(object->Write(&position, buffer.data(), 5));
    EXPECT_EQ(object->GetSize(), 105u);
}

TEST_F(FileStreamTest, MakeNewTruncatesAndCreateNewRefusesExisting) {
    StreamPtr fresh(FileStream_MakeNew(path.c_str()));
    ASSERT_TRUE(fresh);
    uint64_t size = 1;
    ASSERT_TRUE(FileStream_SizeOf(fresh.get(), &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(Impl(fresh)->dwFlags & STREAM_FLAG_READ_ONLY, 0u);
    fresh.reset();
    EXPECT_EQ(testutil::FileSize(path), 0u);

    EXPECT_EQ(FileStream_CreateNew(path.c_str()), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    StreamPtr created(FileStream_CreateNew(dir.File("new.bin").c_str()));
    EXPECT_TRUE(created);
}

TEST_F(FileStreamTest, OpenFailures) {
    EXPECT_EQ(FileStream_OpenFile(dir.File("missing.bin").c_str(), false), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FileStream_OpenFile(nullptr, false), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(FileStream_MakeNew(nullptr), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    // A folder is no file.
    EXPECT_EQ(FileStream_OpenFile(dir.Path().c_str(), false), nullptr);
    EXPECT_NE(QOVGetLastError(), 0u);

    uint8_t byte = 0;
    EXPECT_FALSE(FileStream_Read(nullptr, nullptr, &byte, 1));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    FileStream_Free(nullptr);  // ignored
}

// The name field holds 263 bytes; a longer name is refused, not cut.
TEST_F(FileStreamTest, NameLimit) {
    const std::string prefix = dir.Path() + "/";
    ASSERT_LT(prefix.size(), 263u - 200u);
    const std::string longest = prefix + std::string(263 - prefix.size(), 'n');
    ASSERT_EQ(longest.size(), 263u);
    StreamPtr stream(FileStream_MakeNew(longest.c_str()));
    ASSERT_TRUE(stream);
    EXPECT_EQ(std::string(stream->GetFileName()), longest);
    stream.reset();

    const std::string tooLong = prefix + std::string(264 - prefix.size(), 'm');
    EXPECT_EQ(FileStream_MakeNew(tooLong.c_str()), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(testutil::FileExists(tooLong)) << "no file is created for a refused name";
    EXPECT_EQ(FileStream_OpenFile(tooLong.c_str(), false), nullptr);
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
}

TEST_F(FileStreamTest, ReplacedOperationsAreUsed) {
    static int calls = 0;
    static STREAM_READ original = nullptr;
    StreamPtr stream = Open(false);
    ASSERT_TRUE(stream);
    calls = 0;
    original = Impl(stream)->StreamRead;
    Impl(stream)->StreamRead = [](TFileStream* s, uint64_t* p, void* b, uint32_t n) {
        calls++;
        return original(s, p, b, n);
    };
    Bytes buffer(4);
    uint64_t position = 0;
    EXPECT_TRUE(FileStream_Read(stream.get(), &position, buffer.data(), 4));
    EXPECT_TRUE(stream->Read(&position, buffer.data(), 4));
    EXPECT_EQ(calls, 2);
}

TEST_F(FileStreamTest, ConcurrentPositionedWritesDoNotMix) {
    StreamPtr stream(FileStream_MakeNew(dir.File("threads.bin").c_str()));
    ASSERT_TRUE(stream);
    const uint32_t kBlock = 4096, kThreads = 4, kRounds = 32;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            const Bytes block(kBlock, static_cast<uint8_t>(t + 1));
            for (uint32_t r = 0; r < kRounds; r++) {
                uint64_t position = (static_cast<uint64_t>(r) * kThreads + t) * kBlock;
                FileStream_Write(stream.get(), &position, block.data(), kBlock);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    stream.reset();
    const Bytes data = testutil::ReadFileOrEmpty(dir.File("threads.bin"));
    ASSERT_EQ(data.size(), static_cast<size_t>(kBlock) * kThreads * kRounds);
    for (size_t i = 0; i < data.size(); i++)
        ASSERT_EQ(data[i], static_cast<uint8_t>((i / kBlock) % kThreads + 1)) << i;
}

TEST(FileStreamFolders, CreatesNestedFoldersWithEitherSeparator) {
    testutil::TempDir dir;
    const std::string target = dir.Path() + "\\one/two\\three/file.txt";
    ASSERT_TRUE(FileStream_CreateFolders(target.c_str()));
    EXPECT_TRUE(IsFolder(dir.Path() + "/one"));
    EXPECT_TRUE(IsFolder(dir.Path() + "/one/two"));
    EXPECT_TRUE(IsFolder(dir.Path() + "/one/two/three"));
    EXPECT_FALSE(testutil::FileExists(dir.Path() + "/one/two/three/file.txt"));
    // Existing folders are fine; a name without folders needs none.
    EXPECT_TRUE(FileStream_CreateFolders(target.c_str()));
    EXPECT_TRUE(FileStream_CreateFolders("plain.txt"));
    // A file in the way of a folder fails.
    ASSERT_TRUE(testutil::WriteFile(dir.File("blocker"), std::string("x")));
    EXPECT_FALSE(FileStream_CreateFolders((dir.File("blocker") + "/sub/file.txt").c_str()));
    EXPECT_NE(QOVGetLastError(), 0u);
}
