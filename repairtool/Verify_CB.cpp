// Verify_CB.cpp - the progress of the piece verification.

#include "Verify_CB.h"

#include "RepairPass.h"

void Verify_CB::OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) {
    if (m_pOwner == nullptr || dwPieceCount == 0) return;
    // In 64 bits: index * 100 would overflow 32 bits past 21 million pieces.
    m_nPercent = static_cast<int32_t>(static_cast<uint64_t>(dwPieceIndex) * 100u / dwPieceCount);
    m_pOwner->ShowProgress(m_nPercent);
}
