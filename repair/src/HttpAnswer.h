// HttpAnswer.h - what the head of an answer to a range request means, the
// same for every HTTP client the core is built with (libcurl natively,
// WinHTTP on Windows): 206 with the Content-Range asked for is the range;
// 200 means a server that does not serve ranges; 408, 429, 500, 502, 503
// and 504 are passing faults (with the server's Retry-After); anything else
// is final for the source; another size, ETag or Last-Modified than the
// probe saw is a changed file.

#ifndef BREVIK_REPAIR_HTTPANSWER_H
#define BREVIK_REPAIR_HTTPANSWER_H

#include <cstdint>
#include <ctime>
#include <string>

#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

// What the status line and headers of an answer say.
struct HttpHead {
    long status = 0;
    std::string contentRange;
    std::string contentType;
    std::string etag;
    std::string lastModified;
    int64_t contentLength = -1;  // -1: not given
    int64_t retryAfterMs = -1;   // -1: not given
};

// The verdict on a head.
struct HeadVerdict {
    bool accepted = false;                        // the body is the range: take it
    FetchStatus status = FetchStatus::kComplete;  // when not accepted
    std::string message;
    int64_t retryAfterMs = -1;
    uint64_t answered = 0;  // bytes the body carries, when accepted
    uint64_t fileSize = 0;  // when a Content-Range told it
    std::string validator;  // ETag and Last-Modified
};

// The request of `length` bytes at `position` of `name` (an address
// without credentials) got `head`; `expect` is what the probe saw.
HeadVerdict JudgeHead(const HttpHead& head, const std::string& name, uint64_t position, uint64_t length,
                      const Expectation& expect);

// "NAME (bytes A-B)", how messages name a request.
std::string RequestText(const std::string& name, uint64_t position, uint64_t length);

// Retry-After: delay seconds or an HTTP date (IMF-fixdate, in GMT), as
// milliseconds from `now` (0 for a date already past); -1 when it is
// neither.
int64_t ParseRetryAfter(const std::string& text, std::time_t now);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_HTTPANSWER_H
