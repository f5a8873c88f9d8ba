// TestArchive.cpp - the repair tests' helpers.

#include "TestArchive.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace repairtest {

using brevik::repair::FetchResult;
using brevik::repair::FetchStatus;

TempDir::TempDir() {
    // A name of our own: create_directory is false when it exists already.
    std::random_device random;
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path path =
            std::filesystem::temp_directory_path(error) / ("repair_test_" + std::to_string(random()));
        if (std::filesystem::create_directory(path, error)) {
            m_path = path.generic_string();
            return;
        }
    }
    ADD_FAILURE() << "no scratch folder";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes RandomBytes(size_t size, uint64_t seed) {
    Bytes bytes(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

MirrorArchive MakeMirror(const std::string& path, int files, size_t fileSize, uint64_t seed) {
    MirrorArchive mirror;
    mirror.path = path;
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 64);
    params.dwMD5PieceSize = 4096;
    TNQOVArchive* archive = nullptr;
    EXPECT_TRUE(SFileCreateArchive(path.c_str(), &params, &archive));
    if (archive == nullptr) return mirror;
    const uint32_t kinds[] = {0, NQOV_FILE_COMPRESS, NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED};
    for (int n = 0; n < files; ++n) {
        const Bytes data = RandomBytes(fileSize, seed + n);
        const std::string name = "data\\file" + std::to_string(n) + ".bin";
        TNQOVFile* file = nullptr;
        EXPECT_TRUE(SFileCreateFileEx(archive, name.c_str(), static_cast<uint32_t>(data.size()), kinds[n % 3],
                                      &file));
        EXPECT_TRUE(SFileWriteFile(file, data.data(), static_cast<uint32_t>(data.size())));
        EXPECT_TRUE(SFileFinishFile(file));
    }
    EXPECT_TRUE(SFileCloseArchive(archive, true));
    EXPECT_TRUE(SFileOpenArchive(path.c_str(), &archive, NQOV_OPEN_READ_ONLY));
    SFileGetArchiveInfo(archive, &mirror.info);
    uint32_t last = 0;
    SFileGetPieceCount(archive, &last, &mirror.pieceCount, &mirror.pieceSize);
    SFileCloseArchive(archive, false);
    mirror.bytes = ReadAll(path);
    return mirror;
}

void DamagePieces(const std::string& path, uint32_t pieceSize, const std::vector<uint32_t>& pieces) {
    Bytes bytes = ReadAll(path);
    for (uint32_t piece : pieces) {
        const size_t at = size_t(piece) * pieceSize + 7;
        for (size_t n = 0; n < 16 && at + n < bytes.size(); ++n) bytes[at + n] ^= 0x5A;
    }
    WriteAll(path, bytes);
}

std::vector<uint32_t> PiecesUnlike(const std::string& path, const MirrorArchive& mirror) {
    const Bytes bytes = ReadAll(path);
    std::vector<uint32_t> unlike;
    for (uint32_t piece = 0; piece < mirror.pieceCount; ++piece) {
        const size_t from = size_t(piece) * mirror.pieceSize;
        const size_t to = std::min<size_t>(from + mirror.pieceSize, mirror.info.ArchieveSize);
        if (bytes.size() < to ||
            !std::equal(mirror.bytes.begin() + from, mirror.bytes.begin() + to, bytes.begin() + from))
            unlike.push_back(piece);
    }
    return unlike;
}

class ScriptedConnection : public brevik::repair::SourceConnection {
public:
    ScriptedConnection(std::shared_ptr<SourceScript> source, const std::atomic<bool>& stop)
        : m_source(std::move(source)), m_stop(stop) {}

    FetchResult Fetch(uint64_t position, uint64_t length, brevik::repair::RangeReceiver& receiver,
                      const brevik::repair::Expectation& expect) override {
        SourceScript& source = *m_source;
        const int request = source.Record(position, length);
        Reply reply;
        if (source.script) reply = source.script(position, length, request);
        FetchResult result;
        const Bytes& data = source.Data();
        result.fileSize = data.size();
        if (expect.fileSize != 0 && expect.fileSize != data.size()) {
            result.status = FetchStatus::kChanged;
            return result;
        }
        if (position >= data.size()) {
            result.status = FetchStatus::kFailed;
            result.message = source.Name() + " has no such bytes";
            return result;
        }
        const uint64_t available = std::min<uint64_t>(length, data.size() - position);
        const uint64_t deliver = std::min(available, reply.deliver);
        Bytes part;
        for (uint64_t done = 0; done < deliver;) {
            if (m_stop) {
                result.status = FetchStatus::kStopped;
                return result;
            }
            const uint64_t size = std::min<uint64_t>(source.chunk, deliver - done);
            part.assign(data.begin() + position + done, data.begin() + position + done + size);
            if (reply.flipAt >= 0 && uint64_t(reply.flipAt) >= done && uint64_t(reply.flipAt) < done + size)
                part[reply.flipAt - done] ^= 0xFF;
            if (!receiver.Receive(part.data(), part.size())) {
                result.status = FetchStatus::kRefused;
                return result;
            }
            done += size;
            result.received = done;
            if (source.afterChunk) source.afterChunk(done);
        }
        if (deliver < available || reply.status != FetchStatus::kComplete) {
            result.status = reply.status == FetchStatus::kComplete ? FetchStatus::kRetry : reply.status;
            result.message = source.Name() + ": " + reply.message;
            result.retryAfterMs = reply.retryAfterMs;
        }
        return result;
    }

private:
    std::shared_ptr<SourceScript> m_source;
    const std::atomic<bool>& m_stop;
};

std::unique_ptr<brevik::repair::SourceConnection> ScriptedSource::Connect(const std::atomic<bool>& stop,
                                                                          std::string*) {
    return std::unique_ptr<brevik::repair::SourceConnection>(new ScriptedConnection(m_script, stop));
}

int SourceScript::Record(uint64_t position, uint64_t length) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_requests.emplace_back(position, length);
    return static_cast<int>(m_requests.size()) - 1;
}

std::vector<std::pair<uint64_t, uint64_t>> SourceScript::Requests() {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_requests;
}

}  // namespace repairtest
