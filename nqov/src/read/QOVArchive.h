// QOVArchive.h - the library's in-memory model of an archive: file streams,
// the header, the HET index, file-table records, open archives and open
// files, with the internal operations the units share.

#ifndef NQOV_QOVARCHIVE_H
#define NQOV_QOVARCHIVE_H

#include "common/QOVCommon.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class TFileStreamImpl;
class TFileEntryImpl;
class TNQOVArchiveImpl;
class TNQOVFileImpl;

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
// Not final: the fuzz targets put an in-memory stream in its place.
class TFileStreamImpl : public TFileStream {
public:
    TFileStreamImpl();
    ~TFileStreamImpl() override;
    TFileStreamImpl(const TFileStreamImpl&) = delete;
    TFileStreamImpl& operator=(const TFileStreamImpl&) = delete;

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
    void operator()(TFileStreamImpl* pStream) const { FileStream_Free(pStream); }
};
typedef std::unique_ptr<TFileStreamImpl, FileStreamDeleter> TFileStreamPtr;

// Creates a new file and fails with ERROR_ALREADY_EXISTS when one exists.
TFileStreamImpl* FileStream_CreateNew(const char* szFileName);
// Creates every missing folder of the path's folder part (before its last
// '\' or '/'), one level after the other.
bool FileStream_CreateFolders(const char* szPath);

// A file mapping of a stream's file (used for the piece-state map).
struct TFileMapping {
    void* pvView = nullptr;
    size_t cbView = 0;
    intptr_t hMapping = 0;
};
bool FileStream_MapView(TFileStreamImpl* pStream, uint64_t qwOffset, bool bWritable,
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

class TFileEntryImpl final : public TFileEntry {
public:
    TFileEntryImpl() = default;
    TFileEntryImpl(const TFileEntryImpl&) = delete;
    TFileEntryImpl& operator=(const TFileEntryImpl&) = delete;

    // QOVFileEntryInterface (iface/QOVArchiveIface.cpp).
    const uint8_t* GetMD5() override;
    uint32_t GetFileSize() override;
    uint32_t GetCompressedSize() override;
    const char* GetFileName() override;
    bool IsDirectory() override;
    uint64_t GetFilePosition() override;
    TNQOVArchive* GetArchive() override;
    uint32_t GetPieceCount() override;
    uint32_t GetFirstPiece() override;
    uint32_t GetPieceSize() override;
    uint32_t GetLastPieceSize() override;
    uint32_t GetFileId() override;
    uint32_t IsFlag30() override;

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
    TNQOVArchiveImpl* ha = nullptr;
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
    TFileEntryImpl& operator[](uint32_t index) {
        return m_chunks[index >> kChunkBits][index & (kChunkSize - 1)];
    }
    const TFileEntryImpl& operator[](uint32_t index) const {
        return m_chunks[index >> kChunkBits][index & (kChunkSize - 1)];
    }
    void Clear();

private:
    static constexpr uint32_t kChunkBits = 12;
    static constexpr uint32_t kChunkSize = 1u << kChunkBits;
    std::vector<std::unique_ptr<TFileEntryImpl[]>> m_chunks;
    uint32_t m_allocated = 0;
};

//-----------------------------------------------------------------------------
// Open archives.

class TNQOVArchiveImpl final : public TNQOVArchive {
public:
    TNQOVArchiveImpl();
    ~TNQOVArchiveImpl() override;
    TNQOVArchiveImpl(const TNQOVArchiveImpl&) = delete;
    TNQOVArchiveImpl& operator=(const TNQOVArchiveImpl&) = delete;

    // QOVArchiveInterface and TNQOVArchive (iface/QOVArchiveIface.cpp).
    bool GetSectorTableRange(uint32_t dwFileId, uint64_t* pqwPosition, uint64_t* pqwSize) override;
    bool GetFileDataRange(uint32_t dwFileId, uint64_t qwOffset, uint64_t qwLength, uint64_t* pqwPosition,
                          uint64_t* pqwSize) override;
    const uint8_t* GetHetTableMD5() override;
    const uint8_t* GetBetTableMD5() override;
    const uint8_t* GetHeaderMD5() override;
    const char* GetFileName(uint32_t dwFileId) override;
    bool RebuildHashTable() override;
    bool ReadFileById(uint32_t dwFileId, uint32_t dwOffset, void* pvBuffer, uint32_t dwLength,
                      uint32_t* pdwRead) override;
    uint32_t GetFileId(const char* szName) override;
    uint32_t GetFileCount() override;
    TFileStream* GetStream() override;
    TFileStream* FindStreamByArchiveName(const char* szArchiveFileName) override;
    TNQOVFile* OpenFile(uint32_t dwFileId) override;
    TNQOVFile* OpenFile_i(const char* szName) override;
    bool CloseFile(TNQOVFile* hf) override;
    bool ReadPieceVerified(uint32_t dwIndex, void* pvBuffer, uint32_t dwLength) override;
    bool WritePieceVerified(uint32_t dwIndex, const void* pvData, uint32_t dwLength) override;
    bool ExtractFileById(uint32_t dwFileId, const char* szDestination) override;
    bool ExtractFile(const char* szName, const char* szDestination) override;
    bool PathToPieceIndex(const char* szName, uint32_t* pdwFirst, uint32_t* pdwCount) override;
    TFileEntry* RecordByName(const char* szName) override;
    TFileEntry* GetFileEntry(uint32_t dwFileId) override;
    TFileEntry* RecordByHash(uint64_t qwNameHash) override;
    bool GetBitmapInfo(uint8_t** ppBitmap, uint32_t* pdwPieceCount, uint32_t* pdwPieceSize,
                       uint32_t* pdwLastPieceSize, bool* pbValid) override;
    uint64_t GetArchiveFileSize(const char* szArchiveFileName) override;
    TNQOVArchive* GetArchiveOfFile(uint32_t dwFileId) override;
    TNQOVArchive* FindArchiveByFileName(const char* szArchiveFileName) override;
    TNQOVArchive* FindArchiveOfName(const char* szName) override;
    const char* GetArchiveFileName() override;
    bool WriteBitmap() override;
    void Clear() override;
    bool IsFileValidById(uint32_t dwFileId) override;
    bool IsFileValid(const char* szName) override;
    bool VerifyFilePiecesById(uint32_t dwFileId) override;
    bool VerifyFilePieces(const char* szName) override;
    bool IsFileReady(uint32_t dwFileId) override;
    bool IsFileReady(const char* szName) override;
    bool NotSupported37() override;
    bool NotSupported38(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override;
    bool IsFile(uint32_t dwFileId) override;
    bool IsFile(const char* szName) override;
    bool IsDirectory(uint32_t dwFileId) override;
    bool IsDirectory(const char* szName) override;
    bool HasFileId(uint32_t dwFileId) override;
    bool HasFile(const char* szName) override;
    TNQOVDirWalker* CreateDirWalker() override;
    void ReleaseDirWalker(TNQOVDirWalker* pWalker) override;
    TNQOVDirWalkerById* CreateDirWalkerById() override;
    void ReleaseDirWalkerById(TNQOVDirWalkerById* pWalker) override;
    uint32_t GetArchiveCount() override;
    bool GetArchiveTableSize(uint32_t* pdwSizes, uint32_t dwCount) override;
    bool GetSectorTableRangeByName(const char* szName, uint64_t* pqwPosition, uint64_t* pqwSize) override;
    bool AddFile(const char* szLocalFile, const char* szArchivedName) override;
    bool OpenPatchArchive(const char* szPatchFile, uint32_t dwFlags) override;
    uint32_t GetOpenParameter() override;
    const uint8_t* GetCurrentTag() override;
    void SetPatchBaseTag(const uint8_t tag[16]) override;
    bool CompareTag(const uint8_t* pbTagA, const uint8_t* pbTagB) override;
    bool DumpHeader() override;
    uint32_t GetLastError() override;
    const char* NotSupported60() override;
    bool InitBitMapByFileMapping(bool bWritable) override;
    bool NotSupported62() override;
    uint32_t IsFlag30ById(uint32_t dwFileId) override;
    uint32_t IsFlag30OfFile(TNQOVFile* hf) override;
    bool WriteAllBitmaps() override;

    // Maps this archive's piece-state map from its file (verify/QOVPieces.cpp).
    bool InitBitMapByFileMapping_i(bool bWritable);

    uint32_t dwAddFileError = 0;
    uint32_t dwFileIdCount = 0;
    std::mutex Lock;                          // guards lazily built record names
    std::vector<TFileEntryImpl*> FileIdTable;     // records by file id
    TFileStreamPtr pStream;
    uint64_t UserDataOffset = 0;
    uint64_t HeaderOffset = 0;

    // Chain in lookup order: newest patch first, this archive last.  A patch
    // archive's own chain is just itself; its owner is the archive it patches.
    std::vector<TNQOVArchiveImpl*> Chain;
    TNQOVArchiveImpl* pChainOwner = nullptr;
    std::vector<std::unique_ptr<TNQOVArchiveImpl>> Patches;

    // Merged index over the chain (name hash -> winning record), built on
    // demand; rebuilt when a record of the chain changed since.
    struct TMergedIndex {
        std::unordered_map<uint64_t, TFileEntryImpl*> Entries;
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
    TNQOVFileImpl* pActiveWriter = nullptr;
};

// A handle is valid when its header is present and carries the signature.
bool IsValidArchive(const TNQOVArchiveImpl* ha);

// Opens an archive on a stream that the archive then owns (also on failure).
bool OpenArchiveOnStream(TFileStream* pStream, TNQOVArchive** phArchive, uint32_t dwFlags);

// Releases an archive and every patch archive of its chain.
void ReleaseArchive(TNQOVArchiveImpl* ha);

// Writes the HET, BET, MD5 piece table, piece-state map and header.
uint32_t WriteArchiveTables(TNQOVArchiveImpl* ha);

// End of the data area relative to the header: the largest end of an existing
// record's stored bytes (with chunk digests), never below the header size.
uint64_t DataAreaEnd(TNQOVArchiveImpl* ha);
// Raises the known end of the data area to cover a record's stored bytes.
void ExtendDataAreaEnd(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry);

// Writes bytes at an absolute position of the archive file; returns the
// error (ERROR_ACCESS_DENIED for an archive opened read-only).
uint32_t WriteArchiveBytes(TNQOVArchiveImpl* ha, uint64_t qwPosition, const void* pvData, uint32_t cbData);

// ERROR_FILE_CORRUPT when the piece size is larger than NQOV_MAX_PIECE_SIZE
// and than the archive itself: padding the tables to a whole piece would then
// grow a small (damaged) archive by up to 4 GiB.
uint32_t CheckWritablePieceSize(const TNQOVArchiveImpl* ha);

// Bytes of chunk digests that follow a blob of cbStored bytes.
uint64_t ChunkDigestBytes(const TNQOVArchiveImpl* ha, uint64_t cbStored);

//-----------------------------------------------------------------------------
// File table (QOVFileTable.cpp).

uint32_t ReadSlotTable(TNQOVArchiveImpl* ha);
uint32_t BuildRecordTable(TNQOVArchiveImpl* ha);
uint32_t FindSlotByName(TNQOVArchiveImpl* ha, const char* szName);
uint32_t FindSlotByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TFileEntryImpl* RecordByName(TNQOVArchiveImpl* ha, const char* szName);
void DetachMappedBitmap(TNQOVArchiveImpl* ha);
TFileEntryImpl* RecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TFileEntryImpl* FindRecordByName(TNQOVArchiveImpl* ha, const char* szName);
TFileEntryImpl* FindRecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TNQOVArchiveImpl* FindArchiveOfName(TNQOVArchiveImpl* ha, const char* szName);
bool buildDirTree(TNQOVArchiveImpl* ha);
uint32_t ClaimSlot(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
TFileEntryImpl* ClaimRecord(TNQOVArchiveImpl* ha, const char* szName);
void DropRecord(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
void MarkRecordDeleted(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
bool SerializeSlotTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable);
bool SerializeRecordTable(TNQOVArchiveImpl* ha, std::vector<uint8_t>* pTable);

// Key of a name for lookups: the pseudo-name number, or the name hash.
uint64_t NameLookupKey(const char* szName, bool* pbPseudo);

// The record's name: the real name, else its pseudo name (built and kept).
const char* GetRecordName(TFileEntryImpl* pEntry);
// Gives the record a real name (a copy); false without memory.
bool SetRecordName(TFileEntryImpl* pEntry, const char* szName);
// Links a record under its parent directory (ParentNameHash) if it has one.
void LinkRecordToParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);

//-----------------------------------------------------------------------------
// Chains (QOVPatchArchives.cpp).

// The version an archive stands for: its patched tag, or its header digest
// when that tag is all zero.
const uint8_t* VersionTag(const TNQOVArchiveImpl* ha);
// The identity tag of a chain: the version of its newest archive.
const uint8_t* ChainTag(const TNQOVArchiveImpl* ha);
// Builds (or refreshes) the chain owner's merged index; false without memory.
bool RebuildHashTable(TNQOVArchiveImpl* ha);
// Through the owner's merged index: the winning record of a key, refreshing
// a stale index first.  *pbIndexed says whether an index exists at all.
TFileEntryImpl* MergedIndexLookup(TNQOVArchiveImpl* ha, uint64_t qwKey, bool* pbIndexed);
// Marks the merged index of the chain holding ha stale.
void NoteRecordsChanged(TNQOVArchiveImpl* ha);

//-----------------------------------------------------------------------------
// Open files.

#define QOV_FILE_HANDLE_TAG 0x46494C45u
#define QOV_CACHE_EMPTY 0xFFFFFFFFu

class TNQOVFileImpl final : public TNQOVFile {
public:
    TNQOVFileImpl() = default;
    ~TNQOVFileImpl() override { dwHandleTag = 0; }
    TNQOVFileImpl(const TNQOVFileImpl&) = delete;
    TNQOVFileImpl& operator=(const TNQOVFileImpl&) = delete;

    // QOVFileInterface (iface/QOVArchiveIface.cpp).
    bool Read(void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces) override;
    bool SeekFile(int32_t lOffset, uint32_t dwMoveMethod) override;
    bool NotSupported2() override;
    bool NotSupported3() override;
    bool NotSupported4() override;
    uint64_t GetPieceEnd() override;
    uint64_t GetPieceStart() override;
    TFileEntry* GetFileEntry() override;
    uint32_t GetFirstPiece() override;
    uint32_t GetPieceCount() override;
    uint32_t GetLastPieceSize() override;
    uint32_t GetPieceSize() override;
    const char* GetArchiveFileName() override;
    uint64_t GetRawPosition() override;
    bool NotSupported14() override;
    bool NotSupported15() override;
    TNQOVArchive* GetArchive() override;
    uint32_t GetFileSize() override;
    uint64_t GetStoredSize() override;
    uint32_t IsFlag30() override;

    TNQOVArchiveImpl* ha = nullptr;
    TFileEntryImpl* pFileEntry = nullptr;
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

bool IsValidFile(const TNQOVFileImpl* hf);

// Creates a handle for a record (steps shared by every way of opening).
TNQOVFileImpl* CreateFileHandle(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
void FreeFileHandle(TNQOVFileImpl* hf);

// Opens a record found through a pseudo name or through its name.
bool OpenRecord(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry, const char* szName, bool bByPseudoName,
                TNQOVFile** phFile);

// Loads a record's sector offset table into the record (kept with it).
uint32_t LoadRecordSectorOffsets(TFileEntryImpl* pEntry);

// The record of a file id of the chain holding ha, or null.
TFileEntryImpl* FileIdRecord(TNQOVArchiveImpl* ha, uint32_t dwFileId);

// Number of sectors of a non-single-unit file of dwFileSize bytes.
uint32_t SectorCount(uint32_t dwFileSize, uint32_t dwSectorBytes);

//-----------------------------------------------------------------------------
// Pieces (verify/QOVPieces.cpp).

struct TPieceRange {
    uint32_t dwFirstPiece = 0;
    uint32_t dwPieceCount = 0;
    uint32_t dwLastPieceSize = 0;
};

// Piece range of a record (first piece, count, size of the record's last piece).
TPieceRange RecordPieceRange(TNQOVArchiveImpl* ha, const TFileEntryImpl* pEntry);

// Checks the MD5 pieces covering a raw range that has just been read.
bool CheckRawRangePieces(TNQOVArchiveImpl* ha, uint64_t qwPosition, const uint8_t* pbData,
                         uint32_t cbData);

// Records the state byte of a piece when the archive has a writable map.
void SetPieceState(TNQOVArchiveImpl* ha, uint32_t dwIndex, uint8_t state);

//-----------------------------------------------------------------------------
// Writer and list file.

uint32_t SFileAddFile_Init(TNQOVArchiveImpl* ha, const char* szName, uint32_t dwFileSize,
                           uint32_t dwFlags, TNQOVFile** phFile);
uint32_t SFileAddFile_Write(TNQOVFileImpl* hf, const void* pvData, uint32_t dwSize);
uint32_t SFileAddFile_Finish(TNQOVFileImpl* hf);

//-----------------------------------------------------------------------------
// The objects behind the public handle types.  Every handle the library
// gives out is one of these (a null or invalid pointer stays what it is;
// the validity checks look at it).

inline TNQOVArchiveImpl* Impl(TNQOVArchive* p) { return static_cast<TNQOVArchiveImpl*>(p); }
inline TNQOVFileImpl* Impl(TNQOVFile* p) { return static_cast<TNQOVFileImpl*>(p); }
inline TFileEntryImpl* Impl(TFileEntry* p) { return static_cast<TFileEntryImpl*>(p); }
inline TFileStreamImpl* Impl(TFileStream* p) { return static_cast<TFileStreamImpl*>(p); }
inline const TNQOVArchiveImpl* Impl(const TNQOVArchive* p) { return static_cast<const TNQOVArchiveImpl*>(p); }
inline const TNQOVFileImpl* Impl(const TNQOVFile* p) { return static_cast<const TNQOVFileImpl*>(p); }
inline const TFileEntryImpl* Impl(const TFileEntry* p) { return static_cast<const TFileEntryImpl*>(p); }
inline const TFileStreamImpl* Impl(const TFileStream* p) { return static_cast<const TFileStreamImpl*>(p); }
inline TNQOVArchiveImpl* Impl(TNQOVArchiveImpl* p) { return p; }
inline TNQOVFileImpl* Impl(TNQOVFileImpl* p) { return p; }
inline TFileEntryImpl* Impl(TFileEntryImpl* p) { return p; }
inline TFileStreamImpl* Impl(TFileStreamImpl* p) { return p; }
template <typename T, typename Deleter>
auto Impl(const std::unique_ptr<T, Deleter>& p) -> decltype(Impl(p.get())) {
    return Impl(p.get());
}

//-----------------------------------------------------------------------------
// Directory listers (iface/QOVArchiveIface.cpp).

class TNQOVDirWalkerImpl final : public TNQOVDirWalker {
public:
    explicit TNQOVDirWalkerImpl(TNQOVArchiveImpl* ha) : m_ha(ha) {}
    bool List(const char* szDirectory) override;
    uint32_t GetCount() override;
    uint64_t GetItem(uint32_t dwPosition) override;

private:
    TNQOVArchiveImpl* m_ha;
    std::vector<uint64_t> m_items;
};

class TNQOVDirWalkerByIdImpl final : public TNQOVDirWalkerById {
public:
    explicit TNQOVDirWalkerByIdImpl(TNQOVArchiveImpl* ha) : m_ha(ha) {}
    bool List(uint32_t dwFileId) override;
    uint32_t GetCount() override;
    uint32_t GetItem(uint32_t dwPosition) override;

private:
    TNQOVArchiveImpl* m_ha;
    std::vector<uint32_t> m_items;
};

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
