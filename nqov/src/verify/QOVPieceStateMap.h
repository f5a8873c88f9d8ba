// QOVPieceStateMap.h - the piece-state map of an open archive: one state
// byte per piece (NQOV_PIECE_*), kept in one of two places, and the one owner
// of both:
//
//  * a heap copy, read from the archive file (Load) or made new (Renew);
//  * a view of the archive file itself (Map), so that states recorded in a
//    writable view reach the file at once.
//
// A view cannot follow a change of the archive (new data and tables are
// written over and past it, and the file is cut), so before the first write
// of a change the view becomes a heap copy (CopyBeforeChange).  A heap copy
// goes back to the file through WriteBack: on SFileWriteBitmap, and when the
// table writer brings the archive up to date.

#ifndef NQOV_QOVPIECESTATEMAP_H
#define NQOV_QOVPIECESTATEMAP_H

#include "common/QOVFileStream.h"

#include <memory>

class TNQOVArchiveImpl;

class TPieceStateMap {
public:
    TPieceStateMap() = default;
    ~TPieceStateMap();
    TPieceStateMap(const TPieceStateMap&) = delete;
    TPieceStateMap& operator=(const TPieceStateMap&) = delete;

    // The states, null while the map is neither loaded nor mapped.
    uint8_t* Bytes() const { return m_pbStates; }
    uint32_t Size() const { return m_dwSize; }
    bool IsMapped() const { return m_mapping.pvView != nullptr; }
    // States may be recorded: in a heap copy, or in a writable view.
    bool IsRecordable() const { return m_pbStates != nullptr && m_bWritable; }
    bool IsReadOnlyView() const { return IsMapped() && !m_bWritable; }

    // Records the state of piece dwIndex; ignored when the map takes no
    // states or has no such piece.
    void Record(uint32_t dwIndex, uint8_t state);

    // Reads dwSize state bytes at qwPosition of the stream into a new heap
    // copy; false (the read's error set, the map unchanged) when that fails.
    bool Load(TFileStreamImpl* pStream, uint64_t qwPosition, uint32_t dwSize);
    // Maps dwSize state bytes at qwPosition of the stream's file in place of
    // the heap copy; false (the map unchanged) when the view cannot be made.
    bool Map(TFileStreamImpl* pStream, uint64_t qwPosition, uint32_t dwSize, bool bWritable);
    // A new heap map of dwCount pieces, all in `state`, unless the map already
    // has that many pieces; false without memory.
    bool Renew(uint32_t dwCount, uint8_t state);
    // A view becomes a heap copy of its bytes (empty without memory).
    void CopyBeforeChange();
    // Every state back to NQOV_PIECE_UNKNOWN.
    void ClearStates();

    // Writes the states where the archive's header puts the map; the error,
    // ERROR_FILE_CORRUPT when that place lies inside the pieces or over the
    // MD5 piece table (a damaged header), ERROR_SUCCESS for an empty map.
    uint32_t WriteBack(TNQOVArchiveImpl* ha) const;

private:
    void Unmap();

    TFileMapping m_mapping;               // the view, when mapped
    std::unique_ptr<uint8_t[]> m_pbHeap;  // the heap copy, when not
    uint8_t* m_pbStates = nullptr;        // in the heap copy or in the view
    uint32_t m_dwSize = 0;
    bool m_bWritable = true;  // false only for a read-only view
};

#endif  // NQOV_QOVPIECESTATEMAP_H
