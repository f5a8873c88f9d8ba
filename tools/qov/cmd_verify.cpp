// cmd_verify.cpp - `qov verify`: every piece against its digest and the
// files that lie in bad ones; with --deep every file read and checked
// against its MD5 too.  Nothing is written to the archive.

#include <cstdio>
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "json.h"
#include "pieces.h"
#include "progress.h"
#include "qov.h"
#include "workers.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov verify [OPTIONS] [--patch PATCH]... ARCHIVE\n"
    "\n"
    "Checks every piece of the archive against its MD5 digest and names the\n"
    "files that hold a bad piece.  The pieces cover every byte of the archive\n"
    "(header, tables and stored files), and the piece table is checked\n"
    "against its own digest when the archive opens, so this finds any damage\n"
    "to the file on disk, at several times the speed of md5sum.  With --deep\n"
    "every file is also read through decompression and decryption and its\n"
    "content checked against its MD5, which also finds a file stored wrong in\n"
    "the first place, at about the speed of extracting everything.  The\n"
    "archive is opened read-only and never written.  A progress bar is drawn\n"
    "when standard error is a terminal.\n"
    "\n"
    "Use the default to check an archive for damage (after a download, a copy\n"
    "or a crash); use --deep to check what a program that made or changed\n"
    "archives wrote.\n"
    "\n"
    "With patches, the pieces of every archive of the chain are checked, and\n"
    "the files are those that win their name in the chain (as 'qov list\n"
    "--patch' shows them), with --deep each read through the chain.\n"
    "\n"
    "Options:\n"
    "  --deep          also read every file and check its content MD5\n"
    "  -j, --jobs N    check on N threads (default: the number of cores)\n"
    "  --json          print {\"pieces\", \"last_piece_size\", \"bad_pieces\",\n"
    "                  \"bad_files\", \"deep\"} (the pieces of the base), with\n"
    "                  patches also \"patches\": [{\"archive\", \"pieces\",\n"
    "                  \"last_piece_size\", \"bad_pieces\"}...]; or {\"error\":\n"
    "                  CODE} when the archive cannot be opened or a patch\n"
    "                  cannot be attached\n"
    "  --patch PATCH   attach the patch archive PATCH (repeatable, oldest first)\n" QOV_MD5_OPTION_HELP
    "\n"
    "Exit status: 0 intact, 1 damage found, 2 the archive cannot be opened or\n"
    "a patch cannot be attached (or bad usage).\n";

// VerifyFile results that make a file bad.
const uint32_t kBadFileFlags =
    VERIFY_CANNOT_OPEN | VERIFY_READ_ERROR | VERIFY_FILE_SECTOR_CRC_ERROR | VERIFY_FILE_MD5_ERROR;

// What was found about one file.  Without --deep a file is bad when it
// holds a bad piece (a repair rewrites it); with --deep when reading it
// fails or its content does not match its MD5, as a program reading it
// would find (a compressed file may lie in a bad piece with its own bytes
// intact).
struct FileCheck {
    bool located = false;             // its pieces are known
    std::vector<uint32_t> badPieces;  // of its archive
    bool deep = false;                // it was read
    uint32_t deepFlags = 0;           // VerifyFile's result, when read

    bool Bad() const { return deep ? (deepFlags & kBadFileFlags) != 0 : NeedsPieceCheck(); }
    // Whether its pieces were not all found good.
    bool NeedsPieceCheck() const { return !located || !badPieces.empty(); }
};

// "holds bad pieces 3, 4; read error, MD5 mismatch" for a bad file.
std::string DescribeFileCheck(const FileCheck& check) {
    std::vector<std::string> parts;
    if (!check.located) parts.push_back("its pieces cannot be found");
    if (!check.badPieces.empty()) {
        std::string text = check.badPieces.size() == 1 ? "holds bad piece " : "holds bad pieces ";
        for (size_t i = 0; i < check.badPieces.size(); i++)
            text += (i == 0 ? "" : ", ") + std::to_string(check.badPieces[i]);
        parts.push_back(text);
    }
    std::string flags;
    const auto flag = [&](uint32_t bit, const char* what) {
        if ((check.deepFlags & bit) == 0) return;
        if (!flags.empty()) flags += ", ";
        flags += what;
    };
    flag(VERIFY_CANNOT_OPEN, "cannot be opened");
    flag(VERIFY_READ_ERROR, "read error");
    flag(VERIFY_FILE_SECTOR_CRC_ERROR, "sector checksum error");
    flag(VERIFY_FILE_MD5_ERROR, "MD5 mismatch");
    if (!flags.empty()) parts.push_back(flags);
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return text;
}

// The pieces of every archive of the chain: ARCHIVES[k] opened from the
// chain's k-th path.  False after reporting when one cannot be checked.
bool CheckChainPieces(const ChainSpec& chain, const std::vector<TNQOVArchive*>& archives, size_t jobs,
                      ProgressBar* bar, std::vector<PieceReport>* pieces) {
    pieces->resize(archives.size());
    std::function<void(uint64_t, uint64_t)> progress;
    if (bar->Enabled())
        progress = [bar](uint64_t done, uint64_t total) { bar->Update("pieces", done, total); };
    for (size_t k = 0; k < archives.size(); k++)
        if (!CheckAllPieces(archives[k], ChainArchivePath(chain, k), jobs, progress, &(*pieces)[k]))
            return false;
    return true;
}

// Which pieces each file lies in (looked up over the chain, in the archive
// that holds it) and which of those are bad.
void FindFilesWithBadPieces(TNQOVArchive* ha, const std::vector<const Record*>& files,
                            const std::vector<PieceReport>& pieces, std::vector<FileCheck>* checks) {
    for (size_t i = 0; i < files.size(); i++) {
        FileCheck& check = (*checks)[i];
        uint32_t first = 0, count = 0;
        check.located = files[i]->archive < pieces.size() &&
                        SFilePathToPieceIndex(ha, files[i]->name.c_str(), &first, &count);
        if (!check.located) continue;
        check.badPieces = pieces[files[i]->archive].BadAmong(first, count);
    }
}

// Files read together by one worker (VerifyFiles hashes them at once):
// files whose pieces all verified are read without checking the pieces
// again, those holding a bad piece with the check, as any reader would.
struct FileGroup {
    std::vector<size_t> files;
    bool checkPieces = false;
};

// Groups of up to 16 files (the engine's lanes), as many as there are
// workers at least, so that every worker gets a share.
std::vector<FileGroup> GroupFiles(const std::vector<FileCheck>& checks, size_t jobs) {
    std::vector<FileGroup> groups;
    for (const bool checkPieces : {false, true}) {
        std::vector<size_t> files;
        for (size_t i = 0; i < checks.size(); i++)
            if (checks[i].NeedsPieceCheck() == checkPieces) files.push_back(i);
        const size_t size = std::min<size_t>(16, std::max<size_t>(1, (files.size() + jobs - 1) / jobs));
        for (size_t first = 0; first < files.size(); first += size) {
            FileGroup group;
            group.checkPieces = checkPieces;
            group.files.assign(files.begin() + first, files.begin() + std::min(files.size(), first + size));
            groups.push_back(group);
        }
    }
    return groups;
}

// --deep: every file read through the chain and checked against its
// content MD5, on the workers, each with its own handle.
void ReadEveryFile(const ChainSpec& chain, ArchiveHandle* archive, size_t jobs,
                   const std::vector<const Record*>& files, ProgressBar* bar,
                   std::vector<FileCheck>* checks) {
    for (FileCheck& check : *checks) {
        check.deep = true;
        check.deepFlags = VERIFY_CANNOT_OPEN;
    }
    const std::vector<FileGroup> groups = GroupFiles(*checks, jobs);
    const auto verifyGroup = [&](TNQOVArchive* handle, size_t g) {
        const FileGroup& group = groups[g];
        std::vector<const char*> names;
        for (size_t i : group.files) names.push_back(files[i]->name.c_str());
        std::vector<uint32_t> results(names.size(), VERIFY_CANNOT_OPEN);
        VerifyFiles(handle, names.data(), static_cast<uint32_t>(names.size()), results.data(),
                    group.checkPieces);
        for (size_t n = 0; n < group.files.size(); n++) (*checks)[group.files[n]].deepFlags = results[n];
    };
    std::function<void(size_t)> progress;
    if (bar->Enabled()) progress = [&](size_t done) { bar->Update("files", done, groups.size()); };
    // Every worker's handle gets the same patches.
    ForEachOnWorkers(ChainOpener(chain), groups.size(), jobs, archive, verifyGroup, progress);
}

void PrintPieceLine(const PieceReport& report) {
    std::printf("pieces: %u (%u bytes each, the last %u bytes), %zu bad", report.count, report.size,
                report.lastSize, report.bad.size());
    for (size_t i = 0; i < report.bad.size(); i++) std::printf("%s%u", i == 0 ? ": " : ", ", report.bad[i]);
    std::printf("\n");
}

void PrintJson(const ChainSpec& chain, const std::vector<PieceReport>& pieces,
               const std::vector<std::string>& badFiles, bool deep) {
    const PieceReport& base = pieces[0];
    JsonWriter out;
    out.BeginObject()
        .Key("pieces")
        .Number(base.count)
        .Key("last_piece_size")
        .Number(base.lastSize)
        .Key("bad_pieces")
        .BeginArray();
    for (uint32_t index : base.bad) out.Number(index);
    out.EndArray().Key("bad_files").BeginArray();
    for (const std::string& name : badFiles) out.String(name);
    out.EndArray().Key("deep").Bool(deep);
    if (!chain.patches.empty()) {
        out.Key("patches").BeginArray();
        for (size_t k = 1; k < pieces.size(); k++) {
            out.BeginObject()
                .Key("archive")
                .String(pieces[k].path)
                .Key("pieces")
                .Number(pieces[k].count)
                .Key("last_piece_size")
                .Number(pieces[k].lastSize)
                .Key("bad_pieces")
                .BeginArray();
            for (uint32_t index : pieces[k].bad) out.Number(index);
            out.EndArray().EndObject();
        }
        out.EndArray();
    }
    out.EndObject();
    std::printf("%s\n", out.Text().c_str());
}

int RunVerify(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(
        command, argv,
        {{"json", 0, false}, {"deep", 0, false}, {"jobs", 'j', true}, {"patch", 0, true}, QOV_MD5_OPTION}, 1,
        1, &args);
    if (early >= 0) return early;
    uint64_t jobs = DefaultJobs();
    if (const std::string* text = args.Value("jobs")) {
        if (!ParseNumber(*text, &jobs) || jobs < 1 || jobs > 1024)
            return UsageError(command, "--jobs must be a number from 1 to 1024, not " + Quote(*text));
    }
    const ChainSpec chain{args.positionals[0], args.Values("patch")};
    const std::string& path = chain.path;
    const bool json = args.Has("json");
    const bool deep = args.Has("deep");

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
    std::vector<const Record*> files;
    for (const Record& record : records)
        if (HasContent(record)) files.push_back(&record);

    // The pieces of the base, then those of each patch; the files that lie
    // in bad ones; with --deep, every file read.
    ProgressBar bar(fs::IsTerminal(stderr));
    std::vector<PieceReport> pieces;
    if (!CheckChainPieces(chain, archives, static_cast<size_t>(jobs), &bar, &pieces)) return kExitFailure;
    std::vector<FileCheck> checks(files.size());
    FindFilesWithBadPieces(ha, files, pieces, &checks);
    if (deep) ReadEveryFile(chain, &archive, static_cast<size_t>(jobs), files, &bar, &checks);
    bar.Finish();

    std::vector<size_t> bad;
    for (size_t i = 0; i < files.size(); i++)
        if (checks[i].Bad()) bad.push_back(i);
    bool damaged = !bad.empty();
    for (const PieceReport& report : pieces)
        if (!report.bad.empty()) damaged = true;
    if (json) {
        std::vector<std::string> badNames;
        for (size_t i : bad) badNames.push_back(files[i]->name);
        PrintJson(chain, pieces, badNames, deep);
        return damaged ? kExitFailure : kExitOk;
    }

    std::printf("archive %s\n", path.c_str());
    PrintPieceLine(pieces[0]);
    for (size_t k = 1; k < pieces.size(); k++) {
        std::printf("patch %zu %s\n", k, pieces[k].path.c_str());
        PrintPieceLine(pieces[k]);
    }
    std::printf("files: %zu checked, %zu bad (%s)\n", files.size(), bad.size(),
                deep ? "their pieces, and each read with its content MD5"
                     : "by their pieces; --deep also reads each one");
    for (size_t i : bad)
        std::printf("  bad file %s (%s)\n", files[i]->name.c_str(), DescribeFileCheck(checks[i]).c_str());
    std::printf("%s\n", damaged ? "damage found" : "the archive is intact");
    return damaged ? kExitFailure : kExitOk;
}

}  // namespace

const CommandInfo kVerifyCommand = {"verify", "check every piece; with --deep, every file too", kUsage,
                                    RunVerify};

}  // namespace qov
