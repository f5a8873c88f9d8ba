// PieceAssembler.cpp - pieces out of a stream of bytes.

#include "PieceAssembler.h"

#include <algorithm>
#include <cstring>

namespace brevik {
namespace repair {

namespace {

// Under a rate limit, bytes are paid for in parts of at most this size, so
// that a source handing over large chunks (a mirror file reads 1 MiB at a
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
    while (size > 0) {
        if (m_piece >= end) return false;  // more than the run: the source checks that it never is
        const uint32_t length = m_layout.Length(m_piece);
        if (m_filled == 0 && size >= length) {
            // The whole piece in the caller's bytes: no copy.
            if (!Complete(data, length)) return false;
            data += length;
            size -= length;
            continue;
        }
        if (m_buffer.size() < length) m_buffer.resize(length);
        const size_t take = std::min<size_t>(size, length - m_filled);
        std::memcpy(m_buffer.data() + m_filled, data, take);
        m_filled += static_cast<uint32_t>(take);
        data += take;
        size -= take;
        if (m_filled == length) {
            m_filled = 0;
            if (!Complete(m_buffer.data(), length)) return false;
        }
    }
    return true;
}

bool PieceAssembler::Complete(const uint8_t* data, uint32_t length) {
    const uint32_t piece = m_piece++;
    uint32_t error = 0;
    switch (m_writer.Write(piece, data, length, &error)) {
        case PieceWriter::Outcome::kStored:
            m_stored.push_back(piece);
            m_gate.Stored(length);
            if (m_onStored) m_onStored(piece, length);
            return true;
        case PieceWriter::Outcome::kBadDigest:
            m_bad.push_back(piece);
            return true;
        case PieceWriter::Outcome::kWriteFailed:
            m_bad.push_back(piece);
            m_writeError = "cannot write piece " + std::to_string(piece) + " of the archive, error " +
                           std::to_string(error);
            return false;
    }
    return false;
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
