// OpenArchiveIfWritable as Windows does it: the archive file must be
// openable for reading and writing while others may only read it, so a file
// another handle writes, a read-only file or a missing one is refused, and
// the caller's handle variable is left as it was.

#include "TestUtil.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::wstring Wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

class WindowsSharingTest : public testing::Test {
protected:
    void SetUp() override {
        path = dir.File("shared.qov");
        TNQOVArchive* ha = testutil::CreateArchive(path);
        ASSERT_NE(ha, nullptr);
        ASSERT_TRUE(testutil::AddBytes(ha, "a.txt", testutil::TextBytes(3000, 1)));
        ASSERT_TRUE(SFileCloseArchive(ha, true));
    }

    HANDLE Hold(DWORD access, DWORD share) {
        return CreateFileW(Wide(path).c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }

    testutil::TempDir dir;
    std::string path;
};

TEST_F(WindowsSharingTest, OpensWhenNobodyElseWrites) {
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(OpenArchiveIfWritable(&ha, path.c_str())) << QOVGetLastError();
    EXPECT_TRUE(SFileCloseArchive(ha, true));

    // A reader that lets others write does not stand in the way.
    HANDLE reader = Hold(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ha = nullptr;
    EXPECT_TRUE(OpenArchiveIfWritable(&ha, path.c_str())) << QOVGetLastError();
    SFileCloseArchive(ha, false);
    CloseHandle(reader);
}

TEST_F(WindowsSharingTest, RefusesAFileAnotherHandleWrites) {
    HANDLE writer = Hold(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(OpenArchiveIfWritable(&ha, path.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ha, nullptr);
    CloseHandle(writer);
    EXPECT_TRUE(OpenArchiveIfWritable(&ha, path.c_str())) << "free again once the writer is gone";
    SFileCloseArchive(ha, false);
}

TEST_F(WindowsSharingTest, RefusesAReadOnlyFile) {
    ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(OpenArchiveIfWritable(&ha, path.c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ha, nullptr);
    // Opened read-only on purpose, the archive still reads.
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    testutil::Bytes content;
    EXPECT_TRUE(testutil::ReadWhole(ha, "a.txt", &content));
    EXPECT_TRUE(content == testutil::TextBytes(3000, 1));
    SFileCloseArchive(ha, false);
    SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsSharingTest, LeavesAGivenHandleAndRefusesMissingFiles) {
    TNQOVArchive* given = reinterpret_cast<TNQOVArchive*>(0x1234);
    EXPECT_FALSE(OpenArchiveIfWritable(&given, path.c_str()));
    EXPECT_EQ(given, reinterpret_cast<TNQOVArchive*>(0x1234));
    TNQOVArchive* ha = nullptr;
    EXPECT_FALSE(OpenArchiveIfWritable(&ha, dir.File("missing.qov").c_str()));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ha, nullptr);
    EXPECT_FALSE(OpenArchiveIfWritable(&ha, dir.Path().c_str())) << "a folder is no archive";
    EXPECT_EQ(ha, nullptr);
}

}  // namespace
