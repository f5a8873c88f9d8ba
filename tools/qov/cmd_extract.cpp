// cmd_extract.cpp - `qov extract`: stored files into a folder, on several
// threads.
//
// With more than one job every worker has its own read-only archive handle
// (workers.h) and each file is extracted by exactly one worker.

#include <cstdio>
#include <set>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "qov.h"
#include "workers.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov extract [OPTIONS] ARCHIVE [NAME...]\n"
    "\n"
    "Copies stored files into a folder.  Without NAMEs every file is\n"
    "extracted (folders, delete markers and the list file are not files);\n"
    "files without a stored name come out under their pseudo name.  Folders\n"
    "in a name ('\\' or '/') become sub-folders.  Existing files are replaced.\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR  the folder to extract into (default: the current one);\n"
    "                    it is created when missing\n"
    "  -j, --jobs N      extract on N threads (default: the number of cores)\n"
    "  -v, --verbose     name every file extracted\n"
    "  --patch PATCH     attach the patch archive PATCH (repeatable, oldest\n"
    "                    first): names are looked up over the chain, and\n"
    "                    without NAMEs the files are those that win their\n"
    "                    name in the chain (as 'qov list --patch' shows them)\n" QOV_MD5_OPTION_HELP;

struct Job {
    std::string name;    // in the archive
    std::string target;  // on disk
};

// What happened to each job; written by the one worker that took the job.
struct Outcome {
    enum State { kPending, kDone, kFailed } state = kPending;
    uint32_t error = ERROR_SUCCESS;
};

// The disk path for stored NAME inside OUTPUT, or false when a part of the
// name cannot be used as a file name (empty, ".", ".."), so that no file can
// land outside OUTPUT.
bool TargetPath(const std::string& output, const std::string& name, std::string* target,
                std::string* folder) {
    std::string path = output;
    std::string part;
    std::string parent;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i < name.size() && name[i] != '\\' && name[i] != '/') {
            part += name[i];
            continue;
        }
        if (!fs::IsSafePathPart(part)) return false;
        parent = path;
        path = fs::JoinPath(path, part);
        part.clear();
    }
    *target = path;
    *folder = parent;
    return true;
}

int RunExtract(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv,
                                       {{"output", 'o', true},
                                        {"jobs", 'j', true},
                                        {"verbose", 'v', false},
                                        {"patch", 0, true},
                                        QOV_MD5_OPTION},
                                       1, -1, &args);
    if (early >= 0) return early;
    const ChainSpec chain{args.positionals[0], args.Values("patch")};
    const std::vector<std::string> names(args.positionals.begin() + 1, args.positionals.end());
    const std::string output = args.Has("output") ? *args.Value("output") : std::string(".");
    if (output.empty()) return UsageError(command, "--output needs a folder");
    uint64_t jobCount = DefaultJobs();
    if (const std::string* text = args.Value("jobs")) {
        if (!ParseNumber(*text, &jobCount) || jobCount < 1 || jobCount > 1024)
            return UsageError(command, "--jobs must be a number from 1 to 1024, not " + Quote(*text));
    }
    const bool verbose = args.Has("verbose");

    ArchiveHandle archive;
    std::vector<TNQOVArchive*> archives;
    if (!OpenChain(chain, &archive, &archives)) return kExitFailure;

    std::vector<std::string> wanted = names;
    if (wanted.empty()) {
        std::vector<Record> records;
        if (chain.patches.empty() ? !ReadRecords(archive.get(), chain.path, &records)
                                  : !ReadChainRecords(archive.get(), chain, archives, &records))
            return kExitFailure;
        for (const Record& record : records)
            if (HasContent(record) && !IsListFileName(record.name)) wanted.push_back(record.name);
    }

    // Decide every target and create the folders before any thread starts.
    bool ok = true;
    std::vector<Job> jobs;
    std::set<std::string> targets, folders;
    for (const std::string& name : wanted) {
        Job job{name, std::string()};
        std::string folder;
        if (!TargetPath(output, name, &job.target, &folder)) {
            Report("not extracting " + Quote(name) + ": the name is not a safe path");
            ok = false;
            continue;
        }
        if (!targets.insert(job.target).second) continue;  // named twice
        folders.insert(folder);
        jobs.push_back(job);
    }
    for (const std::string& folder : folders) {
        std::string error;
        if (!fs::MakeDirectories(folder, &error)) {
            Report(error);
            return kExitFailure;
        }
    }

    std::vector<Outcome> outcomes(jobs.size());
    const auto extractOne = [&](TNQOVArchive* ha, size_t i) {
        Outcome& outcome = outcomes[i];
        QOVSetLastError(ERROR_SUCCESS);
        if (SFileExtractFile(ha, jobs[i].name.c_str(), jobs[i].target.c_str())) {
            outcome.state = Outcome::kDone;
        } else {
            outcome.state = Outcome::kFailed;
            outcome.error = QOVGetLastError();
        }
    };
    // Every worker's handle gets the same patches.
    ForEachOnWorkers(ChainOpener(chain), jobs.size(), static_cast<size_t>(jobCount), &archive, extractOne);

    size_t extracted = 0, notReached = 0;
    for (size_t i = 0; i < jobs.size(); i++) {
        switch (outcomes[i].state) {
            case Outcome::kDone:
                extracted++;
                if (verbose) std::printf("extracted %s\n", jobs[i].name.c_str());
                break;
            case Outcome::kFailed:
                ReportError("cannot extract " + Quote(jobs[i].name) + " to " + Quote(jobs[i].target),
                            outcomes[i].error);
                ok = false;
                break;
            case Outcome::kPending:
                notReached++;
                ok = false;
                break;
        }
    }
    if (notReached > 0)
        Report(std::to_string(notReached) + " file" + (notReached == 1 ? " was" : "s were") +
               " not extracted");
    std::printf("extracted %zu of %zu file%s into %s\n", extracted, wanted.size(),
                wanted.size() == 1 ? "" : "s", output.c_str());
    return ok ? kExitOk : kExitFailure;
}

}  // namespace

const CommandInfo kExtractCommand = {"extract", "copy stored files into a folder", kUsage, RunExtract};

}  // namespace qov
