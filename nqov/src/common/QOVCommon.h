// QOVCommon.h - helpers shared by every unit of the archive library:
// error reporting and logging, little-endian access, bit arrays, the table
// cipher, the name hash, file keys, pseudo names and MD5.

#ifndef NQOV_QOVCOMMON_H
#define NQOV_QOVCOMMON_H

#include "QOVLib.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

//-----------------------------------------------------------------------------
// Logging.  Lines go to the process-wide sink when one is installed; the
// formats are "[debug QOV2LOG]<line> [<operation>] ..." and
// "[error QOV2LOG]<line> [<operation>] [result]:<reason>;[code]:<code>\n".

bool QOVLogEnabled();

// Log lines name the operation they come from.  Inside an exported
// operation whose body runs in a lambda, QOV_OPERATION("Name") declares the
// name the lambda's lines carry; elsewhere the enclosing function's name is
// used.
static constexpr const char* qovOperationName [[maybe_unused]] = nullptr;
#define QOV_OPERATION(name) [[maybe_unused]] const char* const qovOperationName = (name)
#define QOV_FUNC (qovOperationName != nullptr ? qovOperationName : __func__)
void QOVLogFormat(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// "[debug QOV2LOG]%d [%s] \n"
#define QOV_LOG_ENTRY() \
    do { if (QOVLogEnabled()) QOVLogFormat("[debug QOV2LOG]%d [%s] \n", __LINE__, QOV_FUNC); } while (0)

// "[error QOV2LOG]%d [%s] [result]:<reason>;[code]:%d\n"
#define QOV_LOG_ERROR(reason, code)                                                              \
    do {                                                                                         \
        if (QOVLogEnabled())                                                                     \
            QOVLogFormat("[error QOV2LOG]%d [%s] [result]:%s;[code]:%d\n", __LINE__, QOV_FUNC,   \
                         (reason), static_cast<int>(code));                                      \
    } while (0)

// The same, naming the operation explicitly (for helpers of an operation).
#define QOV_LOG_ERROR_AS(operation, reason, code)                                                \
    do {                                                                                         \
        if (QOVLogEnabled())                                                                     \
            QOVLogFormat("[error QOV2LOG]%d [%s] [result]:%s;[code]:%d\n", __LINE__, (operation),  \
                         (reason), static_cast<int>(code));                                      \
    } while (0)

// Sets the last error, logs the reason and returns `result` from the caller.
#define QOV_FAIL(reason, code, result)                                                           \
    do {                                                                                         \
        const uint32_t qovFailCode_ = (code);                                                    \
        QOV_LOG_ERROR(reason, qovFailCode_);                                                     \
        QOVSetLastError(qovFailCode_);                                                           \
        return result;                                                                           \
    } while (0)

#define QOV_FAIL_IF(cond, reason, code, result) \
    do { if (cond) QOV_FAIL(reason, code, result); } while (0)

// Sets the last error the library set most recently on this thread again
// (see QOVSetLastError), for a failure whose clean-up called the system.
void QOVRestoreLibraryError();

//-----------------------------------------------------------------------------
// Guards the exported functions: an allocation that fails deep inside becomes
// ERROR_NOT_ENOUGH_MEMORY and the given failure value, never an exception.

// A failure's last error is set again on the way out, as the clean-up of
// the body's locals may have called the system (see QOVRestoreLibraryError).
template <typename Result, typename Body>
Result QOVGuard(Result failValue, Body body) {
    Result result = failValue;
    try {
        result = body();
    } catch (const std::bad_alloc&) {
        QOVSetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        QOVSetLastError(ERROR_CAN_NOT_COMPLETE);
    }
    if (result == failValue) QOVRestoreLibraryError();
    return result;
}

//-----------------------------------------------------------------------------
// Allocation without exceptions: null on failure.

template <typename T>
std::unique_ptr<T[]> QOVAllocArray(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count == 0 ? 1 : count]);
}

template <typename T>
std::unique_ptr<T[]> QOVAllocZeroed(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count == 0 ? 1 : count]());
}

//-----------------------------------------------------------------------------
// Little-endian access.

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadLE64(const uint8_t* p) {
    return static_cast<uint64_t>(ReadLE32(p)) | (static_cast<uint64_t>(ReadLE32(p + 4)) << 32);
}
inline void WriteLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void WriteLE64(uint8_t* p, uint64_t v) {
    WriteLE32(p, static_cast<uint32_t>(v));
    WriteLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Reads little-endian integers from a byte range and remembers whether any
// read ran past its end (then the value read is 0).
class TByteReader {
public:
    TByteReader(const uint8_t* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
    uint32_t U32(size_t offset) {
        if (offset > m_cb || m_cb - offset < 4) { m_overrun = true; return 0; }
        return ReadLE32(m_pb + offset);
    }
    bool Overrun() const { return m_overrun; }

private:
    const uint8_t* m_pb;
    size_t m_cb;
    bool m_overrun = false;
};

//-----------------------------------------------------------------------------
// Overflow-safe arithmetic.

inline bool CheckedAdd64(uint64_t a, uint64_t b, uint64_t* out) {
    if (a > UINT64_MAX - b) return false;
    *out = a + b;
    return true;
}
inline bool CheckedMul64(uint64_t a, uint64_t b, uint64_t* out) {
    if (a != 0 && b > UINT64_MAX / a) return false;
    *out = a * b;
    return true;
}

// Number of significant bits of v: 0 for 0, else the highest set bit + 1.
uint32_t QOVBitCount(uint64_t v);

//-----------------------------------------------------------------------------
// Bit arrays: bit k is bit k%8 of byte k/8; fields are assembled LSB first.
// Callers check that a field lies inside the array (BitFieldFits) first.

inline bool BitFieldFits(uint64_t bitStart, uint32_t bitCount, uint64_t arrayBits) {
    return bitStart <= arrayBits && bitCount <= arrayBits - bitStart;
}

// Reads a field of up to 64 bits.
uint64_t GetBits64(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount);
// The same for arrays that have at least 16 readable bytes after the byte
// holding the field's last bit (tables the library padded for speed).
inline uint64_t GetBits64Padded(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount) {
    if (bitCount == 0) return 0;
    const uint8_t* p = pbArray + (bitStart >> 3);
    const uint32_t shift = static_cast<uint32_t>(bitStart & 7);
    uint64_t value = ReadLE64(p) >> shift;
    if (shift + bitCount > 64) value |= static_cast<uint64_t>(p[8]) << (64 - shift);
    if (bitCount < 64) value &= (static_cast<uint64_t>(1) << bitCount) - 1;
    return value;
}
// Reads a field of any width into `pbOut` (cbOut bytes, LSB first); bits
// beyond cbOut * 8 are dropped, missing high bytes are zero.
void GetBitsToBytes(const uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint8_t* pbOut,
                    size_t cbOut);
// Writes the low bitCount bits of value (bitCount <= 64).
void SetBits64(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, uint64_t value);
// Writes bitCount bits taken LSB first from pbIn.
void SetBitsFromBytes(uint8_t* pbArray, uint64_t bitStart, uint32_t bitCount, const uint8_t* pbIn);

//-----------------------------------------------------------------------------
// Table cipher and keys.

// Builds the cipher table once per process (thread-safe).
void QOVPrepareCipherTable();
// Word of the cipher table (QOVPrepareCipherTable must have run).
uint32_t QOVCipherWord(uint32_t index);

// Enciphers / deciphers `cbData` bytes in place as 32-bit words under key;
// trailing bytes beyond a whole word stay in clear.
void EncryptQOVBlock(void* pvData, size_t cbData, uint32_t dwKey);
void DecryptQOVBlock(void* pvData, size_t cbData, uint32_t dwKey);

// The file key of a stored name (the part after the last '\' or '/'),
// adjusted by position and size when bFixKey is set.
uint32_t QOVFileKey(const char* szFileName, uint64_t qwStoredOffset, uint32_t dwFileSize,
                    bool bFixKey);

//-----------------------------------------------------------------------------
// Name hash.

// Bob Jenkins' lookup3 hashlittle2 over the normalised name (letters lower
// case, '/' as '\'), (secondary << 32) | primary with initial values 2 and 1.
uint64_t QOVNameHash(const char* szName);
uint64_t QOVNameHashN(const char* pchName, size_t cchName);
// Plain lookup3 hashlittle2 (exposed for tests against the reference vectors).
void QOVHashLittle2(const void* key, size_t length, uint32_t* pc, uint32_t* pb);

//-----------------------------------------------------------------------------
// Pseudo names ".File<decimal NameHash64>." of unnamed records.

// True when szName is ".File" (any case) + decimal digits + "." (+ anything);
// the number (which must fit 64 bits) is stored in *pqwHash.
bool IsPseudoFileName(const char* szName, uint64_t* pqwHash);
std::string MakePseudoFileName(uint64_t qwNameHash);

// True for "(listfile)" in any letter case.
bool IsListFileName(const char* szName);

// ASCII-only case-insensitive comparison of two names.
int QOVCompareNoCase(const char* a, const char* b);

//-----------------------------------------------------------------------------
// MD5.

class TMD5 {
public:
    TMD5();
    void Update(const void* pvData, size_t cbData);
    void Final(uint8_t digest[16]);

private:
    alignas(16) unsigned char m_state[448];  // holds a libtomcrypt hash_state
};

void QOVMD5(const void* pvData, size_t cbData, uint8_t digest[16]);
bool IsZeroDigest(const uint8_t digest[16]);

//-----------------------------------------------------------------------------
// Adler-32 with initial value 0, as used for sector checksums.
uint32_t QOVSectorChecksum(const void* pvData, uint32_t cbData);

#endif  // NQOV_QOVCOMMON_H
