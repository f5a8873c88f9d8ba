// repair/PieceSource.h - where a repair gets the bytes the local archive
// lacks: a copy of the same archive, read by byte ranges.  The local mirror
// archive and a web server answering range requests are the two kinds; both
// are asked only for ranges of the archive file, so nothing of ours runs on
// the server side.
//
// A source hands out connections, one per download worker; a connection is
// used by one thread at a time.

#ifndef BREVIK_REPAIR_PIECESOURCE_H
#define BREVIK_REPAIR_PIECESOURCE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace brevik {
namespace repair {

// Receives the bytes of one range, in order, as they arrive.
class RangeReceiver {
public:
    // False ends the transfer (the fetch then ends kRefused).
    virtual bool Receive(const uint8_t* data, size_t size) = 0;

protected:
    ~RangeReceiver() = default;
};

enum class FetchStatus {
    kComplete,  // every byte of the range was received
    kRetry,     // a passing fault (reset, time-out, short body, 408, 429, 5xx): try again later
    kFailed,    // this source cannot give the range (404, 403, 410, no range support, ...)
    kChanged,   // the file is not the one first seen (another size, ETag or Last-Modified)
    kStopped,   // the stop flag was set
    kRefused,   // the receiver ended the transfer
};

struct FetchResult {
    FetchStatus status = FetchStatus::kComplete;
    std::string message;        // names the address (never credentials)
    int64_t retryAfterMs = -1;  // the server's Retry-After, or -1
    uint64_t received = 0;      // bytes handed to the receiver
    uint64_t fileSize = 0;      // size of the whole file, when learned
    std::string validator;      // what names this state of the file (ETag, Last-Modified), may be empty
};

// What a fetch must find, or it ends kChanged before any byte is handed on.
struct Expectation {
    uint64_t fileSize = 0;  // 0: not known yet
    std::string validator;  // compared when not empty
};

class SourceConnection {
public:
    virtual ~SourceConnection() = default;
    // Fetches `length` bytes at `position`.  A range past the end of the
    // file is answered up to its end (as a probe of an unknown size needs).
    virtual FetchResult Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                              const Expectation& expect) = 0;
};

class PieceSource {
public:
    virtual ~PieceSource() = default;
    // The source for messages: an address without credentials, or a path.
    virtual std::string Name() const = 0;
    // A connection for one worker; its fetches end kStopped soon after
    // `stop` is set (within a second, also during a slow transfer).  Null
    // with the reason in *error when none can be made.
    virtual std::unique_ptr<SourceConnection> Connect(const std::atomic<bool>& stop, std::string* error) = 0;
};

// Settings of the sources a location names.
struct SourceSettings {
    std::string caFile;            // HTTPS: certificate authorities (PEM) in place of the system's
    uint32_t stallSeconds = 30;    // a transfer that receives nothing this long is abandoned and retried
    uint32_t connectSeconds = 30;  // time allowed to connect
};

// The source a location names: an http:// or https:// address, or the path
// of a mirror archive.  Null with the reason in *error when it cannot be
// used (an unsupported scheme, a missing mirror file).
std::unique_ptr<PieceSource> OpenSource(const std::string& location, const SourceSettings& settings,
                                        std::string* error);

}  // namespace repair
}  // namespace brevik

#endif  // BREVIK_REPAIR_PIECESOURCE_H
