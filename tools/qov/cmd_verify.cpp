// cmd_verify.cpp - `qov verify`: every piece against its digest, then every
// file against its MD5.  Nothing is written to the archive.

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "json.h"
#include "progress.h"
#include "qov.h"
#include "workers.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov verify [--json] ARCHIVE\n"
    "\n"
    "Checks every piece of the archive against its MD5 digest, then reads\n"
    "every file and checks its content MD5.  The archive is opened read-only\n"
    "and never written.  A progress bar is drawn when standard error is a\n"
    "terminal.\n"
    "\n"
    "Options:\n"
    "  --json   print {\"pieces\", \"last_piece_size\", \"bad_pieces\", \"bad_files\"},\n"
    "           or {\"error\": CODE} when the archive cannot be opened\n"
    "\n"
    "Exit status: 0 intact, 1 damage found, 2 the archive cannot be opened\n"
    "(or bad usage).\n";

// VerifyFile results that make a file bad.
const uint32_t kBadFileFlags = VERIFY_CANNOT_OPEN | VERIFY_READ_ERROR |
                               VERIFY_FILE_SECTOR_CRC_ERROR | VERIFY_FILE_MD5_ERROR;

struct BadFile {
    std::string name;
    uint32_t flags;
};

// "read error, MD5 mismatch" for the bad flags of a VerifyFile result.
std::string DescribeVerifyFlags(uint32_t flags) {
    std::string text;
    const auto add = [&](uint32_t bit, const char* what) {
        if ((flags & bit) == 0) return;
        if (!text.empty()) text += ", ";
        text += what;
    };
    add(VERIFY_CANNOT_OPEN, "cannot be opened");
    add(VERIFY_READ_ERROR, "read error");
    add(VERIFY_FILE_SECTOR_CRC_ERROR, "sector checksum error");
    add(VERIFY_FILE_MD5_ERROR, "MD5 mismatch");
    return text;
}

// Feeds the library's per-piece callback into the progress bar.
class PieceProgress : public sfile_verify_piece_callback {
public:
    explicit PieceProgress(ProgressBar* bar) : bar_(bar) {}
    void OnPieceVerified(uint32_t dwPieceCount, uint32_t dwPieceIndex) override {
        bar_->Update("pieces", uint64_t(dwPieceIndex) + 1, dwPieceCount);
    }

private:
    ProgressBar* bar_;
};

// The indexes of the bad pieces.  With a piece-state map, all of its bytes
// are cleared, SFileVerifyAll marks every piece it verifies (1 good, 2 bad)
// and pieces it did not reach (a read failure ends it early) are checked one
// by one.  Without a map every piece is checked one by one.
std::vector<uint32_t> FindBadPieces(TNQOVArchive* ha, uint32_t count, uint32_t pieceSize,
                                    uint32_t lastPieceSize, ProgressBar* bar) {
    std::vector<uint32_t> bad;
    std::unique_ptr<uint8_t[]> buffer;
    const auto checkAlone = [&](uint32_t index) {
        if (!buffer) buffer.reset(new uint8_t[pieceSize]);
        const uint32_t length = index + 1 == count ? lastPieceSize : pieceSize;
        // False both for a digest mismatch and for a piece that cannot be read.
        if (!SFileReadPieceVerified(ha, index, buffer.get(), length)) bad.push_back(index);
    };

    uint32_t mapSize = 0;
    uint8_t* map = SFileGetBitmap(ha, &mapSize);
    if (map == nullptr) {
        for (uint32_t index = 0; index < count; index++) {
            checkAlone(index);
            bar->Update("pieces", uint64_t(index) + 1, count);
        }
        return bad;
    }
    std::memset(map, 0, mapSize);
    PieceProgress progress(bar);
    SFileVerifyAll(ha, &progress);
    for (uint32_t index = 0; index < count; index++) {
        const uint8_t state = index < mapSize ? map[index] : 0;
        if (state == 2)
            bad.push_back(index);
        else if (state != 1)
            checkAlone(index);
    }
    return bad;
}

int RunVerify(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"json", 0, false}}, 1, 1, &args);
    if (early >= 0) return early;
    const std::string& path = args.positionals[0];
    const bool json = args.Has("json");

    ArchiveHandle archive;
    uint32_t openError = ERROR_SUCCESS;
    if (!OpenArchive(path, true, &archive, &openError)) {
        if (json) {
            JsonWriter out;
            out.BeginObject().Key("error").Number(openError).EndObject();
            std::printf("%s\n", out.Text().c_str());
        }
        return kExitUsage;
    }
    TNQOVArchive* ha = archive.get();

    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileGetPieceCount(ha, &lastPieceSize, &pieceCount, &pieceSize) || pieceSize == 0) {
        ReportError("cannot count the pieces of " + Quote(path), QOVGetLastError());
        return kExitFailure;
    }
    std::vector<Record> records;
    if (!ReadRecords(ha, path, &records)) return kExitFailure;

    ProgressBar bar(fs::IsTerminal(stderr));
    const std::vector<uint32_t> badPieces =
        FindBadPieces(ha, pieceCount, pieceSize, lastPieceSize, &bar);

    // The files are checked on every core, each thread with its own handle.
    std::vector<const Record*> files;
    for (const Record& record : records)
        if (HasContent(record)) files.push_back(&record);
    std::vector<uint32_t> results(files.size(), VERIFY_CANNOT_OPEN);
    const auto verifyOne = [&](TNQOVArchive* handle, size_t i) {
        results[i] = VerifyFile(handle, files[i]->name.c_str());
    };
    std::function<void(size_t)> progress;
    if (bar.Enabled()) progress = [&](size_t done) { bar.Update("files", done, files.size()); };
    ForEachOnWorkers(path, files.size(), DefaultJobs(), &archive, verifyOne, progress);
    bar.Finish();
    std::vector<BadFile> badFiles;
    for (size_t i = 0; i < files.size(); i++)
        if (results[i] & kBadFileFlags) badFiles.push_back({files[i]->name, results[i]});

    const bool damaged = !badPieces.empty() || !badFiles.empty();
    if (json) {
        JsonWriter out;
        out.BeginObject()
            .Key("pieces").Number(pieceCount)
            .Key("last_piece_size").Number(lastPieceSize)
            .Key("bad_pieces").BeginArray();
        for (uint32_t index : badPieces) out.Number(index);
        out.EndArray().Key("bad_files").BeginArray();
        for (const BadFile& file : badFiles) out.String(file.name);
        out.EndArray().EndObject();
        std::printf("%s\n", out.Text().c_str());
        return damaged ? kExitFailure : kExitOk;
    }

    std::printf("archive %s\n", path.c_str());
    std::printf("pieces: %u (%u bytes each, the last %u bytes), %zu bad", pieceCount, pieceSize,
                lastPieceSize, badPieces.size());
    for (size_t i = 0; i < badPieces.size(); i++)
        std::printf("%s%u", i == 0 ? ": " : ", ", badPieces[i]);
    std::printf("\nfiles: %zu checked, %zu bad\n", files.size(), badFiles.size());
    for (const BadFile& file : badFiles)
        std::printf("  bad file %s (%s)\n", file.name.c_str(), DescribeVerifyFlags(file.flags).c_str());
    std::printf("%s\n", damaged ? "damage found" : "the archive is intact");
    return damaged ? kExitFailure : kExitOk;
}

}  // namespace

const CommandInfo kVerifyCommand = {"verify", "check every piece and every file", kUsage,
                                    RunVerify};

}  // namespace qov
