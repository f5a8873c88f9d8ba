// QOVRead.h - the library's in-memory model of an archive (the HET index,
// file-table records, open archives and open files) and the operations that
// read it: opening, lookup, names, the directory tree, patch chains and
// reading files.  The writer (write/QOVWrite.h) and the piece layer
// (verify/QOVVerify.h) work on the same model.

#ifndef NQOV_QOVREAD_H
#define NQOV_QOVREAD_H

#include "common/QOVCommon.h"
#include "common/QOVFileStream.h"
#include "common/QOVFormat.h"
#include "verify/QOVPieceStateMap.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class TFileEntryImpl;
class TNQOVArchiveImpl;
class TNQOVFileImpl;

//-----------------------------------------------------------------------------
// HET index in memory.

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

// The mask of a name hash of nameHashBits bits.
inline uint64_t HashMaskFor(uint32_t nameHashBits) {
    return nameHashBits >= 64 ? ~static_cast<uint64_t>(0) : (static_cast<uint64_t>(1) << nameHashBits) - 1;
}

//-----------------------------------------------------------------------------
// File-table records.

#define QOV_NO_RECORD 0xFFFFFFFFu

class TFileEntryImpl final : public TFileEntry {
public:
    TFileEntryImpl() = default;
    TFileEntryImpl(const TFileEntryImpl&) = delete;
    TFileEntryImpl& operator=(const TFileEntryImpl&) = delete;

    // QOVFileEntryInterface (iface/QOVEntryIface.cpp).
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
    uint32_t dwIndex = 0;  // position in the file table

    // Sector offset table and checksums cached with the record.
    std::unique_ptr<uint32_t[]> SectorOffsets;
    std::unique_ptr<uint32_t[]> SectorChksums;
    uint32_t dwKeyCache = 0;  // file key found by an earlier open, 0 = none

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
    // Stored in sectors behind a sector offset table (compressed, not one unit).
    bool HasSectorTable() const {
        return (dwFlags & NQOV_FILE_COMPRESSED) != 0 && (dwFlags & NQOV_FILE_SINGLE_UNIT) == 0;
    }

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

    // Maps this archive's piece-state map from its file (verify/QOVPieceStateMap.cpp).
    bool InitBitMapByFileMapping_i(bool bWritable);

    uint32_t dwAddFileError = 0;
    uint32_t dwFileIdCount = 0;
    std::mutex Lock;                           // guards lazily built record names
    std::vector<TFileEntryImpl*> FileIdTable;  // records by file id
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

    TQOVHeader* pHeader = nullptr;  // non-null only for a valid archive
    std::unique_ptr<THetTable> pHetTable;
    TRecordTable Records;
    TQOVHeader Header;
    uint32_t dwFileTableSize = 0;
    uint32_t dwMaxFileCount = 0;
    uint32_t dwSectorBytes = 0;
    uint32_t dwFileFlags1 = 0;
    uint32_t dwFileFlags2 = 0;
    uint32_t dwFlags = 0;

    std::unique_ptr<uint8_t[]> pMD5Table;  // MD5 piece table cache
    uint32_t dwMD5TableSize = 0;

    TPieceStateMap StateMap;

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

//-----------------------------------------------------------------------------
// Archives (QOVArchive.cpp, QOVOpenArchive.cpp).

// A handle is valid when its header is present and carries the signature.
bool IsValidArchive(const TNQOVArchiveImpl* ha);

// Opens an archive on a stream that the archive then owns (also on failure).
bool OpenArchiveOnStream(TFileStream* pStream, TNQOVArchive** phArchive, uint32_t dwFlags);

// Releases an archive and every patch archive of its chain.
void ReleaseArchive(TNQOVArchiveImpl* ha);

// Writes bytes at an absolute position of the archive file; returns the
// error (ERROR_ACCESS_DENIED for an archive opened read-only).
uint32_t WriteArchiveBytes(TNQOVArchiveImpl* ha, uint64_t qwPosition, const void* pvData, uint32_t cbData);

// Bytes of chunk digests that follow a blob of cbStored bytes.
uint64_t ChunkDigestBytes(const TNQOVArchiveImpl* ha, uint64_t cbStored);

//-----------------------------------------------------------------------------
// File table (QOVFileTable.cpp), lookup (QOVLookup.cpp) and the directory
// tree (QOVDirTree.cpp).

uint32_t ReadSlotTable(TNQOVArchiveImpl* ha);
uint32_t BuildRecordTable(TNQOVArchiveImpl* ha);
uint32_t FindSlotByName(TNQOVArchiveImpl* ha, const char* szName);
uint32_t FindSlotByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TFileEntryImpl* RecordByName(TNQOVArchiveImpl* ha, const char* szName);
TFileEntryImpl* RecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TFileEntryImpl* FindRecordByName(TNQOVArchiveImpl* ha, const char* szName);
TFileEntryImpl* FindRecordByHash(TNQOVArchiveImpl* ha, uint64_t qwNameHash);
TNQOVArchiveImpl* FindArchiveOfName(TNQOVArchiveImpl* ha, const char* szName);

// Key of a name for lookups: the pseudo-name number, or the name hash.
uint64_t NameLookupKey(const char* szName, bool* pbPseudo);

// The record's name: the real name, else its pseudo name (built and kept);
// null without memory for the pseudo name.
const char* GetRecordName(TFileEntryImpl* pEntry);
// Gives the record a real name (a copy); false without memory.
bool SetRecordName(TFileEntryImpl* pEntry, const char* szName);

// Links every record under its parent directory; false when a parent named
// by a record is missing.
bool buildDirTree(TNQOVArchiveImpl* ha);
// Links a record under its parent directory (ParentNameHash) if it has one.
void LinkRecordToParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);
// Takes a record out of its parent directory's list of children.
void UnlinkFromParent(TNQOVArchiveImpl* ha, TFileEntryImpl* pEntry);

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
// Open files (QOVOpenFile.cpp, QOVReadFile.cpp, QOVExtractFile.cpp).

#define QOV_FILE_HANDLE_TAG 0x46494C45u
#define QOV_CACHE_EMPTY 0xFFFFFFFFu

class TNQOVFileImpl final : public TNQOVFile {
public:
    TNQOVFileImpl() = default;
    ~TNQOVFileImpl() override { dwHandleTag = 0; }
    TNQOVFileImpl(const TNQOVFileImpl&) = delete;
    TNQOVFileImpl& operator=(const TNQOVFileImpl&) = delete;

    // QOVFileInterface (iface/QOVEntryIface.cpp).
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
    uint32_t dwSectorFill = 0;     // bytes waiting in pbFileSector
    uint32_t dwSectorIndex = 0;    // next sector to write
    uint32_t dwOffsetEntries = 0;  // entries of SectorOffsets while writing
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
// Entries of a handle's sector offset table: one per sector, the end, and
// the checksum block's end when the file has one.
uint32_t OffsetTableEntries(const TNQOVFileImpl* hf);

// A file read to its end (extracted, verified) is read in blocks of this
// size: large blocks keep the number of reads and system calls small.
const uint32_t QOV_READ_BLOCK = 256 * 1024;

// An open file that closes itself (SFileCloseFile).
struct TFileCloser {
    void operator()(TNQOVFileImpl* hf) const { SFileCloseFile(hf); }
};
typedef std::unique_ptr<TNQOVFileImpl, TFileCloser> TFilePtr;

// A handle made for one internal step, freed without the checks of a close.
struct TFileHandleDeleter {
    void operator()(TNQOVFileImpl* hf) const { FreeFileHandle(hf); }
};
typedef std::unique_ptr<TNQOVFileImpl, TFileHandleDeleter> TFileHandlePtr;

//-----------------------------------------------------------------------------
// File keys (QOVFileKeys.cpp).

// The key of an enciphered record stored under szName.
uint32_t RecordKeyForName(const TFileEntryImpl* pEntry, const char* szName);
// The key a handle on the record starts with: 0 for a record stored in
// clear; else the key an earlier open found, or the one of the record's
// name; 0 when neither is known (it is then found from the content).
uint32_t InitialFileKey(const TFileEntryImpl* pEntry);

// Finds the key of a sector from known words at its start; 0 when none fits.
uint32_t GuessKeyFromContent(const uint8_t* pbSector, uint32_t cbSector);
// Finds the key of an enciphered sector offset table (returns key + 1, as
// the table itself is enciphered under the file key - 1); 0 when none fits.
uint32_t GuessKeyFromOffsetTable(const uint8_t* pbTable, uint32_t cbTable);

//-----------------------------------------------------------------------------
// The writer, as the read side reaches it.  The read-only library (nqov_read)
// has none: closing an archive then has nothing to flush, and adding a file
// through the archive interface fails with ERROR_NOT_SUPPORTED.  The full
// library (nqov) installs its writer when the program starts
// (write/QOVWriterHooks.cpp).

struct TArchiveWriter {
    bool (*Flush)(TNQOVArchive* ha);
    bool (*FinishFile)(TNQOVFile* hf);
    bool (*AddFile)(TNQOVArchive* ha, const char* szFileName, const char* szArchivedName);
};
void QOVInstallWriter(const TArchiveWriter* pWriter);
// The installed writer, or null.
const TArchiveWriter* QOVWriter();

//-----------------------------------------------------------------------------
// The objects behind the public handle types.  Every handle the library
// gives out is one of these (a null or invalid pointer stays what it is;
// the validity checks look at it).

inline TNQOVArchiveImpl* Impl(TNQOVArchive* p) { return static_cast<TNQOVArchiveImpl*>(p); }
inline TNQOVFileImpl* Impl(TNQOVFile* p) { return static_cast<TNQOVFileImpl*>(p); }
inline TFileEntryImpl* Impl(TFileEntry* p) { return static_cast<TFileEntryImpl*>(p); }
inline const TNQOVArchiveImpl* Impl(const TNQOVArchive* p) { return static_cast<const TNQOVArchiveImpl*>(p); }
inline const TNQOVFileImpl* Impl(const TNQOVFile* p) { return static_cast<const TNQOVFileImpl*>(p); }
inline const TFileEntryImpl* Impl(const TFileEntry* p) { return static_cast<const TFileEntryImpl*>(p); }
inline TNQOVArchiveImpl* Impl(TNQOVArchiveImpl* p) { return p; }
inline TNQOVFileImpl* Impl(TNQOVFileImpl* p) { return p; }
inline TFileEntryImpl* Impl(TFileEntryImpl* p) { return p; }
template <typename T, typename Deleter>
auto Impl(const std::unique_ptr<T, Deleter>& p) -> decltype(Impl(p.get())) {
    return Impl(p.get());
}

//-----------------------------------------------------------------------------
// Entering the library on a handle: QOVEnter (common/QOVCommon.h) that checks
// the handle first, failing with ERROR_INVALID_HANDLE and the failure value
// when it is no valid one, and gives the body the object behind it.  A record
// is valid when its archive is.

template <typename Result, typename Body>
Result QOVEnter(const TQOVOperation& op, TNQOVArchive* haIn, Result failValue, Body body) {
    return QOVEnter(op, failValue, [&]() -> Result {
        TNQOVArchiveImpl* ha = Impl(haIn);
        QOV_FAIL_IF(!IsValidArchive(ha), "invalid archive handle", ERROR_INVALID_HANDLE, failValue);
        return body(ha);
    });
}

template <typename Result, typename Body>
Result QOVEnter(const TQOVOperation& op, TNQOVFile* hfIn, Result failValue, Body body) {
    return QOVEnter(op, failValue, [&]() -> Result {
        TNQOVFileImpl* hf = Impl(hfIn);
        QOV_FAIL_IF(!IsValidFile(hf), "invalid file handle", ERROR_INVALID_HANDLE, failValue);
        return body(hf);
    });
}

template <typename Result, typename Body>
Result QOVEnter(const TQOVOperation& op, TFileEntry* pEntryIn, Result failValue, Body body) {
    return QOVEnter(op, failValue, [&]() -> Result {
        TFileEntryImpl* pEntry = Impl(pEntryIn);
        QOV_FAIL_IF(pEntry == nullptr || !IsValidArchive(pEntry->ha), "invalid record", ERROR_INVALID_HANDLE,
                    failValue);
        return body(pEntry);
    });
}

#endif  // NQOV_QOVREAD_H
