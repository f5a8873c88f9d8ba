// ArchiveHeader.cpp - header search, parsing and layout checks.

#include "ArchiveHeader.h"

#include <algorithm>
#include <cstring>

#include "Md5.h"
#include "QOVLib.h"

namespace brevik {
namespace repair {

namespace {

// Field offsets of the header.
enum : uint32_t {
    kSignature = 0,
    kFormatVersion = 8,
    kArchiveSize = 12,
    kBetPos = 20,
    kHetPos = 28,
    kPieceTablePos = 36,
    kMapPos = 44,
    kHetSize = 52,
    kBetSize = 60,
    kPieceTableSize = 68,
    kMapSize = 76,
    kPieceSize = 84,
    kRawChunkSize = 88,
    kDigest = 156,
};

uint64_t Le(const uint8_t* bytes, unsigned width) {
    uint64_t value = 0;
    for (unsigned n = width; n-- > 0;) value = (value << 8) | bytes[n];
    return value;
}

bool IsZero(const uint8_t* bytes, size_t size) {
    return std::all_of(bytes, bytes + size, [](uint8_t b) { return b == 0; });
}

void Parse(const uint8_t* raw, ArchiveHeader* h) {
    h->formatVersion = static_cast<uint16_t>(Le(raw + kFormatVersion, 2));
    h->archiveSize = Le(raw + kArchiveSize, 8);
    h->betPos = Le(raw + kBetPos, 8);
    h->hetPos = Le(raw + kHetPos, 8);
    h->pieceTablePos = Le(raw + kPieceTablePos, 8);
    h->mapPos = Le(raw + kMapPos, 8);
    // Only the low 32 bits of the sizes count, as in the library.
    h->hetSize = Le(raw + kHetSize, 4);
    h->betSize = Le(raw + kBetSize, 4);
    h->pieceTableSize = Le(raw + kPieceTableSize, 4);
    h->mapSize = Le(raw + kMapSize, 4);
    h->pieceSize = static_cast<uint32_t>(Le(raw + kPieceSize, 4));
    h->rawChunkSize = static_cast<uint32_t>(Le(raw + kRawChunkSize, 4));
    std::memcpy(h->digest, raw + kDigest, 16);
}

bool DigestMatches(const ArchiveHeader& h) {
    if (h.formatVersion != 0 || IsZero(h.digest, 16)) return true;
    return Md5Matches(h.raw, kDigest, h.digest);
}

// Bytes of chunk digests after a stored blob of `size` bytes.
uint64_t ChunkDigestBytes(const ArchiveHeader& h, uint64_t size) {
    if (h.rawChunkSize == 0) return 0;
    return 16 * (size / h.rawChunkSize + (size % h.rawChunkSize != 0));
}

void AddRange(std::vector<ByteRange>* ranges, uint64_t base, uint64_t position, uint64_t length) {
    if (length == 0 || position > UINT64_MAX - base) return;
    const uint64_t start = base + position;
    ranges->push_back(ByteRange{start, std::min(length, UINT64_MAX - start)});
}

}  // namespace

HeaderFound FindHeader(const uint8_t* window, size_t size, size_t searched, uint64_t windowStart,
                       uint64_t fileSize, ArchiveHeader* header) {
    for (size_t offset = 0; offset < searched && offset + 4 <= size; offset += kHeaderSearchStep) {
        const uint64_t position = windowStart + offset;
        if (position >= fileSize) break;
        if (Le(window + offset + kSignature, 4) != NQOV_HEADER_SIGNATURE) continue;
        ArchiveHeader found;
        const uint64_t left = std::min<uint64_t>(size - offset, fileSize - position);
        std::memcpy(found.raw, window + offset, static_cast<size_t>(std::min<uint64_t>(kHeaderBytes, left)));
        Parse(found.raw, &found);
        found.headerOffset = position;
        *header = found;
        return DigestMatches(found) ? HeaderFound::kFound : HeaderFound::kCorrupt;
    }
    return HeaderFound::kAbsent;
}

bool CheckHeaderLayout(const ArchiveHeader& h, uint64_t fileSize, PieceLayout* layout, std::string* why) {
    if (h.pieceSize == 0 || h.pieceSize > NQOV_MAX_PIECE_SIZE) {
        *why = "piece size " + std::to_string(h.pieceSize) + " is not usable";
        return false;
    }
    if (!PieceLayout::Make(h.archiveSize, h.pieceSize, layout) || layout->pieceCount == 0) {
        *why = "the archive has no pieces";
        return false;
    }
    if (h.archiveSize > fileSize || h.headerOffset >= h.archiveSize) {
        *why = "the pieces do not fit the file";
        return false;
    }
    const uint64_t tableSize = (uint64_t(layout->pieceCount) + 1) * 16;
    if (h.pieceTableSize != tableSize || tableSize > kMaxPieceTableBytes) {
        *why = "the MD5 piece table has " + std::to_string(h.pieceTableSize) + " bytes, not " +
               std::to_string(tableSize);
        return false;
    }
    if (h.pieceTablePos < h.archiveSize || h.pieceTablePos > fileSize ||
        fileSize - h.pieceTablePos < tableSize) {
        *why = "the MD5 piece table lies outside the file";
        return false;
    }
    if (h.mapSize != 0 && (h.mapPos > fileSize || fileSize - h.mapPos < h.mapSize)) {
        *why = "the piece-state map lies outside the file";
        return false;
    }
    return true;
}

std::vector<ByteRange> StructureRanges(const ArchiveHeader& h) {
    std::vector<ByteRange> ranges;
    AddRange(&ranges, 0, h.headerOffset, kHeaderBytes);
    AddRange(&ranges, h.headerOffset, h.hetPos, h.hetSize + ChunkDigestBytes(h, h.hetSize));
    AddRange(&ranges, h.headerOffset, h.betPos, h.betSize + ChunkDigestBytes(h, h.betSize));
    return ranges;
}

}  // namespace repair
}  // namespace brevik
