// QOVArchive.h - the library's in-memory model of an archive: file streams,
// the header, the HET index, file-table records, open archives and open
// files, with the internal operations the units share.

#ifndef NQOV_QOVARCHIVE_H
#define NQOV_QOVARCHIVE_H

#include "QOVCommon.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

//-----------------------------------------------------------------------------
// File streams.

typedef bool (*STREAM_READ)(TFileStream* pStream, uint64_t* pPosition, void* pvBuffer,
                            uint32_t dwLength);
typedef bool (*STREAM_WRITE)(TFileStream* pStream, uint64_t* pPosition, const void* pvBuffer,
                             uint32_t dwLength);
typedef bool (*STREAM_GETSIZE)(TFileStream* pStream, uint64_t* pSize);
typedef bool (*STREAM_SETSIZE)(TFileStream* pStream, uint64_t qwSize);

#define STREAM_FLAG_READ_ONLY 0x00000001u
#define STREAM_MAX_NAME 263u  // bytes of a stream name without its terminator

// One open disk file.  The four operations are replaceable, which is how the
// library's tests inject I/O faults.
class TFileStream : public QOVFileStreamInterface {
public:
    TFileStream();
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    const char* GetFileName() override;
    bool Read(uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) override;
    bool Write(uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) override;
    uint64_t GetSize() override;

    uint32_t dwReserved = 0;
    uint64_t RawFilePos = 0;        // position after the last read or write
    uint64_t KnownSize = 0;         // the file is at least this long (0: ask)
    intptr_t hFile;                 // platform handle; -1 when none
    char szFileName[STREAM_MAX_NAME + 1] = {};
    uint32_t dwFlags = 0;
    STREAM_READ StreamRead = nullptr;
    STREAM_WRITE StreamWrite = nullptr;
    STREAM_GETSIZE StreamGetSize = nullptr;
    STREAM_SETSIZE StreamSetSize = nullptr;
    std::recursive_mutex Lock;      // held by each of the four operations
};

struct FileStreamDeleter {
    void operator()(TFileStream* pStream) const { FileStream_Free(pStream); }
};
typedef std::unique_ptr<TFileStream, FileStreamDeleter> TFileStreamPtr;

// Creates a new file and fails with ERROR_ALREADY_EXISTS when one exists.
TFileStream* FileStream_CreateNew(const char* szFileName);
// Creates every missing folder of the path's folder part (before its last
// '\' or '/'), one level after the other.
bool FileStream_CreateFolders(const char* szPath);

// A file mapping of a stream's file (used for the piece-state map).
struct TFileMapping {
    void* pvView = nullptr;
    size_t cbView = 0;
    intptr_t hMapping = 0;
};
bool FileStream_MapView(TFileStream* pStream, uint64_t qwOffset, bool bWritable,
                        TFileMapping* pMapping);
void FileStream_UnmapView(TFileMapping* pMapping);
uint32_t FileStream_AllocationGranularity();

//-----------------------------------------------------------------------------
// Archive header (172 bytes on disk, little-endian).

struct TQOVHeader {
    uint32_t dwID = 0;
    uint32_t HeaderSize = 0;
    uint16_t wFormatVersion = 0;
    uint16_t wSectorSize = 0;
    uint64_t ArchieveSize = 0;
    uint64_t BetTablePos64 = 0;
    uint64_t HetTablePos64 = 0;
    uint64_t MD5TablePos64 = 0;
    uint64_t BitmapPos64 = 0;
    uint64_t HetTableSize64 = 0;
    uint64_t BetTableSize64 = 0;
    uint64_t MD5TableSize64 = 0;
    uint64_t BitmapSize64 = 0;
    uint32_t dwMD5PieceSize = 0;
    uint32_t dwRawChunkSize = 0;
    uint8_t MD5_PatchBaseTag[16] = {};
    uint8_t MD5_PatchedTag[16] = {};
    uint8_t MD5_BetTable[16] = {};
    uint8_t MD5_HetTable[16] = {};
    uint8_t MD5_QOVHeader[16] = {};
};

#define QOV_HEADER_DIGEST_OFFSET 156u  // MD5_QOVHeader covers the bytes before it

void ParseHeader(const uint8_t pbRaw[NQOV_HEADER_SIZE], TQOVHeader* pHeader);
void SerializeHeader(const TQOVHeader& header, uint8_t pbRaw[NQOV_HEADER_SIZE]);

//-----------------------------------------------------------------------------
// HET index in memory.

#define HET_SLOT_FREE 0x00
#define HET_SLOT_REUSABLE 0x80

struct THetTable {
    std::vector<uint8_t> SlotBytes;   // dwHashTableSize bytes
    std::vector<uint8_t> IndexArray;  // dwHashTableSize fields of dwSlotIndexBits bits
    uint64_t IndexArrayBits = 0;
    uint64_t HashMask64 = 0;
    uint64_t HashTopBit64 = 0;
    uint32_t dwSlotIndexBits = 0;
    uint32_t dwSlotIndexExtraBits = 0;
    uint32_t dwFileIndexBits = 0;
    uint32_t dwEntryTotal = 0;
    uint32_t dwHashTableSize = 0;
    uint32_t dwNameHashBits = 0;

    uint64_t AllOnesIndex() const;
    uint64_t GetIndex(uint32_t slot) const;
    void SetIndex(uint32_t slot, uint64_t index);
    uint64_t MaskHash(uint64_t nameHash) const { return (nameHash & HashMask64) | HashTopBit64; }
    uint8_t SlotByte(uint64_t maskedHash) const {
        return static_cast<uint8_t>(maskedHash >> (dwNameHashBits - 8));
    }
};

// A new empty index for `capacity` records (N = 64); null without memory.
std::unique_ptr<THetTable> CreateHetTable(uint32_t capacity);

//-----------------------------------------------------------------------------
// File-table records.

#define QOV_NO_RECORD 0xFFFFFFFFu

class TFileEntry {
public:
    TFileEntry() = default;
    TFileEntry(const TFileEntry&) = delete;
    TFileEntry& operator=(const TFileEntry&) = delete;

    // Persistent fields, in the order of the file table.
    uint64_t StoredOffset = 0;
    uint64_t NameHash64 = 0;
    uint32_t dwHetIndex = 0;
    uint32_t dwFileSize = 0;
    uint32_t dwStoredSize = 0;
    uint32_t dwFlags = 0;
    uint8_t ContentMD5[16] = {};

    std::unique_ptr<char[]> szFileName;    // the real name, or null
    std::unique_ptr<char[]> szPseudoName;  // ".File<hash>." built on first request
    uint8_t bNamePending = 1;
    uint32_t dwFileId = NQOV_INVALID_FILE_ID;
    TNQOVArchive* ha = nullptr;
    uint32_t dwIndex = 0;                  // position in the file table

    // Sector offset table and checksums cached with the record.
    std::unique_ptr<uint32_t[]> SectorOffsets;
    std::unique_ptr<uint32_t[]> SectorChksums;
    uint32_t dwKeyCache = 0;               // file key found by an earlier open, 0 = none

    uint64_t ParentNameHash = 0;
    // Directory tree links (file-table indexes).
    uint32_t FirstChild = QOV_NO_RECORD;
    uint32_t LastChild = QOV_NO_RECORD;
    uint32_t NextSibling = QOV_NO_RECORD;
    uint32_t PrevSibling = QOV_NO_RECORD;
    uint32_t ParentIndex = QOV_NO_RECORD;

    bool Exists() const { return (dwFlags & NQOV_FILE_EXISTS) != 0; }
    bool IsDirectory() const { return (dwFlags & NQOV_FILE_DIRECTORY) != 0; }
    bool HasRealName() const { return szFileName != nullptr; }

    // Resets every field but the table position and owner.
    void Reset();
};

// Records in chunks, so that record pointers stay valid while the table grows.
class TRecordTable {
public:
    bool Reserve(uint32_t count);  // false without memory
    uint32_t Allocated() const { return m_allocated; }
    TFileEntry& operator[](uint32_t index) {
        return m_chunks[index >> kChunkBits][index & (kChunkSize - 1)];
    }
    const TFileEntry& operator[](uint32_t index) const {
        return m_chunks[index >> kChunkBits][index & (kChunkSize - 1)];
    }
    void Clear();

private:
    static constexpr uint32_t kChunkBits = 12;
    static constexpr uint32_t kChunkSize = 1u << kChunkBits;
    std::vector<std::unique_ptr<TFileEntry[]>> m_chunks;
    uint32_t m_allocated = 0;
};

//-----------------------------------------------------------------------------
// Open archives.

class TNQOVArchive {
public:
    TNQOVArchive();
    ~TNQOVArchive();
    TNQOVArchive(const TNQOVArchive&) = delete;
    TNQOVArchive& operator=(const TNQOVArchive&) = delete;

    uint32_t dwAddFileError = 0;
    uint32_t dwFileIdCount = 0;
    std::mutex Lock;                          // guards lazily built record names
    std::vector<TFileEntry*> FileIdTable;     // records by file id
    TFileStreamPtr pStream;
    uint64_t UserDataOffset = 0;
    uint64_t HeaderOffset = 0;

    // Chain in lookup order: newest patch first, this archive last.  A patch
    // archive's own chain is just itself; its owner is the archive it patches.
    std::vector<TNQOVArchive*> Chain;
    TNQOVArchive* pChainOwner = nullptr;
    std::vector<std::unique_ptr<TNQOVArchive>> Patches;

    // Merged index over the chain (name hash -> winning record), built on
    // demand; rebuilt when a record of the chain changed since.
    struct TMergedIndex {
        std::unordered_map<uint64_t, TFileEntry*> Entries;
        bool bStale = false;
    };
    std::unique_ptr<TMergedIndex> pMergedIndex;

    // Bit widths of the BET fields as stored (offset, size, stored size,
    // flags, MD5, parent hash) and of one record, kept for reporting.
    struct {
        uint32_t pos, size, stored, flags, md5, parent, record;
    } BetWidths = {};

    TQOVHeader* pHeader = nullptr;            // non-null only for a valid archive
    std::unique_ptr<THetTable> pHetTable;
    TRecordTable Records;
    TQOVHeader Header;
    uint32_t dwFileTableSize = 0;
    uint32_t dwMaxFileCount = 0;
    uint32_t dwSectorBytes = 0;
    uint32_t dwFileFlags1 = 0;
    uint32_t dwFileFlags2 = 0;
    uint32_t dwFlags = 0;

    std::unique_ptr<uint8_t[]> pMD5Table;     // MD5 piece table cache
    uint32_t dwMD5TableSize = 0;

    TFileMapping BitmapMapping;               // file-mapped piece-state map, when mapped
    uint8_t* pBitmap = nullptr;               // heap copy or inside the mapping
    std::unique_ptr<uint8_t[]> BitmapHeap;
    uint32_t dwBitmapSize = 0;
    bool bMapWritable = true;

    uint32_t dwOpenParameter = 0;

    // 0 when the list file was read whole (or there is none); else the error
    // that stopped it.  Names would be lost if it were rewritten then.
    uint32_t dwListFileError = ERROR_SUCCESS;

    // A few pieces whose bytes were verified during this open, so that reads
    // with the piece check do not hash the same piece again.  Any write to
    // the archive file empties it.
    struct TVerifiedPiece {
        uint32_t dwIndex = 0;
        uint32_t dwLength = 0;
        uint64_t qwLastUse = 0;
        std::unique_ptr<uint8_t[]> pbData;
    };
    std::vector<TVerifiedPiece> VerifiedPieces;
    uint64_t qwPieceClock = 0;

    // Writer state: the end of the data area once known (it only grows, so a
    // new file never lands on stored bytes), and the one file being written.
    uint64_t qwDataAreaEnd = 0;
    bool bDataAreaEndKnown = false;
    TNQOVFile* pActiveWriter = nullptr;
};

// A handle is valid when its header is present and carries the signature.
bool IsValidArchive(const TNQOVArchive* ha);

// Opens an archive on a stream that the archive then owns (also on failure).
bool OpenArchiveOnStream(TFileStream* pStream, TNQOVArchive** phArchive, uint32_t dwFlags);

// Releases an archive and every patch archive of its chain.
void ReleaseArchive(TNQOVArchive* ha);

// Writes the HET, BET, MD5 piece table, piece-state map and header.
uint32_t WriteArchiveTables(TNQOVArchive* ha);

// End of the data area relative to the header: the largest end of an existing
// record's stored bytes (with chunk digests), never below the header size.
uint64_t DataAreaEnd(TNQOVArchive* ha);
// Raises the known end of the data area to cover a record's stored bytes.
void ExtendDataAreaEnd(TNQOVArchive* ha, const TFileEntry* pEntry);

// Writes bytes at an absolute position of the archive file; returns the
// error (ERROR_ACCESS_DENIED for an archive opened read-only).
uint32_t WriteArchiveBytes(TNQOVArchive* ha, uint64_t qwPosition, const void* pvData, uint32_t cbData);

// ERROR_FILE_CORRUPT when the piece size is larger than NQOV_MAX_PIECE_SIZE
// and than the archive itself: padding the tables to a whole piece would then
// grow a small (damaged) archive by up to 4 GiB.
uint32_t CheckWritablePieceSize(const TNQOVArchive* ha);

// Bytes of chunk digests that follow a blob of cbStored bytes.
uint64_t ChunkDigestBytes(const TNQOVArchive* ha, uint64_t cbStored);

//-----------------------------------------------------------------------------
// File table (QOVFileTable.cpp).

uint32_t ReadSlotTable(TNQOVArchive* ha);
uint32_t BuildRecordTable(TNQOVArchive* ha);
uint32_t FindSlotByName(TNQOVArchive* ha, const char* szName);
uint32_t FindSlotByHash(TNQOVArchive* ha, uint64_t qwNameHash);
TFileEntry* RecordByName(TNQOVArchive* ha, const char* szName);
TFileEntry* RecordByHash(TNQOVArchive* ha, uint64_t qwNameHash);
TFileEntry* FindRecordByName(TNQOVArchive* ha, const char* szName);
TFileEntry* FindRecordByHash(TNQOVArchive* ha, uint64_t qwNameHash);
TNQOVArchive* FindArchiveOfName(TNQOVArchive* ha, const char* szName);
bool buildDirTree(TNQOVArchive* ha);
uint32_t ClaimSlot(TNQOVArchive* ha, TFileEntry* pEntry);
TFileEntry* ClaimRecord(TNQOVArchive* ha, const char* szName);
void DropRecord(TNQOVArchive* ha, TFileEntry* pEntry);
void MarkRecordDeleted(TNQOVArchive* ha, TFileEntry* pEntry);
bool SerializeSlotTable(TNQOVArchive* ha, std::vector<uint8_t>* pTable);
bool SerializeRecordTable(TNQOVArchive* ha, std::vector<uint8_t>* pTable);

// Key of a name for lookups: the pseudo-name number, or the name hash.
uint64_t NameLookupKey(const char* szName, bool* pbPseudo);

// The record's name: the real name, else its pseudo name (built and kept).
const char* GetRecordName(TFileEntry* pEntry);
// Gives the record a real name (a copy); false without memory.
bool SetRecordName(TFileEntry* pEntry, const char* szName);
// Links a record under its parent directory (ParentNameHash) if it has one.
void LinkRecordToParent(TNQOVArchive* ha, TFileEntry* pEntry);

//-----------------------------------------------------------------------------
// Chains (QOVPatchArchives.cpp).

// The version an archive stands for: its patched tag, or its header digest
// when that tag is all zero.
const uint8_t* VersionTag(const TNQOVArchive* ha);
// The identity tag of a chain: the version of its newest archive.
const uint8_t* ChainTag(const TNQOVArchive* ha);
// Builds (or refreshes) the chain owner's merged index; false without memory.
bool RebuildHashTable(TNQOVArchive* ha);
// Through the owner's merged index: the winning record of a key, refreshing
// a stale index first.  *pbIndexed says whether an index exists at all.
TFileEntry* MergedIndexLookup(TNQOVArchive* ha, uint64_t qwKey, bool* pbIndexed);
// Marks the merged index of the chain holding ha stale.
void NoteRecordsChanged(TNQOVArchive* ha);

//-----------------------------------------------------------------------------
// Open files.

#define QOV_FILE_HANDLE_TAG 0x46494C45u
#define QOV_CACHE_EMPTY 0xFFFFFFFFu

class TNQOVFile {
public:
    TNQOVFile() = default;
    ~TNQOVFile() { dwHandleTag = 0; }
    TNQOVFile(const TNQOVFile&) = delete;
    TNQOVFile& operator=(const TNQOVFile&) = delete;

    TNQOVArchive* ha = nullptr;
    TFileEntry* pFileEntry = nullptr;
    uint32_t dwCipherKey = 0;
    uint32_t dwPosition = 0;
    uint64_t qwStoredStart = 0;
    uint64_t qwStoredPos = 0;
    uint32_t dwHandleTag = 0;
    std::unique_ptr<uint8_t[]> pbOwnedBuffer;
    std::unique_ptr<uint32_t[]> SectorOffsets;
    std::unique_ptr<uint32_t[]> SectorChksums;
    uint32_t nSectors = 0;
    uint32_t dwDataSize = 0;
    std::unique_ptr<uint8_t[]> pbFileSector;
    uint32_t dwCacheState = QOV_CACHE_EMPTY;
    uint32_t dwUnitSize = 0;
    bool bChecksumsLoaded = false;
    bool bVerifySectorChecksums = false;
    std::unique_ptr<uint8_t[]> pbRawBuffer;  // stored bytes of compressed sectors being read
    uint32_t dwRawBufferSize = 0;

    // Writer state.
    bool bWriting = false;
    bool bWriteFailed = false;
    TMD5 WriteMD5;
    std::unique_ptr<uint8_t[]> pbCompressBuffer;
    uint32_t dwSectorFill = 0;          // bytes waiting in pbFileSector
    uint32_t dwSectorIndex = 0;         // next sector to write
    uint32_t dwOffsetEntries = 0;       // entries of SectorOffsets while writing
};

bool IsValidFile(const TNQOVFile* hf);

// Creates a handle for a record (steps shared by every way of opening).
TNQOVFile* CreateFileHandle(TNQOVArchive* ha, TFileEntry* pEntry);
void FreeFileHandle(TNQOVFile* hf);

// Opens a record found through a pseudo name or through its name.
bool OpenRecord(TNQOVArchive* ha, TFileEntry* pEntry, const char* szName, bool bByPseudoName,
                TNQOVFile** phFile);

// The record of a file id of the chain holding ha, or null.
TFileEntry* FileIdRecord(TNQOVArchive* ha, uint32_t dwFileId);

// Number of sectors of a non-single-unit file of dwFileSize bytes.
uint32_t SectorCount(uint32_t dwFileSize, uint32_t dwSectorBytes);

//-----------------------------------------------------------------------------
// Pieces (MORLTools.cpp).

struct TPieceRange {
    uint32_t dwFirstPiece = 0;
    uint32_t dwPieceCount = 0;
    uint32_t dwLastPieceSize = 0;
};

// Piece range of a record (first piece, count, size of the record's last piece).
TPieceRange RecordPieceRange(TNQOVArchive* ha, const TFileEntry* pEntry);

// Checks the MD5 pieces covering a raw range that has just been read.
bool CheckRawRangePieces(TNQOVArchive* ha, uint64_t qwPosition, const uint8_t* pbData,
                         uint32_t cbData);

// Records the state byte of a piece when the archive has a writable map.
void SetPieceState(TNQOVArchive* ha, uint32_t dwIndex, uint8_t state);

//-----------------------------------------------------------------------------
// Writer and list file.

uint32_t SFileAddFile_Init(TNQOVArchive* ha, const char* szName, uint32_t dwFileSize,
                           uint32_t dwFlags, TNQOVFile** phFile);
uint32_t SFileAddFile_Write(TNQOVFile* hf, const void* pvData, uint32_t dwSize);
uint32_t SFileAddFile_Finish(TNQOVFile* hf);

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

#endif  // NQOV_QOVARCHIVE_H
