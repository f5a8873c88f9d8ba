// QOVCompression.cpp - compressed blocks: the method byte and the coders
// behind it.
//
// A block is one method byte followed by the coded data.  Each bit of the
// method byte names one coder; the coders form a table (one row per bit).
// Compression runs the rows with a compressor from the top down, so a block
// with several bits was coded in table order and is decoded in the reverse
// order.  A row marked "alone" (LZMA) is decoded only when its bit is the
// whole method byte and never takes part in a chain.
//
// Every coder writes at most the room it is given and reads at most the
// input it is given; a coder that cannot finish inside its room fails.

#include "common/QOVCompression.h"

#include "common/QOVCommon.h"

#include <bzlib.h>
#include <zlib.h>

#include <LzmaDec.h>

#include <cstdlib>
#include <new>
#include <pthread.h>
#include <cstring>

namespace {

// Output buffer, in/out output length (room on entry, produced on return),
// input buffer, input length, and for compressors the level (passed through,
// unused by every coder).
typedef bool (*QOV_COMPRESS)(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn, int32_t nLevel);
typedef bool (*QOV_DECOMPRESS)(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn);

// A block must be at least this much shorter than its input for a coding
// step to be kept: method byte included, a kept block is at least one byte
// shorter than the plain data, which keeps it distinguishable by length.
const uint64_t kMinGain = 2;

// Longest coder chain a method byte can ask for (one coder per table row).
const size_t kMaxCoders = 8;

//-----------------------------------------------------------------------------
// zlib

// The window follows the input length so that small sectors do not pay for
// a 32 KiB window.
int ZlibWindowBits(uint32_t cbInput) {
    if (cbInput <= 0x100) return 8;  // zlib itself raises 8 to 9
    if (cbInput <= 0x200) return 9;
    if (cbInput <= 0x400) return 10;
    if (cbInput <= 0x800) return 11;
    if (cbInput <= 0x1000) return 12;
    if (cbInput <= 0x2000) return 13;
    if (cbInput <= 0x4000) return 14;
    return 15;
}

const int kZlibLevel = 6;
const int kZlibMemLevel = 8;
const int kZlibMinWindowBits = 8;
const int kZlibMaxWindowBits = 15;

// Deflate and inflate streams are set up once per thread and reset between
// blocks: deflateReset and inflateReset return a stream to exactly the state
// a fresh init gives, without freeing and reallocating its buffers.  One
// deflate stream per window size, because the window of a deflate stream
// cannot be changed after its init.
class TZlibStreams {
public:
    TZlibStreams() = default;
    TZlibStreams(const TZlibStreams&) = delete;
    TZlibStreams& operator=(const TZlibStreams&) = delete;

    ~TZlibStreams() {
        for (int i = 0; i < kDeflateCount; i++) {
            if (m_deflateReady[i]) deflateEnd(&m_deflate[i]);
        }
        if (m_inflateReady) inflateEnd(&m_inflate);
    }

    // A deflate stream in its initial state, or null when it cannot be set up.
    z_stream* Deflate(int windowBits) {
        const int i = windowBits - kZlibMinWindowBits;
        z_stream* z = &m_deflate[i];
        if (!m_deflateReady[i]) {
            std::memset(z, 0, sizeof(*z));
            if (deflateInit2(z, kZlibLevel, Z_DEFLATED, windowBits, kZlibMemLevel, Z_DEFAULT_STRATEGY) !=
                Z_OK)
                return nullptr;
            m_deflateReady[i] = true;
        } else if (deflateReset(z) != Z_OK) {
            deflateEnd(z);
            m_deflateReady[i] = false;
            return nullptr;
        }
        return z;
    }

    // An inflate stream (zlib header, 32 KiB window) in its initial state.
    z_stream* Inflate() {
        z_stream* z = &m_inflate;
        if (!m_inflateReady) {
            std::memset(z, 0, sizeof(*z));
            if (inflateInit2(z, kZlibMaxWindowBits) != Z_OK) return nullptr;
            m_inflateReady = true;
        } else if (inflateReset(z) != Z_OK) {
            inflateEnd(z);
            m_inflateReady = false;
            return nullptr;
        }
        return z;
    }

private:
    static const int kDeflateCount = kZlibMaxWindowBits - kZlibMinWindowBits + 1;
    z_stream m_deflate[kDeflateCount];
    bool m_deflateReady[kDeflateCount] = {};
    z_stream m_inflate;
    bool m_inflateReady = false;
};

// The streams of the calling thread, released when the thread ends.  A
// thread-specific key, not a thread_local object: with mingw-w64 the storage
// of a thread_local object is gone before its destructor runs.
void DeleteZlibStreams(void* streams) { delete static_cast<TZlibStreams*>(streams); }

TZlibStreams* ThreadZlibStreams() {
    static pthread_key_t key;
    static const bool keyReady = pthread_key_create(&key, DeleteZlibStreams) == 0;
    if (!keyReady) return nullptr;
    TZlibStreams* streams = static_cast<TZlibStreams*>(pthread_getspecific(key));
    if (streams == nullptr) {
        streams = QOVNew<TZlibStreams>().release();
        if (streams == nullptr) return nullptr;
        if (pthread_setspecific(key, streams) != 0) {
            delete streams;
            return nullptr;
        }
    }
    return streams;
}

bool Compress_ZLIB(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn, int32_t /*nLevel*/) {
    TZlibStreams* streams = ThreadZlibStreams();
    z_stream* z = streams != nullptr ? streams->Deflate(ZlibWindowBits(cbIn)) : nullptr;
    if (z == nullptr) return false;

    z->next_in = const_cast<Bytef*>(static_cast<const Bytef*>(pvIn));
    z->avail_in = cbIn;
    z->next_out = static_cast<Bytef*>(pvOut);
    z->avail_out = *pcbOut;
    // One call: anything but the end of the stream means the block did not
    // fit its room, which the caller treats as no gain.
    if (deflate(z, Z_FINISH) != Z_STREAM_END) return false;
    *pcbOut = static_cast<uint32_t>(z->total_out);
    return true;
}

bool Decompress_ZLIB(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn) {
    const uint32_t cbRoom = *pcbOut;
    *pcbOut = 0;
    TZlibStreams* streams = ThreadZlibStreams();
    z_stream* z = streams != nullptr ? streams->Inflate() : nullptr;
    if (z == nullptr) return false;

    z->next_in = const_cast<Bytef*>(static_cast<const Bytef*>(pvIn));
    z->avail_in = cbIn;
    z->next_out = static_cast<Bytef*>(pvOut);
    z->avail_out = cbRoom;
    // Only a complete stream counts: Z_OK or Z_BUF_ERROR after Z_FINISH means
    // the input ended early or the data does not fit the room.
    if (inflate(z, Z_FINISH) != Z_STREAM_END) return false;
    *pcbOut = static_cast<uint32_t>(z->total_out);
    return true;
}

//-----------------------------------------------------------------------------
// bzip2

const int kBzip2BlockSize = 9;  // x 100 000 bytes
const int kBzip2WorkFactor = 30;

bool Compress_BZIP2(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn, int32_t /*nLevel*/) {
    bz_stream s;
    std::memset(&s, 0, sizeof(s));
    if (BZ2_bzCompressInit(&s, kBzip2BlockSize, 0, kBzip2WorkFactor) != BZ_OK) return false;

    const uint32_t cbRoom = *pcbOut;
    s.next_in = const_cast<char*>(static_cast<const char*>(pvIn));
    s.avail_in = cbIn;
    s.next_out = static_cast<char*>(pvOut);
    s.avail_out = cbRoom;

    bool bDone = false;
    for (;;) {
        const unsigned int availIn = s.avail_in;
        const unsigned int availOut = s.avail_out;
        const int r = BZ2_bzCompress(&s, s.avail_in != 0 ? BZ_RUN : BZ_FINISH);
        if (r == BZ_STREAM_END) {
            bDone = true;
            break;
        }
        if (r < 0) break;
        // Full output before the end of the stream: it does not fit.  A call
        // that moved nothing would be repeated forever.
        if (s.avail_out == 0) break;
        if (s.avail_in == availIn && s.avail_out == availOut) break;
    }
    BZ2_bzCompressEnd(&s);
    if (!bDone) return false;
    *pcbOut = cbRoom - s.avail_out;
    return true;
}

bool Decompress_BZIP2(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn) {
    const uint32_t cbRoom = *pcbOut;
    *pcbOut = 0;

    bz_stream s;
    std::memset(&s, 0, sizeof(s));
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK) return false;

    s.next_in = const_cast<char*>(static_cast<const char*>(pvIn));
    s.avail_in = cbIn;
    s.next_out = static_cast<char*>(pvOut);
    s.avail_out = cbRoom;

    bool bDone = false;
    for (;;) {
        const unsigned int availIn = s.avail_in;
        const unsigned int availOut = s.avail_out;
        const int r = BZ2_bzDecompress(&s);
        if (r == BZ_STREAM_END) {
            bDone = true;
            break;
        }
        if (r != BZ_OK) break;
        // The decoder returns BZ_OK only when it needs more input or more
        // room: a truncated stream, or output larger than expected.
        if (s.avail_in == 0 || s.avail_out == 0) break;
        if (s.avail_in == availIn && s.avail_out == availOut) break;
    }
    BZ2_bzDecompressEnd(&s);
    if (!bDone) return false;
    *pcbOut = cbRoom - s.avail_out;
    return true;
}

//-----------------------------------------------------------------------------
// LZMA (decoding only)
//
// Layout after the method byte: a filter byte that must be 0, the five
// property bytes, eight bytes not used here (a size field), then the coded
// stream up to the end of the block.
//
// LzmaDecode decodes straight into the output buffer, which also serves as
// its dictionary, so the dictionary size in the properties never causes an
// allocation.  Its only allocation is the probability table, whose size
// depends on lc + lp alone (at most 12 after LzmaProps_Decode has refused
// anything else): about 6 MiB at worst.

const uint32_t kLzmaFilterSize = 1;
const uint32_t kLzmaSizeFieldSize = 8;
const uint32_t kLzmaHeaderSize = kLzmaFilterSize + LZMA_PROPS_SIZE + kLzmaSizeFieldSize;  // 14

void* LzmaAlloc(void* /*p*/, size_t size) { return std::malloc(size); }
void LzmaFree(void* /*p*/, void* address) { std::free(address); }
ISzAlloc g_lzmaAlloc = {LzmaAlloc, LzmaFree};

bool Decompress_LZMA(void* pvOut, uint32_t* pcbOut, const void* pvIn, uint32_t cbIn) {
    const uint32_t cbRoom = *pcbOut;
    *pcbOut = 0;
    const Byte* pbIn = static_cast<const Byte*>(pvIn);
    if (cbIn <= kLzmaHeaderSize || pbIn[0] != 0) return false;

    SizeT cbDecoded = cbRoom;
    SizeT cbStream = cbIn - kLzmaHeaderSize;
    ELzmaStatus status;
    // LZMA_FINISH_ANY: decode at most the room; a stream with an end mark may
    // stop earlier, and one that runs out of input fails (SZ_ERROR_INPUT_EOF).
    const SRes r =
        LzmaDecode(static_cast<Byte*>(pvOut), &cbDecoded, pbIn + kLzmaHeaderSize, &cbStream,
                   pbIn + kLzmaFilterSize, LZMA_PROPS_SIZE, LZMA_FINISH_ANY, &status, &g_lzmaAlloc);
    if (r != SZ_OK || cbDecoded > cbRoom) return false;
    *pcbOut = static_cast<uint32_t>(cbDecoded);
    return true;
}

//-----------------------------------------------------------------------------
// The coder table.  Compression runs the rows with a compressor in this
// order; decompression runs the chained rows in the reverse order.

struct TCoder {
    uint32_t dwMethod;
    QOV_COMPRESS pfnCompress;  // null: this method is never written
    QOV_DECOMPRESS pfnDecompress;
    bool bAlone;  // decoded only as the whole method byte
};

const TCoder kCoders[] = {
    {NQOV_COMPRESSION_ZLIB, Compress_ZLIB, Decompress_ZLIB, false},
    {NQOV_COMPRESSION_BZIP2, Compress_BZIP2, Decompress_BZIP2, false},
    {NQOV_COMPRESSION_LZMA, nullptr, Decompress_LZMA, true},
};
const size_t kCoderCount = sizeof(kCoders) / sizeof(kCoders[0]);
static_assert(kCoderCount <= kMaxCoders, "coder chain longer than kMaxCoders");

// Where step i of n writes, so that the last step writes the caller's buffer.
inline uint8_t* StepTarget(size_t i, size_t n, uint8_t* pbOut, uint8_t* pbTemp) {
    return ((n - 1 - i) % 2 == 0) ? pbOut : pbTemp;
}

}  // namespace

int QOVZlibWindowBits(uint32_t cbInput) { return ZlibWindowBits(cbInput); }

bool QOVCompressBlockMethods(const void* pbInput, void* pbOutBuffer, uint32_t* pcbOutBuffer, uint32_t cbInput,
                             int32_t nLevel, uint32_t dwMethods) {
    QOV_FAIL_IF(pcbOutBuffer == nullptr, "no output length", ERROR_INVALID_PARAMETER, false);
    QOV_FAIL_IF(*pcbOutBuffer < cbInput, "output buffer smaller than the input", ERROR_INVALID_PARAMETER,
                false);
    QOV_FAIL_IF(pbOutBuffer == nullptr, "no output buffer", ERROR_INVALID_PARAMETER, false);
    QOV_FAIL_IF(pbInput == nullptr, "no input", ERROR_INVALID_PARAMETER, false);

    if (cbInput == 0) {
        *pcbOutBuffer = 0;
        return true;
    }

    // The coders asked for, in table order.
    const TCoder* coders[kMaxCoders];
    size_t nCoders = 0;
    uint32_t dwLeft = dwMethods;
    for (size_t i = 0; i < kCoderCount; i++) {
        if (kCoders[i].pfnCompress != nullptr && (dwLeft & kCoders[i].dwMethod) != 0) {
            coders[nCoders++] = &kCoders[i];
            dwLeft &= ~kCoders[i].dwMethod;
        }
    }
    QOV_FAIL_IF(dwLeft != 0, "unsupported compression method", ERROR_NOT_SUPPORTED, false);

    const uint32_t cbCapacity = *pcbOutBuffer;
    uint8_t* const pbOut = static_cast<uint8_t*>(pbOutBuffer);
    std::unique_ptr<uint8_t[]> temp;
    if (nCoders > 1) {
        temp = QOVAllocArray<uint8_t>(cbCapacity);
        QOV_FAIL_IF(!temp, "no memory for the coder chain", ERROR_NOT_ENOUGH_MEMORY, false);
    }

    const uint8_t* pbData = static_cast<const uint8_t*>(pbInput);
    uint32_t cbData = cbInput;
    uint8_t bMethodByte = 0;
    for (size_t i = 0; i < nCoders; i++) {
        uint8_t* const pbTarget = StepTarget(i, nCoders, pbOut, temp.get()) + 1;
        uint32_t cbCoded = cbCapacity - 1;
        const bool bCoded = coders[i]->pfnCompress(pbTarget, &cbCoded, pbData, cbData, nLevel);
        // Every step must gain against the plain input, not only against the
        // previous step's output.
        if (bCoded && static_cast<uint64_t>(cbCoded) + kMinGain <= cbInput) {
            bMethodByte |= static_cast<uint8_t>(coders[i]->dwMethod);
            pbData = pbTarget;
            cbData = cbCoded;
        } else if (bMethodByte != 0) {
            // Step dropped after an earlier one was kept: carry the data over
            // so that the last step leaves it in the caller's buffer.  It is
            // shorter than the input, so it fits the room.
            std::memmove(pbTarget, pbData, cbData);
            pbData = pbTarget;
        }
    }

    if (bMethodByte == 0) {
        if (pbOut != pbInput) std::memmove(pbOut, pbInput, cbInput);
        *pcbOutBuffer = cbInput;
        return true;
    }
    pbOut[0] = bMethodByte;
    *pcbOutBuffer = cbData + 1;
    return true;
}

bool CompressBlock(const void* pbInput, void* pbOutBuffer, uint32_t* pcbOutBuffer, uint32_t cbInput,
                   int32_t nLevel) {
    return QOVCompressBlockMethods(pbInput, pbOutBuffer, pcbOutBuffer, cbInput, nLevel,
                                   NQOV_COMPRESSION_DEFAULT);
}

bool DecompressBlock(void* pbOutBuffer, uint32_t* pcbOutBuffer, const void* pbInput, uint32_t cbInput) {
    if (pbInput == nullptr) return false;
    QOV_FAIL_IF(pcbOutBuffer == nullptr, "no output length", ERROR_INVALID_PARAMETER, false);
    QOV_FAIL_IF(pbOutBuffer == nullptr, "no output buffer", ERROR_INVALID_PARAMETER, false);

    const uint32_t cbExpected = *pcbOutBuffer;
    uint8_t* const pbOut = static_cast<uint8_t*>(pbOutBuffer);
    const uint8_t* const pbIn = static_cast<const uint8_t*>(pbInput);

    if (cbInput == 0) {
        *pcbOutBuffer = 0;
        return true;
    }
    // As long as the plain data: stored plain, whatever its first byte.
    if (cbInput == cbExpected) {
        if (pbOut != pbIn) std::memmove(pbOut, pbIn, cbInput);
        return true;
    }

    const uint32_t dwMethod = pbIn[0];
    const uint8_t* const pbCoded = pbIn + 1;
    const uint32_t cbCoded = cbInput - 1;

    // The coders to undo, in the reverse of the order they were applied.
    const TCoder* coders[kMaxCoders];
    size_t nCoders = 0;
    uint32_t dwLeft = dwMethod;
    for (size_t i = 0; i < kCoderCount; i++) {
        if (kCoders[i].bAlone && dwMethod == kCoders[i].dwMethod) {
            coders[0] = &kCoders[i];
            nCoders = 1;
            dwLeft = 0;
            break;
        }
    }
    if (nCoders == 0) {
        for (size_t i = kCoderCount; i-- > 0;) {
            if (!kCoders[i].bAlone && (dwLeft & kCoders[i].dwMethod) != 0) {
                coders[nCoders++] = &kCoders[i];
                dwLeft &= ~kCoders[i].dwMethod;
            }
        }
    }
    QOV_FAIL_IF(dwLeft != 0, "unsupported compression method", ERROR_NOT_SUPPORTED, false);

    if (nCoders == 0) {
        // Method byte 0: the rest of the block is the data.
        QOV_FAIL_IF(cbCoded > cbExpected, "uncoded block larger than expected", ERROR_FILE_CORRUPT, false);
        std::memmove(pbOut, pbCoded, cbCoded);
        *pcbOutBuffer = cbCoded;
        return true;
    }

    std::unique_ptr<uint8_t[]> temp;
    if (nCoders > 1) {
        temp = QOVAllocArray<uint8_t>(cbExpected);
        QOV_FAIL_IF(!temp, "no memory for the coder chain", ERROR_NOT_ENOUGH_MEMORY, false);
    }

    const uint8_t* pbData = pbCoded;
    uint32_t cbData = cbCoded;
    for (size_t i = 0; i < nCoders; i++) {
        uint8_t* const pbTarget = StepTarget(i, nCoders, pbOut, temp.get());
        uint32_t cbDecoded = cbExpected;
        const bool bDecoded = coders[i]->pfnDecompress(pbTarget, &cbDecoded, pbData, cbData);
        QOV_FAIL_IF(!bDecoded || cbDecoded == 0, "block cannot be decompressed", ERROR_FILE_CORRUPT, false);
        pbData = pbTarget;
        cbData = cbDecoded;
    }
    *pcbOutBuffer = cbData;
    return true;
}
