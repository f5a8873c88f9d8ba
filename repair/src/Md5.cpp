// Md5.cpp - MD5 through libtomcrypt, the archive library's own.

#include "Md5.h"

#include <algorithm>

#include <tomcrypt.h>

namespace brevik {
namespace repair {

Digest Md5(const void* data, size_t size) {
    hash_state state;
    md5_init(&state);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    // libtomcrypt takes unsigned long lengths: feed large buffers in parts.
    const size_t kPart = 1u << 30;
    while (size > 0) {
        const size_t part = std::min(size, kPart);
        md5_process(&state, bytes, static_cast<unsigned long>(part));
        bytes += part;
        size -= part;
    }
    Digest digest;
    md5_done(&state, digest.bytes);
    return digest;
}

bool Md5Matches(const void* data, size_t size, const uint8_t* expected) {
    const Digest digest = Md5(data, size);
    return std::memcmp(digest.bytes, expected, 16) == 0;
}

}  // namespace repair
}  // namespace brevik
