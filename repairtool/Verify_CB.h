// Verify_CB.h - the pass's progress callback of whole-archive verification:
// turns "piece i of n verified" into the percentage the progress bar shows.

#ifndef BREVIK_REPAIRTOOL_VERIFY_CB_H
#define BREVIK_REPAIRTOOL_VERIFY_CB_H

#include <QOVLib.h>

#include <cstdint>

class IRepairView;

class Verify_CB : public sfile_verify_piece_callback {
public:
    explicit Verify_CB(IRepairView* owner) : m_pOwner(owner), m_nPercent(0) {}

    // percent = pieceIndex * 100 / pieceCount: 0 after an archive's first
    // piece, just below 100 after its last.
    void OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) override;

    int GetPercent() const { return m_nPercent; }

private:
    IRepairView* m_pOwner;  // not owned
    int32_t m_nPercent;
};

#endif  // BREVIK_REPAIRTOOL_VERIFY_CB_H
