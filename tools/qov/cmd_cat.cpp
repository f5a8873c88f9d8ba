// cmd_cat.cpp - `qov cat`: one stored file to standard output.

#include <cstdio>
#include <memory>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov cat [--patch PATCH]... ARCHIVE NAME\n"
    "\n"
    "Writes the content of the stored file NAME to standard output, byte for\n"
    "byte.  NAME is matched without regard to case, with '\\' or '/' between\n"
    "folders; pseudo names \".File<hash>.\" work too.  Pieces are checked\n"
    "against their digests while reading, so damaged content is not written.\n"
    "\n"
    "Options:\n"
    "  --patch PATCH   attach the patch archive PATCH (repeatable, oldest\n"
    "                  first); NAME is then looked up over the chain, newest\n"
    "                  archive first\n" QOV_MD5_OPTION_HELP;

int RunCat(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"patch", 0, true}, QOV_MD5_OPTION}, 2, 2, &args);
    if (early >= 0) return early;
    const std::string& path = args.positionals[0];
    const std::string& name = args.positionals[1];

    ArchiveHandle archive;
    if (!OpenChain(ChainSpec{path, args.Values("patch")}, &archive)) return kExitFailure;

    TNQOVFile* hf = nullptr;
    QOVSetLastError(ERROR_SUCCESS);
    if (!NQOVOpenFileEx(archive.get(), name.c_str(), QOV_OPEN_PATCHED, &hf)) {
        ReportError("cannot open " + Quote(name) + " in " + Quote(path), QOVGetLastError());
        return kExitFailure;
    }
    // Closes the stored file on every way out.
    std::unique_ptr<TNQOVFile, bool (*)(TNQOVFile*)> file(hf, SFileCloseFile);

    fs::SetBinaryMode(stdout);
    const uint32_t size = SFileGetFileSize(hf);
    const uint32_t kBlock = 256 * 1024;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBlock]);
    uint64_t written = 0;
    for (;;) {
        uint32_t got = 0;
        QOVSetLastError(ERROR_SUCCESS);
        const bool ok = SFileReadFile(hf, buffer.get(), kBlock, &got, true);
        const uint32_t error = QOVGetLastError();
        if (got > 0 && std::fwrite(buffer.get(), 1, got, stdout) != got) {
            Report("cannot write to standard output");
            return kExitFailure;
        }
        written += got;
        if (!ok && error != ERROR_HANDLE_EOF) {
            std::fflush(stdout);
            ReportError("cannot read " + Quote(name) + " from " + Quote(path), error);
            return kExitFailure;
        }
        if (!ok || got == 0) break;
    }
    if (std::fflush(stdout) != 0) {
        Report("cannot write to standard output");
        return kExitFailure;
    }
    if (size != NQOV_INVALID_SIZE && written != size) {
        Report("read only " + std::to_string(written) + " of " + std::to_string(size) + " bytes of " +
               Quote(name));
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

const CommandInfo kCatCommand = {"cat", "write one stored file to standard output", kUsage, RunCat};

}  // namespace qov
