// The read-only library (nqov_read) on its own: this program links nothing
// but it, as the repair tool does.  It opens, reads and verifies archives
// opened for writing, and closes them with a flush; only adding a file
// through the archive interface needs the writer and is refused.

#include <QOVLib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

typedef std::vector<char> Bytes;

Bytes ReadDiskFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A copy of a fixture archive in the test's scratch folder.
std::string CopyFixture(const std::string& name) {
    const Bytes bytes = ReadDiskFile(std::string(NQOV_TEST_DATA_DIR "/fixtures/") + name);
    EXPECT_FALSE(bytes.empty()) << name;
    const std::string copy = "read_only_" + name;
    std::ofstream(copy, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
    return copy;
}

class CountingCallback : public sfile_verify_piece_callback {
public:
    void OnPieceVerified(uint32_t, uint32_t) override { calls++; }
    uint32_t calls = 0;
};

}  // namespace

TEST(ReadOnlyLibrary, OpensReadsVerifiesAndClosesWithAFlush) {
    const std::string path = CopyFixture("basic.qov");
    const Bytes before = ReadDiskFile(path);
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(OpenArchiveIfWritable(&ha, path.c_str())) << QOVGetLastError();

    TNQOVFile* hf = nullptr;
    ASSERT_TRUE(NQOVOpenFileEx(ha, "readme.txt", QOV_OPEN_PATCHED, &hf)) << QOVGetLastError();
    std::vector<uint8_t> content(SFileGetFileSize(hf));
    uint32_t read = 0;
    EXPECT_TRUE(SFileReadFile(hf, content.data(), static_cast<uint32_t>(content.size()), &read, true));
    EXPECT_EQ(read, 10000u);
    EXPECT_TRUE(SFileCloseFile(hf));
    EXPECT_EQ(VerifyFile(ha, "readme.txt"), VERIFY_MD5_PRESENT);

    CountingCallback callback;
    EXPECT_TRUE(SFileVerifyAll(ha, &callback)) << QOVGetLastError();
    EXPECT_EQ(callback.calls, 10u);
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    for (uint32_t i = 0; i < mapSize; i++) EXPECT_EQ(map[i], NQOV_PIECE_GOOD) << i;

    EXPECT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();
    EXPECT_TRUE(ReadDiskFile(path) == before) << "nothing changed, nothing written";
}

TEST(ReadOnlyLibrary, FindsTheDamagedPiece) {
    const std::string path = CopyFixture("corrupt_piece7.qov");
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    EXPECT_FALSE(SFileVerifyAll(ha, nullptr));
    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    ASSERT_NE(map, nullptr);
    ASSERT_GT(mapSize, 7u);
    EXPECT_EQ(map[7], NQOV_PIECE_BAD);
    EXPECT_TRUE(SFileCloseArchive(ha, true));
}

TEST(ReadOnlyLibrary, AddingAFileNeedsTheWriter) {
    const std::string path = CopyFixture("basic.qov");
    const Bytes before = ReadDiskFile(path);
    TNQOVArchive* ha = nullptr;
    ASSERT_TRUE(SFileOpenArchive(path.c_str(), &ha, 0)) << QOVGetLastError();
    EXPECT_FALSE(ha->AddFile(path.c_str(), "added.bin"));
    EXPECT_EQ(QOVGetLastError(), static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(ha->HasFile("added.bin"));
    EXPECT_TRUE(SFileCloseArchive(ha, true));
    EXPECT_TRUE(ReadDiskFile(path) == before);
}
