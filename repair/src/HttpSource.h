// HttpSource.h - a web server as a piece source: HTTP/HTTPS range requests
// (libcurl natively), one keep-alive connection per download worker.
//
// What counts as what:
//  * 206 with a Content-Range that is the range asked for: the bytes.
//  * 200 to a range request (a server that ignores ranges), 404, 403, 410,
//    other answers, a Content-Range or Content-Length other than asked, a
//    certificate that does not verify, too many redirects or one from https
//    to http: the source cannot give the range (kFailed).
//  * 408, 429, 500, 502, 503, 504 (with the server's Retry-After), resets,
//    time-outs, short bodies: passing faults (kRetry).
//  * Another file size, ETag or Last-Modified than expected: kChanged.
// Bytes past what was asked are never taken in: the transfer is ended.

#ifndef BREVIK_REPAIR_HTTPSOURCE_H
#define BREVIK_REPAIR_HTTPSOURCE_H

#include <memory>
#include <string>

#include "repair/PieceSource.h"

namespace brevik {
namespace repair {

std::unique_ptr<PieceSource> MakeHttpSource(const std::string& url, const SourceSettings& settings);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_HTTPSOURCE_H
