// MD5Multi.h - the multi-buffer MD5 engine: up to 16 independent messages
// hashed at once, one in each lane of a SIMD register.
//
// A single MD5 cannot go much faster than md5sum, because each step waits
// for the one before.  Independent messages, such as the pieces of an
// archive, can share the steps: the AVX-512 kernel hashes 16 of them for
// about the price of one, the AVX2 kernel 8.  Each message has its own
// length; a lane whose message ends is given the next one while the others
// go on.  The scalar kernel is libtomcrypt's MD5, one message at a time.
//
// Usage: Add() jobs while it accepts them, Run() until some finish, repeat
// (QOVMD5Many does that for an array of jobs).  One engine belongs to one
// thread; threads hashing in parallel each drive their own.  The kernel is
// the process's choice (QOVSetMD5Kernel) when the engine is made.

#ifndef NQOV_COMMON_MD5MULTI_H
#define NQOV_COMMON_MD5MULTI_H

#include "MD5Kernels.h"

#include <cstddef>
#include <cstdint>

// The running state of a message hashed in several jobs (for example a file
// read in chunks): the chaining values, the length so far and the bytes of
// an unfinished block.
struct TMD5Context {
    uint32_t state[4];
    uint64_t cbTotal;
    uint8_t pending[kMD5BlockSize];
    uint32_t cbPending;

    TMD5Context() { Reset(); }
    void Reset();  // an empty message
};

struct TMD5Job {
    const void* pvData = nullptr;
    size_t cbData = 0;
    // Receives the 16-byte digest when the message ends (may be null).
    uint8_t* pbDigest = nullptr;
    // Null: the data is a whole message.  Otherwise the data continues the
    // context's message, which ends with this job when bFinal is set (the
    // context is then empty again).
    TMD5Context* pContext = nullptr;
    bool bFinal = true;
    void* pvUser = nullptr;  // the caller's, handed back with the finished job
};

class TMD5Multi {
public:
    TMD5Multi();
    TMD5Multi(const TMD5Multi&) = delete;
    TMD5Multi& operator=(const TMD5Multi&) = delete;

    int Kernel() const { return m_kernel; }  // QOV_MD5_SCALAR, _AVX2 or _AVX512
    unsigned Lanes() const { return m_lanes; }
    unsigned BusyLanes() const;
    bool Idle() const { return m_busyMask == 0; }

    // Puts the job into a free lane.  False when every lane is busy, or
    // while a job on the same context is still in a lane: Run, then add it
    // again.  The data and the context must stay as they are until Run hands
    // the job back.
    bool Add(const TMD5Job& job);

    // Hashes until at least one job is finished, copies the finished jobs to
    // pDone (room for kMD5MaxLanes), and returns how many there are; 0 when
    // no lane was busy.  Their digests and contexts are written by then.
    unsigned Run(TMD5Job pDone[kMD5MaxLanes]);

    // Runs until every job that was added is finished.
    void Finish();

private:
    struct TLane {
        TMD5Job job;
        // The lane's message as runs of whole blocks: the block completing
        // the context's unfinished one, the blocks inside the data, and the
        // padded end (or nothing, when the message goes on).
        const uint8_t* segmentData[3];
        size_t segmentBlocks[3];
        unsigned nSegments;
        unsigned iSegment;
        uint64_t cbTotal;     // message length after this job
        uint32_t cbLeftover;  // bytes at the start of tail for the context
        alignas(64) uint8_t head[kMD5BlockSize];
        alignas(64) uint8_t tail[2 * kMD5BlockSize];
    };

    bool ContextInUse(const TMD5Context* pContext) const;
    void Start(unsigned lane, const TMD5Job& job);
    void AddSegment(TLane& lane, const uint8_t* pbData, size_t nBlocks);
    unsigned AdvanceLanes(TMD5Job pDone[kMD5MaxLanes]);
    void Complete(unsigned lane);
    void Compress(size_t nBlocks);

    int m_kernel;
    unsigned m_lanes;
    uint32_t m_busyMask = 0;
    TMD5LaneState m_state;
    const uint8_t* m_data[kMD5MaxLanes] = {};  // each lane's next block
    size_t m_blocksLeft[kMD5MaxLanes] = {};    // in the lane's current run
    TLane m_lane[kMD5MaxLanes];
};

// Hashes every job with one engine, refilling lanes as jobs finish.  Jobs
// that continue the same context are hashed in their order.
void QOVMD5Many(const TMD5Job* pJobs, size_t nJobs);

#endif  // NQOV_COMMON_MD5MULTI_H
