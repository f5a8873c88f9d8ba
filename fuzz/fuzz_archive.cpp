// fuzz_archive.cpp - libFuzzer target: any byte string, opened as an archive
// on an in-memory stream.
//
// Pass 1 (read-only stream): archive and piece figures, every record listed,
// each record opened by name (scopes 0, 1 and table-only) and by hash, read
// whole with and without the piece check, read again in pieces at other
// positions, named, verified; whole-archive verification, the piece-state
// map, per-file piece checks, and one file extracted to a scratch folder.
//
// Pass 2 (writable copy): a small new file is written (its flags and size
// come from the input's last byte) and the archive flushed.  When that works
// the result must verify, open again and give the new file back.
//
// Chain inputs (they start with "nqch" and hold two archives) take pass 3
// instead: the first archive opened in memory, the second attached to it as
// a patch, and the chain walked through the object interface (ChainPass).
//
// Besides the sanitizers, the target checks invariants that hold for any
// input: two successful reads of the same bytes agree, an extracted file
// equals the file read, and a flushed archive is whole.  A broken invariant
// aborts with a message naming it.
//
// The same source builds the regression driver of the normal build
// (FUZZ_REGRESSION_DRIVER, see fuzz_regression_main.cpp).

#include "FuzzMemoryStream.h"
#include "read/QOVRead.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <process.h>
#endif
#include <cerrno>

namespace {

using fuzzstream::NewMemoryStream;
using fuzzstream::TMemoryStream;

const uint32_t kMaxRecords = 128;            // records exercised per archive
const uint32_t kReadBlock = 64 * 1024;       // one SFileReadFile call
const uint64_t kMaxFileRead = 1u << 20;      // bytes read of one file
const uint64_t kStreamLimit = 64ull << 20;   // largest in-memory archive
const size_t kMaxExtractInput = 256 * 1024;  // larger inputs skip extraction
const uint32_t kMaxPieceBuffer = 16u << 20;  // larger pieces are not read here

[[noreturn]] void InvariantFailed(const char* what, const char* detail, int line) {
    const uint32_t lastError = QOVGetLastError();
    fprintf(stderr, "fuzz_archive: invariant broken (line %d): %s [%s] (last error %u)\n", line, what,
            detail != nullptr ? detail : "", lastError);
    fflush(stderr);
    abort();
}

#define FUZZ_CHECK(cond, what, detail)                            \
    do {                                                          \
        if (!(cond)) InvariantFailed((what), (detail), __LINE__); \
    } while (0)

typedef std::vector<uint8_t> Bytes;

//-----------------------------------------------------------------------------
// A scratch folder for extraction, one per process, removed at exit.

std::string g_scratch;

void RemoveScratch() {
    if (!g_scratch.empty()) rmdir(g_scratch.c_str());
}

#if defined(_WIN32)
// mingw has no mkdtemp: a folder named after the process in the current one.
char* MakeScratchFolder(std::vector<char>* pattern) {
    std::string name = "nqov-fuzz-" + std::to_string(_getpid());
    pattern->assign(name.begin(), name.end());
    pattern->push_back(0);
    return _mkdir(pattern->data()) == 0 || errno == EEXIST ? pattern->data() : nullptr;
}
#else
char* MakeScratchFolder(std::vector<char>* pattern) {
    const char* base = getenv("TMPDIR");
    const std::string text = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/nqov-fuzz-XXXXXX";
    pattern->assign(text.begin(), text.end());
    pattern->push_back(0);
    return mkdtemp(pattern->data());
}
#endif

const std::string& ScratchFolder() {
    if (g_scratch.empty()) {
        std::vector<char> buffer;
        if (MakeScratchFolder(&buffer) != nullptr) {
            g_scratch = buffer.data();
            atexit(RemoveScratch);
        }
    }
    return g_scratch;
}

bool ReadDiskFile(const std::string& path, Bytes* pData) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    pData->clear();
    uint8_t block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), file)) > 0) pData->insert(pData->end(), block, block + got);
    fclose(file);
    return true;
}

//-----------------------------------------------------------------------------
// Reading.

// Reads from the current position until the end, an error or kMaxFileRead
// bytes; true when the file was read to its end without an error.
bool ReadToEnd(TNQOVFile* hf, bool bCheckPieces, Bytes* pContent) {
    pContent->clear();
    const uint32_t size = SFileGetFileSize(hf);
    if (size == NQOV_INVALID_SIZE) return false;
    static Bytes block(kReadBlock);
    while (pContent->size() < kMaxFileRead) {
        uint32_t read = 0;
        const bool ok = SFileReadFile(hf, block.data(), kReadBlock, &read, bCheckPieces);
        FUZZ_CHECK(read <= kReadBlock, "SFileReadFile delivered more than asked", nullptr);
        pContent->insert(pContent->end(), block.data(), block.data() + read);
        if (!ok) return QOVGetLastError() == ERROR_HANDLE_EOF && pContent->size() == size;
        if (read == 0) break;
    }
    return false;
}

// Reads up to `length` bytes at `position` and checks them against the
// content read before (when that read was complete).
void ReadAt(TNQOVFile* hf, uint32_t position, uint32_t length, const Bytes* pWhole, bool bCheckPieces,
            const char* szName) {
    if (SFileSetFilePointer(hf, static_cast<int32_t>(position), NQOV_FILE_BEGIN) != position) return;
    Bytes buffer(length == 0 ? 1 : length);
    uint32_t read = 0;
    const bool ok = SFileReadFile(hf, buffer.data(), length, &read, bCheckPieces);
    FUZZ_CHECK(read <= length, "SFileReadFile delivered more than asked", szName);
    const bool usable = ok || QOVGetLastError() == ERROR_HANDLE_EOF;
    if (pWhole == nullptr || !usable) return;
    if (position >= pWhole->size()) {
        FUZZ_CHECK(read == 0, "read after the end delivered bytes", szName);
        return;
    }
    const size_t expected = std::min<size_t>(length, pWhole->size() - position);
    FUZZ_CHECK(read == expected, "read at a position delivered a different length", szName);
    FUZZ_CHECK(memcmp(buffer.data(), pWhole->data() + position, read) == 0,
               "read at a position delivered other bytes than the whole read", szName);
    FUZZ_CHECK(SFileSetFilePointer(hf, 0, NQOV_FILE_CURRENT) == position + read, "file position after a read",
               szName);
}

// Opens one record in one way and reads it every way; *pContent gets the
// whole content when it could be read completely.
void ExerciseHandle(TNQOVFile* hf, const char* szName, Bytes* pContent, bool* pbComplete) {
    const uint32_t size = SFileGetFileSize(hf);
    SFileGetFileName(hf);

    Bytes plain, checked;
    SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN);
    const bool plainOk = ReadToEnd(hf, false, &plain);
    SFileSetFilePointer(hf, 0, NQOV_FILE_BEGIN);
    const bool checkedOk = ReadToEnd(hf, true, &checked);
    if (plainOk && checkedOk)
        FUZZ_CHECK(plain == checked, "reads with and without the piece check differ", szName);
    const Bytes* whole = plainOk ? &plain : (checkedOk ? &checked : nullptr);

    const uint32_t sectorBytes = Impl(hf)->ha->dwSectorBytes;
    // Reads that start inside a sector, end inside one, span a whole one,
    // start at the last byte and after the end.
    const uint32_t positions[] = {size / 2, size > 0 ? size - 1 : 0, sectorBytes - 1, size + 10};
    for (uint32_t position : positions) ReadAt(hf, position, 600, whole, false, szName);
    ReadAt(hf, sectorBytes - 3, std::min(sectorBytes, kReadBlock) + 9, whole, true, szName);
    ReadAt(hf, 1, 5, whole, false, szName);

    // Relative moves.
    if (SFileSetFilePointer(hf, -5, NQOV_FILE_END) != NQOV_INVALID_SIZE) {
        uint8_t tail[16];
        uint32_t read = 0;
        SFileReadFile(hf, tail, sizeof(tail), &read, false);
        FUZZ_CHECK(read <= 5, "read after a move to end-5 delivered more than 5 bytes", szName);
    }
    SFileSetFilePointer(hf, -3, NQOV_FILE_CURRENT);
    SFileSetFilePointer(hf, INT32_MIN, NQOV_FILE_CURRENT);
    SFileSetFilePointer(hf, 7, 9);  // invalid method

    if (whole != nullptr && pContent != nullptr && !*pbComplete) {
        *pContent = *whole;
        *pbComplete = true;
    }
}

void ExerciseRecord(TNQOVArchive* ha, const QOV_RECORD_INFO& info, const std::string& name, Bytes* pContent,
                    bool* pbComplete) {
    const char* szName = name.c_str();
    // The first scope that opens the record gets every kind of read; the
    // others (which find the same record) a short one.
    bool exercised = false;
    for (uint32_t scope : {QOV_OPEN_FROM_ARCHIVE, QOV_OPEN_PATCHED, QOV_OPEN_TABLE_ONLY}) {
        TNQOVFile* hf = nullptr;
        if (!NQOVOpenFileEx(ha, szName, scope, &hf)) {
            FUZZ_CHECK(hf == nullptr, "failed open left a handle", szName);
            continue;
        }
        FUZZ_CHECK(hf != nullptr, "successful open gave no handle", szName);
        if (!exercised) {
            ExerciseHandle(hf, szName, pContent, pbComplete);
            exercised = true;
        } else {
            ReadAt(hf, 0, 64, *pbComplete ? pContent : nullptr, true, szName);
        }
        FUZZ_CHECK(SFileCloseFile(hf), "closing a read handle failed", szName);
    }

    // By name hash only.
    if (info.NameHash64 != 0) {
        TNQOVFile* hf = nullptr;
        if (NQOVOpenFileEx(ha, nullptr, QOV_OPEN_FROM_ARCHIVE, &hf, info.NameHash64)) {
            uint8_t head[64];
            uint32_t read = 0;
            SFileReadFile(hf, head, sizeof(head), &read, true);
            SFileCloseFile(hf);
        }
    }

    VerifyFile(ha, szName);
    SFileVerifyFilePieceMD5(ha, szName);
    uint32_t firstPiece = 0, pieceCount = 0;
    SFilePathToPieceIndex(ha, szName, &firstPiece, &pieceCount);
}

//-----------------------------------------------------------------------------
// Pieces.

class TCountingCallback : public sfile_verify_piece_callback {
public:
    void OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) override {
        if (m_calls == 0) m_count = dwPieceCount;
        FUZZ_CHECK(dwPieceCount == m_count, "piece count changed during SFileVerifyAll", nullptr);
        FUZZ_CHECK(dwPieceIndex == m_calls, "SFileVerifyAll reported pieces out of order", nullptr);
        FUZZ_CHECK(dwPieceIndex < dwPieceCount, "SFileVerifyAll reported a piece beyond the count", nullptr);
        m_calls++;
    }
    uint32_t m_calls = 0;
    uint32_t m_count = 0;
};

void ExercisePieces(TNQOVArchive* ha) {
    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    const bool haveLayout = SFileGetPieceCount(ha, &lastPieceSize, &pieceCount, &pieceSize);
    SFileLoadMd5(ha);

    uint32_t mapSize = 0;
    const uint8_t* map = SFileGetBitmap(ha, &mapSize);
    if (map != nullptr && mapSize > 0) {
        volatile uint8_t sink = map[0] ^ map[mapSize - 1];  // the whole map is readable
        (void)sink;
    }

    if (haveLayout && pieceCount > 0 && pieceSize <= kMaxPieceBuffer) {
        Bytes piece(pieceSize);
        const uint32_t indexes[] = {0, 1, pieceCount - 1, pieceCount};
        for (uint32_t index : indexes) {
            const uint32_t length = index + 1 == pieceCount ? lastPieceSize : pieceSize;
            SFileReadPieceVerified(ha, index, piece.data(), std::min(length, pieceSize));
        }
        SFileVerifyPiece(ha, 0, piece.data(), pieceCount == 1 ? lastPieceSize : pieceSize);
    }

    TCountingCallback callback;
    SFileVerifyAll(ha, &callback);
    if (haveLayout && callback.m_calls > 0)
        FUZZ_CHECK(callback.m_count == pieceCount, "SFileVerifyAll piece count", nullptr);

    // Runs of pieces hashed together: a state for each, and nothing beyond.
    if (haveLayout && pieceCount > 0) {
        const uint32_t checked = std::min<uint32_t>(pieceCount, 4096);
        Bytes states(checked + 1, 0xEE);
        const bool clean = SFileVerifyPieces(ha, 0, checked, states.data());
        for (uint32_t n = 0; n < checked; n++)
            FUZZ_CHECK(states[n] == NQOV_PIECE_GOOD || states[n] == NQOV_PIECE_BAD, "piece state", nullptr);
        FUZZ_CHECK(states[checked] == 0xEE, "SFileVerifyPieces wrote past the range", nullptr);
        FUZZ_CHECK(clean == (std::count(states.begin(), states.end() - 1, NQOV_PIECE_GOOD) == checked),
                   "SFileVerifyPieces result and states disagree", nullptr);
        FUZZ_CHECK(!SFileVerifyPieces(ha, pieceCount, 1, states.data()), "a piece beyond the count", nullptr);
    }
    // Verified writes are refused on a read-only stream, each piece alone.
    if (haveLayout && pieceCount > 0 && pieceSize <= kMaxPieceBuffer) {
        Bytes piece(pieceSize);
        QOV_PIECE_WRITE writes[] = {{0, pieceCount == 1 ? lastPieceSize : pieceSize, piece.data(), 9, 9},
                                    {pieceCount, pieceSize, piece.data(), 9, 9}};
        FUZZ_CHECK(!SFileWritePiecesVerified(ha, writes, 2), "a piece written to a read-only stream",
                   nullptr);
        for (const QOV_PIECE_WRITE& write : writes)
            FUZZ_CHECK(write.dwResult != QOV_PIECE_WRITTEN, "a piece written to a read-only stream", nullptr);
    }
    SFileWriteBitmap(ha);  // refused on a read-only stream
}

//-----------------------------------------------------------------------------
// Pass 1: everything a reader can do.

void ReadPass(const uint8_t* data, size_t size) {
    TNQOVArchive* ha = nullptr;
    if (!OpenArchiveOnStream(NewMemoryStream(data, size, true, kStreamLimit), &ha, 0)) {
        FUZZ_CHECK(ha == nullptr, "failed open left an archive", nullptr);
        return;
    }
    FUZZ_CHECK(ha != nullptr, "successful open gave no archive", nullptr);

    QOV_ARCHIVE_INFO archiveInfo;
    SFileGetArchiveInfo(ha, &archiveInfo);
    const uint32_t count = SFileGetRecordCount(ha);
    FUZZ_CHECK(count != NQOV_INVALID_SIZE, "record count of an open archive", nullptr);

    struct Listed {
        QOV_RECORD_INFO info;
        std::string name;
    };
    std::vector<Listed> records;
    for (uint32_t i = 0; i < count && i < kMaxRecords; i++) {
        Listed listed;
        if (!SFileGetRecordInfo(ha, i, &listed.info)) continue;
        FUZZ_CHECK(listed.info.szFileName != nullptr, "record without a name", nullptr);
        listed.name = listed.info.szFileName;
        records.push_back(listed);
    }
    QOV_RECORD_INFO beyond;
    FUZZ_CHECK(!SFileGetRecordInfo(ha, count, &beyond), "record info beyond the table", nullptr);

    ExercisePieces(ha);

    bool extracted = size > kMaxExtractInput;  // large inputs skip extraction
    for (const Listed& listed : records) {
        if (listed.name.empty()) continue;
        Bytes content;
        bool complete = false;
        ExerciseRecord(ha, listed.info, listed.name, &content, &complete);

        if (!extracted && complete && (listed.info.dwFlags & NQOV_FILE_EXISTS) && !ScratchFolder().empty()) {
            extracted = true;
            const std::string target = ScratchFolder() + "/extracted.bin";
            if (SFileExtractFile(ha, listed.name.c_str(), target.c_str())) {
                Bytes onDisk;
                const bool readBack = ReadDiskFile(target, &onDisk);
                unlink(target.c_str());
                FUZZ_CHECK(readBack, "extracted file cannot be read", listed.name.c_str());
                // Extraction reads with the piece check and the patched scope:
                // it may stop earlier, but what it wrote must be the content.
                if (content.size() < kMaxFileRead)
                    FUZZ_CHECK(onDisk == content, "extracted file differs from the file read",
                               listed.name.c_str());
            }
            unlink((target + ".part").c_str());
        }
    }

    // Again with sector checksums checked (handles take the flag when opened),
    // each file alone and all of them at once: the same flags.
    Impl(ha)->dwFlags |= NQOV_FLAG_CHECK_SECTOR_CHECKSUMS;
    std::vector<const char*> names;
    std::vector<uint32_t> alone;
    for (const Listed& listed : records) {
        if (listed.name.empty()) continue;
        names.push_back(listed.name.c_str());
        alone.push_back(VerifyFile(ha, listed.name.c_str()));
    }
    std::vector<uint32_t> together(names.size(), 0xFFFFFFFFu);
    FUZZ_CHECK(VerifyFiles(ha, names.data(), static_cast<uint32_t>(names.size()), together.data(), true),
               "VerifyFiles refused names", nullptr);
    FUZZ_CHECK(together == alone, "VerifyFiles differs from VerifyFile", nullptr);
    VerifyFiles(ha, names.data(), static_cast<uint32_t>(names.size()), together.data(), false);

    FUZZ_CHECK(SFileCloseArchive(ha, false), "closing the archive failed", nullptr);
}

//-----------------------------------------------------------------------------
// Pass 2: a new file on a writable copy.

const uint32_t kWriteFlags[] = {
    0,
    NQOV_FILE_COMPRESS,
    NQOV_FILE_ENCRYPTED,
    NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
    NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED,
    NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
    NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC,
    NQOV_FILE_COMPRESS | NQOV_FILE_SECTOR_CRC | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
    NQOV_FILE_SINGLE_UNIT,
    NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS,
    NQOV_FILE_SINGLE_UNIT | NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED,
    NQOV_FILE_SINGLE_UNIT | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY,
    NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_20,
    NQOV_FILE_COMPRESS | NQOV_FILE_FLAG_30 | NQOV_FILE_SECTOR_CRC,
    NQOV_FILE_ENCRYPTED | NQOV_FILE_FLAG_20 | NQOV_FILE_FLAG_30,
    NQOV_FILE_WRITABLE_FLAGS,
};
const uint32_t kWriteSizes[] = {0, 1, 3, 4, 31, 32, 100, 511, 512, 513, 4096, 5000, 9000, 20000};

Bytes NewFileContent(uint32_t size, bool bRandom, uint32_t seed) {
    Bytes content(size);
    uint32_t state = 0x9E3779B9u ^ seed;
    for (uint32_t i = 0; i < size; i++) {
        if (bRandom) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            content[i] = static_cast<uint8_t>(state);
        } else {
            content[i] = static_cast<uint8_t>("the quick brown fox jumps over the lazy dog\r\n"[i % 45]);
        }
    }
    return content;
}

// FNV-1a of the input: chooses how the new file is written, so that every
// mutation may choose differently.
uint32_t InputHash(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// On a writable archive: a piece written back as read is accepted, a
// damaged one refused (and the file left as it was).
void ExercisePieceWrites(TNQOVArchive* ha) {
    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    if (!SFileGetPieceCount(ha, &lastPieceSize, &pieceCount, &pieceSize) || pieceCount == 0 ||
        pieceSize > kMaxPieceBuffer)
        return;
    const uint32_t index = pieceCount - 1;
    const uint32_t length = lastPieceSize;
    Bytes piece(length == 0 ? 1 : length);
    if (!SFileReadPieceVerified(ha, index, piece.data(), length)) return;
    const Bytes before = fuzzstream::AsMemory(Impl(ha)->pStream.get())->Data;
    if (length > 0) {
        Bytes damaged = piece;
        damaged[length / 2] ^= 0x20;
        FUZZ_CHECK(!SFileWritePieceVerified(ha, index, damaged.data(), length),
                   "a piece that does not match its digest was written", nullptr);
        FUZZ_CHECK(fuzzstream::AsMemory(Impl(ha)->pStream.get())->Data == before,
                   "a refused piece write changed the archive", nullptr);
    }
    SFileWritePieceVerified(ha, index, piece.data(), length);
    SFileWriteBitmap(ha);
}

// Writes the new file with SFileAddFileEx from a scratch disk file; false
// when that could not be set up.
bool AddFromDisk(TNQOVArchive* ha, const char* szName, const Bytes& content, bool* pbWritten) {
    if (ScratchFolder().empty()) return false;
    const std::string local = ScratchFolder() + "/add.bin";
    FILE* file = fopen(local.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = content.empty() || fwrite(content.data(), 1, content.size(), file) == content.size();
    fclose(file);
    if (ok) *pbWritten = SFileAddFileEx(ha, local.c_str(), szName);
    unlink(local.c_str());
    return ok;
}

void WritePass(const uint8_t* data, size_t size) {
    TNQOVArchive* ha = nullptr;
    if (!OpenArchiveOnStream(NewMemoryStream(data, size, false, kStreamLimit), &ha, 0)) return;

    const uint32_t selector = InputHash(data, size);
    const uint32_t flags = kWriteFlags[selector % (sizeof(kWriteFlags) / sizeof(kWriteFlags[0]))];
    const uint32_t fileSize = kWriteSizes[(selector >> 4) % (sizeof(kWriteSizes) / sizeof(kWriteSizes[0]))];
    const char* szName = (selector & 0x100) ? "fuzz\\dir\\new file.bin" : "new.bin";
    const Bytes content = NewFileContent(fileSize, (selector & 0x200) != 0, selector);
    const bool fromDisk = ((selector >> 10) & 3) == 0 && size <= kMaxExtractInput;
    // One input in four runs out of disk after a few kilobytes written.
    TMemoryStream* stream = fuzzstream::AsMemory(Impl(ha)->pStream.get());
    if (((selector >> 12) & 3) == 0) stream->qwWriteBudget = (selector >> 14) % 24000;

    ExercisePieceWrites(ha);

    bool written = false;
    if (!fromDisk || !AddFromDisk(ha, szName, content, &written)) {
        TNQOVFile* hf = nullptr;
        if (SFileCreateFileEx(ha, szName, fileSize, flags, &hf)) {
            FUZZ_CHECK(hf != nullptr, "SFileCreateFileEx gave no handle", szName);
            const uint32_t half = fileSize / 2;
            bool ok = SFileWriteFile(hf, content.data(), half);
            ok = SFileWriteFile(hf, content.data() + half, fileSize - half) && ok;
            ok = SFileFinishFile(hf) && ok;
            written = ok;
        }
    }

    // Only a flush that rewrites the tables makes the piece table whole; a
    // flush with nothing to write leaves a damaged archive as it was.
    const bool rewrites = (Impl(ha)->dwFlags & (NQOV_FLAG_CHANGED | NQOV_FLAG_LISTFILE_CHANGED)) != 0;
    const bool flushed = SFileFlushArchive(ha);
    // A small archive plus a small file never needs tens of megabytes.
    FUZZ_CHECK(!stream->bLimitHit, "writing a small archive grew it beyond the 64 MiB limit", szName);
    if (stream->bFaultInjected) {
        // After a failed write: the bytes as they are must still be safe to
        // read, and the archive safe to close.
        const Bytes damaged = stream->Data;
        FUZZ_CHECK(!(flushed && rewrites), "a flush with tables to write succeeded on a full disk", szName);
        SFileCloseArchive(ha, false);
        ReadPass(damaged.data(), damaged.size());
        return;
    }
    Bytes result;
    if (flushed) {
        // A flushed archive verifies and holds the new file.
        TCountingCallback callback;
        if (rewrites) FUZZ_CHECK(SFileVerifyAll(ha, &callback), "a flushed archive does not verify", szName);
        if (written) {
            TNQOVFile* reader = nullptr;
            FUZZ_CHECK(NQOVOpenFileEx(ha, szName, QOV_OPEN_PATCHED, &reader),
                       "the new file cannot be opened after the flush", szName);
            Bytes back;
            FUZZ_CHECK(ReadToEnd(reader, true, &back), "the new file cannot be read after the flush", szName);
            FUZZ_CHECK(back == content, "the new file reads back different", szName);
            SFileCloseFile(reader);
        }
        result = stream->Data;
    }
    FUZZ_CHECK(SFileCloseArchive(ha, false), "closing the written archive failed", szName);
    if (!flushed) return;

    // The flushed bytes open again, whole, with the new file in them.
    TNQOVArchive* reopened = nullptr;
    FUZZ_CHECK(
        OpenArchiveOnStream(NewMemoryStream(result.data(), result.size(), true, kStreamLimit), &reopened, 0),
        "a flushed archive does not open again", szName);
    TCountingCallback callback;
    if (rewrites)
        FUZZ_CHECK(SFileVerifyAll(reopened, &callback), "a reopened archive does not verify", szName);
    if (written) {
        TNQOVFile* reader = nullptr;
        FUZZ_CHECK(NQOVOpenFileEx(reopened, szName, QOV_OPEN_PATCHED, &reader),
                   "the new file cannot be opened after reopening", szName);
        Bytes back;
        FUZZ_CHECK(ReadToEnd(reader, true, &back), "the new file cannot be read after reopening", szName);
        FUZZ_CHECK(back == content, "the new file reads back different after reopening", szName);
        SFileCloseFile(reader);
        const uint32_t verify = VerifyFile(reopened, szName);
        FUZZ_CHECK((verify & ~VERIFY_MD5_PRESENT) == 0, "the new file does not verify", szName);
    }
    FUZZ_CHECK(SFileCloseArchive(reopened, false), "closing the reopened archive failed", szName);
}

//-----------------------------------------------------------------------------
// Pass 3 (chain inputs): a base archive with a patch attached, walked through
// the object interface as a host would: records by name, hash and file id,
// open files, reads, ranges, the directory listers, pieces, tags, the header
// dump, adding a file and Clear.
//
// A chain input is "nqch", the length of the base (LE32), the base, and the
// patch (the rest).  The base is opened in memory, the patch from a scratch
// file (SFileOpenPatchArchive takes a path).  A patch whose base tag does
// not match is refused; it is then given the matching tag (and its header
// sealed again) and attached, so that fuzzed pairs reach the chain code.

const uint8_t kChainMagic[4] = {'n', 'q', 'c', 'h'};
const size_t kChainPrefix = 8;
const uint32_t kMaxChainRecords = 64;  // records looked up per archive
const uint32_t kMaxFileIds = 96;       // file ids walked
const uint32_t kPatchBaseTagOffset = 92;

bool IsChainInput(const uint8_t* data, size_t size) {
    return size >= kChainPrefix && memcmp(data, kChainMagic, sizeof(kChainMagic)) == 0;
}

// The header the library would find: the first signature at a multiple of 512.
size_t HeaderOffsetOf(const Bytes& archive) {
    for (size_t offset = 0; offset + 4 <= archive.size(); offset += 512)
        if (ReadLE32(archive.data() + offset) == NQOV_HEADER_SIGNATURE) return offset;
    return SIZE_MAX;
}

// Gives a patch the base tag `tag` and a header digest that matches again.
bool RetagPatch(Bytes* pPatch, const uint8_t tag[16]) {
    const size_t offset = HeaderOffsetOf(*pPatch);
    if (offset == SIZE_MAX || pPatch->size() - offset < NQOV_HEADER_SIZE) return false;
    uint8_t* header = pPatch->data() + offset;
    memcpy(header + kPatchBaseTagOffset, tag, 16);
    if (!IsZeroDigest(header + QOV_HEADER_DIGEST_OFFSET))
        QOVMD5(header, QOV_HEADER_DIGEST_OFFSET, header + QOV_HEADER_DIGEST_OFFSET);
    return true;
}

bool WriteDiskFile(const std::string& path, const Bytes& data) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = data.empty() || fwrite(data.data(), 1, data.size(), file) == data.size();
    return fclose(file) == 0 && ok;
}

// DumpHeader with the standard output sent to the null device.
bool DumpDiscarded(QOVArchiveInterface* archive) {
    fflush(stdout);
#if defined(_WIN32)
    const char* szNull = "NUL";
#else
    const char* szNull = "/dev/null";
#endif
    const int saved = dup(1);
    const int null = open(szNull, O_WRONLY);
    if (saved < 0 || null < 0) {
        if (saved >= 0) close(saved);
        if (null >= 0) close(null);
        return false;
    }
    dup2(null, 1);
    close(null);
    const bool ok = archive->DumpHeader();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return ok;
}

void WalkEntry(QOVFileEntryInterface* entry, const char* szWhere) {
    FUZZ_CHECK(entry->GetArchive() != nullptr, "a record without an archive", szWhere);
    FUZZ_CHECK(entry->GetFileName() != nullptr, "a record without a name", szWhere);
    FUZZ_CHECK(entry->GetMD5() != nullptr, "a record without a digest", szWhere);
    FUZZ_CHECK(entry->IsFlag30() <= 1, "IsFlag30 of a record is neither 0 nor 1", szWhere);
    FUZZ_CHECK(entry->GetPieceSize() != 0, "a record's piece size is 0", szWhere);
    volatile uint64_t sink = entry->GetFileSize() ^ entry->GetCompressedSize() ^ entry->GetFilePosition() ^
                             entry->GetPieceCount() ^ entry->GetFirstPiece() ^ entry->GetLastPieceSize() ^
                             entry->GetFileId() ^ entry->GetMD5()[15] ^ (entry->IsDirectory() ? 1 : 0);
    (void)sink;
}

// Reads an open file through QOVFileInterface; true when it was read whole.
bool WalkOpenFile(QOVArchiveInterface* ai, TNQOVFile* hf, Bytes* pContent) {
    QOVFileInterface* file = hf;
    FUZZ_CHECK(file->GetArchive() != nullptr, "an open file without an archive", nullptr);
    FUZZ_CHECK(file->GetFileEntry() != nullptr, "an open file without a record", nullptr);
    FUZZ_CHECK(file->GetArchiveFileName() != nullptr, "an open file without an archive name", nullptr);
    FUZZ_CHECK(file->IsFlag30() == ai->IsFlag30OfFile(hf), "IsFlag30 of a file and of its archive differ",
               nullptr);
    if (file->GetPieceCount() > 0)
        FUZZ_CHECK(file->GetPieceStart() <= file->GetPieceEnd(), "a file's pieces end before they start",
                   nullptr);
    volatile uint64_t sink = file->GetFirstPiece() ^ file->GetLastPieceSize() ^ file->GetPieceSize() ^
                             file->GetRawPosition() ^ file->GetStoredSize();
    (void)sink;

    const uint32_t size = file->GetFileSize();
    pContent->clear();
    static Bytes block(kReadBlock);
    bool complete = false;
    while (pContent->size() < kMaxFileRead) {
        uint32_t read = 0;
        const bool ok = file->Read(block.data(), kReadBlock, &read, false);
        FUZZ_CHECK(read <= kReadBlock, "QOVFileInterface::Read delivered more than asked", nullptr);
        pContent->insert(pContent->end(), block.data(), block.data() + read);
        if (!ok) {
            complete = QOVGetLastError() == ERROR_HANDLE_EOF && pContent->size() == size;
            break;
        }
        if (read == 0) {
            complete = pContent->size() == size;
            break;
        }
    }
    FUZZ_CHECK(!file->SeekFile(1, 7), "SeekFile took an unknown method", nullptr);
    if (file->SeekFile(-1, NQOV_FILE_END)) {
        uint8_t last = 0;
        uint32_t read = 0;
        file->Read(&last, 1, &read, true);
        if (complete && size > 0 && read == 1)
            FUZZ_CHECK(last == pContent->back(), "the last byte reads back different", nullptr);
    }
    return complete;
}

// Every archive of the chain: its records by name and by hash, over the chain.
void WalkRecordsOverChain(QOVArchiveInterface* ai, TNQOVArchiveImpl* owner, bool bIndexed) {
    const std::vector<TNQOVArchiveImpl*> chain = owner->Chain;
    for (TNQOVArchiveImpl* archive : chain) {
        const uint32_t count = SFileGetRecordCount(archive);
        for (uint32_t i = 0; i < count && i < kMaxChainRecords; i++) {
            QOV_RECORD_INFO info;
            if (!SFileGetRecordInfo(archive, i, &info) || !(info.dwFlags & NQOV_FILE_EXISTS)) continue;
            const std::string name = info.szFileName;
            TFileEntry* byName = ai->RecordByName(name.c_str());
            TFileEntry* byHash = ai->RecordByHash(info.NameHash64);
            if (byName != nullptr) WalkEntry(byName, name.c_str());
            if (byHash != nullptr) WalkEntry(byHash, name.c_str());
            TNQOVArchive* holder = ai->FindArchiveOfName(name.c_str());
            if (!bIndexed && byName != nullptr)
                FUZZ_CHECK(holder == static_cast<QOVFileEntryInterface*>(byName)->GetArchive(),
                           "FindArchiveOfName and RecordByName disagree", name.c_str());
            FUZZ_CHECK(ai->HasFile(name.c_str()) == (byName != nullptr), "HasFile and RecordByName disagree",
                       name.c_str());
            ai->IsFile(name.c_str());
            ai->IsDirectory(name.c_str());
            uint64_t position = 0, size = 0;
            ai->GetSectorTableRangeByName(name.c_str(), &position, &size);
            uint32_t first = 0, pieces = 0;
            ai->PathToPieceIndex(name.c_str(), &first, &pieces);
        }
    }
}

void WalkListers(QOVArchiveInterface* ai, TNQOVArchiveImpl* owner) {
    TNQOVDirWalker* walker = ai->CreateDirWalker();
    if (walker == nullptr) return;
    QOVDirListerInterface* lister = walker;
    for (TNQOVArchiveImpl* archive : owner->Chain) {
        const uint32_t count = SFileGetRecordCount(archive);
        for (uint32_t i = 0; i < count && i < kMaxChainRecords; i++) {
            QOV_RECORD_INFO info;
            if (!SFileGetRecordInfo(archive, i, &info) || !(info.dwFlags & NQOV_FILE_DIRECTORY)) continue;
            if (!lister->List(info.szFileName)) continue;
            for (uint32_t item = 1; item < lister->GetCount(); item++)
                FUZZ_CHECK(lister->GetItem(item - 1) < lister->GetItem(item),
                           "a directory lists its children out of order or twice", info.szFileName);
            FUZZ_CHECK(lister->GetItem(lister->GetCount()) == 0, "an item beyond the list", info.szFileName);
        }
    }
    FUZZ_CHECK(!lister->List(nullptr), "a null directory was listed", nullptr);
    ai->ReleaseDirWalker(walker);
}

// The file-id table and everything addressed by id.
void WalkFileIds(QOVArchiveInterface* ai, TNQOVArchiveImpl* owner, size_t inputSize) {
    if (!SFileBuildFileIdTable(owner)) return;
    const uint32_t count = ai->GetFileCount();
    if (count > 0)
        FUZZ_CHECK(!ai->OpenPatchArchive("any.qov", 0) && QOVGetLastError() == ERROR_NOT_SAME_DEVICE,
                   "a patch was not refused with 17 after the file-id table", nullptr);

    bool extracted = inputSize > kMaxExtractInput;
    uint64_t previousHash = 0;
    for (uint32_t id = 0; id < count && id < kMaxFileIds; id++) {
        TFileEntry* entry = ai->GetFileEntry(id);
        FUZZ_CHECK(entry != nullptr && ai->HasFileId(id), "a file id without a record", nullptr);
        WalkEntry(entry, ai->GetFileName(id));
        FUZZ_CHECK(entry->GetFileId() == id, "a record does not know its file id", nullptr);
        const uint64_t hash = Impl(entry)->NameHash64;
        FUZZ_CHECK(id == 0 || hash > previousHash, "file ids are not in ascending name-hash order", nullptr);
        previousHash = hash;
        FUZZ_CHECK(ai->GetArchiveOfFile(id) == entry->GetArchive(), "GetArchiveOfFile", nullptr);
        FUZZ_CHECK(ai->IsFlag30ById(id) == entry->IsFlag30(), "IsFlag30ById", nullptr);
        FUZZ_CHECK(ai->IsDirectory(id) == entry->IsDirectory(), "IsDirectory by id", nullptr);
        ai->IsFile(id);

        uint64_t position = 0, size = 0;
        ai->GetSectorTableRange(id, &position, &size);
        const uint32_t fileSize = entry->GetFileSize();
        for (uint64_t offset : {uint64_t(0), uint64_t(fileSize / 3), uint64_t(fileSize) - 1}) {
            if (!ai->GetFileDataRange(id, offset, 1000, &position, &size)) continue;
            FUZZ_CHECK(offset < fileSize, "a data range beyond the file", nullptr);
            if (!(Impl(entry)->dwFlags & NQOV_FILE_COMPRESSED)) {
                FUZZ_CHECK(size == std::min<uint64_t>(1000, fileSize - offset) &&
                               position == entry->GetFilePosition() + offset,
                           "the data range of a plain file", nullptr);
            }
        }
        if (entry->IsDirectory()) {
            if (TNQOVFile* hf = ai->OpenFile(id)) ai->CloseFile(hf);
            continue;
        }

        // By handle, by id without a handle, and from the record.
        Bytes content;
        bool complete = false;
        if (TNQOVFile* hf = ai->OpenFile(id)) {
            complete = WalkOpenFile(ai, hf, &content);
            FUZZ_CHECK(ai->CloseFile(hf), "closing a file opened by id failed", nullptr);
        }
        const uint32_t length = std::min<uint32_t>(fileSize, 4096);
        Bytes direct(length + 1);
        uint32_t read = 0;
        if (ai->ReadFileById(id, 0, direct.data(), length, &read) && complete)
            FUZZ_CHECK(read == length && std::equal(direct.begin(), direct.begin() + length, content.begin()),
                       "ReadFileById reads other bytes than the open file", nullptr);
        if (!(Impl(entry)->dwFlags & NQOV_FILE_SINGLE_UNIT)) {
            uint32_t position32 = 0;
            read = 0;
            const bool ok = SFileReadFileFromEntry(entry, direct.data(), &position32, length, &read, false);
            FUZZ_CHECK(read <= length && position32 == read, "SFileReadFileFromEntry position", nullptr);
            if (ok && complete)
                FUZZ_CHECK(std::equal(direct.begin(), direct.begin() + length, content.begin()),
                           "SFileReadFileFromEntry reads other bytes than the open file", nullptr);
        }
        ai->IsFileValidById(id);
        ai->VerifyFilePiecesById(id);
        ai->IsFileReady(id);
        if (!extracted && complete && !ScratchFolder().empty()) {
            extracted = true;
            const std::string target = ScratchFolder() + "/by_id.bin";
            if (ai->ExtractFileById(id, target.c_str()) && content.size() < kMaxFileRead) {
                Bytes onDisk;
                FUZZ_CHECK(ReadDiskFile(target, &onDisk), "a file extracted by id cannot be read", nullptr);
                FUZZ_CHECK(onDisk == content, "a file extracted by id differs from the file read", nullptr);
            }
            unlink(target.c_str());
        }
    }
    FUZZ_CHECK(ai->GetFileEntry(count) == nullptr && ai->IsFlag30ById(count) == 3,
               "an id beyond the table has a record", nullptr);

    TNQOVDirWalkerById* walker = ai->CreateDirWalkerById();
    FUZZ_CHECK((walker != nullptr) == (count > 0), "CreateDirWalkerById", nullptr);
    if (walker == nullptr) return;
    QOVDirListerInterfaceByID* lister = walker;
    for (uint32_t id = 0; id < count && id < kMaxFileIds; id++) {
        if (!ai->IsDirectory(id) || !lister->List(id)) continue;
        uint64_t previous = 0;
        for (uint32_t item = 0; item < lister->GetCount(); item++) {
            const uint32_t child = lister->GetItem(item);
            FUZZ_CHECK(child < count, "a listed file id beyond the table", nullptr);
            FUZZ_CHECK(ai->IsFlag30ById(child) == 0, "a FLAG_30 child was listed by id", nullptr);
            const uint64_t hash = Impl(ai->GetFileEntry(child))->NameHash64;
            FUZZ_CHECK(item == 0 || hash > previous, "children by id out of name-hash order or twice",
                       nullptr);
            previous = hash;
        }
    }
    FUZZ_CHECK(!lister->List(NQOV_INVALID_FILE_ID), "file id 0xFFFFFFFF was listed", nullptr);
    ai->ReleaseDirWalkerById(walker);
}

void WalkPieces(QOVArchiveInterface* ai) {
    uint8_t* map = nullptr;
    uint32_t count = 0, pieceSize = 0, lastSize = 0;
    bool valid = false;
    if (!ai->GetBitmapInfo(&map, &count, &pieceSize, &lastSize, &valid)) return;
    FUZZ_CHECK(map != nullptr && count > 0 && pieceSize > 0 && valid, "GetBitmapInfo figures", nullptr);
    if (pieceSize > kMaxPieceBuffer) return;
    Bytes piece(pieceSize);
    for (uint32_t index : {0u, count - 1}) {
        const uint32_t length = index + 1 == count ? lastSize : pieceSize;
        if (length <= pieceSize && ai->ReadPieceVerified(index, piece.data(), length))
            FUZZ_CHECK(ai->WritePieceVerified(index, piece.data(), length),
                       "a verified piece cannot be written back", nullptr);
    }
    ai->WriteBitmap();
}

void ChainPass(const uint8_t* data, size_t size) {
    const size_t baseSize = std::min<size_t>(ReadLE32(data + 4), size - kChainPrefix);
    const uint8_t* base = data + kChainPrefix;
    Bytes patch(base + baseSize, data + size);
    if (ScratchFolder().empty()) return;
    const std::string patchPath = ScratchFolder() + "/patch.qov";

    TNQOVArchive* ha = nullptr;
    if (!OpenArchiveOnStream(NewMemoryStream(base, baseSize, false, kStreamLimit), &ha, 0)) return;
    QOVArchiveInterface* ai = ha;
    TNQOVArchiveImpl* owner = Impl(ha);
    FUZZ_CHECK(ai->GetArchiveCount() == 1, "a new archive's chain", nullptr);
    FUZZ_CHECK(ai->FindArchiveByFileName("MEMORY.QOV") == ha, "FindArchiveByFileName", nullptr);

    // Attach as it is; when the tag does not match, with the matching tag.
    bool attached = false;
    for (int attempt = 0; attempt < 2 && !attached; attempt++) {
        if (attempt == 1 &&
            !(QOVGetLastError() == ERROR_INVALID_PARAMETER && RetagPatch(&patch, ai->GetCurrentTag())))
            break;
        if (!WriteDiskFile(patchPath, patch)) break;
        const Bytes before(ai->GetCurrentTag(), ai->GetCurrentTag() + 16);
        attached = ai->OpenPatchArchive(patchPath.c_str(), NQOV_OPEN_READ_ONLY);
        FUZZ_CHECK(ai->GetArchiveCount() == (attached ? 2u : 1u), "the chain after attaching", nullptr);
        if (attached) {
            TNQOVArchive* pa = ai->FindArchiveByFileName(patchPath.c_str());
            FUZZ_CHECK(pa != nullptr, "the attached patch is not found by its file name", nullptr);
            FUZZ_CHECK(memcmp(Impl(pa)->Header.MD5_PatchBaseTag, before.data(), 16) == 0,
                       "a patch was attached to another version", nullptr);
            FUZZ_CHECK(memcmp(ai->GetCurrentTag(), VersionTag(Impl(pa)), 16) == 0,
                       "the identity tag is not the patch's version", nullptr);
            FUZZ_CHECK(ai->GetArchiveFileSize(patchPath.c_str()) == patch.size(), "GetArchiveFileSize",
                       nullptr);
            FUZZ_CHECK(ai->FindStreamByArchiveName(patchPath.c_str()) ==
                           static_cast<QOVArchiveInterface*>(pa)->GetStream(),
                       "FindStreamByArchiveName", nullptr);
            FUZZ_CHECK(static_cast<QOVArchiveInterface*>(pa)->GetOpenParameter() == NQOV_OPEN_READ_ONLY,
                       "a patch's open parameter", nullptr);
            // Once more: refused unless the patch is its own base.
            const bool again = ai->OpenPatchArchive(patchPath.c_str(), NQOV_OPEN_READ_ONLY);
            FUZZ_CHECK(again == (memcmp(Impl(pa)->Header.MD5_PatchBaseTag, VersionTag(Impl(pa)), 16) == 0),
                       "attaching a patch twice", nullptr);
            FUZZ_CHECK(ai->GetArchiveCount() == (again ? 3u : 2u), "the chain after attaching twice",
                       nullptr);
        }
    }

    const uint32_t archives = ai->GetArchiveCount();
    std::vector<uint32_t> sizes(archives + 1);
    FUZZ_CHECK(ai->GetArchiveTableSize(sizes.data(), archives), "GetArchiveTableSize", nullptr);
    FUZZ_CHECK(!ai->GetArchiveTableSize(sizes.data(), archives + 1), "GetArchiveTableSize, wrong count",
               nullptr);
    volatile uint8_t digests = ai->GetHetTableMD5()[0] ^ ai->GetBetTableMD5()[0] ^ ai->GetHeaderMD5()[0];
    (void)digests;
    FUZZ_CHECK(ai->CompareTag(ai->GetCurrentTag(), ai->GetCurrentTag()), "CompareTag", nullptr);

    WalkRecordsOverChain(ai, owner, false);
    WalkListers(ai, owner);
    FUZZ_CHECK(ai->RebuildHashTable(), "RebuildHashTable", nullptr);
    WalkRecordsOverChain(ai, owner, true);
    WalkListers(ai, owner);

    // A new file in the base: the merged index follows it.
    bool added = false;
    if (size <= kMaxExtractInput &&
        AddFromDisk(ha, "fuzz\\added.bin", NewFileContent(700, false, 1), &added) && added)
        FUZZ_CHECK(ai->HasFile("fuzz\\added.bin"), "an added file is not found through the index", nullptr);

    WalkFileIds(ai, owner, size);
    WalkPieces(ai);
    for (TNQOVArchiveImpl* archive : std::vector<TNQOVArchiveImpl*>(owner->Chain)) DumpDiscarded(archive);
    ha->WriteAllBitmaps();
    ai->InitBitMapByFileMapping(false);

    // Clear, when the data area lies inside the input (it is zero-filled).
    QOV_ARCHIVE_INFO info;
    if (SFileGetArchiveInfo(ha, &info) && info.HetTablePos64 != 0 && info.BetTablePos64 != 0 &&
        info.HeaderOffset + std::min(info.HetTablePos64, info.BetTablePos64) <= baseSize) {
        ai->Clear();
        uint8_t* map = nullptr;
        uint32_t count = 0, pieceSize = 0, lastSize = 0;
        bool valid = false;
        if (ai->GetBitmapInfo(&map, &count, &pieceSize, &lastSize, &valid))
            for (uint32_t i = 0; i < count; i++)
                FUZZ_CHECK(map[i] == NQOV_PIECE_UNKNOWN, "Clear left a piece state", nullptr);
    }
    FUZZ_CHECK(SFileCloseArchive(ha, false), "closing a chain failed", nullptr);
    unlink(patchPath.c_str());
}

// BREVIK_FUZZ_LOG=1 in the environment sends the library's log to stderr
// (for diagnosing a saved input).
void PrintLogLine(const char* szLine) { fputs(szLine, stderr); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool logging = [] {
        const char* value = getenv("BREVIK_FUZZ_LOG");
        if (value != nullptr && *value != 0 && *value != '0') QOVSetLogSink(PrintLogLine);
        return true;
    }();
    (void)logging;
    if (IsChainInput(data, size)) {
        ChainPass(data, size);
        return 0;
    }
    ReadPass(data, size);
    WritePass(data, size);
    return 0;
}
