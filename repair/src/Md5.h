// Md5.h - MD5, the archive format's piece and table digest, for checking
// bytes from a source before anything is written (the source's header, its
// MD5 piece table and the pieces that hold the tables) and the pieces of the
// local file.

#ifndef BREVIK_REPAIR_MD5_H
#define BREVIK_REPAIR_MD5_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace brevik {
namespace repair {

struct Digest {
    uint8_t bytes[16] = {};
    bool operator==(const Digest& other) const { return std::memcmp(bytes, other.bytes, 16) == 0; }
    bool operator!=(const Digest& other) const { return !(*this == other); }
};

Digest Md5(const void* data, size_t size);

// Whether `data` hashes to the 16 bytes at `expected`.
bool Md5Matches(const void* data, size_t size, const uint8_t* expected);

struct ByteSpan {
    const uint8_t* data;
    size_t size;
};

// The digests of `count` independent messages, hashed several at once on
// the calling thread by the archive library's multi-buffer engine.
void Md5Many(const ByteSpan* messages, size_t count, Digest* digests);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_MD5_H
