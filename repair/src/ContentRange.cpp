// ContentRange.cpp - Content-Range values.

#include "ContentRange.h"

#include <cctype>

namespace brevik {
namespace repair {

namespace {

void SkipSpaces(const std::string& text, size_t* at) {
    while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
}

bool ReadNumber(const std::string& text, size_t* at, uint64_t* value) {
    const size_t start = *at;
    uint64_t result = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text[*at] - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
        ++*at;
    }
    *value = result;
    return *at > start;
}

bool Expect(const std::string& text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

}  // namespace

bool ParseContentRange(const std::string& text, ContentRange* range) {
    size_t at = 0;
    SkipSpaces(text, &at);
    static const char kUnit[] = "bytes";
    for (size_t n = 0; n < sizeof(kUnit) - 1; ++n, ++at) {
        if (at >= text.size() || std::tolower(static_cast<unsigned char>(text[at])) != kUnit[n]) return false;
    }
    if (at >= text.size() || (text[at] != ' ' && text[at] != '\t')) return false;
    SkipSpaces(text, &at);
    ContentRange parsed;
    if (!ReadNumber(text, &at, &parsed.first) || !Expect(text, &at, '-') ||
        !ReadNumber(text, &at, &parsed.last) || !Expect(text, &at, '/') ||
        !ReadNumber(text, &at, &parsed.total)) {
        return false;
    }
    SkipSpaces(text, &at);
    if (at != text.size()) return false;
    if (parsed.first > parsed.last || parsed.last >= parsed.total) return false;
    *range = parsed;
    return true;
}

bool AnswersRequest(const ContentRange& range, uint64_t position, uint64_t length) {
    if (length == 0 || position > UINT64_MAX - (length - 1)) return false;
    const uint64_t wantedLast = position + (length - 1);
    if (range.first != position) return false;
    if (wantedLast < range.total) return range.last == wantedLast;
    return range.last == range.total - 1;
}

}  // namespace repair
}  // namespace brevik
