// PieceAssembler.h - the bytes of one run of pieces as they arrive: each
// piece is written (verified) the moment its last byte is in, so a piece
// never waits for the rest of its request, and a transfer cut short keeps
// every whole piece it delivered.  The pieces that complete in the same
// bytes are verified together (the library hashes them at once), none
// waiting for any other.

#ifndef BREVIK_REPAIR_PIECEASSEMBLER_H
#define BREVIK_REPAIR_PIECEASSEMBLER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Coalesce.h"
#include "PieceLayout.h"
#include "PieceWriter.h"
#include "RateLimiter.h"
#include "SpeedMeter.h"
#include "CoreThreads.h"
#include "StopFlag.h"
#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

// What the download workers share: the stop, the rate limit and the counts.
struct TransferGate {
    TransferGate(StopFlag& stopFlag, RateLimiter& rateLimiter, SpeedMeter& speedMeter)
        : stop(stopFlag), limiter(rateLimiter), speed(speedMeter) {}
    StopFlag& stop;
    RateLimiter& limiter;
    SpeedMeter& speed;
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> stored{0};
    std::atomic<uint32_t> piecesStored{0};
    // When the first piece was stored (steady clock ticks), 0 before.
    std::atomic<int64_t> firstStored{0};

    void Stored(uint64_t bytes) {
        stored += bytes;
        piecesStored += 1;
        int64_t none = 0;
        firstStored.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
    }
};

// Told of each piece the moment it is stored: (piece, length).
typedef std::function<void(uint32_t, uint32_t)> StoredSink;

class PieceAssembler : public RangeReceiver {
public:
    // `buffer` holds the piece being filled (a worker's own, reused).
    PieceAssembler(const PieceRun& run, const PieceLayout& layout, PieceWriter& writer,
                   std::vector<uint8_t>& buffer, TransferGate& gate, StoredSink onStored = nullptr);

    bool Receive(const uint8_t* data, size_t size) override;

    const std::vector<uint32_t>& Stored() const { return m_stored; }
    // The pieces of the run not stored: those that did not verify and those
    // whose bytes did not all come.
    std::vector<uint32_t> Left() const;
    uint32_t BadDigests() const { return static_cast<uint32_t>(m_bad.size()); }
    bool WriteFailed() const { return !m_writeError.empty(); }
    const std::string& WriteError() const { return m_writeError; }

private:
    bool Take(const uint8_t* data, size_t size);
    bool Complete(std::vector<PieceWriter::Piece>& arrived);

    const PieceRun m_run;
    const PieceLayout& m_layout;
    PieceWriter& m_writer;
    std::vector<uint8_t>& m_buffer;
    TransferGate& m_gate;
    const StoredSink m_onStored;
    uint32_t m_piece;                           // the piece being filled
    uint32_t m_filled = 0;                      // its bytes in the buffer
    std::vector<PieceWriter::Piece> m_arrived;  // of the bytes being taken
    std::vector<uint32_t> m_stored;
    std::vector<uint32_t> m_bad;
    std::string m_writeError;
};

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECEASSEMBLER_H
