// MD5Multi.cpp - the multi-buffer MD5 engine: lanes, padding, refill, and
// the call of the kernel chosen for the process.

#include "MD5Multi.h"

#include "QOVLib.h"

#include <cstring>

namespace {

constexpr uint32_t kMD5Initial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
constexpr size_t kLengthOffset = kMD5BlockSize - 8;  // where the bit count goes

unsigned LaneCount(int kernel) {
    switch (kernel) {
        case QOV_MD5_AVX512:
            return 16;
        case QOV_MD5_AVX2:
            return 8;
        default:
            return 1;
    }
}

void StoreLE32(uint8_t* pb, uint32_t value) {
    for (unsigned i = 0; i < 4; i++) pb[i] = static_cast<uint8_t>(value >> (8 * i));
}

void StoreLE64(uint8_t* pb, uint64_t value) {
    for (unsigned i = 0; i < 8; i++) pb[i] = static_cast<uint8_t>(value >> (8 * i));
}

// MD5's end of message after the cbRest bytes already at pbBlocks: the 0x80
// byte, zeros, and the message length in bits modulo 2^64.  Returns the
// blocks used (1, or 2 when the rest leaves no room for the length).
size_t PadMessage(uint8_t* pbBlocks, size_t cbRest, uint64_t cbMessage) {
    const size_t nBlocks = cbRest < kLengthOffset ? 1 : 2;
    const size_t lengthAt = nBlocks * kMD5BlockSize - 8;
    pbBlocks[cbRest] = 0x80;
    memset(pbBlocks + cbRest + 1, 0, lengthAt - cbRest - 1);
    StoreLE64(pbBlocks + lengthAt, cbMessage << 3);
    return nBlocks;
}

}  // namespace

void TMD5Context::Reset() {
    memcpy(state, kMD5Initial, sizeof(state));
    cbTotal = 0;
    cbPending = 0;
}

TMD5Multi::TMD5Multi() : m_kernel(QOVGetMD5Kernel()), m_lanes(LaneCount(m_kernel)) {}

unsigned TMD5Multi::BusyLanes() const {
    unsigned count = 0;
    for (uint32_t mask = m_busyMask; mask != 0; mask &= mask - 1) count++;
    return count;
}

bool TMD5Multi::ContextInUse(const TMD5Context* pContext) const {
    if (pContext == nullptr) return false;
    for (unsigned lane = 0; lane < m_lanes; lane++) {
        if (((m_busyMask >> lane) & 1) && m_lane[lane].job.pContext == pContext) return true;
    }
    return false;
}

bool TMD5Multi::Add(const TMD5Job& job) {
    if (ContextInUse(job.pContext)) return false;
    for (unsigned lane = 0; lane < m_lanes; lane++) {
        if (((m_busyMask >> lane) & 1) == 0) {
            Start(lane, job);
            return true;
        }
    }
    return false;
}

void TMD5Multi::AddSegment(TLane& lane, const uint8_t* pbData, size_t nBlocks) {
    lane.segmentData[lane.nSegments] = pbData;
    lane.segmentBlocks[lane.nSegments] = nBlocks;
    lane.nSegments++;
}

// Splits the job's message into runs of whole blocks: a block made of the
// context's unfinished one and the first bytes of the data, the whole blocks
// inside the data (hashed where they are, not copied), and the last bytes,
// padded when the message ends here or else kept for the context.
void TMD5Multi::Start(unsigned laneIndex, const TMD5Job& job) {
    TLane& lane = m_lane[laneIndex];
    TMD5Context* pContext = job.pContext;
    const bool bFinal = pContext == nullptr || job.bFinal;
    const uint8_t* pbData = static_cast<const uint8_t*>(job.pvData);
    size_t cbData = job.cbData;

    lane.job = job;
    lane.nSegments = 0;
    lane.iSegment = 0;
    lane.cbTotal = (pContext != nullptr ? pContext->cbTotal : 0) + cbData;
    const uint32_t* initial = pContext != nullptr ? pContext->state : kMD5Initial;
    for (unsigned word = 0; word < 4; word++) m_state.abcd[word][laneIndex] = initial[word];

    size_t cbTail = 0;  // bytes gathered at the start of lane.tail
    if (pContext != nullptr && pContext->cbPending > 0) {
        const size_t cbPending = pContext->cbPending;
        const size_t cbFill = kMD5BlockSize - cbPending;
        if (cbData >= cbFill) {
            memcpy(lane.head, pContext->pending, cbPending);
            memcpy(lane.head + cbPending, pbData, cbFill);
            AddSegment(lane, lane.head, 1);
            pbData += cbFill;
            cbData -= cbFill;
        } else {
            memcpy(lane.tail, pContext->pending, cbPending);
            if (cbData > 0) memcpy(lane.tail + cbPending, pbData, cbData);
            cbTail = cbPending + cbData;
            cbData = 0;
        }
    }
    const size_t nBodyBlocks = cbData / kMD5BlockSize;
    if (nBodyBlocks > 0) AddSegment(lane, pbData, nBodyBlocks);
    const size_t cbRest = cbData % kMD5BlockSize;
    if (cbRest > 0) {
        memcpy(lane.tail + cbTail, pbData + nBodyBlocks * kMD5BlockSize, cbRest);
        cbTail += cbRest;
    }
    if (bFinal) {
        AddSegment(lane, lane.tail, PadMessage(lane.tail, cbTail, lane.cbTotal));
        lane.cbLeftover = 0;
    } else {
        lane.cbLeftover = static_cast<uint32_t>(cbTail);
    }

    m_data[laneIndex] = lane.nSegments > 0 ? lane.segmentData[0] : nullptr;
    m_blocksLeft[laneIndex] = lane.nSegments > 0 ? lane.segmentBlocks[0] : 0;
    m_busyMask |= 1u << laneIndex;
}

void TMD5Multi::Complete(unsigned laneIndex) {
    TLane& lane = m_lane[laneIndex];
    TMD5Context* pContext = lane.job.pContext;
    const bool bFinal = pContext == nullptr || lane.job.bFinal;
    if (bFinal) {
        if (lane.job.pbDigest != nullptr) {
            for (unsigned word = 0; word < 4; word++)
                StoreLE32(lane.job.pbDigest + 4 * word, m_state.abcd[word][laneIndex]);
        }
        if (pContext != nullptr) pContext->Reset();
    } else {
        for (unsigned word = 0; word < 4; word++) pContext->state[word] = m_state.abcd[word][laneIndex];
        pContext->cbTotal = lane.cbTotal;
        pContext->cbPending = lane.cbLeftover;
        memcpy(pContext->pending, lane.tail, lane.cbLeftover);
    }
    m_busyMask &= ~(1u << laneIndex);
}

// Moves each lane whose current run is used up to its next run; lanes with
// none left are complete and are handed back.
unsigned TMD5Multi::AdvanceLanes(TMD5Job pDone[kMD5MaxLanes]) {
    unsigned nDone = 0;
    for (unsigned laneIndex = 0; laneIndex < m_lanes; laneIndex++) {
        if (((m_busyMask >> laneIndex) & 1) == 0 || m_blocksLeft[laneIndex] > 0) continue;
        TLane& lane = m_lane[laneIndex];
        if (lane.iSegment + 1 < lane.nSegments) {
            lane.iSegment++;
            m_data[laneIndex] = lane.segmentData[lane.iSegment];
            m_blocksLeft[laneIndex] = lane.segmentBlocks[lane.iSegment];
        } else {
            Complete(laneIndex);
            pDone[nDone++] = lane.job;
        }
    }
    return nDone;
}

void TMD5Multi::Compress(size_t nBlocks) {
    switch (m_kernel) {
        case QOV_MD5_AVX512:
            MD5CompressAvx512(m_state, m_data, m_busyMask, nBlocks);
            break;
        case QOV_MD5_AVX2:
            MD5CompressAvx2(m_state, m_data, m_busyMask, nBlocks);
            break;
        default:
            MD5CompressScalar(m_state, m_data, m_busyMask, nBlocks);
            break;
    }
}

unsigned TMD5Multi::Run(TMD5Job pDone[kMD5MaxLanes]) {
    while (m_busyMask != 0) {
        const unsigned nDone = AdvanceLanes(pDone);
        if (nDone > 0) return nDone;
        // Every busy lane has blocks left: run them all up to the end of
        // the shortest run.
        size_t nBlocks = SIZE_MAX;
        for (unsigned lane = 0; lane < m_lanes; lane++) {
            if (((m_busyMask >> lane) & 1) && m_blocksLeft[lane] < nBlocks) nBlocks = m_blocksLeft[lane];
        }
        Compress(nBlocks);
        for (unsigned lane = 0; lane < m_lanes; lane++) {
            if (((m_busyMask >> lane) & 1) == 0) continue;
            m_data[lane] += nBlocks * kMD5BlockSize;
            m_blocksLeft[lane] -= nBlocks;
        }
    }
    return 0;
}

void TMD5Multi::Finish() {
    TMD5Job done[kMD5MaxLanes];
    while (Run(done) > 0) {
    }
}

void QOVMD5Many(const TMD5Job* pJobs, size_t nJobs) {
    TMD5Multi engine;
    TMD5Job done[kMD5MaxLanes];
    size_t next = 0;
    for (;;) {
        while (next < nJobs && engine.Add(pJobs[next])) next++;
        if (engine.Run(done) == 0 && next >= nJobs) return;
    }
}
