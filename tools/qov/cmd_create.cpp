// cmd_create.cpp - `qov create`: a new, empty archive.

#include <cstdio>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov create [OPTIONS] ARCHIVE\n"
    "\n"
    "Makes a new, empty archive.  Every creation parameter can be set; the\n"
    "defaults are those of the archive library.\n"
    "\n"
    "Options (sizes in bytes; K, M and G suffixes and 0x hex are accepted):\n"
    "  --capacity N          most files the archive can hold, 1..16777216\n"
    "                        (default 65536)\n"
    "  --sector-size-exp N   sector size 512 << N, N in 0..22 (default 3: 4 KiB)\n"
    "  --sector-size BYTES   the same as a byte count: a power of two from 512\n"
    "  --piece-size BYTES    size of a piece with its own MD5 digest (default 1M)\n"
    "  --chunk-size BYTES    chunk-digest size, 0 for none (default 0)\n"
    "  --format-version N    header format version, 0..65535 (default 0)\n"
    "  --header-offset BYTES where the header starts, a multiple of 512\n"
    "                        (default 0); the bytes before it are zero\n"
    "  -f, --force           replace ARCHIVE if it exists\n" QOV_MD5_OPTION_HELP;

// Reads option NAME as a number in MIN..MAX into *VALUE (unchanged when the
// option is absent).  False after reporting bad usage in *EXIT_CODE.
bool NumberOption(const CommandInfo& command, const ParsedArgs& args, const char* name, uint64_t min,
                  uint64_t max, uint64_t* value, int* exitCode) {
    const std::string* text = args.Value(name);
    if (text == nullptr) return true;
    uint64_t number = 0;
    if (!ParseNumber(*text, &number) || number < min || number > max) {
        *exitCode =
            UsageError(command, "--" + std::string(name) + " must be a number from " + std::to_string(min) +
                                    " to " + std::to_string(max) + ", not " + Quote(*text));
        return false;
    }
    *value = number;
    return true;
}

int RunCreate(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv,
                                       {{"capacity", 0, true},
                                        {"sector-size-exp", 0, true},
                                        {"sector-size", 0, true},
                                        {"piece-size", 0, true},
                                        {"chunk-size", 0, true},
                                        {"format-version", 0, true},
                                        {"header-offset", 0, true},
                                        {"force", 'f', false},
                                        QOV_MD5_OPTION},
                                       1, 1, &args);
    if (early >= 0) return early;
    const std::string& path = args.positionals[0];

    uint64_t capacity = 65536;
    int exitCode = kExitUsage;
    if (!NumberOption(command, args, "capacity", 1, NQOV_MAX_FILE_COUNT, &capacity, &exitCode))
        return exitCode;
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, static_cast<uint32_t>(capacity));

    uint64_t sectorExp = params.wSectorSize;
    uint64_t pieceSize = params.dwMD5PieceSize;
    uint64_t chunkSize = params.dwRawChunkSize;
    uint64_t formatVersion = params.wFormatVersion;
    uint64_t headerOffset = params.qwHeaderOffset;
    if (args.Has("sector-size-exp") && args.Has("sector-size"))
        return UsageError(command, "give --sector-size-exp or --sector-size, not both");
    if (!NumberOption(command, args, "sector-size-exp", 0, 22, &sectorExp, &exitCode) ||
        !NumberOption(command, args, "piece-size", 1, UINT32_MAX, &pieceSize, &exitCode) ||
        !NumberOption(command, args, "chunk-size", 0, UINT32_MAX, &chunkSize, &exitCode) ||
        !NumberOption(command, args, "format-version", 0, UINT16_MAX, &formatVersion, &exitCode) ||
        !NumberOption(command, args, "header-offset", 0, uint64_t(1) << 48, &headerOffset, &exitCode))
        return exitCode;
    if (const std::string* text = args.Value("sector-size")) {
        uint64_t bytes = 0;
        bool found = false;
        if (ParseNumber(*text, &bytes)) {
            for (uint64_t exp = 0; exp <= 22 && !found; exp++) {
                if ((uint64_t(512) << exp) == bytes) {
                    sectorExp = exp;
                    found = true;
                }
            }
        }
        if (!found)
            return UsageError(command,
                              "--sector-size must be a power of two from 512 to 2G, not " + Quote(*text));
    }
    if (headerOffset % 512 != 0)
        return UsageError(command,
                          "--header-offset must be a multiple of 512, not " + std::to_string(headerOffset));

    params.wSectorSize = static_cast<uint16_t>(sectorExp);
    params.dwMD5PieceSize = static_cast<uint32_t>(pieceSize);
    params.dwRawChunkSize = static_cast<uint32_t>(chunkSize);
    params.wFormatVersion = static_cast<uint16_t>(formatVersion);
    params.qwHeaderOffset = headerOffset;

    if (args.Has("force")) {
        fs::Status status;
        std::string error;
        if (!fs::GetStatus(path, &status, &error)) {
            Report("cannot examine " + Quote(path) + ": " + error);
            return kExitFailure;
        }
        if (status.kind == fs::Kind::Directory) {
            Report("cannot replace " + Quote(path) + ": it is a folder");
            return kExitFailure;
        }
        if (!fs::RemoveFile(path, &error)) {
            Report("cannot remove " + Quote(path) + ": " + error);
            return kExitFailure;
        }
    }

    ArchiveHandle archive;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileCreateArchive(path.c_str(), &params, archive.Receive())) {
        const uint32_t error = QOVGetLastError();
        ReportError("cannot create archive " + Quote(path), error);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) Report("use --force to replace it");
        return kExitFailure;
    }
    if (!archive.Close(true)) {
        ReportError("cannot write archive " + Quote(path), QOVGetLastError());
        return kExitFailure;
    }
    std::printf("created %s: capacity %u files, sector %u bytes, piece %u bytes\n", path.c_str(),
                params.dwMaxFileCount, 512u << params.wSectorSize, params.dwMD5PieceSize);
    return kExitOk;
}

}  // namespace

const CommandInfo kCreateCommand = {"create", "make a new, empty archive", kUsage, RunCreate};

}  // namespace qov
