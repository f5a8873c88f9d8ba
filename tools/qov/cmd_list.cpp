// cmd_list.cpp - `qov list`: the records of an archive, as a table or JSON.

#include <cstdio>

#include "archive.h"
#include "errors.h"
#include "json.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov list [--json] [--patch PATCH]... ARCHIVE\n"
    "\n"
    "Shows every record of the archive's file table, in table order: files,\n"
    "folders and delete markers.  Records without a stored name appear under\n"
    "their pseudo name \".File<hash>.\".\n"
    "\n"
    "With patches, the list is that of the chain: for every name of the base\n"
    "and its patches, the record that wins it (the one in the newest archive\n"
    "holding the name), in file-id order (ascending name hash), with the\n"
    "archive it comes from: 0 the base, k the k-th patch given.\n"
    "\n"
    "Options:\n"
    "  --json          one JSON array, an object per record:\n"
    "                  {\"name\", \"flags\", \"size\", \"stored_size\", \"md5\"},\n"
    "                  with patches also \"archive\"\n"
    "  --patch PATCH   attach the patch archive PATCH (repeatable, oldest\n"
    "                  first); its base tag must be the version the chain has\n"
    "                  reached\n"
    "\n"
    "The kind column of the table: d folder, x delete marker, and for files\n"
    "c compressed, e encrypted, k fixed key, s sector checksums, u single unit.\n";

// The kind column for a record with FLAGS, e.g. "ce-s-".
std::string KindLetters(uint32_t flags) {
    if (flags & NQOV_FILE_DIRECTORY) return "d    ";
    if (flags & NQOV_FILE_DELETE_MARKER) return "x    ";
    std::string letters = "-----";
    if (flags & NQOV_FILE_COMPRESSED) letters[0] = 'c';
    if (flags & NQOV_FILE_ENCRYPTED) letters[1] = 'e';
    if (flags & NQOV_FILE_FIX_KEY) letters[2] = 'k';
    if (flags & NQOV_FILE_SECTOR_CRC) letters[3] = 's';
    if (flags & NQOV_FILE_SINGLE_UNIT) letters[4] = 'u';
    return letters;
}

// CHAIN: the records of a chain, each with the archive it comes from.
void PrintJson(const std::vector<Record>& records, bool chain) {
    std::fputs("[", stdout);
    for (size_t i = 0; i < records.size(); i++) {
        const Record& record = records[i];
        JsonWriter json;
        json.BeginObject()
            .Key("name")
            .String(record.name)
            .Key("flags")
            .Number(record.flags)
            .Key("size")
            .Number(record.fileSize)
            .Key("stored_size")
            .Number(record.storedSize)
            .Key("md5")
            .String(HexDigits(record.md5, sizeof record.md5));
        if (chain) json.Key("archive").Number(record.archive);
        json.EndObject();
        std::printf("%s\n  %s", i == 0 ? "" : ",", json.Text().c_str());
    }
    std::fputs(records.empty() ? "]\n" : "\n]\n", stdout);
}

void PrintTable(const std::vector<Record>& records, bool chain) {
    if (chain)
        std::printf("%12s %12s %-10s %-5s %7s  %s\n", "size", "stored", "flags", "kind", "archive", "name");
    else
        std::printf("%12s %12s %-10s %-5s  %s\n", "size", "stored", "flags", "kind", "name");
    uint64_t totalSize = 0, totalStored = 0;
    size_t files = 0;
    for (const Record& record : records) {
        if (chain)
            std::printf("%12u %12u 0x%08X %s %7zu  %s\n", record.fileSize, record.storedSize, record.flags,
                        KindLetters(record.flags).c_str(), record.archive, record.name.c_str());
        else
            std::printf("%12u %12u 0x%08X %s  %s\n", record.fileSize, record.storedSize, record.flags,
                        KindLetters(record.flags).c_str(), record.name.c_str());
        if (HasContent(record)) {
            files++;
            totalSize += record.fileSize;
            totalStored += record.storedSize;
        }
    }
    std::printf("%12llu %12llu %zu record%s, %zu file%s\n", static_cast<unsigned long long>(totalSize),
                static_cast<unsigned long long>(totalStored), records.size(), records.size() == 1 ? "" : "s",
                files, files == 1 ? "" : "s");
}

int RunList(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"json", 0, false}, {"patch", 0, true}}, 1, 1, &args);
    if (early >= 0) return early;
    const ChainSpec chain{args.positionals[0], args.Values("patch")};
    const bool patched = !chain.patches.empty();

    ArchiveHandle archive;
    std::vector<TNQOVArchive*> archives;
    if (!OpenChain(chain, &archive, &archives)) return kExitFailure;
    std::vector<Record> records;
    if (patched ? !ReadChainRecords(archive.get(), chain, archives, &records)
                : !ReadRecords(archive.get(), chain.path, &records))
        return kExitFailure;
    if (args.Has("json"))
        PrintJson(records, patched);
    else
        PrintTable(records, patched);
    return kExitOk;
}

}  // namespace

const CommandInfo kListCommand = {"list", "show the files of an archive", kUsage, RunList};

}  // namespace qov
