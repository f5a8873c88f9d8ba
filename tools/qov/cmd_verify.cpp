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
    "usage: qov verify [--json] [--patch PATCH]... ARCHIVE\n"
    "\n"
    "Checks every piece of the archive against its MD5 digest, then reads\n"
    "every file and checks its content MD5.  The archive is opened read-only\n"
    "and never written.  A progress bar is drawn when standard error is a\n"
    "terminal.\n"
    "\n"
    "With patches, the pieces of every archive of the chain are checked, and\n"
    "the files are those that win their name in the chain (as 'qov list\n"
    "--patch' shows them), each read through the chain.\n"
    "\n"
    "Options:\n"
    "  --json          print {\"pieces\", \"last_piece_size\", \"bad_pieces\",\n"
    "                  \"bad_files\"} (the pieces of the base), with patches also\n"
    "                  \"patches\": [{\"archive\", \"pieces\", \"last_piece_size\",\n"
    "                  \"bad_pieces\"}...]; or {\"error\": CODE} when the archive\n"
    "                  cannot be opened or a patch cannot be attached\n"
    "  --patch PATCH   attach the patch archive PATCH (repeatable, oldest first)\n"
    "\n"
    "Exit status: 0 intact, 1 damage found, 2 the archive cannot be opened or\n"
    "a patch cannot be attached (or bad usage).\n";

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
// are cleared, SFileVerifyAll marks every piece it verifies (good or bad)
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
    std::memset(map, NQOV_PIECE_UNKNOWN, mapSize);
    PieceProgress progress(bar);
    SFileVerifyAll(ha, &progress);
    for (uint32_t index = 0; index < count; index++) {
        const uint8_t state = index < mapSize ? map[index] : NQOV_PIECE_UNKNOWN;
        if (state == NQOV_PIECE_BAD)
            bad.push_back(index);
        else if (state != NQOV_PIECE_GOOD)
            checkAlone(index);
    }
    return bad;
}

// The pieces of one archive of the chain and the bad ones among them.
struct PieceReport {
    std::string path;
    uint32_t count = 0;
    uint32_t size = 0;
    uint32_t lastSize = 0;
    std::vector<uint32_t> bad;
};

// Checks the pieces of HA (named PATH); false after reporting when they
// cannot be counted.
bool CheckPieces(TNQOVArchive* ha, const std::string& path, ProgressBar* bar,
                 PieceReport* report) {
    report->path = path;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileGetPieceCount(ha, &report->lastSize, &report->count, &report->size) ||
        report->size == 0) {
        ReportError("cannot count the pieces of " + Quote(path), QOVGetLastError());
        return false;
    }
    report->bad = FindBadPieces(ha, report->count, report->size, report->lastSize, bar);
    return true;
}

void PrintPieceLine(const PieceReport& report) {
    std::printf("pieces: %u (%u bytes each, the last %u bytes), %zu bad", report.count,
                report.size, report.lastSize, report.bad.size());
    for (size_t i = 0; i < report.bad.size(); i++)
        std::printf("%s%u", i == 0 ? ": " : ", ", report.bad[i]);
    std::printf("\n");
}

int RunVerify(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"json", 0, false}, {"patch", 0, true}}, 1,
                                       1, &args);
    if (early >= 0) return early;
    const ChainSpec chain{args.positionals[0], args.Values("patch")};
    const std::string& path = chain.path;
    const bool json = args.Has("json");

    ArchiveHandle archive;
    std::vector<TNQOVArchive*> archives;
    uint32_t openError = ERROR_SUCCESS;
    if (!OpenChain(chain, &archive, &archives, &openError)) {
        if (json) {
            JsonWriter out;
            out.BeginObject().Key("error").Number(openError).EndObject();
            std::printf("%s\n", out.Text().c_str());
        }
        return kExitUsage;
    }
    TNQOVArchive* ha = archive.get();

    std::vector<Record> records;
    if (chain.patches.empty() ? !ReadRecords(ha, path, &records)
                             : !ReadChainRecords(ha, chain, archives, &records))
        return kExitFailure;

    // The pieces of the base, then those of each patch.
    ProgressBar bar(fs::IsTerminal(stderr));
    std::vector<PieceReport> pieces(archives.size());
    for (size_t k = 0; k < archives.size(); k++)
        if (!CheckPieces(archives[k], ChainArchivePath(chain, k), &bar, &pieces[k]))
            return kExitFailure;

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
    // Every worker's handle gets the same patches.
    ForEachOnWorkers(ChainOpener(chain), files.size(), DefaultJobs(), &archive, verifyOne,
                     progress);
    bar.Finish();
    std::vector<BadFile> badFiles;
    for (size_t i = 0; i < files.size(); i++)
        if (results[i] & kBadFileFlags) badFiles.push_back({files[i]->name, results[i]});

    bool damaged = !badFiles.empty();
    for (const PieceReport& report : pieces)
        if (!report.bad.empty()) damaged = true;
    if (json) {
        const PieceReport& base = pieces[0];
        JsonWriter out;
        out.BeginObject()
            .Key("pieces").Number(base.count)
            .Key("last_piece_size").Number(base.lastSize)
            .Key("bad_pieces").BeginArray();
        for (uint32_t index : base.bad) out.Number(index);
        out.EndArray().Key("bad_files").BeginArray();
        for (const BadFile& file : badFiles) out.String(file.name);
        out.EndArray();
        if (!chain.patches.empty()) {
            out.Key("patches").BeginArray();
            for (size_t k = 1; k < pieces.size(); k++) {
                out.BeginObject()
                    .Key("archive").String(pieces[k].path)
                    .Key("pieces").Number(pieces[k].count)
                    .Key("last_piece_size").Number(pieces[k].lastSize)
                    .Key("bad_pieces").BeginArray();
                for (uint32_t index : pieces[k].bad) out.Number(index);
                out.EndArray().EndObject();
            }
            out.EndArray();
        }
        out.EndObject();
        std::printf("%s\n", out.Text().c_str());
        return damaged ? kExitFailure : kExitOk;
    }

    std::printf("archive %s\n", path.c_str());
    PrintPieceLine(pieces[0]);
    for (size_t k = 1; k < pieces.size(); k++) {
        std::printf("patch %zu %s\n", k, pieces[k].path.c_str());
        PrintPieceLine(pieces[k]);
    }
    std::printf("files: %zu checked, %zu bad\n", files.size(), badFiles.size());
    for (const BadFile& file : badFiles)
        std::printf("  bad file %s (%s)\n", file.name.c_str(), DescribeVerifyFlags(file.flags).c_str());
    std::printf("%s\n", damaged ? "damage found" : "the archive is intact");
    return damaged ? kExitFailure : kExitOk;
}

}  // namespace

const CommandInfo kVerifyCommand = {"verify", "check every piece and every file", kUsage,
                                    RunVerify};

}  // namespace qov
