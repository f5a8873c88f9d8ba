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
#include <utility>

//-----------------------------------------------------------------------------
// Errors.

// Sets the last error the library set most recently on this thread again
// (see QOVSetLastError), for a failure whose clean-up called the system.
void QOVRestoreLibraryError();

//-----------------------------------------------------------------------------
// Logging.  Lines go to the process-wide sink when one is installed:
//
//   "[debug QOV2LOG]<line> [<operation>] <detail>\n"      entering an operation
//   "[error QOV2LOG]<line> [<operation>] [result]:<reason>;[code]:<code>\n"
//
// <operation> is the exported operation running on this thread (QOVEnter),
// or outside one the function that logs.

bool QOVLogEnabled();
void QOVLogFormat(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The name of the operation running on this thread, else szFunction.
const char* QOVOperationName(const char* szFunction);
#define QOV_FUNC QOVOperationName(__func__)

//-----------------------------------------------------------------------------
// Failing.  The one way to report a failure: the reason goes to the log, the
// code becomes the thread's last error.

// Logs a failure's reason and code without setting the last error.
#define QOV_LOG_ERROR(reason, code)                                                                      \
    do {                                                                                                 \
        if (QOVLogEnabled())                                                                             \
            QOVLogFormat("[error QOV2LOG]%d [%s] [result]:%s;[code]:%d\n", __LINE__, QOV_FUNC, (reason), \
                         static_cast<int>(code));                                                        \
    } while (0)

// Logs the reason, sets the last error to `code` and returns `result`.
#define QOV_FAIL(reason, code, result)        \
    do {                                      \
        const uint32_t qovFailCode_ = (code); \
        QOV_LOG_ERROR(reason, qovFailCode_);  \
        QOVSetLastError(qovFailCode_);        \
        return result;                        \
    } while (0)

#define QOV_FAIL_IF(cond, reason, code, result)   \
    do {                                          \
        if (cond) QOV_FAIL(reason, code, result); \
    } while (0)

//-----------------------------------------------------------------------------
// Entering the library.  Every exported operation runs its body through
// QOVEnter (read/QOVRead.h adds the forms that check a handle first):
//
//  * no exception leaves the library: an allocation that fails deep inside
//    becomes ERROR_NOT_ENOUGH_MEMORY, anything else ERROR_CAN_NOT_COMPLETE,
//    and the operation returns its failure value;
//  * the entry line is logged, and every line logged until the body returns
//    names the operation;
//  * a failure's last error is set again on the way out, as the clean-up of
//    the body's locals may have called the system (QOVRestoreLibraryError).

// An operation: its name, the line it starts at, and what its entry line
// shows after the name (usually nothing).
struct TQOVOperation {
    const char* szName;
    int nLine;
    const char* szDetail;
};
#define QOV_HERE \
    TQOVOperation { __func__, __LINE__, "" }
#define QOV_HERE_WITH(detail) \
    TQOVOperation { __func__, __LINE__, (detail) }

// The detail of an entry line, formatted (and cut at 511 bytes) only when a
// sink listens.
class TQOVEntryDetail {
public:
    explicit TQOVEntryDetail(const char* szFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    const char* Text() const { return m_szText; }

private:
    char m_szText[512];
};

// Names the lines logged on this thread after the operation while it runs.
class TQOVOperationScope {
public:
    explicit TQOVOperationScope(const char* szName);
    ~TQOVOperationScope();
    TQOVOperationScope(const TQOVOperationScope&) = delete;
    TQOVOperationScope& operator=(const TQOVOperationScope&) = delete;

private:
    const char* m_szOuter;
};

void QOVLogEntry(const TQOVOperation& op);

template <typename Result, typename Body>
Result QOVEnter(const TQOVOperation& op, Result failValue, Body body) {
    TQOVOperationScope scope(op.szName);
    Result result = failValue;
    try {
        QOVLogEntry(op);
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
// Allocation.  One policy: objects and arrays are made with the helpers
// below, which never throw and give null without memory, and the caller
// fails with ERROR_NOT_ENOUGH_MEMORY.  Standard containers and strings
// (whose growth cannot be asked not to throw) report a failed allocation
// with std::bad_alloc, which QOVEnter turns into ERROR_NOT_ENOUGH_MEMORY.
// No plain `new` anywhere.

template <typename T, typename... Args>
std::unique_ptr<T> QOVNew(Args&&... args) {
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

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

// Reads the little-endian fields of a table or header out of a byte range.
// A field that does not lie wholly inside the range reads as zeros and marks
// the reader overrun, so that a caller checks once, after all its fields.
class TByteReader {
public:
    TByteReader(const uint8_t* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
    uint16_t U16(size_t offset) { return Fits(offset, 2) ? ReadLE16(m_pb + offset) : 0; }
    uint32_t U32(size_t offset) { return Fits(offset, 4) ? ReadLE32(m_pb + offset) : 0; }
    uint64_t U64(size_t offset) { return Fits(offset, 8) ? ReadLE64(m_pb + offset) : 0; }
    void Bytes(size_t offset, uint8_t* pbOut, size_t cbOut) {
        if (Fits(offset, cbOut))
            memcpy(pbOut, m_pb + offset, cbOut);
        else
            memset(pbOut, 0, cbOut);
    }
    bool Overrun() const { return m_overrun; }

private:
    bool Fits(size_t offset, size_t size) {
        if (offset <= m_cb && m_cb - offset >= size) return true;
        m_overrun = true;
        return false;
    }

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
uint32_t QOVFileKey(const char* szFileName, uint64_t qwStoredOffset, uint32_t dwFileSize, bool bFixKey);

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
// The same into a buffer, without allocating.
const size_t QOV_PSEUDO_NAME_SIZE = 32;  // ".File" + 20 digits + "." + terminator fit
void FormatPseudoFileName(uint64_t qwNameHash, char (&szName)[QOV_PSEUDO_NAME_SIZE]);

// A heap copy of a name; null without memory.
std::unique_ptr<char[]> QOVCopyName(const char* szName);

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
