// QOVDigest.cpp - MD5 (libtomcrypt) and the sector checksum (zlib's Adler-32).

#include "common/QOVCommon.h"

#include <tomcrypt.h>
#include <zlib.h>

static_assert(sizeof(hash_state) <= 448, "TMD5 state buffer too small");

TMD5::TMD5() { md5_init(reinterpret_cast<hash_state*>(m_state)); }

void TMD5::Update(const void* pvData, size_t cbData) {
    // libtomcrypt takes unsigned long lengths; feed large buffers in parts.
    const unsigned char* pb = static_cast<const unsigned char*>(pvData);
    while (cbData > 0) {
        const size_t part = cbData > 0x40000000 ? 0x40000000 : cbData;
        md5_process(reinterpret_cast<hash_state*>(m_state), pb, static_cast<unsigned long>(part));
        pb += part;
        cbData -= part;
    }
}

void TMD5::Final(uint8_t digest[16]) { md5_done(reinterpret_cast<hash_state*>(m_state), digest); }

void QOVMD5(const void* pvData, size_t cbData, uint8_t digest[16]) {
    TMD5 md5;
    md5.Update(pvData, cbData);
    md5.Final(digest);
}

bool IsZeroDigest(const uint8_t digest[16]) {
    for (int i = 0; i < 16; i++)
        if (digest[i] != 0) return false;
    return true;
}

uint32_t QOVSectorChecksum(const void* pvData, uint32_t cbData) {
    if (cbData == 0) return 0;
    return static_cast<uint32_t>(adler32(0, static_cast<const Bytef*>(pvData), cbData));
}
