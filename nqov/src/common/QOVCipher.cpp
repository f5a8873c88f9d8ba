// QOVCipher.cpp - the cipher table, the block cipher of tables and sectors,
// and the file keys derived from names.

#include "common/QOVCommon.h"

#include <mutex>

namespace {
uint32_t g_cipherTable[0x500];
std::once_flag g_cipherOnce;

void BuildCipherTable() {
    uint32_t seed = 0x00100001;
    for (uint32_t i = 0; i < 0x100; i++) {
        for (uint32_t j = 0; j < 5; j++) {
            seed = (seed * 125 + 3) % 0x2AAAAB;
            const uint32_t a = seed & 0xFFFF;
            seed = (seed * 125 + 3) % 0x2AAAAB;
            const uint32_t b = seed & 0xFFFF;
            g_cipherTable[j * 0x100 + i] = (a << 16) | b;
        }
    }
}

inline uint32_t NextKey(uint32_t key) { return ((~key << 21) + 0x11111111) | (key >> 11); }
}  // namespace

void QOVPrepareCipherTable() { std::call_once(g_cipherOnce, BuildCipherTable); }

uint32_t QOVCipherWord(uint32_t index) {
    QOVPrepareCipherTable();
    return g_cipherTable[index];
}

void EncryptQOVBlock(void* pvData, size_t cbData, uint32_t dwKey) {
    QOVPrepareCipherTable();
    uint8_t* pb = static_cast<uint8_t*>(pvData);
    uint32_t t = 0xEEEEEEEE;
    for (size_t n = cbData / 4; n > 0; n--, pb += 4) {
        t += g_cipherTable[0x400 + (dwKey & 0xFF)];
        const uint32_t clear = ReadLE32(pb);
        WriteLE32(pb, clear ^ (dwKey + t));
        dwKey = NextKey(dwKey);
        t = clear + t + (t << 5) + 3;
    }
}

void DecryptQOVBlock(void* pvData, size_t cbData, uint32_t dwKey) {
    QOVPrepareCipherTable();
    uint8_t* pb = static_cast<uint8_t*>(pvData);
    uint32_t t = 0xEEEEEEEE;
    for (size_t n = cbData / 4; n > 0; n--, pb += 4) {
        t += g_cipherTable[0x400 + (dwKey & 0xFF)];
        const uint32_t clear = ReadLE32(pb) ^ (dwKey + t);
        WriteLE32(pb, clear);
        dwKey = NextKey(dwKey);
        t = clear + t + (t << 5) + 3;
    }
}

uint32_t QOVFileKey(const char* szFileName, uint64_t qwStoredOffset, uint32_t dwFileSize, bool bFixKey) {
    QOVPrepareCipherTable();
    const char* plainName = szFileName;
    for (const char* p = szFileName; *p != 0; p++) {
        if (*p == '\\' || *p == '/') plainName = p + 1;
    }
    uint32_t h1 = 0x7FED7FED;
    uint32_t h2 = 0xEEEEEEEE;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(plainName); *p != 0; p++) {
        const uint32_t u = (*p >= 'a' && *p <= 'z') ? *p - 'a' + 'A' : *p;
        h1 = g_cipherTable[0x300 + u] ^ (h1 + h2);
        h2 = u + h1 + h2 + (h2 << 5) + 3;
    }
    if (bFixKey) h1 = (h1 + static_cast<uint32_t>(qwStoredOffset)) ^ dwFileSize;
    return h1;
}
