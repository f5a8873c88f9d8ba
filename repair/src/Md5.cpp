// Md5.cpp - MD5: one message through libtomcrypt, the archive library's
// own; many through the library's multi-buffer engine.

#include "Md5.h"

#include <algorithm>
#include <vector>

#include <tomcrypt.h>

#include "QOVLib.h"

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

void Md5Many(const ByteSpan* messages, size_t count, Digest* digests) {
    std::vector<QOV_MD5_MESSAGE> batch(count);
    for (size_t n = 0; n < count; ++n) batch[n] = {messages[n].data, messages[n].size, digests[n].bytes};
    // Fails only on a message without data or digest, which these never are.
    QOVMD5Batch(batch.data(), batch.size());
}

}  // namespace repair
}  // namespace brevik
