// QOVPieceStateMap.cpp - the piece-state map: TPieceStateMap, which owns its
// states on the heap or in a view of the archive file, and the operations
// that load, map and write back an archive's map.

#include "verify/QOVVerify.h"

#include <cstring>

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

//-----------------------------------------------------------------------------
// TPieceStateMap.

TPieceStateMap::~TPieceStateMap() { Unmap(); }

void TPieceStateMap::Unmap() {
    if (m_mapping.pvView != nullptr) FileStream_UnmapView(&m_mapping);
}

void TPieceStateMap::Record(uint32_t dwIndex, uint8_t state) {
    if (IsRecordable() && dwIndex < m_dwSize) m_pbStates[dwIndex] = state;
}

bool TPieceStateMap::Load(TFileStreamImpl* pStream, uint64_t qwPosition, uint32_t dwSize) {
    std::unique_ptr<uint8_t[]> states = QOVAllocArray<uint8_t>(dwSize);
    QOV_FAIL_IF(!states, "no memory for the piece-state map", ERROR_NOT_ENOUGH_MEMORY, false);
    uint64_t position = qwPosition;
    if (!FileStream_Read(pStream, &position, states.get(), dwSize)) {
        QOV_LOG_ERROR("the piece-state map could not be read", QOVGetLastError());
        return false;
    }
    Unmap();
    m_pbHeap = std::move(states);
    m_pbStates = m_pbHeap.get();
    m_dwSize = dwSize;
    m_bWritable = true;
    return true;
}

bool TPieceStateMap::Map(TFileStreamImpl* pStream, uint64_t qwPosition, uint32_t dwSize, bool bWritable) {
    // Views start at a multiple of the allocation granularity.
    const uint32_t granularity = FileStream_AllocationGranularity();
    const uint64_t aligned = qwPosition / granularity * granularity;
    TFileMapping mapping;
    if (!FileStream_MapView(pStream, aligned, bWritable, &mapping)) {
        QOV_LOG_ERROR("the piece-state map could not be mapped", QOVGetLastError());
        return false;
    }
    Unmap();
    m_pbHeap.reset();
    m_mapping = mapping;
    m_pbStates = static_cast<uint8_t*>(mapping.pvView) + (qwPosition - aligned);
    m_dwSize = dwSize;
    m_bWritable = bWritable;
    return true;
}

bool TPieceStateMap::Renew(uint32_t dwCount, uint8_t state) {
    if (m_pbStates != nullptr && m_dwSize == dwCount) return true;
    std::unique_ptr<uint8_t[]> states = QOVAllocArray<uint8_t>(dwCount);
    if (!states) return false;
    memset(states.get(), state, dwCount);
    Unmap();
    m_pbHeap = std::move(states);
    m_pbStates = m_pbHeap.get();
    m_dwSize = dwCount;
    m_bWritable = true;
    return true;
}

void TPieceStateMap::CopyBeforeChange() {
    if (!IsMapped()) return;
    std::unique_ptr<uint8_t[]> copy = QOVAllocArray<uint8_t>(m_dwSize);
    if (copy && m_pbStates != nullptr) memcpy(copy.get(), m_pbStates, m_dwSize);
    Unmap();
    m_pbHeap = std::move(copy);
    m_pbStates = m_pbHeap.get();
    if (m_pbStates == nullptr) m_dwSize = 0;
    m_bWritable = true;
}

void TPieceStateMap::ClearStates() {
    if (m_pbStates != nullptr) memset(m_pbStates, NQOV_PIECE_UNKNOWN, m_dwSize);
}

uint32_t TPieceStateMap::WriteBack(TNQOVArchiveImpl* ha) const {
    if (m_pbStates == nullptr || m_dwSize == 0) return ERROR_SUCCESS;
    if (!MapLiesOutsideThePieces(ha, m_dwSize)) return ERROR_FILE_CORRUPT;
    return WriteArchiveBytes(ha, ha->Header.BitmapPos64, m_pbStates, m_dwSize);
}

//-----------------------------------------------------------------------------
// An archive's map.

uint8_t* SFileGetBitmap(TNQOVArchive* haIn, uint32_t* pdwSize) {
    if (pdwSize != nullptr) *pdwSize = 0;
    return QOVEnter<uint8_t*>(QOV_HERE, haIn, nullptr, [&](TNQOVArchiveImpl* ha) -> uint8_t* {
        TPieceStateMap& map = ha->StateMap;
        if (map.Bytes() != nullptr) {
            if (pdwSize != nullptr) *pdwSize = map.Size();
            return map.Bytes();
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
        if (!map.Load(ha->pStream.get(), header.BitmapPos64, size)) return nullptr;
        if (pdwSize != nullptr) *pdwSize = size;
        return map.Bytes();
    });
}

bool SFileWriteBitmap(TNQOVArchive* haIn) {
    return QOVEnter(QOV_HERE, haIn, false, [&](TNQOVArchiveImpl* ha) -> bool {
        const uint32_t error = ha->StateMap.WriteBack(ha);
        QOV_FAIL_IF(error != ERROR_SUCCESS, "the piece-state map could not be written back", error, false);
        return true;
    });
}

//-----------------------------------------------------------------------------
// The piece-state map straight from the file.

bool TNQOVArchiveImpl::InitBitMapByFileMapping_i(bool bWritable) {
    if (StateMap.IsMapped()) {
        QOV_LOG_ERROR("m_file_map_handle != null ", ERROR_ALREADY_EXISTS);
        return false;
    }
    const uint64_t position = Header.BitmapPos64;
    const uint32_t size = static_cast<uint32_t>(Header.BitmapSize64);
    uint64_t fileSize = 0, end = 0;
    if (position == 0 || size == 0 || !FileStream_SizeOf(pStream.get(), &fileSize) ||
        !CheckedAdd64(position, size, &end) || end > fileSize ||
        (bWritable && !MapLiesOutsideThePieces(this, size))) {
        QOV_FAIL("the piece-state map cannot be mapped where the header puts it", ERROR_FILE_CORRUPT, false);
    }
    return StateMap.Map(pStream.get(), position, size, bWritable);
}
