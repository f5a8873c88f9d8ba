// QOVArchiveIface.cpp - open archives as a host sees them through virtual
// dispatch.  Most operations wrap the flat functions and add addressing by
// file id and lookups over a chain of patch archives.

#include "iface/QOVIface.h"

#include "verify/QOVVerify.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>

namespace {

const uint32_t kClearBlock = 64 * 1024;

std::atomic<QOV_CLEAR_PROGRESS> g_clearHook{nullptr};
std::atomic<void*> g_clearHookContext{nullptr};

bool SameFileName(const char* a, const char* b) {
    return a != nullptr && b != nullptr && QOVCompareNoCase(a, b) == 0;
}

// The sector offset table's place: for a compressed record (with sectors)
// the table without its checksum entry, else nothing.
bool SectorTableRange(TFileEntryImpl* entry, uint64_t* pqwPosition, uint64_t* pqwSize) {
    if (entry == nullptr || pqwPosition == nullptr || pqwSize == nullptr) return false;
    *pqwPosition = *pqwSize = 0;
    if (!entry->HasSectorTable() || entry->dwFileSize == 0) return true;
    *pqwPosition = entry->ha->HeaderOffset + entry->StoredOffset;
    *pqwSize = (static_cast<uint64_t>(SectorCount(entry->dwFileSize, entry->ha->dwSectorBytes)) + 1) * 4;
    return true;
}

void PrintDigest(const char* label, const uint8_t digest[16]) {
    char hex[33];
    for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02X", digest[i]);
    printf("%s:%s\n", label, hex);
}

}  // namespace

void QOVSetClearProgressHook(QOV_CLEAR_PROGRESS pfnHook, void* pvContext) {
    g_clearHookContext.store(pvContext);
    g_clearHook.store(pfnHook);
}

//-----------------------------------------------------------------------------
// Archives: ranges and digests.

bool TNQOVArchiveImpl::GetSectorTableRange(uint32_t dwFileId, uint64_t* pqwPosition, uint64_t* pqwSize) {
    return SectorTableRange(FileIdRecord(this, dwFileId), pqwPosition, pqwSize);
}

bool TNQOVArchiveImpl::GetSectorTableRangeByName(const char* szName, uint64_t* pqwPosition,
                                                 uint64_t* pqwSize) {
    if (szName == nullptr) return false;
    return QOVEnter(QOV_HERE, false,
                    [&] { return SectorTableRange(FindRecordByName(this, szName), pqwPosition, pqwSize); });
}

bool TNQOVArchiveImpl::GetFileDataRange(uint32_t dwFileId, uint64_t qwOffset, uint64_t qwLength,
                                        uint64_t* pqwPosition, uint64_t* pqwSize) {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
        if (entry == nullptr || pqwPosition == nullptr || pqwSize == nullptr) return false;
        if (qwOffset >= entry->dwFileSize) return false;
        const uint64_t length = std::min<uint64_t>(qwLength, entry->dwFileSize - qwOffset);
        const uint64_t start = entry->ha->HeaderOffset + entry->StoredOffset;
        if (!(entry->dwFlags & NQOV_FILE_COMPRESSED)) {
            *pqwPosition = start + qwOffset;
            *pqwSize = length;
            return true;
        }
        if (entry->dwFlags & NQOV_FILE_SINGLE_UNIT) {
            // One block: any byte of the content needs all of it.
            *pqwPosition = start;
            *pqwSize = entry->dwStoredSize;
            return true;
        }
        const uint32_t error = LoadRecordSectorOffsets(entry);
        QOV_FAIL_IF(error != ERROR_SUCCESS, "the sector offset table cannot be read", error, false);
        const uint32_t sectorBytes = entry->ha->dwSectorBytes;
        const uint32_t first = static_cast<uint32_t>(qwOffset / sectorBytes);
        const uint32_t last =
            static_cast<uint32_t>((qwOffset + std::max<uint64_t>(length, 1) - 1) / sectorBytes);
        *pqwPosition = start + entry->SectorOffsets[first];
        *pqwSize = length == 0 ? 0 : entry->SectorOffsets[last + 1] - entry->SectorOffsets[first];
        return true;
    });
}

const uint8_t* TNQOVArchiveImpl::GetHetTableMD5() { return Header.MD5_HetTable; }
const uint8_t* TNQOVArchiveImpl::GetBetTableMD5() { return Header.MD5_BetTable; }
const uint8_t* TNQOVArchiveImpl::GetHeaderMD5() { return Header.MD5_QOVHeader; }

//-----------------------------------------------------------------------------
// Archives: names, ids and records.

const char* TNQOVArchiveImpl::GetFileName(uint32_t dwFileId) {
    TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
    return entry != nullptr ? entry->GetFileName() : kNoName;
}

bool TNQOVArchiveImpl::RebuildHashTable() {
    return QOVEnter(QOV_HERE, false, [&] { return ::RebuildHashTable(this); });
}

uint32_t TNQOVArchiveImpl::GetFileId(const char* szName) {
    return QOVEnter(QOV_HERE, NQOV_INVALID_FILE_ID, [&]() -> uint32_t {
        if (szName == nullptr || *szName == 0) return NQOV_INVALID_FILE_ID;
        TFileEntryImpl* entry = FindRecordByName(this, szName);
        if (entry == nullptr || (entry->dwFlags & NQOV_FILE_FLAG_30)) return NQOV_INVALID_FILE_ID;
        if (entry->bNamePending && !entry->HasRealName() && !IsPseudoFileName(szName, nullptr) &&
            !(entry->dwFlags & NQOV_FILE_DELETE_MARKER))
            SetRecordName(entry, szName);
        return entry->dwFileId;
    });
}

uint32_t TNQOVArchiveImpl::GetFileCount() { return pChainOwner->dwFileIdCount; }
TFileEntry* TNQOVArchiveImpl::GetFileEntry(uint32_t dwFileId) { return FileIdRecord(this, dwFileId); }

TFileEntry* TNQOVArchiveImpl::RecordByName(const char* szName) {
    if (szName == nullptr) return nullptr;
    return QOVEnter<TFileEntry*>(QOV_HERE, nullptr, [&] { return FindRecordByName(this, szName); });
}

TFileEntry* TNQOVArchiveImpl::RecordByHash(uint64_t qwNameHash) {
    return QOVEnter<TFileEntry*>(QOV_HERE, nullptr, [&] { return FindRecordByHash(this, qwNameHash); });
}

TNQOVArchive* TNQOVArchiveImpl::GetArchiveOfFile(uint32_t dwFileId) {
    TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
    return entry != nullptr ? entry->ha : nullptr;
}

TNQOVArchive* TNQOVArchiveImpl::FindArchiveOfName(const char* szName) {
    if (szName == nullptr) return nullptr;
    return QOVEnter<TNQOVArchive*>(QOV_HERE, nullptr, [&] { return ::FindArchiveOfName(this, szName); });
}

bool TNQOVArchiveImpl::IsFile(uint32_t dwFileId) {
    const TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
    return entry != nullptr && entry->Exists() && !entry->IsDirectory();
}

bool TNQOVArchiveImpl::IsFile(const char* szName) {
    const TFileEntryImpl* entry = static_cast<const TFileEntryImpl*>(Impl(RecordByName(szName)));
    return entry != nullptr && entry->Exists() && !entry->IsDirectory();
}

bool TNQOVArchiveImpl::IsDirectory(uint32_t dwFileId) {
    const TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
    return entry != nullptr && entry->IsDirectory();
}

bool TNQOVArchiveImpl::IsDirectory(const char* szName) {
    const TFileEntryImpl* entry = static_cast<const TFileEntryImpl*>(Impl(RecordByName(szName)));
    return entry != nullptr && entry->IsDirectory();
}

bool TNQOVArchiveImpl::HasFileId(uint32_t dwFileId) { return FileIdRecord(this, dwFileId) != nullptr; }
bool TNQOVArchiveImpl::HasFile(const char* szName) { return RecordByName(szName) != nullptr; }
uint32_t TNQOVArchiveImpl::IsFlag30ById(uint32_t dwFileId) { return Flag30Of(FileIdRecord(this, dwFileId)); }

uint32_t TNQOVArchiveImpl::IsFlag30OfFile(TNQOVFile* hf) {
    return IsValidFile(Impl(hf)) ? Flag30Of(Impl(hf)->pFileEntry) : NQOV_FLAG30_NO_RECORD;
}

//-----------------------------------------------------------------------------
// Archives: the chain.

TFileStream* TNQOVArchiveImpl::GetStream() { return pStream.get(); }
const char* TNQOVArchiveImpl::GetArchiveFileName() { return pStream->szFileName; }

TNQOVArchive* TNQOVArchiveImpl::FindArchiveByFileName(const char* szArchiveFileName) {
    for (TNQOVArchiveImpl* archive : pChainOwner->Chain)
        if (SameFileName(archive->pStream->szFileName, szArchiveFileName)) return archive;
    return nullptr;
}

TFileStream* TNQOVArchiveImpl::FindStreamByArchiveName(const char* szArchiveFileName) {
    TNQOVArchive* archive = FindArchiveByFileName(szArchiveFileName);
    return archive != nullptr ? Impl(archive)->pStream.get() : nullptr;
}

uint64_t TNQOVArchiveImpl::GetArchiveFileSize(const char* szArchiveFileName) {
    TFileStream* stream = FindStreamByArchiveName(szArchiveFileName);
    return stream != nullptr ? stream->GetSize() : 0;
}

uint32_t TNQOVArchiveImpl::GetArchiveCount() { return static_cast<uint32_t>(pChainOwner->Chain.size()); }

bool TNQOVArchiveImpl::GetArchiveTableSize(uint32_t* pdwSizes, uint32_t dwCount) {
    const std::vector<TNQOVArchiveImpl*>& chain = pChainOwner->Chain;
    if (pdwSizes == nullptr || dwCount != chain.size()) {
        QOV_LOG_ERROR("v.size() != ArraySize ", ERROR_INVALID_PARAMETER);
        return false;
    }
    for (size_t i = 0; i < chain.size(); i++) pdwSizes[i] = chain[i]->dwMaxFileCount;
    return true;
}

bool TNQOVArchiveImpl::OpenPatchArchive(const char* szPatchFile, uint32_t dwFlags) {
    return SFileOpenPatchArchive(szPatchFile, this, dwFlags);
}

uint32_t TNQOVArchiveImpl::GetOpenParameter() { return dwOpenParameter; }
const uint8_t* TNQOVArchiveImpl::GetCurrentTag() { return ChainTag(pChainOwner); }

void TNQOVArchiveImpl::SetPatchBaseTag(const uint8_t tag[16]) {
    if (tag != nullptr) memcpy(Header.MD5_PatchBaseTag, tag, 16);
}

bool TNQOVArchiveImpl::CompareTag(const uint8_t* pbTagA, const uint8_t* pbTagB) {
    return pbTagA != nullptr && pbTagB != nullptr && memcmp(pbTagA, pbTagB, 16) == 0;
}

uint32_t TNQOVArchiveImpl::GetLastError() { return QOVGetLastError(); }

//-----------------------------------------------------------------------------
// Archives: files.

bool TNQOVArchiveImpl::ReadFileById(uint32_t dwFileId, uint32_t dwOffset, void* pvBuffer, uint32_t dwLength,
                                    uint32_t* pdwRead) {
    if (pdwRead != nullptr) *pdwRead = 0;
    const TFileEntryImpl* entry = FileIdRecord(this, dwFileId);
    QOV_FAIL_IF(entry == nullptr || entry->IsDirectory(), "no file with this id", ERROR_ACCESS_DENIED, false);
    // Through a handle, so that single-unit files read as well.
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(this, dwFileId, &hf)) return false;
    Impl(hf)->dwPosition = dwOffset;
    const bool ok = SFileReadFile(hf, pvBuffer, dwLength, pdwRead, false);
    const uint32_t error = QOVGetLastError();
    SFileCloseFile(hf);
    if (!ok) QOVSetLastError(error);
    return ok;
}

TNQOVFile* TNQOVArchiveImpl::OpenFile(uint32_t dwFileId) {
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(this, dwFileId, &hf)) {
        QOV_LOG_ERROR("the file cannot be opened", QOVGetLastError());
        return nullptr;
    }
    return hf;
}

TNQOVFile* TNQOVArchiveImpl::OpenFile_i(const char* szName) {
    TNQOVFile* hf = nullptr;
    return NQOVOpenFileEx(this, szName, QOV_OPEN_PATCHED, &hf) ? hf : nullptr;
}

bool TNQOVArchiveImpl::CloseFile(TNQOVFile* hf) {
    QOV_FAIL_IF(!IsValidFile(Impl(hf)), "invalid file handle", ERROR_INVALID_HANDLE, false);
    return SFileCloseFile(hf);
}

bool TNQOVArchiveImpl::ReadPieceVerified(uint32_t dwIndex, void* pvBuffer, uint32_t dwLength) {
    return SFileReadPieceVerified(this, dwIndex, pvBuffer, dwLength);
}

bool TNQOVArchiveImpl::WritePieceVerified(uint32_t dwIndex, const void* pvData, uint32_t dwLength) {
    return SFileWritePieceVerified(this, dwIndex, pvData, dwLength);
}

bool TNQOVArchiveImpl::ExtractFileById(uint32_t dwFileId, const char* szDestination) {
    return SFileExtractFileFromFileIdTable(dwFileId, this, szDestination);
}

bool TNQOVArchiveImpl::ExtractFile(const char* szName, const char* szDestination) {
    return SFileExtractFile(this, szName, szDestination);
}

bool TNQOVArchiveImpl::PathToPieceIndex(const char* szName, uint32_t* pdwFirst, uint32_t* pdwCount) {
    return SFilePathToPieceIndex(this, szName, pdwFirst, pdwCount);
}

bool TNQOVArchiveImpl::IsFileValidById(uint32_t dwFileId) {
    return VerifyFileFromFileIdTable(dwFileId, this) == VERIFY_MD5_PRESENT;
}

bool TNQOVArchiveImpl::IsFileValid(const char* szName) {
    return VerifyFile(this, szName) == VERIFY_MD5_PRESENT;
}

bool TNQOVArchiveImpl::VerifyFilePiecesById(uint32_t dwFileId) {
    return SFileVerifyFilePieceMD5FromFileTable(this, dwFileId);
}

bool TNQOVArchiveImpl::VerifyFilePieces(const char* szName) { return SFileVerifyFilePieceMD5(this, szName); }

// Asking whether a directory or a missing file is ready is answered "no"
// rather than stopping the program.
bool TNQOVArchiveImpl::IsFileReady(uint32_t dwFileId) {
    return IsFile(dwFileId) && SFileVerifyFilePieceMD5FromFileTable(this, dwFileId);
}

bool TNQOVArchiveImpl::IsFileReady(const char* szName) {
    return IsFile(szName) && SFileVerifyFilePieceMD5(this, szName);
}

bool TNQOVArchiveImpl::AddFile(const char* szLocalFile, const char* szArchivedName) {
    // Only the writer adds files.
    const TArchiveWriter* writer = QOVWriter();
    if (writer == nullptr) QOVSetLastError(ERROR_NOT_SUPPORTED);
    const bool ok = writer != nullptr && writer->AddFile(this, szLocalFile, szArchivedName);
    dwAddFileError = ok ? ERROR_SUCCESS : QOVGetLastError();
    return ok;
}

//-----------------------------------------------------------------------------
// Archives: listers.

TNQOVDirWalker* TNQOVArchiveImpl::CreateDirWalker() { return QOVNew<TNQOVDirWalkerImpl>(this).release(); }

void TNQOVArchiveImpl::ReleaseDirWalker(TNQOVDirWalker* pWalker) { delete pWalker; }

TNQOVDirWalkerById* TNQOVArchiveImpl::CreateDirWalkerById() {
    // Without file ids there is nothing to list by id.
    if (pChainOwner->dwFileIdCount == 0) return nullptr;
    return QOVNew<TNQOVDirWalkerByIdImpl>(this).release();
}

void TNQOVArchiveImpl::ReleaseDirWalkerById(TNQOVDirWalkerById* pWalker) { delete pWalker; }

//-----------------------------------------------------------------------------
// Archives: the piece-state map.

bool TNQOVArchiveImpl::GetBitmapInfo(uint8_t** ppBitmap, uint32_t* pdwPieceCount, uint32_t* pdwPieceSize,
                                     uint32_t* pdwLastPieceSize, bool* pbValid) {
    if (ppBitmap == nullptr || pdwPieceCount == nullptr || pdwPieceSize == nullptr ||
        pdwLastPieceSize == nullptr || pbValid == nullptr)
        return false;
    uint32_t mapSize = 0;
    uint8_t* map = SFileGetBitmap(this, &mapSize);
    if (map == nullptr || mapSize == 0) {
        QOV_LOG_ERROR("NULL == pBitMap || 0 == dwTotalCount", QOVGetLastError());
        return false;
    }
    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    if (!SFileGetPieceCount(this, &lastPieceSize, &pieceCount, &pieceSize) || pieceCount == 0 ||
        pieceSize == 0) {
        QOV_LOG_ERROR("!SFileGetPieceCount|| 0 == dwTotalCount || 0 == dwBitSize", QOVGetLastError());
        return false;
    }
    *ppBitmap = map;
    *pdwPieceCount = pieceCount;
    *pdwPieceSize = pieceSize;
    *pdwLastPieceSize = lastPieceSize;
    *pbValid = true;
    return true;
}

bool TNQOVArchiveImpl::WriteBitmap() { return SFileWriteBitmap(this); }

bool TNQOVArchiveImpl::WriteAllBitmaps() {
    for (TNQOVArchiveImpl* archive : pChainOwner->Chain)
        if (!SFileWriteBitmap(archive)) return false;
    return true;
}

bool TNQOVArchiveImpl::InitBitMapByFileMapping(bool bWritable) {
    for (TNQOVArchiveImpl* archive : pChainOwner->Chain)
        if (!archive->InitBitMapByFileMapping_i(bWritable)) return false;
    return true;
}

//-----------------------------------------------------------------------------
// Archives: emptying and dumping.

void TNQOVArchiveImpl::Clear() {
    QOVEnter(QOV_HERE, 0, [&]() -> int {
        // The list file's stored bytes (with their chunk digests) are kept.
        uint64_t keepStart = 0, keepEnd = 0;
        // This archive's own record, never a patch's (the merged index would
        // answer with the newest list file of the chain).
        TFileEntryImpl* list = ::RecordByName(this, NQOV_LISTFILE_NAME);
        if (list != nullptr && list->Exists()) {
            keepStart = HeaderOffset + list->StoredOffset;
            keepEnd = keepStart + list->dwStoredSize + ChunkDigestBytes(this, list->dwStoredSize);
        }

        // The data area: from the end of the header to the first table.
        uint64_t tables = UINT64_MAX;
        if (Header.HetTablePos64 != 0) tables = std::min(tables, Header.HetTablePos64);
        if (Header.BetTablePos64 != 0) tables = std::min(tables, Header.BetTablePos64);
        const uint64_t from = HeaderOffset + NQOV_HEADER_SIZE;
        const uint64_t to = tables == UINT64_MAX ? from : HeaderOffset + tables;
        const bool writable = (pStream->dwFlags & STREAM_FLAG_READ_ONLY) == 0;
        static const uint8_t zeros[kClearBlock] = {};
        for (uint64_t position = from; writable && position < to;) {
            uint64_t end = std::min<uint64_t>(position + kClearBlock, to);
            if (keepStart < keepEnd && position < keepEnd && end > keepStart) {
                if (position >= keepStart) {  // inside the list file: skip it
                    position = keepEnd;
                    continue;
                }
                end = keepStart;  // up to the list file
            }
            WriteArchiveBytes(this, position, zeros, static_cast<uint32_t>(end - position));
            if (QOV_CLEAR_PROGRESS hook = g_clearHook.load()) hook(position, g_clearHookContext.load());
            position = end;
        }

        g_clearHook.store(nullptr);
        g_clearHookContext.store(nullptr);
        // A map mapped read-only cannot take the zeros: it becomes a heap copy.
        if (StateMap.IsReadOnlyView()) StateMap.CopyBeforeChange();
        uint32_t mapSize = 0;
        if (SFileGetBitmap(this, &mapSize) != nullptr) StateMap.ClearStates();
        return 0;
    });
}

bool TNQOVArchiveImpl::DumpHeader() {
    return QOVEnter(QOV_HERE, false, [&]() -> bool {
        const TQOVHeader& h = Header;
        printf("Header\n");
        printf("MAX_FILE:%u\n", dwMaxFileCount);
        printf("HeaderSize:%u\n", h.HeaderSize);
        printf("wFormatVersion:%u\n", h.wFormatVersion);
        printf("ArchieveSize:%" PRIu64 "\n", h.ArchieveSize);
        printf("wSectorSize:(512*2^%u)\n", h.wSectorSize);
        printf("HetTablePos64:%" PRIu64 "\n", h.HetTablePos64);
        printf("HetTableSize64:%" PRIu64 "\n", h.HetTableSize64);
        printf("BetTablePos64:%" PRIu64 "\n", h.BetTablePos64);
        printf("BetTableSize64:%" PRIu64 "\n", h.BetTableSize64);
        printf("MD5TablePos64:%" PRIu64 "\n", h.MD5TablePos64);
        printf("MD5TableSize64:%" PRIu64 "\n", h.MD5TableSize64);
        printf("BitmapPos64:%" PRIu64 "\n", h.BitmapPos64);
        printf("BitmapSize64:%" PRIu64 "\n", h.BitmapSize64);
        printf("dwMD5PieceSize:%u\n", h.dwMD5PieceSize);
        printf("dwRawChunkSize:%u\n", h.dwRawChunkSize);
        PrintDigest("MD5_BetTable", h.MD5_BetTable);
        PrintDigest("MD5_HetTable", h.MD5_HetTable);
        PrintDigest("MD5_QOVHeader", h.MD5_QOVHeader);
        PrintDigest("MD5_PatchBaseTag", h.MD5_PatchBaseTag);
        PrintDigest("MD5_PatchedTag", h.MD5_PatchedTag);
        for (uint32_t i = 0; i < dwFileTableSize && i < dwMaxFileCount; i++) {
            TFileEntryImpl& entry = Records[i];
            if (!entry.Exists()) continue;
            const char* name = GetRecordName(&entry);
            QOV_FAIL_IF(name == nullptr, "no memory for the pseudo name", ERROR_NOT_ENOUGH_MEMORY, false);
            char md5[33];
            for (int b = 0; b < 16; b++) snprintf(md5 + 2 * b, 3, "%02X", entry.ContentMD5[b]);
            printf("isdir[%d]FileName[%s] size[%u] compSize[%u] name_hash[%" PRIu64
                   "] md5[%s] offset %" PRIu64 "\n",
                   entry.IsDirectory() ? 1 : 0, name, entry.dwFileSize, entry.dwStoredSize, entry.NameHash64,
                   md5, HeaderOffset + entry.StoredOffset);
        }
        fflush(stdout);
        return true;
    });
}

//-----------------------------------------------------------------------------
// Archives: operations not offered.

bool TNQOVArchiveImpl::NotSupported37() {
    QOV_UNSUPPORTED();
    return false;
}
bool TNQOVArchiveImpl::NotSupported38(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
    QOV_UNSUPPORTED();
    return false;
}
const char* TNQOVArchiveImpl::NotSupported60() {
    QOV_UNSUPPORTED();
    return "";
}
bool TNQOVArchiveImpl::NotSupported62() { return false; }
