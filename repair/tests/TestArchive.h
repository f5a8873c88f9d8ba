// TestArchive.h - what the repair core's tests share: a scratch folder,
// whole files, an archive made with the library, damage, and a scripted
// in-memory source.

#ifndef BREVIK_REPAIR_TESTS_TESTARCHIVE_H
#define BREVIK_REPAIR_TESTS_TESTARCHIVE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "QOVLib.h"
#include "repair/PieceSource.h"

namespace repairtest {

typedef std::vector<uint8_t> Bytes;

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

Bytes ReadAll(const std::string& path);
void WriteAll(const std::string& path, const Bytes& data);
Bytes RandomBytes(size_t size, uint64_t seed);

// A mirror archive made with the library: `files` files of random bytes,
// stored plain, compressed and enciphered in turn; 4 KiB pieces.
struct MirrorArchive {
    std::string path;
    Bytes bytes;  // the whole file
    QOV_ARCHIVE_INFO info{};
    uint32_t pieceCount = 0;
    uint32_t pieceSize = 0;
};
MirrorArchive MakeMirror(const std::string& path, int files, size_t fileSize, uint64_t seed);

// Overwrites a few bytes inside each piece.
void DamagePieces(const std::string& path, uint32_t pieceSize, const std::vector<uint32_t>& pieces);
// The pieces whose bytes differ from the mirror's.
std::vector<uint32_t> PiecesUnlike(const std::string& path, const MirrorArchive& mirror);

// What a scripted source does with one request.
struct Reply {
    brevik::repair::FetchStatus status = brevik::repair::FetchStatus::kComplete;
    uint64_t deliver = UINT64_MAX;  // bytes handed on before `status` ends the fetch
    int64_t flipAt = -1;            // offset in the range of a byte to invert
    int64_t retryAfterMs = -1;
    std::string message = "scripted fault";
};

// What a scripted source serves and does, and the ranges it was asked
// for.  Kept by the test (the repair owns the source itself).
class SourceScript {
public:
    SourceScript(std::string name, Bytes bytes) : m_name(std::move(name)), m_bytes(std::move(bytes)) {}

    const std::string& Name() const { return m_name; }
    const Bytes& Data() const { return m_bytes; }

    // Called for every request (on the workers), with the request's number.
    std::function<Reply(uint64_t position, uint64_t length, int request)> script;
    // Called after each chunk handed on: a test can look or wait here.
    std::function<void(uint64_t delivered)> afterChunk;
    size_t chunk = 4096;

    int Record(uint64_t position, uint64_t length);
    std::vector<std::pair<uint64_t, uint64_t>> Requests();

private:
    const std::string m_name;
    const Bytes m_bytes;
    std::mutex m_mutex;
    std::vector<std::pair<uint64_t, uint64_t>> m_requests;
};

// A source over bytes in memory, answering each request as its script says
// (every byte, by default).
class ScriptedSource : public brevik::repair::PieceSource {
public:
    explicit ScriptedSource(std::shared_ptr<SourceScript> script) : m_script(std::move(script)) {}

    std::string Name() const override { return m_script->Name(); }
    std::unique_ptr<brevik::repair::SourceConnection> Connect(const std::atomic<bool>& stop,
                                                              std::string* error) override;

private:
    std::shared_ptr<SourceScript> m_script;
};

}  // namespace repairtest

#endif  // BREVIK_REPAIR_TESTS_TESTARCHIVE_H
