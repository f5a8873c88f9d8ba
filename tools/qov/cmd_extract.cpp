// cmd_extract.cpp - `qov extract`: stored files into a folder, on several
// threads.
//
// Archive handles are never shared between threads: with more than one job
// every worker opens its own read-only handle and takes files from a common
// counter, so each file is extracted by exactly one worker.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "archive.h"
#include "errors.h"
#include "fs.h"
#include "qov.h"

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
    "  -v, --verbose     name every file extracted\n";

struct Job {
    std::string name;    // in the archive
    std::string target;  // on disk
};

// What happened to each job; written by the one worker that took the job.
struct Outcome {
    enum State { kPending, kDone, kFailed } state = kPending;
    uint32_t error = ERROR_SUCCESS;
};

struct SharedWork {
    const std::string* archivePath;
    const std::vector<Job>* jobs;
    std::vector<Outcome>* outcomes;
    std::atomic<size_t> next{0};
    std::mutex reportLock;  // keeps messages of different workers apart
};

// Takes jobs until none is left.  ARCHIVE is the worker's own handle; when it
// is not open yet, the worker opens it read-only itself.
void RunWorker(SharedWork* work, ArchiveHandle* archive) {
    if (archive->get() == nullptr) {
        QOVSetLastError(ERROR_SUCCESS);
        if (!SFileOpenArchive(work->archivePath->c_str(), archive->Receive(),
                              NQOV_OPEN_READ_ONLY)) {
            const uint32_t error = QOVGetLastError();
            std::lock_guard<std::mutex> lock(work->reportLock);
            ReportError("a worker cannot open archive " + Quote(*work->archivePath), error);
            return;
        }
    }
    const std::vector<Job>& jobs = *work->jobs;
    for (;;) {
        const size_t i = work->next.fetch_add(1);
        if (i >= jobs.size()) break;
        Outcome& outcome = (*work->outcomes)[i];
        QOVSetLastError(ERROR_SUCCESS);
        if (SFileExtractFile(archive->get(), jobs[i].name.c_str(), jobs[i].target.c_str())) {
            outcome.state = Outcome::kDone;
        } else {
            outcome.state = Outcome::kFailed;
            outcome.error = QOVGetLastError();
        }
    }
}

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
    const int early = ParseCommandArgs(
        command, argv, {{"output", 'o', true}, {"jobs", 'j', true}, {"verbose", 'v', false}}, 1,
        -1, &args);
    if (early >= 0) return early;
    const std::string& path = args.positionals[0];
    const std::vector<std::string> names(args.positionals.begin() + 1, args.positionals.end());
    const std::string output = args.Has("output") ? *args.Value("output") : std::string(".");
    if (output.empty()) return UsageError(command, "--output needs a folder");
    uint64_t jobCount = std::thread::hardware_concurrency();
    if (const std::string* text = args.Value("jobs")) {
        if (!ParseNumber(*text, &jobCount) || jobCount < 1 || jobCount > 1024)
            return UsageError(command, "--jobs must be a number from 1 to 1024, not " +
                                           Quote(*text));
    }
    if (jobCount < 1) jobCount = 1;
    const bool verbose = args.Has("verbose");

    ArchiveHandle archive;
    if (!OpenArchive(path, true, &archive)) return kExitFailure;

    std::vector<std::string> wanted = names;
    if (wanted.empty()) {
        std::vector<Record> records;
        if (!ReadRecords(archive.get(), path, &records)) return kExitFailure;
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
    SharedWork work;
    work.archivePath = &path;
    work.jobs = &jobs;
    work.outcomes = &outcomes;
    const size_t threads = std::min<size_t>(static_cast<size_t>(jobCount), jobs.size());
    if (threads <= 1) {
        RunWorker(&work, &archive);
    } else {
        archive.Close(false);  // every worker has its own handle
        std::vector<ArchiveHandle> handles(threads);
        std::vector<std::thread> workers;
        workers.reserve(threads);
        for (size_t i = 0; i < threads; i++) {
            try {
                workers.emplace_back(RunWorker, &work, &handles[i]);
            } catch (const std::system_error&) {
                break;  // no more threads to be had: the started ones do the rest
            }
        }
        if (workers.empty()) RunWorker(&work, &handles[0]);
        for (std::thread& worker : workers) worker.join();
    }

    size_t extracted = 0, notReached = 0;
    for (size_t i = 0; i < jobs.size(); i++) {
        switch (outcomes[i].state) {
            case Outcome::kDone:
                extracted++;
                if (verbose) std::printf("extracted %s\n", jobs[i].name.c_str());
                break;
            case Outcome::kFailed:
                ReportError("cannot extract " + Quote(jobs[i].name) + " to " +
                                Quote(jobs[i].target),
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

const CommandInfo kExtractCommand = {"extract", "copy stored files into a folder", kUsage,
                                     RunExtract};

}  // namespace qov
