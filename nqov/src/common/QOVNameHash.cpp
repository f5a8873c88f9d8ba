// QOVNameHash.cpp - the name hash: lookup3 hashlittle2 over the normalised
// name.

#include "common/QOVCommon.h"

namespace {
inline uint32_t Rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= c;
    a ^= Rot(c, 4);
    c += b;
    b -= a;
    b ^= Rot(a, 6);
    a += c;
    c -= b;
    c ^= Rot(b, 8);
    b += a;
    a -= c;
    a ^= Rot(c, 16);
    c += b;
    b -= a;
    b ^= Rot(a, 19);
    a += c;
    c -= b;
    c ^= Rot(b, 4);
    b += a;
}

inline void Final(uint32_t& a, uint32_t& b, uint32_t& c) {
    c ^= b;
    c -= Rot(b, 14);
    a ^= c;
    a -= Rot(c, 11);
    b ^= a;
    b -= Rot(a, 25);
    c ^= b;
    c -= Rot(b, 16);
    a ^= c;
    a -= Rot(c, 4);
    b ^= a;
    b -= Rot(a, 14);
    c ^= b;
    c -= Rot(b, 24);
}

inline uint32_t Word(const uint8_t* k, size_t avail) {
    uint32_t w = 0;
    for (size_t i = 0; i < avail && i < 4; i++) w |= static_cast<uint32_t>(k[i]) << (8 * i);
    return w;
}

// Normalised name bytes: ASCII letters lower case, '/' as '\'.
const uint8_t* NormaliseTable() {
    static const struct Table {
        uint8_t map[256];
        Table() {
            for (int i = 0; i < 256; i++) map[i] = static_cast<uint8_t>(i);
            for (int i = 'A'; i <= 'Z'; i++) map[i] = static_cast<uint8_t>(i - 'A' + 'a');
            map[static_cast<uint8_t>('/')] = '\\';
        }
    } table;
    return table.map;
}
}  // namespace

void QOVHashLittle2(const void* key, size_t length, uint32_t* pc, uint32_t* pb) {
    uint32_t a, b, c;
    a = b = c = 0xDEADBEEF + static_cast<uint32_t>(length) + *pc;
    c += *pb;
    const uint8_t* k = static_cast<const uint8_t*>(key);
    while (length > 12) {
        a += Word(k, 4);
        b += Word(k + 4, 4);
        c += Word(k + 8, 4);
        Mix(a, b, c);
        length -= 12;
        k += 12;
    }
    if (length == 0) {
        *pc = c;
        *pb = b;
        return;
    }
    a += Word(k, length);
    if (length > 4) b += Word(k + 4, length - 4);
    if (length > 8) c += Word(k + 8, length - 8);
    Final(a, b, c);
    *pc = c;
    *pb = b;
}

uint64_t QOVNameHashN(const char* pchName, size_t cchName) {
    const uint8_t* map = NormaliseTable();
    // Zeroed: GCC at -O3 cannot see that only the bytes written are hashed.
    uint8_t stackBuffer[512] = {};
    std::unique_ptr<uint8_t[]> heapBuffer;
    uint8_t* normalised = stackBuffer;
    if (cchName > sizeof(stackBuffer)) {
        heapBuffer = QOVAllocArray<uint8_t>(cchName);
        if (!heapBuffer) return 0;
        normalised = heapBuffer.get();
    }
    for (size_t i = 0; i < cchName; i++) normalised[i] = map[static_cast<uint8_t>(pchName[i])];
    uint32_t primary = 2, secondary = 1;
    QOVHashLittle2(normalised, cchName, &primary, &secondary);
    return (static_cast<uint64_t>(secondary) << 32) | primary;
}

uint64_t QOVNameHash(const char* szName) { return QOVNameHashN(szName, strlen(szName)); }
