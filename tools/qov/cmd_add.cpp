// cmd_add.cpp - `qov add`: store disk files and folders in an archive.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "json.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov add [OPTIONS] ARCHIVE PATH...\n"
    "\n"
    "Stores files and folders in an existing archive.  A file is stored under\n"
    "its own name (without its folder); a folder is stored with everything in\n"
    "it, each file under its path relative to that folder, with '\\' between\n"
    "folder names.  The list file and the tables are written at the end.\n"
    "\n"
    "Options:\n"
    "  --as NAME        store the one PATH under NAME (for a folder: its files\n"
    "                   go under the folder NAME)\n"
    "  --no-compress    store the content as it is (default: compressed)\n"
    "  --encrypt        encipher the stored bytes\n"
    "  --fix-key        encipher with a key that also depends on the position\n"
    "                   (implies --encrypt)\n"
    "  --crc            keep a checksum for every compressed sector\n"
    "  --single-unit    store the file as one unit instead of sectors\n"
    "  --flags VALUE    further file flags to set, e.g. 0x00100000\n"
    "  --base-tag HEX   make ARCHIVE a patch of the archive (or chain) whose\n"
    "                   identity is HEX, 32 hex digits ('qov patch-tag' shows\n"
    "                   it): sets ARCHIVE's patch base tag.  The tag is\n"
    "                   written with the tables, so at least one file must be\n"
    "                   added\n"
    "  -v, --verbose    name every file as it is added\n" QOV_MD5_OPTION_HELP
    "\n"
    "The library adjusts what cannot apply: files under 4 bytes are stored\n"
    "without encryption, files under 32 bytes also without compression and\n"
    "checksums, and sector checksums need sectors that are compressed (not\n"
    "with --no-compress or --single-unit).  Names cannot hold control\n"
    "characters.\n";

// One disk file to store.
struct AddItem {
    std::string path;  // on disk
    std::string name;  // in the archive
    uint64_t size = 0;
};

// Collects the files under FOLDER (recursively, sorted) as items named
// PREFIX + their relative path with '\' separators.  Symbolic links to
// folders and special files are skipped with a message.  False when some
// part could not be read (the rest is still collected).
bool CollectFolder(const std::string& folder, const std::string& prefix, std::vector<AddItem>* items) {
    std::vector<std::string> names;
    std::string error;
    if (!fs::ListDirectory(folder, &names, &error)) {
        Report("cannot read folder " + Quote(folder) + ": " + error);
        return false;
    }
    bool ok = true;
    for (const std::string& name : names) {
        const std::string path = fs::JoinPath(folder, name);
        const std::string archived = prefix + name;
        fs::Status status;
        if (!fs::GetLinkStatus(path, &status, &error)) {
            Report("cannot examine " + Quote(path) + ": " + error);
            ok = false;
            continue;
        }
        if (status.kind == fs::Kind::Other) {
            // A link to a file is stored as that file; links to folders are
            // not followed, so that a link cannot make the walk loop.
            if (!fs::GetStatus(path, &status, &error)) {
                Report("cannot examine " + Quote(path) + ": " + error);
                ok = false;
                continue;
            }
            if (status.kind != fs::Kind::File) {
                Report("skipping " + Quote(path) + ": not a regular file");
                continue;
            }
        }
        if (status.kind == fs::Kind::Directory) {
            if (!CollectFolder(path, archived + "\\", items)) ok = false;
        } else if (status.kind == fs::Kind::File) {
            items->push_back({path, archived, status.size});
        }
    }
    return ok;
}

// Copies ITEM into the archive with SFileCreateFileEx, SFileWriteFile and
// SFileFinishFile, reading the disk file through the fs layer.
bool StreamFile(TNQOVArchive* ha, const AddItem& item, uint32_t flags, std::string* failure,
                uint32_t* error) {
    fs::InputFile input;
    std::string reason;
    if (!input.Open(item.path, &reason)) {
        *failure = "cannot read " + Quote(item.path) + ": " + reason;
        return false;
    }
    const uint32_t size = static_cast<uint32_t>(item.size);
    TNQOVFile* hf = nullptr;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileCreateFileEx(ha, item.name.c_str(), size, flags, &hf)) {
        *error = QOVGetLastError();
        if (hf != nullptr) SFileFinishFile(hf);
        *failure = "cannot add " + Quote(item.path) + " as " + Quote(item.name);
        return false;
    }
    const size_t kBlock = 1024 * 1024;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBlock]);
    uint64_t done = 0;
    bool ok = true;
    while (ok && done < item.size) {
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, item.size - done));
        if (!input.Read(buffer.get(), want, &got, &reason)) {
            *failure = "cannot read " + Quote(item.path) + ": " + reason;
            ok = false;
        } else if (got == 0) {
            *failure = "cannot add " + Quote(item.path) + ": it became shorter while being read";
            ok = false;
        } else if (!SFileWriteFile(hf, buffer.get(), static_cast<uint32_t>(got))) {
            *error = QOVGetLastError();
            *failure = "cannot write " + Quote(item.name) + " into the archive";
            ok = false;
        }
        done += got;
    }
    // Finishing with fewer bytes than announced discards the record.
    if (!SFileFinishFile(hf) && ok) {
        *error = QOVGetLastError();
        *failure = "cannot finish " + Quote(item.name);
        ok = false;
    }
    return ok;
}

// Whether ITEM is stored exactly as SFileAddFileEx stores it (flags
// NQOV_FILE_COMPRESS), so that SFileAddFileEx can copy it.  An empty file
// loses compression, encryption and checksums whatever was asked, so it
// counts as the default form too (and SFileAddFileEx also records the MD5 of
// its empty content).  The library reads '\' in a disk path as a folder
// separator, so disk paths that hold one are always copied by StreamFile.
bool UsesDefaultForm(const AddItem& item, uint32_t flags) {
    if (item.path.find('\\') != std::string::npos) return false;
    if (flags == NQOV_FILE_COMPRESS) return true;
    const uint32_t kKeptWhenEmpty = NQOV_FILE_SINGLE_UNIT | NQOV_FILE_FLAG_20 | NQOV_FILE_FLAG_30;
    return item.size == 0 && (flags & kKeptWhenEmpty) == 0;
}

// Whether the archive at PATH has TAG as its patch base tag now; reports
// what went wrong when not.
bool CheckBaseTag(const std::string& path, const uint8_t tag[16]) {
    ArchiveHandle archive;
    if (!OpenArchive(path, true, &archive)) return false;
    QOV_ARCHIVE_INFO info;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileGetArchiveInfo(archive.get(), &info)) {
        ReportError("cannot read the header figures of " + Quote(path), QOVGetLastError());
        return false;
    }
    if (std::memcmp(info.MD5_PatchBaseTag, tag, 16) != 0) {
        Report("the base tag of " + Quote(path) + " is " + HexDigits(info.MD5_PatchBaseTag, 16) +
               " after writing, not " + HexDigits(tag, 16));
        return false;
    }
    return true;
}

int RunAdd(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv,
                                       {{"as", 0, true},
                                        {"no-compress", 0, false},
                                        {"encrypt", 0, false},
                                        {"fix-key", 0, false},
                                        {"crc", 0, false},
                                        {"single-unit", 0, false},
                                        {"flags", 0, true},
                                        {"base-tag", 0, true},
                                        {"verbose", 'v', false},
                                        QOV_MD5_OPTION},
                                       2, -1, &args);
    if (early >= 0) return early;
    const std::string& archivePath = args.positionals[0];
    const std::vector<std::string> paths(args.positionals.begin() + 1, args.positionals.end());
    const std::string* asName = args.Value("as");
    if (asName != nullptr && paths.size() != 1) return UsageError(command, "--as needs exactly one PATH");
    if (asName != nullptr && asName->empty()) return UsageError(command, "--as needs a name");

    uint32_t flags = NQOV_FILE_COMPRESS;
    if (args.Has("no-compress")) flags &= ~NQOV_FILE_COMPRESS;
    if (args.Has("encrypt")) flags |= NQOV_FILE_ENCRYPTED;
    if (args.Has("fix-key")) flags |= NQOV_FILE_ENCRYPTED | NQOV_FILE_FIX_KEY;
    if (args.Has("crc")) flags |= NQOV_FILE_SECTOR_CRC;
    if (args.Has("single-unit")) flags |= NQOV_FILE_SINGLE_UNIT;
    if (const std::string* text = args.Value("flags")) {
        uint64_t extra = 0;
        if (!ParseNumber(*text, &extra) || (extra & ~uint64_t(NQOV_FILE_WRITABLE_FLAGS)) != 0) {
            char allowed[16];
            std::snprintf(allowed, sizeof allowed, "0x%08X", NQOV_FILE_WRITABLE_FLAGS);
            return UsageError(command, "--flags must be made of the bits " + std::string(allowed) + ", not " +
                                           Quote(*text));
        }
        flags |= static_cast<uint32_t>(extra);
    }
    uint8_t baseTag[16] = {};
    const std::string* baseTagText = args.Value("base-tag");
    if (baseTagText != nullptr && !ParseTag(*baseTagText, baseTag))
        return UsageError(command, "--base-tag must be 32 hex digits, not " + Quote(*baseTagText));
    const bool verbose = args.Has("verbose");

    // Gather every file before the archive is opened.  Paths that cannot be
    // added are reported, the others are added all the same, and the exit
    // status tells that something was left out.
    bool ok = true;
    std::vector<AddItem> items;
    for (const std::string& path : paths) {
        fs::Status status;
        std::string error;
        if (!fs::GetStatus(path, &status, &error)) {
            Report("cannot examine " + Quote(path) + ": " + error);
            ok = false;
        } else if (status.kind == fs::Kind::Missing) {
            Report("cannot add " + Quote(path) + ": no such file or folder");
            ok = false;
        } else if (status.kind == fs::Kind::Directory) {
            const std::string prefix = asName != nullptr ? *asName + "\\" : std::string();
            if (!CollectFolder(path, prefix, &items)) ok = false;
        } else if (status.kind == fs::Kind::File) {
            items.push_back({path, asName != nullptr ? *asName : fs::BaseName(path), status.size});
        } else {
            Report("cannot add " + Quote(path) + ": not a regular file or folder");
            ok = false;
        }
    }
    if (items.empty()) {
        if (baseTagText != nullptr) {
            Report("the base tag is not set: no files to add to " + Quote(archivePath) +
                   " (the tag is written with the tables, which need a file added)");
            return kExitFailure;
        }
        if (ok) std::printf("no files to add: the archive is unchanged\n");
        return ok ? kExitOk : kExitFailure;
    }

    ArchiveHandle archive;
    if (!OpenArchive(archivePath, false, &archive)) return kExitFailure;

    uint64_t addedBytes = 0;
    size_t added = 0;
    for (const AddItem& item : items) {
        std::string failure;
        uint32_t error = ERROR_SUCCESS;
        bool itemOk;
        if (item.size > UINT32_MAX) {
            failure = "cannot add " + Quote(item.path) + ": files of 4 GiB and more do not fit";
            error = ERROR_DISK_FULL;
            itemOk = false;
        } else if (UsesDefaultForm(item, flags)) {
            QOVSetLastError(ERROR_SUCCESS);
            itemOk = SFileAddFileEx(archive.get(), item.path.c_str(), item.name.c_str());
            if (!itemOk) {
                error = QOVGetLastError();
                failure = "cannot add " + Quote(item.path) + " as " + Quote(item.name);
            }
        } else {
            itemOk = StreamFile(archive.get(), item, flags, &failure, &error);
        }
        if (!itemOk) {
            if (error != ERROR_SUCCESS)
                ReportError(failure, error);
            else
                Report(failure);
            ok = false;
            continue;
        }
        added++;
        addedBytes += item.size;
        if (verbose) std::printf("added %s\n", item.name.c_str());
    }

    // The header, with the tag, is written by the closing flush, which
    // writes the tables only when a file was added.
    if (baseTagText != nullptr) {
        if (added == 0) {
            Report("the base tag is not set: no file was added to " + Quote(archivePath));
            ok = false;
        } else {
            archive.get()->SetPatchBaseTag(baseTag);
        }
    }

    // Closing with flush writes the list file, the tables and the piece
    // digests.
    QOVSetLastError(ERROR_SUCCESS);
    if (!archive.Close(true)) {
        ReportError("cannot write the tables of " + Quote(archivePath), QOVGetLastError());
        return kExitFailure;
    }
    if (baseTagText != nullptr && added > 0 && !CheckBaseTag(archivePath, baseTag)) return kExitFailure;
    std::printf("added %zu file%s (%llu bytes) to %s\n", added, added == 1 ? "" : "s",
                static_cast<unsigned long long>(addedBytes), archivePath.c_str());
    return ok ? kExitOk : kExitFailure;
}

}  // namespace

const CommandInfo kAddCommand = {"add", "store files and folders in an archive", kUsage, RunAdd};

}  // namespace qov
