// cmd_info.cpp - `qov info`: header and table figures of an archive.

#include <cstdio>

#include "archive.h"
#include "errors.h"
#include "json.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov info [--json | --dump] ARCHIVE\n"
    "\n"
    "Shows the archive's header and table figures: where the header is, its\n"
    "format version, sector and piece sizes, the positions and sizes of the\n"
    "tables, the file-table capacity and use, and the stored digests.\n"
    "\n"
    "Options:\n"
    "  --json   the same figures as one JSON object\n"
    "  --dump   the archive library's own dump instead: the header fields one\n"
    "           per line (\"NAME:VALUE\", digests in upper-case hex), then one\n"
    "           line per existing record\n";

// One figure: its JSON key, its label in the text form and its value.
struct Figure {
    const char* key;
    const char* label;
    uint64_t value;
    bool hex;  // shown as hex in the text form
};

struct Digest {
    const char* key;
    const char* label;
    const uint8_t* bytes;
};

int RunInfo(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"json", 0, false}, {"dump", 0, false}}, 1, 1, &args);
    if (early >= 0) return early;
    const std::string& path = args.positionals[0];
    if (args.Has("json") && args.Has("dump")) return UsageError(command, "give --json or --dump, not both");

    ArchiveHandle archive;
    if (!OpenArchive(path, true, &archive)) return kExitFailure;
    if (args.Has("dump")) {
        // The library prints on standard output itself.
        std::fflush(stdout);
        QOVSetLastError(ERROR_SUCCESS);
        if (!archive.get()->DumpHeader()) {
            std::fflush(stdout);
            ReportError("cannot dump the header of " + Quote(path), QOVGetLastError());
            return kExitFailure;
        }
        if (std::fflush(stdout) != 0) {
            Report("cannot write to standard output");
            return kExitFailure;
        }
        return kExitOk;
    }
    QOV_ARCHIVE_INFO info;
    if (!SFileGetArchiveInfo(archive.get(), &info)) {
        ReportError("cannot read the header figures of " + Quote(path), QOVGetLastError());
        return kExitFailure;
    }
    uint32_t lastPieceSize = 0, pieceCount = 0, pieceSize = 0;
    if (!SFileGetPieceCount(archive.get(), &lastPieceSize, &pieceCount, &pieceSize)) {
        ReportError("cannot count the pieces of " + Quote(path), QOVGetLastError());
        return kExitFailure;
    }

    const Figure figures[] = {
        {"header_offset", "header offset", info.HeaderOffset, false},
        {"header_size", "header size", info.HeaderSize, false},
        {"format_version", "format version", info.wFormatVersion, false},
        {"sector_size_exp", "sector size exponent", info.wSectorSize, false},
        {"sector_bytes", "sector size", info.dwSectorBytes, false},
        {"archive_size", "archive size", info.ArchieveSize, false},
        {"piece_size", "piece size", pieceSize, false},
        {"piece_count", "piece count", pieceCount, false},
        {"last_piece_size", "last piece size", lastPieceSize, false},
        {"raw_chunk_size", "chunk-digest size", info.dwRawChunkSize, false},
        {"het_pos", "HET table position", info.HetTablePos64, false},
        {"het_size", "HET table size", info.HetTableSize64, false},
        {"bet_pos", "BET table position", info.BetTablePos64, false},
        {"bet_size", "BET table size", info.BetTableSize64, false},
        {"md5_table_pos", "MD5 table position", info.MD5TablePos64, false},
        {"md5_table_size", "MD5 table size", info.MD5TableSize64, false},
        {"bitmap_pos", "piece map position", info.BitmapPos64, false},
        {"bitmap_size", "piece map size", info.BitmapSize64, false},
        {"max_file_count", "capacity (files)", info.dwMaxFileCount, false},
        {"file_table_size", "records", info.dwFileTableSize, false},
        {"hash_table_size", "hash table size", info.dwHashTableSize, false},
        {"archive_flags", "archive flags", info.dwArchiveFlags, true},
    };
    const Digest digests[] = {
        {"md5_header", "header digest", info.MD5_QOVHeader},
        {"md5_het", "HET table digest", info.MD5_HetTable},
        {"md5_bet", "BET table digest", info.MD5_BetTable},
        {"patch_base_tag", "patch base tag", info.MD5_PatchBaseTag},
        {"patched_tag", "patched tag", info.MD5_PatchedTag},
    };

    if (args.Has("json")) {
        JsonWriter json;
        json.BeginObject();
        for (const Figure& figure : figures) json.Key(figure.key).Number(figure.value);
        for (const Digest& digest : digests) json.Key(digest.key).String(HexDigits(digest.bytes, 16));
        json.EndObject();
        std::printf("%s\n", json.Text().c_str());
        return kExitOk;
    }
    std::printf("archive %s\n", path.c_str());
    for (const Figure& figure : figures) {
        if (figure.hex)
            std::printf("  %-22s 0x%08llX\n", figure.label, static_cast<unsigned long long>(figure.value));
        else
            std::printf("  %-22s %llu\n", figure.label, static_cast<unsigned long long>(figure.value));
    }
    for (const Digest& digest : digests)
        std::printf("  %-22s %s\n", digest.label, HexDigits(digest.bytes, 16).c_str());
    return kExitOk;
}

}  // namespace

const CommandInfo kInfoCommand = {"info", "show header and table figures", kUsage, RunInfo};

}  // namespace qov
