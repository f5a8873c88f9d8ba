// QOVLib.h - public interface of the QOV archive library.
//
// A QOV archive is one file holding many named files in sectors (optionally
// compressed and enciphered), a hash-indexed file table (HET and BET tables)
// and an integrity layer: an MD5 digest per fixed-size piece of the file and
// a one-byte-per-piece state map.
//
// Conventions of this interface:
//  * Every operation returns bool (or a size / pointer) and leaves a Windows
//    error number as the thread's last error (QOVGetLastError()).  On Windows
//    that is the system's own last error.
//  * Names and paths are UTF-8.
//  * No exceptions cross this interface.

#ifndef NQOV_QOVLIB_H
#define NQOV_QOVLIB_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winerror.h>
#endif

//-----------------------------------------------------------------------------
// Error numbers.  They are the Windows system error numbers; on other systems
// the same numbers are defined here.

#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_BAD_FORMAT 11
#define ERROR_WRITE_PROTECT 19
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_ALREADY_EXISTS 183
#define ERROR_CAN_NOT_COMPLETE 1003
#define ERROR_FILE_INVALID 1006
#define ERROR_IO_DEVICE 1117
#define ERROR_READ_FAULT 30
#define ERROR_FILE_CORRUPT 1392
#endif
#ifndef ERROR_NOT_SAME_DEVICE
#define ERROR_NOT_SAME_DEVICE 17  // also: the file-id table is built, no patch may follow
#endif
#ifndef ERROR_BUSY
#define ERROR_BUSY 170
#endif
#ifndef ERROR_CANCELLED
#define ERROR_CANCELLED 1223
#endif

// The library's own error numbers.
#define ERROR_QOV_FILE_KEY 10001            // no file key could be found
#define ERROR_QOV_SECTOR_CHECKSUM 10002     // a sector checksum did not match
#define ERROR_QOV_INTERNAL_FILE_NAME 10003  // the name is reserved for the archive

//-----------------------------------------------------------------------------
// Format constants.

#define NQOV_HEADER_SIGNATURE 0x766F716Eu  // "nqov"
#define NQOV_HEADER_SIZE 172u
#define HET_TABLE_SIGNATURE 0x1A544548u  // "HET\x1A"
#define BET_TABLE_SIGNATURE 0x1A544542u  // "BET\x1A"
#define NQOV_KEY_HET_TABLE 0x5B1D7E42u
#define NQOV_KEY_BET_TABLE 0x2C94A6F1u

// File flags (TFileEntry::dwFlags).
#define NQOV_FILE_EXISTS 0x80000000u
#define NQOV_FILE_FLAG_30 0x40000000u
#define NQOV_FILE_DIRECTORY 0x08000000u
#define NQOV_FILE_SECTOR_CRC 0x04000000u
#define NQOV_FILE_DELETE_MARKER 0x02000000u
#define NQOV_FILE_SINGLE_UNIT 0x01000000u
#define NQOV_FILE_FLAG_20 0x00100000u
#define NQOV_FILE_FIX_KEY 0x00020000u
#define NQOV_FILE_ENCRYPTED 0x00010000u
#define NQOV_FILE_COMPRESSED 0x0000FF00u
#define NQOV_FILE_COMPRESS 0x00000200u
#define NQOV_FILE_VALID_FLAGS 0xC7130200u  // flags an openable record may carry

// Archive flags.
#define NQOV_FLAG_READ_ONLY 0x00000001u
#define NQOV_FLAG_CHANGED 0x00000002u
#define NQOV_FLAG_CHECK_SECTOR_CHECKSUMS 0x00000008u
#define NQOV_FLAG_LISTFILE_CHANGED 0x00000020u

// Open flags of SFileOpenArchive.  Without NQOV_OPEN_READ_ONLY the archive
// file is opened for reading and writing.
#define NQOV_OPEN_READ_ONLY 0x00000001u

// Compression method bits of a compressed block.
#define NQOV_COMPRESSION_ZLIB 0x02u
#define NQOV_COMPRESSION_BZIP2 0x10u
#define NQOV_COMPRESSION_LZMA 0x20u

// Search scopes of NQOVOpenFileEx.
#define QOV_OPEN_FROM_ARCHIVE 0u
#define QOV_OPEN_PATCHED 1u
#define QOV_OPEN_TABLE_ONLY 0xFFFFFFFEu

// Result flags of VerifyFile.
#define VERIFY_CANNOT_OPEN 0x01u
#define VERIFY_READ_ERROR 0x02u
#define VERIFY_FILE_SECTOR_CRC_ERROR 0x08u
#define VERIFY_MD5_PRESENT 0x40u
#define VERIFY_FILE_MD5_ERROR 0x80u

// Move methods of SFileSetFilePointer.
#define NQOV_FILE_BEGIN 0u
#define NQOV_FILE_CURRENT 1u
#define NQOV_FILE_END 2u

// States of the piece-state map, one byte per piece (SFileGetBitmap).
#define NQOV_PIECE_UNKNOWN 0u  // not verified since the map was made or cleared
#define NQOV_PIECE_GOOD 1u     // the piece matched its MD5 when last verified or written
#define NQOV_PIECE_BAD 2u      // it did not, or writing it failed

// IsFlag30 answer of the interfaces when there is no record to ask.
#define NQOV_FLAG30_NO_RECORD 3u

#define NQOV_LISTFILE_NAME "(listfile)"
#define NQOV_INVALID_SIZE 0xFFFFFFFFu
#define NQOV_INVALID_FILE_ID 0xFFFFFFFFu

// Largest file-table capacity SFileCreateArchive accepts.
#define NQOV_MAX_FILE_COUNT 0x01000000u
// Largest piece size SFileCreateArchive accepts.  Files are added only to
// archives whose pieces are this small or already cover the archive, as the
// tables are padded to a whole piece.
#define NQOV_MAX_PIECE_SIZE 0x10000000u

//-----------------------------------------------------------------------------
// Types.

class TNQOVArchive;        // an open archive; its pointer is the archive handle
class TNQOVFile;           // an open file inside an archive
class TFileEntry;          // one record of an archive's file table
class TFileStream;         // the library's access to one disk file
class TNQOVDirWalker;      // lists a directory of a chain by name
class TNQOVDirWalkerById;  // lists a directory of a chain by file id

// Progress interface of whole-archive verification.
class sfile_verify_piece_callback {
public:
    // Called once after each piece, good or bad, with the piece count and the
    // 0-based index of the piece just verified.
    virtual void OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) = 0;
    virtual ~sfile_verify_piece_callback() {}
};

//-----------------------------------------------------------------------------
// Object interfaces.  A host calls these through virtual dispatch, so the
// order of the operations in each class is part of the interface and never
// changes.  "Id" is a file id (SFileBuildFileIdTable); "name" a path inside
// the archive.  Operations marked "not supported" return the stated value
// (and stop a debug build).

// A disk file of the library.
class QOVFileStreamInterface {
public:
    virtual const char* GetFileName() = 0;                                                 // 1
    virtual bool Read(uint64_t* pPosition, void* pvBuffer, uint32_t dwLength) = 0;         // 2
    virtual bool Write(uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength) = 0;  // 3
    virtual uint64_t GetSize() = 0;                                                        // 4
    virtual ~QOVFileStreamInterface() {}                                                   // 5
};

// One record of a file table.
class QOVFileEntryInterface {
public:
    virtual const uint8_t* GetMD5() = 0;       // 0  the content's MD5 (16 bytes)
    virtual uint32_t GetFileSize() = 0;        // 1
    virtual uint32_t GetCompressedSize() = 0;  // 2  stored size
    virtual const char* GetFileName() = 0;     // 3  name, or pseudo name
    virtual bool IsDirectory() = 0;            // 4
    virtual uint64_t GetFilePosition() = 0;    // 5  file position of the stored bytes
    virtual TNQOVArchive* GetArchive() = 0;    // 6  the archive holding the record
    virtual uint32_t GetPieceCount() = 0;      // 7
    virtual uint32_t GetFirstPiece() = 0;      // 8
    virtual uint32_t GetPieceSize() = 0;       // 9
    virtual uint32_t GetLastPieceSize() = 0;   // 10
    virtual uint32_t GetFileId() = 0;          // 11
    virtual uint32_t IsFlag30() = 0;           // 12 1 or 0
    virtual ~QOVFileEntryInterface() {}        // 13
};

// An open file.
class QOVFileInterface {
public:
    virtual bool Read(void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces) = 0;  // 0
    virtual bool SeekFile(int32_t lOffset, uint32_t dwMoveMethod) = 0;                               // 1
    virtual bool NotSupported2() = 0;              // 2  false
    virtual bool NotSupported3() = 0;              // 3  false
    virtual bool NotSupported4() = 0;              // 4  false
    virtual uint64_t GetPieceEnd() = 0;            // 5  end of the file's last piece
    virtual uint64_t GetPieceStart() = 0;          // 6  start of its first piece
    virtual TFileEntry* GetFileEntry() = 0;        // 7
    virtual uint32_t GetFirstPiece() = 0;          // 8
    virtual uint32_t GetPieceCount() = 0;          // 9
    virtual uint32_t GetLastPieceSize() = 0;       // 10
    virtual uint32_t GetPieceSize() = 0;           // 11
    virtual const char* GetArchiveFileName() = 0;  // 12
    virtual uint64_t GetRawPosition() = 0;         // 13 file position of the stored bytes
    virtual bool NotSupported14() = 0;             // 14 false
    virtual bool NotSupported15() = 0;             // 15 false
    virtual TNQOVArchive* GetArchive() = 0;        // 16
    virtual uint32_t GetFileSize() = 0;            // 17
    virtual uint64_t GetStoredSize() = 0;          // 18 stored size with chunk digests
    virtual uint32_t IsFlag30() = 0;               // 19 1, 0, or NQOV_FLAG30_NO_RECORD
    virtual ~QOVFileInterface() {}                 // 20
};

// Lists the children of a directory (name hashes, ascending).
class QOVDirListerInterface {
public:
    virtual bool List(const char* szDirectory) = 0;
    virtual uint32_t GetCount() = 0;
    virtual uint64_t GetItem(uint32_t dwPosition) = 0;
    virtual ~QOVDirListerInterface() {}
};

// Lists the children of a directory (file ids, by ascending name hash).
class QOVDirListerInterfaceByID {
public:
    virtual bool List(uint32_t dwFileId) = 0;
    virtual uint32_t GetCount() = 0;
    virtual uint32_t GetItem(uint32_t dwPosition) = 0;
    virtual ~QOVDirListerInterfaceByID() {}
};

// An open archive with its chain of patch archives.
class QOVArchiveInterface {
public:
    virtual bool GetSectorTableRange(uint32_t dwFileId, uint64_t* pqwPosition, uint64_t* pqwSize) = 0;  // 0
    virtual bool GetFileDataRange(uint32_t dwFileId, uint64_t qwOffset, uint64_t qwLength,
                                  uint64_t* pqwPosition, uint64_t* pqwSize) = 0;  // 1
    virtual const uint8_t* GetHetTableMD5() = 0;                                  // 2
    virtual const uint8_t* GetBetTableMD5() = 0;                                  // 3
    virtual const uint8_t* GetHeaderMD5() = 0;                                    // 4
    virtual const char* GetFileName(uint32_t dwFileId) = 0;                       // 5
    virtual bool RebuildHashTable() = 0;                                          // 6
    virtual bool ReadFileById(uint32_t dwFileId, uint32_t dwOffset, void* pvBuffer, uint32_t dwLength,
                              uint32_t* pdwRead) = 0;                                               // 7
    virtual uint32_t GetFileId(const char* szName) = 0;                                             // 8
    virtual uint32_t GetFileCount() = 0;                                                            // 9
    virtual TFileStream* GetStream() = 0;                                                           // 10
    virtual TFileStream* FindStreamByArchiveName(const char* szArchiveFileName) = 0;                // 11
    virtual TNQOVFile* OpenFile(uint32_t dwFileId) = 0;                                             // 12
    virtual TNQOVFile* OpenFile_i(const char* szName) = 0;                                          // 13
    virtual bool CloseFile(TNQOVFile* hf) = 0;                                                      // 14
    virtual bool ReadPieceVerified(uint32_t dwIndex, void* pvBuffer, uint32_t dwLength) = 0;        // 15
    virtual bool WritePieceVerified(uint32_t dwIndex, const void* pvData, uint32_t dwLength) = 0;   // 16
    virtual bool ExtractFileById(uint32_t dwFileId, const char* szDestination) = 0;                 // 17
    virtual bool ExtractFile(const char* szName, const char* szDestination) = 0;                    // 18
    virtual bool PathToPieceIndex(const char* szName, uint32_t* pdwFirst, uint32_t* pdwCount) = 0;  // 19
    virtual TFileEntry* RecordByName(const char* szName) = 0;                                       // 20
    virtual TFileEntry* GetFileEntry(uint32_t dwFileId) = 0;                                        // 21
    virtual TFileEntry* RecordByHash(uint64_t qwNameHash) = 0;                                      // 22
    virtual bool GetBitmapInfo(uint8_t** ppBitmap, uint32_t* pdwPieceCount, uint32_t* pdwPieceSize,
                               uint32_t* pdwLastPieceSize, bool* pbValid) = 0;                    // 23
    virtual uint64_t GetArchiveFileSize(const char* szArchiveFileName) = 0;                       // 24
    virtual TNQOVArchive* GetArchiveOfFile(uint32_t dwFileId) = 0;                                // 25
    virtual TNQOVArchive* FindArchiveByFileName(const char* szArchiveFileName) = 0;               // 26
    virtual TNQOVArchive* FindArchiveOfName(const char* szName) = 0;                              // 27
    virtual const char* GetArchiveFileName() = 0;                                                 // 28
    virtual bool WriteBitmap() = 0;                                                               // 29
    virtual void Clear() = 0;                                                                     // 30
    virtual bool IsFileValidById(uint32_t dwFileId) = 0;                                          // 31
    virtual bool IsFileValid(const char* szName) = 0;                                             // 32
    virtual bool VerifyFilePiecesById(uint32_t dwFileId) = 0;                                     // 33
    virtual bool VerifyFilePieces(const char* szName) = 0;                                        // 34
    virtual bool IsFileReady(uint32_t dwFileId) = 0;                                              // 35
    virtual bool IsFileReady(const char* szName) = 0;                                             // 36
    virtual bool NotSupported37() = 0;                                                            // 37 false
    virtual bool NotSupported38(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) = 0;  // 38 false
    virtual bool IsFile(uint32_t dwFileId) = 0;                                                   // 39
    virtual bool IsFile(const char* szName) = 0;                                                  // 40
    virtual bool IsDirectory(uint32_t dwFileId) = 0;                                              // 41
    virtual bool IsDirectory(const char* szName) = 0;                                             // 42
    virtual bool HasFileId(uint32_t dwFileId) = 0;                                                // 43
    virtual bool HasFile(const char* szName) = 0;                                                 // 44
    virtual TNQOVDirWalker* CreateDirWalker() = 0;                                                // 45
    virtual void ReleaseDirWalker(TNQOVDirWalker* pWalker) = 0;                                   // 46
    virtual TNQOVDirWalkerById* CreateDirWalkerById() = 0;                                        // 47
    virtual void ReleaseDirWalkerById(TNQOVDirWalkerById* pWalker) = 0;                           // 48
    virtual uint32_t GetArchiveCount() = 0;                                                       // 49
    virtual bool GetArchiveTableSize(uint32_t* pdwSizes, uint32_t dwCount) = 0;                   // 50
    virtual bool GetSectorTableRangeByName(const char* szName, uint64_t* pqwPosition,
                                           uint64_t* pqwSize) = 0;                  // 51
    virtual bool AddFile(const char* szLocalFile, const char* szArchivedName) = 0;  // 52
    virtual bool OpenPatchArchive(const char* szPatchFile, uint32_t dwFlags) = 0;   // 53
    virtual uint32_t GetOpenParameter() = 0;                                        // 54
    virtual const uint8_t* GetCurrentTag() = 0;                                     // 55
    virtual void SetPatchBaseTag(const uint8_t tag[16]) = 0;                        // 56
    virtual bool CompareTag(const uint8_t* pbTagA, const uint8_t* pbTagB) = 0;      // 57
    virtual bool DumpHeader() = 0;                                                  // 58
    virtual uint32_t GetLastError() = 0;                                            // 59
    virtual const char* NotSupported60() = 0;                                       // 60 ""
    virtual bool InitBitMapByFileMapping(bool bWritable) = 0;                       // 61
    virtual bool NotSupported62() = 0;                                              // 62 false, no stop
    virtual uint32_t IsFlag30ById(uint32_t dwFileId) = 0;                           // 63
    virtual uint32_t IsFlag30OfFile(TNQOVFile* hf) = 0;                             // 64
    virtual ~QOVArchiveInterface() {}                                               // 65
};

// The objects behind the handles.  The library makes and releases them; a
// host reaches them through the flat functions and the interfaces above.
class TNQOVArchive : public QOVArchiveInterface {
public:
    virtual bool WriteAllBitmaps() = 0;  // 66: SFileWriteBitmap for every archive of the chain
};
class TNQOVFile : public QOVFileInterface {};
class TFileEntry : public QOVFileEntryInterface {};
class TFileStream : public QOVFileStreamInterface {};
class TNQOVDirWalker : public QOVDirListerInterface {};
class TNQOVDirWalkerById : public QOVDirListerInterfaceByID {};

// Parameters of a new archive (SFileCreateArchive).
struct QOV_CREATE_PARAMS {
    uint32_t dwMaxFileCount;  // file-table capacity, 1 .. NQOV_MAX_FILE_COUNT
    uint16_t wSectorSize;     // sector size = 512 << wSectorSize, 0..22 (default 3: 4 KiB)
    uint16_t wFormatVersion;  // header format version (default 0)
    uint32_t dwMD5PieceSize;  // piece size in bytes (default 1 MiB), 1 .. NQOV_MAX_PIECE_SIZE
    uint32_t dwRawChunkSize;  // chunk-digest size, 0 = none (default)
    uint64_t qwHeaderOffset;  // file position of the header, a multiple of 512 (default 0);
                              // the bytes before it are zero
};

// Fills a QOV_CREATE_PARAMS with the defaults and the given capacity.
void SFileInitCreateParams(QOV_CREATE_PARAMS* pParams, uint32_t dwMaxFileCount);

// Header and table figures of an open archive (SFileGetArchiveInfo).
struct QOV_ARCHIVE_INFO {
    uint64_t HeaderOffset;
    uint32_t HeaderSize;
    uint16_t wFormatVersion;
    uint16_t wSectorSize;
    uint32_t dwSectorBytes;
    uint64_t ArchieveSize;
    uint64_t HetTablePos64, HetTableSize64;
    uint64_t BetTablePos64, BetTableSize64;
    uint64_t MD5TablePos64, MD5TableSize64;
    uint64_t BitmapPos64, BitmapSize64;
    uint32_t dwMD5PieceSize;
    uint32_t dwRawChunkSize;
    uint32_t dwMaxFileCount;
    uint32_t dwFileTableSize;
    uint32_t dwHashTableSize;
    uint32_t dwArchiveFlags;
    uint8_t MD5_PatchBaseTag[16];
    uint8_t MD5_PatchedTag[16];
    uint8_t MD5_BetTable[16];
    uint8_t MD5_HetTable[16];
    uint8_t MD5_QOVHeader[16];
};

// One file-table record (SFileGetRecordInfo).  szFileName is the stored name
// or the pseudo name ".File<hash>."; it stays valid while the archive is open.
struct QOV_RECORD_INFO {
    const char* szFileName;
    bool bNamed;  // the record has a real (stored or listed) name
    uint64_t NameHash64;
    uint64_t ParentNameHash;
    uint64_t StoredOffset;  // relative to the header
    uint32_t dwHetIndex;
    uint32_t dwFileSize;
    uint32_t dwStoredSize;
    uint32_t dwFlags;
    uint8_t ContentMD5[16];
};

// Process-wide log sink: receives every debug and error line of the library.
typedef void (*QOV_LOG_SINK)(const char* szLine);

// Process-wide progress hook of QOVArchiveInterface::Clear: called after each
// block of zeros with the block's file position.  Clear removes the hook when
// it ends, so it is set again before each Clear.
typedef void (*QOV_CLEAR_PROGRESS)(uint64_t qwPosition, void* pvContext);
void QOVSetClearProgressHook(QOV_CLEAR_PROGRESS pfnHook, void* pvContext);

//-----------------------------------------------------------------------------
// Errors and logging.

uint32_t QOVGetLastError();
void QOVSetLastError(uint32_t dwError);
void QOVSetLogSink(QOV_LOG_SINK pfnSink);  // null removes the sink

//-----------------------------------------------------------------------------
// Archives.

bool SFileCreateArchive(const char* szArchiveName, const QOV_CREATE_PARAMS* pParams,
                        TNQOVArchive** phArchive);
bool SFileOpenArchive(const char* szArchiveName, TNQOVArchive** phArchive, uint32_t dwFlags);
bool SFileFlushArchive(TNQOVArchive* ha);
bool SFileCloseArchive(TNQOVArchive* ha, bool bFlush);
bool OpenArchiveIfWritable(TNQOVArchive** phArchive, const char* szArchiveName);

bool SFileGetArchiveInfo(TNQOVArchive* ha, QOV_ARCHIVE_INFO* pInfo);
uint32_t SFileGetRecordCount(TNQOVArchive* ha);  // records in use, or 0xFFFFFFFF
bool SFileGetRecordInfo(TNQOVArchive* ha, uint32_t dwIndex, QOV_RECORD_INFO* pInfo);

//-----------------------------------------------------------------------------
// Patch archives and the file-id table.

// Attaches a patch archive to ha's chain when the patch's base tag equals the
// version the chain has reached (its newest archive's patched tag, or its
// header digest when that tag is all zero).  The patch is closed with ha.
bool SFileOpenPatchArchive(const char* szPatchQOVName, TNQOVArchive* ha, uint32_t dwFlags);

// Numbers the files of ha's chain: every name hash of the chain gets an id,
// in ascending name-hash order, for the record that wins it (the newest
// archive holding it).  The ids are therefore the same for the same chain.
// Once built, no patch can be attached (error 17).  May be called again.
bool SFileBuildFileIdTable(TNQOVArchive* ha);

//-----------------------------------------------------------------------------
// Pieces and the piece-state map.

bool SFileGetPieceCount(TNQOVArchive* ha, uint32_t* pdwLastPieceSize, uint32_t* pdwPieceCount,
                        uint32_t* pdwPieceSize);
bool SFileVerifyPiece(TNQOVArchive* ha, uint32_t wIndex, const void* pvData, uint32_t wLength);
bool SFileReadPieceVerified(TNQOVArchive* ha, uint32_t wIndex, void* pvBuffer, uint32_t wLength);
bool SFileWritePieceVerified(TNQOVArchive* ha, uint32_t wIndex, const void* pvData, uint32_t wLength);
bool SFileVerifyAll(TNQOVArchive* ha, sfile_verify_piece_callback* pCallback);
// SFileVerifyAll that ends early once *pbStop is set (by another thread, or
// by the callback): the pieces being verified are finished, no later piece
// is read or reported, and the call fails with ERROR_CANCELLED.  The
// piece-state map holds the outcome of the pieces reported so far.  A null
// pbStop never stops.
bool SFileVerifyAllUntil(TNQOVArchive* ha, sfile_verify_piece_callback* pCallback,
                         const std::atomic<bool>* pbStop);

// SFileReadPieceVerified for the dwPieceCount pieces from dwFirstPiece on,
// without a buffer of the caller's: they are read in runs and hashed
// several at once on the calling thread.  Each piece's state goes into the
// piece-state map as SFileReadPieceVerified records it, and into pStates
// (when given, one byte per piece: NQOV_PIECE_GOOD, or NQOV_PIECE_BAD also
// for a piece that cannot be read).  True when every piece verified.  False
// with ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER (pieces outside the
// archive) when nothing was checked; otherwise with ERROR_FILE_CORRUPT, or
// the read's error when a piece could not be read.
bool SFileVerifyPieces(TNQOVArchive* ha, uint32_t dwFirstPiece, uint32_t dwPieceCount, uint8_t* pStates);

// One piece of SFileWritePiecesVerified, and what became of it.
struct QOV_PIECE_WRITE {
    uint32_t dwIndex;
    uint32_t dwLength;
    const void* pvData;
    uint32_t dwResult;  // out: QOV_PIECE_WRITTEN, QOV_PIECE_BAD_DIGEST or QOV_PIECE_FAILED
    uint32_t dwError;   // out: with QOV_PIECE_FAILED, why (a request out of range, the write's error)
};
#define QOV_PIECE_WRITTEN 0u     // it matched its digest and was written
#define QOV_PIECE_BAD_DIGEST 1u  // it did not match: nothing written
#define QOV_PIECE_FAILED 2u      // refused (index or length) or the write failed

// SFileWritePieceVerified for several pieces that are at hand: they are
// hashed together, and each is written the moment its digest matches.  The
// piece-state map records each as SFileWritePieceVerified does.  True when
// every piece was written.
bool SFileWritePiecesVerified(TNQOVArchive* ha, QOV_PIECE_WRITE* pPieces, uint32_t dwCount);
bool SFileVerifyFilePieceMD5(TNQOVArchive* ha, const char* szFileName);
bool SFilePathToPieceIndex(TNQOVArchive* ha, const char* szFileName, uint32_t* pdwFirstPiece,
                           uint32_t* pdwPieceCount);
bool SFileLoadMd5(TNQOVArchive* ha);
uint8_t* SFileGetBitmap(TNQOVArchive* ha, uint32_t* pdwSize);
bool SFileWriteBitmap(TNQOVArchive* ha);

//-----------------------------------------------------------------------------
// Files inside an archive.

bool NQOVOpenFileEx(TNQOVArchive* ha, const char* szFileName, uint32_t dwSearchScope, TNQOVFile** phFile,
                    uint64_t qwNameHash = 0);
bool SFileReadFile(TNQOVFile* hf, void* pvBuffer, uint32_t dwToRead, uint32_t* pdwRead, bool bCheckPieces);
uint32_t SFileGetFileSize(TNQOVFile* hf);
uint32_t SFileSetFilePointer(TNQOVFile* hf, int32_t lDistance, uint32_t dwMoveMethod);
bool SFileGetFileName(TNQOVFile* hf);
bool SFileCloseFile(TNQOVFile* hf);
bool SFileExtractFile(TNQOVArchive* ha, const char* szToExtract, const char* szExtracted);
uint32_t VerifyFile(TNQOVArchive* ha, const char* szFileName);
// VerifyFile for several files: their contents are read a block at a time
// and hashed together, several files at once.  bCheckPieces false reads
// without checking the pieces under each read (for files whose pieces were
// just verified).  pdwResults receives each file's VerifyFile flags.  False
// only for a bad request (ERROR_INVALID_PARAMETER, nothing read).
bool VerifyFiles(TNQOVArchive* ha, const char* const* pszFileNames, uint32_t dwCount, uint32_t* pdwResults,
                 bool bCheckPieces);

// The same by file id (SFileBuildFileIdTable): the record the id stands for,
// in whichever archive of the chain holds it.
bool NQOVOpenFileEx(TNQOVArchive* ha, uint32_t dwFileId, TNQOVFile** phFile);
bool SFileExtractFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* ha, const char* szExtracted);
uint32_t VerifyFileFromFileIdTable(uint32_t dwFileId, TNQOVArchive* ha);
bool SFileVerifyFilePieceMD5FromFileTable(TNQOVArchive* ha, uint32_t dwFileId);

// Reads a record's content from *pdwPosition without an open handle, and
// advances *pdwPosition by the bytes read.  Not for single-unit records
// (ERROR_NOT_SUPPORTED).  Fewer bytes than asked: false, ERROR_HANDLE_EOF.
bool SFileReadFileFromEntry(TFileEntry* pFileEntry, void* pvBuffer, uint32_t* pdwPosition, uint32_t dwToRead,
                            uint32_t* pdwRead, bool bCheckPieces);

//-----------------------------------------------------------------------------
// Writing files and the list file.

bool SFileCreateFile(TNQOVArchive* ha, const char* szArchieveName, uint32_t dwFileSize, TNQOVFile** phFile);
// SFileCreateFile with the file's flags: any of NQOV_FILE_COMPRESS,
// NQOV_FILE_ENCRYPTED, NQOV_FILE_FIX_KEY, NQOV_FILE_SECTOR_CRC,
// NQOV_FILE_SINGLE_UNIT, NQOV_FILE_FLAG_20 and NQOV_FILE_FLAG_30 (others: 87).
// Files under 4 bytes are stored without encryption, files under 32 bytes
// also without compression and checksums.
bool SFileCreateFileEx(TNQOVArchive* ha, const char* szArchieveName, uint32_t dwFileSize, uint32_t dwFlags,
                       TNQOVFile** phFile);
#define NQOV_FILE_WRITABLE_FLAGS                                                           \
    (NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY | NQOV_FILE_SECTOR_CRC | \
     NQOV_FILE_SINGLE_UNIT | NQOV_FILE_FLAG_20 | NQOV_FILE_FLAG_30)
bool SFileWriteFile(TNQOVFile* hf, const void* pvData, uint32_t dwSize);
bool SFileFinishFile(TNQOVFile* hf);
bool SFileAddFileEx(TNQOVArchive* ha, const char* szFileName, const char* szArchivedName);
int SFileAddListFile(TNQOVArchive* ha);
int SortTable(TNQOVArchive* ha);

//-----------------------------------------------------------------------------
// Compressed blocks.

bool CompressBlock(const void* pbInput, void* pbOutBuffer, uint32_t* pcbOutBuffer, uint32_t cbInput,
                   int32_t nLevel);
bool DecompressBlock(void* pbOutBuffer, uint32_t* pcbOutBuffer, const void* pbInput, uint32_t cbInput);

//-----------------------------------------------------------------------------
// File streams.

TFileStream* FileStream_MakeNew(const char* szFileName);
TFileStream* FileStream_OpenFile(const char* szFileName, bool bWrite);
bool FileStream_Read(TFileStream* pStream, uint64_t* pPosition, void* pvBuffer, uint32_t dwLength);
bool FileStream_Write(TFileStream* pStream, uint64_t* pPosition, const void* pvBuffer, uint32_t dwLength);
bool FileStream_SizeOf(TFileStream* pStream, uint64_t* pSize);
bool FileStream_SetSize(TFileStream* pStream, uint64_t qwSize);
void FileStream_Free(TFileStream* pStream);

//-----------------------------------------------------------------------------
// MD5 kernels.  Where many pieces are hashed, the library hashes up to 16 of
// them at once in the lanes of SIMD registers.  The kernel is one choice for
// the whole process: QOV_MD5_AUTO (the default) takes the fastest one the
// processor and the operating system support; the others force one, for
// tests and benchmarks.  Every kernel gives the same digests.

enum QOV_MD5_KERNEL { QOV_MD5_AUTO = 0, QOV_MD5_SCALAR = 1, QOV_MD5_AVX2 = 2, QOV_MD5_AVX512 = 3 };

// Sets the process's kernel.  Fails with ERROR_NOT_SUPPORTED when this
// machine cannot run it, with ERROR_INVALID_PARAMETER for an unknown value.
// Hashing already under way keeps the kernel it started with.
bool QOVSetMD5Kernel(int nKernel);
// The kernel in use: QOV_MD5_SCALAR, QOV_MD5_AVX2 or QOV_MD5_AVX512.
int QOVGetMD5Kernel();
// Whether this machine can run the kernel (AUTO and SCALAR: always).
bool QOVMD5KernelSupported(int nKernel);

// One message of QOVMD5Batch.
struct QOV_MD5_MESSAGE {
    const void* pvData;
    size_t cbData;
    uint8_t* pbDigest;  // receives the message's 16-byte MD5
};

// Hashes independent messages on the calling thread with the process's
// kernel, up to 16 at once: a lane whose message ends takes the next one
// while the others go on.  Threads may call it at the same time; each call
// has lanes of its own.  Fails with ERROR_INVALID_PARAMETER when a message
// has no digest buffer or no data but a length (nothing is hashed then).
bool QOVMD5Batch(const QOV_MD5_MESSAGE* pMessages, size_t nMessages);

#endif  // NQOV_QOVLIB_H
