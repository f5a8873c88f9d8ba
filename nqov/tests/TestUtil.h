// TestUtil.h - helpers shared by the archive library's tests: scratch
// folders, whole-file I/O, digests in hex, and archives built for a test.

#ifndef NQOV_TESTS_TESTUTIL_H
#define NQOV_TESTS_TESTUTIL_H

#include "QOVLib.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

typedef std::vector<uint8_t> Bytes;

// A scratch folder for one test, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

bool ReadFile(const std::string& path, Bytes* pData);
Bytes ReadFileOrEmpty(const std::string& path);
bool WriteFile(const std::string& path, const Bytes& data);
bool WriteFile(const std::string& path, const std::string& text);
bool CopyFile(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);
std::string ReadText(const std::string& path);
// Creates one folder (its parent must exist).
bool MakeFolder(const std::string& path);
// The names in a folder (without "." and ".."), sorted.
std::vector<std::string> ListNames(const std::string& folder);

std::string Md5Hex(const void* data, size_t size);
std::string Md5Hex(const Bytes& data);
std::string Sha256Hex(const void* data, size_t size);
std::string Hex(const uint8_t* data, size_t size);

// Deterministic pseudo-random bytes (xorshift) for a seed.
Bytes RandomBytes(size_t size, uint64_t seed);
// Text-like bytes that compress well.
Bytes TextBytes(size_t size, uint64_t seed);

// Creates an archive with the given parameters (SFileInitCreateParams
// defaults otherwise) and returns it open; null on failure.
TNQOVArchive* CreateArchive(const std::string& path, uint32_t capacity = 64, uint16_t sectorShift = 3,
                            uint32_t pieceSize = 4096, uint32_t chunkSize = 0, uint64_t headerOffset = 0);
// Writes one file through SFileCreateFileEx/SFileWriteFile/SFileFinishFile.
bool AddBytes(TNQOVArchive* ha, const std::string& name, const Bytes& data,
              uint32_t flags = NQOV_FILE_COMPRESS, uint32_t chunk = 0);
// Reads a whole file (scope 1); false with the last error on failure.
bool ReadWhole(TNQOVArchive* ha, const std::string& name, Bytes* pData, bool checkPieces = false);

// In-place edits of a file on disk (to damage or craft archives).
bool PatchFile(const std::string& path, uint64_t offset, const Bytes& bytes);
bool PatchLE16(const std::string& path, uint64_t offset, uint16_t value);
bool PatchLE32(const std::string& path, uint64_t offset, uint32_t value);
bool PatchLE64(const std::string& path, uint64_t offset, uint64_t value);
// Inverts the bits of one byte.
bool FlipByte(const std::string& path, uint64_t offset);
// Reads `size` bytes at `offset` (fewer at the end of the file).
Bytes ReadRange(const std::string& path, uint64_t offset, size_t size);
uint64_t FileSize(const std::string& path);
// Recomputes the header digest (MD5 of header bytes 0..155, stored at 156)
// of the header at headerOffset, after header fields were patched.
bool ResealHeader(const std::string& path, uint64_t headerOffset = 0);

// Byte offsets of the header fields (from the header's own position).
namespace hdr {
const uint64_t kHeaderSize = 4, kFormatVersion = 8, kSectorSize = 10, kArchieveSize = 12, kBetPos = 20,
               kHetPos = 28, kMD5TablePos = 36, kBitmapPos = 44, kHetSize = 52, kBetSize = 60,
               kMD5TableSize = 68, kBitmapSize = 76, kPieceSize = 84, kRawChunkSize = 88, kDigest = 156;
}  // namespace hdr

// Index of the record whose name (real or pseudo) is `name`, or -1.
int FindRecordIndex(TNQOVArchive* ha, const std::string& name);

}  // namespace testutil

#endif  // NQOV_TESTS_TESTUTIL_H
