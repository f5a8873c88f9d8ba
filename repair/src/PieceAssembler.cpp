// PieceAssembler.cpp - pieces out of a stream of bytes.

#include "PieceAssembler.h"

#include <algorithm>
#include <cstring>

namespace brevik {
namespace repair {

namespace {

// Under a rate limit, bytes are paid for in parts of at most this size, so
// that a source handing over large chunks (a mirror file reads 8 MiB at a
// time) still delivers its pieces at an even pace.
const size_t kLimitedPart = 16 * 1024;

}  // namespace

PieceAssembler::PieceAssembler(const PieceRun& run, const PieceLayout& layout, PieceWriter& writer,
                               std::vector<uint8_t>& buffer, TransferGate& gate, StoredSink onStored)
    : m_run(run),
      m_layout(layout),
      m_writer(writer),
      m_buffer(buffer),
      m_gate(gate),
      m_onStored(std::move(onStored)),
      m_piece(run.first) {}

bool PieceAssembler::Receive(const uint8_t* data, size_t size) {
    if (!m_gate.limiter.Limited()) return Take(data, size);
    while (size > 0) {
        const size_t part = std::min(size, kLimitedPart);
        if (m_gate.stop.IsSet() || !m_gate.limiter.Acquire(part) || !Take(data, part)) return false;
        data += part;
        size -= part;
    }
    return true;
}

bool PieceAssembler::Take(const uint8_t* data, size_t size) {
    if (m_gate.stop.IsSet()) return false;
    m_gate.received += size;
    m_gate.speed.Add(size);
    const uint64_t end = uint64_t(m_run.first) + m_run.count;
    std::vector<PieceWriter::Piece>& arrived = m_arrived;
    arrived.clear();
    // The piece in the buffer, when these bytes complete it.
    if (m_filled > 0) {
        const uint32_t length = m_layout.Length(m_piece);
        const size_t take = std::min<size_t>(size, length - m_filled);
        std::memcpy(m_buffer.data() + m_filled, data, take);
        m_filled += static_cast<uint32_t>(take);
        data += take;
        size -= take;
        if (m_filled < length) return true;
        m_filled = 0;
        arrived.push_back(PieceWriter::Piece{m_piece++, m_buffer.data(), length, {}, 0});
    }
    // Whole pieces in the caller's bytes: no copy.
    while (size > 0 && m_piece < end && size >= m_layout.Length(m_piece)) {
        const uint32_t length = m_layout.Length(m_piece);
        arrived.push_back(PieceWriter::Piece{m_piece++, data, length, {}, 0});
        data += length;
        size -= length;
    }
    if (!arrived.empty() && !Complete(arrived)) return false;
    if (size == 0) return true;
    if (m_piece >= end) return false;  // more than the run: the source checks that it never is
    // The start of the next piece, kept until the rest comes.
    const uint32_t length = m_layout.Length(m_piece);
    if (m_buffer.size() < length) m_buffer.resize(length);
    std::memcpy(m_buffer.data(), data, size);
    m_filled = static_cast<uint32_t>(size);
    return true;
}

// Writes the pieces that arrived together; false after a write failed.
bool PieceAssembler::Complete(std::vector<PieceWriter::Piece>& arrived) {
    m_writer.WriteArrived(arrived);
    for (const PieceWriter::Piece& piece : arrived) {
        switch (piece.outcome) {
            case PieceWriter::Outcome::kStored:
                m_stored.push_back(piece.index);
                m_gate.Stored(piece.length);
                if (m_onStored) m_onStored(piece.index, piece.length);
                break;
            case PieceWriter::Outcome::kBadDigest:
                m_bad.push_back(piece.index);
                break;
            case PieceWriter::Outcome::kWriteFailed:
                m_bad.push_back(piece.index);
                if (m_writeError.empty()) {
                    m_writeError = "cannot write piece " + std::to_string(piece.index) +
                                   " of the archive, error " + std::to_string(piece.error);
                }
                break;
        }
    }
    return m_writeError.empty();
}

std::vector<uint32_t> PieceAssembler::Left() const {
    std::vector<uint32_t> left = m_bad;
    for (uint64_t piece = m_piece; piece < uint64_t(m_run.first) + m_run.count; ++piece) {
        left.push_back(static_cast<uint32_t>(piece));
    }
    std::sort(left.begin(), left.end());
    return left;
}

}  // namespace repair
}  // namespace brevik
