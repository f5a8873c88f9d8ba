// QOVPieceStateMap.cpp - the piece-state map: one state byte per piece,
// read from the archive file or mapped from it, and written back.

#include "verify/QOVVerify.h"

// A map file-mapped from the old layout cannot follow a change of the
// archive (new data and tables are written over and past it, and the file is
// cut): keep a heap copy of its bytes instead.  Called before the first write
// of a change, so that the copy is taken while the mapped bytes are intact.
void DetachMappedBitmap(TNQOVArchiveImpl* ha) {
    if (ha->BitmapMapping.pvView == nullptr) return;
    std::unique_ptr<uint8_t[]> copy = QOVAllocArray<uint8_t>(ha->dwBitmapSize);
    if (copy && ha->pBitmap != nullptr) memcpy(copy.get(), ha->pBitmap, ha->dwBitmapSize);
    FileStream_UnmapView(&ha->BitmapMapping);
    ha->BitmapHeap = std::move(copy);
    ha->pBitmap = ha->BitmapHeap.get();
    if (ha->pBitmap == nullptr) ha->dwBitmapSize = 0;
    ha->bMapWritable = true;
}

bool HasWritableMap(const TNQOVArchiveImpl* ha) { return ha->pBitmap != nullptr && ha->bMapWritable; }

void SetPieceState(TNQOVArchiveImpl* ha, uint32_t dwIndex, uint8_t state) {
    if (HasWritableMap(ha) && dwIndex < ha->dwBitmapSize) ha->pBitmap[dwIndex] = state;
}

void SetPieceStateFor(TNQOVArchiveImpl* ha, uint32_t index, bool good) {
    SetPieceState(ha, index, good ? NQOV_PIECE_GOOD : NQOV_PIECE_BAD);
}

// Whether the map may be written where the header puts it: not inside the
// pieces (they hold the header, the files and the tables) nor over the MD5
// piece table.  A damaged header can place it there, and writing it would
// then destroy what it lies on.
namespace {
bool MapLiesOutsideThePieces(const TNQOVArchiveImpl* ha, uint32_t size) {
    const TQOVHeader& h = ha->Header;
    uint64_t end = 0, tableEnd = 0;
    if (h.BitmapPos64 < h.ArchieveSize || !CheckedAdd64(h.BitmapPos64, size, &end)) return false;
    if (!CheckedAdd64(h.MD5TablePos64, h.MD5TableSize64, &tableEnd)) tableEnd = UINT64_MAX;
    return end <= h.MD5TablePos64 || h.BitmapPos64 >= tableEnd;
}
}  // namespace

uint8_t* SFileGetBitmap(TNQOVArchive* haIn, uint32_t* pdwSize) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    if (pdwSize != nullptr) *pdwSize = 0;
    QOV_FAIL_IF(!IsValidArchive(ha), "invalid handle!", ERROR_INVALID_HANDLE, nullptr);
    if (ha->pBitmap != nullptr) {
        if (pdwSize != nullptr) *pdwSize = ha->dwBitmapSize;
        return ha->pBitmap;
    }
    const TQOVHeader& header = ha->Header;
    if (header.BitmapPos64 == 0 || header.BitmapSize64 == 0) {
        QOV_LOG_ERROR("ha->pHeader->BitmapPos64 == 0 || ha->pHeader->BitmapSize64 == 0!", 0);
        return nullptr;
    }
    const uint32_t size = static_cast<uint32_t>(header.BitmapSize64);
    uint64_t fileSize = 0, end = 0;
    if (!FileStream_SizeOf(ha->pStream.get(), &fileSize)) return nullptr;
    QOV_FAIL_IF(!CheckedAdd64(header.BitmapPos64, size, &end) || end > fileSize,
                "FileStream_Read failed!", ERROR_FILE_CORRUPT, nullptr);
    std::unique_ptr<uint8_t[]> map = QOVAllocArray<uint8_t>(size);
    QOV_FAIL_IF(!map, "QOV_ALLOC ha->bitmap failed!", ERROR_NOT_ENOUGH_MEMORY, nullptr);
    uint64_t position = header.BitmapPos64;
    if (!FileStream_Read(ha->pStream.get(), &position, map.get(), size)) {
        QOV_LOG_ERROR("FileStream_Read failed!", QOVGetLastError());
        return nullptr;
    }
    ha->BitmapHeap = std::move(map);
    ha->pBitmap = ha->BitmapHeap.get();
    ha->dwBitmapSize = size;
    if (pdwSize != nullptr) *pdwSize = size;
    return ha->pBitmap;
}

bool SFileWriteBitmap(TNQOVArchive* haIn) {
    TNQOVArchiveImpl* ha = Impl(haIn);
    QOV_LOG_ENTRY();
    QOV_FAIL_IF(!IsValidArchive(ha), "!IsValidQOVHandle", ERROR_INVALID_HANDLE, false);
    if (ha->pBitmap == nullptr || ha->dwBitmapSize == 0) return true;
    QOV_FAIL_IF(!MapLiesOutsideThePieces(ha, ha->dwBitmapSize), "the map lies inside the pieces",
                ERROR_FILE_CORRUPT, false);
    const uint32_t error = WriteArchiveBytes(ha, ha->Header.BitmapPos64, ha->pBitmap, ha->dwBitmapSize);
    QOV_FAIL_IF(error != ERROR_SUCCESS, "!FileStream_Write", error, false);
    return true;
}

//-----------------------------------------------------------------------------
// The piece-state map straight from the file.

bool TNQOVArchiveImpl::InitBitMapByFileMapping_i(bool bWritable) {
    if (BitmapMapping.pvView != nullptr) {
        QOV_LOG_ERROR("m_file_map_handle != null ", ERROR_ALREADY_EXISTS);
        return false;
    }
    const uint64_t position = Header.BitmapPos64;
    const uint32_t size = static_cast<uint32_t>(Header.BitmapSize64);
    uint64_t fileSize = 0, end = 0;
    if (position == 0 || size == 0 || !FileStream_SizeOf(pStream.get(), &fileSize) ||
        !CheckedAdd64(position, size, &end) || end > fileSize ||
        (bWritable && !MapLiesOutsideThePieces(this, size))) {
        QOV_LOG_ERROR("CreateFileMappingW failed! ", ERROR_FILE_CORRUPT);
        QOVSetLastError(ERROR_FILE_CORRUPT);
        return false;
    }
    const uint32_t granularity = FileStream_AllocationGranularity();
    const uint64_t aligned = position / granularity * granularity;
    TFileMapping mapping;
    if (!FileStream_MapView(pStream.get(), aligned, bWritable, &mapping)) {
        QOV_LOG_ERROR("MapViewOfFile failed! ", QOVGetLastError());
        return false;
    }
    BitmapHeap.reset();
    BitmapMapping = mapping;
    pBitmap = static_cast<uint8_t*>(mapping.pvView) + (position - aligned);
    dwBitmapSize = size;
    bMapWritable = bWritable;
    return true;
}
