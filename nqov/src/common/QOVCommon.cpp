// QOVCommon.cpp - error state, logging, bit arrays, cipher, name hash,
// file keys, pseudo names and digests shared by the archive library.

#include "common/QOVCommon.h"

#include "common/QOVPlatform.h"

#include <tomcrypt.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>

//-----------------------------------------------------------------------------
// Last error and logging.

#if !defined(_WIN32)
namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t PlatformGetLastError() { return t_lastError; }
void PlatformSetLastError(uint32_t dwError) { t_lastError = dwError; }

uint32_t PlatformErrorFromErrno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return ERROR_ACCESS_DENIED;
        case EROFS: return ERROR_WRITE_PROTECT;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EFBIG:
        case EDQUOT: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ETXTBSY:
        case EBUSY: return ERROR_SHARING_VIOLATION;
        default: return ERROR_IO_DEVICE;
    }
}
#endif

namespace {
// The last error the library itself set on this thread.  Clean-up after a
// failure may call into the system (a lock, a thread join) and on Windows
// such calls can overwrite the thread's last error; the exported operations
// set this one again before they return a failure.
thread_local uint32_t t_libraryError = ERROR_SUCCESS;
}  // namespace

uint32_t QOVGetLastError() { return PlatformGetLastError(); }
void QOVSetLastError(uint32_t dwError) {
    t_libraryError = dwError;
    PlatformSetLastError(dwError);
}
void QOVRestoreLibraryError() { PlatformSetLastError(t_libraryError); }

namespace {
std::atomic<QOV_LOG_SINK> g_logSink{nullptr};
}

void QOVSetLogSink(QOV_LOG_SINK pfnSink) { g_logSink.store(pfnSink); }

bool QOVLogEnabled() { return g_logSink.load(std::memory_order_relaxed) != nullptr; }

void QOVLogFormat(const char* szFormat, ...) {
    QOV_LOG_SINK sink = g_logSink.load();
    if (sink == nullptr) return;
    // Logging must not disturb the error the caller is about to report.
    const uint32_t savedError = PlatformGetLastError();
    char line[1024];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(line, sizeof(line), szFormat, args);
    va_end(args);
    sink(line);
    PlatformSetLastError(savedError);
}

//-----------------------------------------------------------------------------
// Bits.

uint32_t QOVBitCount(uint64_t v) {
    uint32_t bits = 0;
    while (v != 0) {
        bits++;
        v >>= 1;
    }
    return bits;
}

uint64_t GetBits64(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount) {
    if (bitCount == 0) return 0;
    const uint8_t* p = pbArray + (bitStart >> 3);
    const uint32_t shift = static_cast<uint32_t>(bitStart & 7);
    const uint32_t bytesNeeded = (shift + bitCount + 7) / 8;  // at most 9
    uint64_t low = 0;
    const uint32_t lowBytes = bytesNeeded < 8 ? bytesNeeded : 8;
    for (uint32_t i = 0; i < lowBytes; i++) low |= static_cast<uint64_t>(p[i]) << (8 * i);
    uint64_t value = low >> shift;
    if (bytesNeeded > 8) value |= static_cast<uint64_t>(p[8]) << (64 - shift);
    if (bitCount < 64) value &= (static_cast<uint64_t>(1) << bitCount) - 1;
    return value;
}

void GetBitsToBytes(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint8_t* pbOut,
                    size_t cbOut) {
    memset(pbOut, 0, cbOut);
    uint32_t usable = bitCount;
    if (static_cast<uint64_t>(usable) > static_cast<uint64_t>(cbOut) * 8)
        usable = static_cast<uint32_t>(cbOut * 8);
    for (uint32_t done = 0; done < usable; done += 8) {
        const uint32_t chunk = usable - done < 8 ? usable - done : 8;
        pbOut[done / 8] = static_cast<uint8_t>(GetBits64(pbArray, bitStart + done, chunk));
    }
}

void SetBits64(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint64_t value) {
    for (uint32_t i = 0; i < bitCount;) {
        const uint64_t bit = bitStart + i;
        const uint32_t shift = static_cast<uint32_t>(bit & 7);
        uint32_t take = 8 - shift;
        if (take > bitCount - i) take = bitCount - i;
        const uint8_t mask = static_cast<uint8_t>(((1u << take) - 1) << shift);
        const uint8_t bits = static_cast<uint8_t>(((value >> i) << shift) & mask);
        pbArray[bit >> 3] = static_cast<uint8_t>((pbArray[bit >> 3] & ~mask) | bits);
        i += take;
    }
}

void SetBitsFromBytes(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, const uint8_t* pbIn) {
    for (uint32_t done = 0; done < bitCount; done += 8) {
        const uint32_t chunk = bitCount - done < 8 ? bitCount - done : 8;
        SetBits64(pbArray, bitStart + done, chunk, pbIn[done / 8]);
    }
}

//-----------------------------------------------------------------------------
// Cipher table and table cipher.

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

uint32_t QOVFileKey(const char* szFileName, uint64_t qwStoredOffset, uint32_t dwFileSize,
                    bool bFixKey) {
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

//-----------------------------------------------------------------------------
// lookup3 hashlittle2 (Bob Jenkins, public domain), read byte by byte so the
// result is the same on every platform.

namespace {
inline uint32_t Rot(uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
    a -= c; a ^= Rot(c, 4);  c += b;
    b -= a; b ^= Rot(a, 6);  a += c;
    c -= b; c ^= Rot(b, 8);  b += a;
    a -= c; a ^= Rot(c, 16); c += b;
    b -= a; b ^= Rot(a, 19); a += c;
    c -= b; c ^= Rot(b, 4);  b += a;
}

inline void Final(uint32_t& a, uint32_t& b, uint32_t& c) {
    c ^= b; c -= Rot(b, 14);
    a ^= c; a -= Rot(c, 11);
    b ^= a; b -= Rot(a, 25);
    c ^= b; c -= Rot(b, 16);
    a ^= c; a -= Rot(c, 4);
    b ^= a; b -= Rot(a, 14);
    c ^= b; c -= Rot(b, 24);
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
            map['/'] = '\\';
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
    uint8_t stackBuffer[512];
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

//-----------------------------------------------------------------------------
// Names.

bool IsPseudoFileName(const char* szName, uint64_t* pqwHash) {
    if (szName == nullptr) return false;
    static const char prefix[] = ".file";
    for (size_t i = 0; i < 5; i++) {
        char ch = szName[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != prefix[i]) return false;
    }
    const char* p = szName + 5;
    if (*p < '0' || *p > '9') return false;
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (*p != '.') return false;
    if (pqwHash != nullptr) *pqwHash = value;
    return true;
}

std::string MakePseudoFileName(uint64_t qwNameHash) {
    char name[64];
    snprintf(name, sizeof(name), ".File%llu.", static_cast<unsigned long long>(qwNameHash));
    return name;
}

int QOVCompareNoCase(const char* a, const char* b) {
    for (;; a++, b++) {
        int ca = static_cast<uint8_t>(*a);
        int cb = static_cast<uint8_t>(*b);
        if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
        if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
        if (ca != cb || ca == 0) return ca - cb;
    }
}

bool IsListFileName(const char* szName) {
    return szName != nullptr && QOVCompareNoCase(szName, NQOV_LISTFILE_NAME) == 0;
}

//-----------------------------------------------------------------------------
// Digests.

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
