// MirrorFileSource.cpp - byte ranges of a local mirror archive.

#include "MirrorFileSource.h"

#include <algorithm>
#include <vector>

#include "QOVLib.h"

namespace brevik {
namespace repair {

namespace {

// Bytes read and handed on at a time: a whole run of the default size, so
// that its pieces arrive together and are hashed together.  The stop is
// looked at between reads.
const uint32_t kReadChunk = 8 * 1024 * 1024;

struct StreamCloser {
    void operator()(TFileStream* stream) const { FileStream_Free(stream); }
};
typedef std::unique_ptr<TFileStream, StreamCloser> StreamPtr;

std::string LibraryError(const std::string& what) {
    return what + ", error " + std::to_string(QOVGetLastError());
}

class MirrorFileConnection : public SourceConnection {
public:
    MirrorFileConnection(std::string path, StreamPtr stream, const std::atomic<bool>& stop)
        : m_path(std::move(path)), m_stream(std::move(stream)), m_stop(stop) {}

    FetchResult Fetch(uint64_t position, uint64_t length, RangeReceiver& receiver,
                      const Expectation& expect) override {
        FetchResult result;
        uint64_t size = 0;
        if (!FileStream_SizeOf(m_stream.get(), &size)) {
            return Ended(FetchStatus::kRetry, LibraryError("cannot read the size of " + m_path));
        }
        result.fileSize = size;
        if (expect.fileSize != 0 && size != expect.fileSize) {
            return Ended(FetchStatus::kChanged, m_path + " changed: " + std::to_string(size) +
                                                    " bytes, not " + std::to_string(expect.fileSize));
        }
        if (length == 0 || position >= size) {
            return Ended(FetchStatus::kFailed, m_path + " has no bytes at " + std::to_string(position));
        }
        const uint64_t end = position + std::min(length, size - position);
        if (m_buffer.empty()) m_buffer.resize(kReadChunk);
        for (uint64_t at = position; at < end;) {
            if (m_stop) return Ended(FetchStatus::kStopped, "stopped", result.received);
            const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(kReadChunk, end - at));
            uint64_t readAt = at;
            if (!FileStream_Read(m_stream.get(), &readAt, m_buffer.data(), part)) {
                return Ended(FetchStatus::kRetry, LibraryError("cannot read " + m_path), result.received);
            }
            if (!receiver.Receive(m_buffer.data(), part)) {
                return Ended(FetchStatus::kRefused, "the bytes were refused", result.received);
            }
            at += part;
            result.received += part;
        }
        return result;
    }

private:
    FetchResult Ended(FetchStatus status, const std::string& message, uint64_t received = 0) {
        FetchResult result;
        result.status = status;
        result.message = message;
        result.received = received;
        return result;
    }

    const std::string m_path;
    StreamPtr m_stream;
    const std::atomic<bool>& m_stop;
    std::vector<uint8_t> m_buffer;
};

class MirrorFileSource : public PieceSource {
public:
    explicit MirrorFileSource(std::string path) : m_path(std::move(path)) {}

    std::string Name() const override { return m_path; }

    std::unique_ptr<SourceConnection> Connect(const std::atomic<bool>& stop, std::string* error) override {
        StreamPtr stream(FileStream_OpenFile(m_path.c_str(), false));
        if (!stream) {
            *error = LibraryError("cannot open the mirror " + m_path);
            return nullptr;
        }
        return std::unique_ptr<SourceConnection>(new MirrorFileConnection(m_path, std::move(stream), stop));
    }

private:
    const std::string m_path;
};

}  // namespace

std::unique_ptr<PieceSource> MakeMirrorFileSource(const std::string& path, std::string* error) {
    StreamPtr probe(FileStream_OpenFile(path.c_str(), false));
    if (!probe) {
        *error = LibraryError("cannot open the mirror " + path);
        return nullptr;
    }
    return std::unique_ptr<PieceSource>(new MirrorFileSource(path));
}

}  // namespace repair
}  // namespace brevik
