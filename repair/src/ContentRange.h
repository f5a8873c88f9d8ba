// ContentRange.h - the Content-Range of a 206 answer ("bytes 0-99/1234"),
// and whether it is the range that was asked for.

#ifndef BREVIK_REPAIR_CONTENTRANGE_H
#define BREVIK_REPAIR_CONTENTRANGE_H

#include <cstdint>
#include <string>

namespace brevik {
namespace repair {

struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;   // inclusive
    uint64_t total = 0;  // size of the whole file
};

// Parses "bytes FIRST-LAST/TOTAL" (the unit in any case, spaces around the
// value allowed).  False for anything else: an unknown total ("*"), a range
// that is not within the total, numbers that overflow.
bool ParseContentRange(const std::string& text, ContentRange* range);

// Whether `range` answers a request for `length` bytes at `position`: the
// same first byte, and the requested last byte, or the file's last byte when
// the request went past the end of the file.
bool AnswersRequest(const ContentRange& range, uint64_t position, uint64_t length);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_CONTENTRANGE_H
