// cmd_repair.cpp - `qov repair`: brings an archive back from a web server
// or a mirror archive with the repair core (repair/): plan, then fetch the
// damaged pieces and write each one verified.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "errors.h"
#include "fs.h"
#include "json.h"
#include "qov.h"
#include "repair/Repair.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qov {

namespace {

namespace rp = brevik::repair;

const char kUsage[] =
    "usage: qov repair [OPTIONS] ARCHIVE --from SOURCE [--from SOURCE]...\n"
    "\n"
    "Repairs ARCHIVE from a copy of the same archive: every piece is hashed\n"
    "again, the damaged or missing ones are fetched from SOURCE and each is\n"
    "written as soon as it arrived and its MD5 matches the piece table, so a\n"
    "wrong byte never reaches the archive and a stopped repair keeps every\n"
    "piece it received.  A header or tables that cannot be read, a missing\n"
    "tail or a missing archive are rebuilt from the source, after the\n"
    "source's header, tables and piece table checked out.  The plan is\n"
    "printed first: N pieces, B bytes to fetch, F files affected.\n"
    "\n"
    "SOURCE is an http:// or https:// address of the archive (the server\n"
    "must answer range requests) or the path of a mirror archive.  With\n"
    "several, a range that fails on one is tried on the next.\n"
    "\n"
    "Options:\n"
    "  --from SOURCE       where the pieces come from (repeatable, in order)\n"
    "  --dry-run           print the plan only: nothing is written, and only\n"
    "                      the source's header and piece table are read\n"
    "  --json              print the plan and the result as one JSON object:\n"
    "                      {\"archive\", \"source\", \"plan\": {\"pieces\", \"bytes\",\n"
    "                      \"files_affected\", \"files\", \"rebuild\",\n"
    "                      \"archive_missing\"}, \"result\": {\"outcome\", \"error\",\n"
    "                      \"pieces_stored\", \"bytes_stored\", \"bytes_received\",\n"
    "                      \"pieces_left\", \"files_left\", \"seconds\",\n"
    "                      \"prepare_seconds\", \"fetch_seconds\",\n"
    "                      \"first_piece_seconds\"}}\n"
    "  --jobs N            connections fetching at once (default 4)\n"
    "  --limit-rate BYTES  at most BYTES per second in all (K, M, G suffixes)\n"
    "  --ca-file FILE      certificate authorities (PEM) for HTTPS, in place\n"
    "                      of the system's\n"
    "  --timeout SECONDS   a transfer that receives nothing for SECONDS is\n"
    "                      given up and tried again (default 30)\n"
    "  --force             rebuild ARCHIVE even when it has no readable header\n"
    "                      and its size differs from the source's (it may be\n"
    "                      another file: a mistyped path is refused without)\n" QOV_MD5_OPTION_HELP
    "\n"
    "Other programs' repairs are kept out with a lock on ARCHIVE.  Proxies\n"
#if defined(_WIN32)
    "are the system's (WinHTTP's proxy settings).\n"
#else
    "come from the http_proxy, https_proxy and no_proxy variables.\n"
#endif
    "\n"
    "Exit status: 0 repaired or already intact, 1 not everything could be\n"
    "repaired (what is left is listed), 2 the archive or the source cannot be\n"
    "used (or bad usage), 130 stopped by Ctrl-C or SIGTERM (every verified\n"
    "piece is kept; run the repair again to finish).\n";

const int kExitStopped = 130;
const size_t kFilesShown = 20;

struct RepairArgs {
    std::string archive;
    std::vector<std::string> sources;
    bool dryRun = false;
    bool json = false;
    uint64_t jobs = 4;
    uint64_t rate = 0;
    uint64_t timeout = 30;
    std::string caFile;
    bool force = false;
};

int ParseRepairArgs(const CommandInfo& command, const std::vector<std::string>& argv, RepairArgs* out) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv,
                                       {{"from", 0, true},
                                        {"dry-run", 0, false},
                                        {"json", 0, false},
                                        {"jobs", 'j', true},
                                        {"limit-rate", 0, true},
                                        {"ca-file", 0, true},
                                        {"timeout", 0, true},
                                        {"force", 0, false},
                                        QOV_MD5_OPTION},
                                       1, 1, &args);
    if (early >= 0) return early;
    out->archive = args.positionals[0];
    out->sources = args.Values("from");
    if (out->sources.empty()) return UsageError(command, "give the source with --from");
    out->dryRun = args.Has("dry-run");
    out->json = args.Has("json");
    out->force = args.Has("force");
    if (const std::string* caFile = args.Value("ca-file")) out->caFile = *caFile;
    const struct {
        const char* name;
        uint64_t low, high;
        uint64_t* value;
    } numbers[] = {{"jobs", 1, 64, &out->jobs},
                   {"limit-rate", 0, UINT64_MAX, &out->rate},
                   {"timeout", 1, 3600, &out->timeout}};
    for (const auto& number : numbers) {
        const std::string* text = args.Value(number.name);
        if (text == nullptr) continue;
        if (!ParseNumber(*text, number.value) || *number.value < number.low || *number.value > number.high)
            return UsageError(command, std::string("bad value for --") + number.name + ": " + Quote(*text));
    }
    return -1;
}

//-----------------------------------------------------------------------------
// Ctrl-C and SIGTERM: a flag that the watcher turns into a stop.

// Set by the signal handler, read by the watcher thread: a lock-free atomic
// may be used by both.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be usable in a signal handler");

#if defined(_WIN32)
BOOL WINAPI OnConsoleControl(DWORD) {
    g_stopSignal = 1;
    return TRUE;
}
void CatchStopSignals() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
#else
void OnStopSignal(int) { g_stopSignal = 1; }
void CatchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A server that drops a connection must not end the program.
    signal(SIGPIPE, SIG_IGN);
}
#endif

//-----------------------------------------------------------------------------
// Standard error: notes of the repair and the progress bar, one writer at
// a time.

std::string Mebibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string Clock(uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
    return text;
}

class Console {
public:
    explicit Console(bool bar) : bar_(bar) {}

    void Note(const std::string& line) {
        std::lock_guard<std::mutex> hold(mutex_);
        ClearBar();
        Report(line);
    }

    void Draw(const rp::RepairProgress& progress) {
        if (!bar_) return;
        std::string line;
        uint64_t done = 0, total = 0;
        if (progress.phase == rp::RepairPhase::kChecking) {
            done = progress.piecesChecked;
            total = progress.pieceCount;
            line = std::to_string(done) + "/" + std::to_string(total) + " pieces";
        } else if (progress.phase == rp::RepairPhase::kFetching) {
            done = progress.bytesStored;
            total = progress.bytesToFetch;
            line =
                Mebibytes(done) + "/" + Mebibytes(total) + "  " + Mebibytes(progress.bytesPerSecond) + "/s";
            if (progress.bytesPerSecond > 0 && total > done)
                line += "  " + Clock((total - done) / progress.bytesPerSecond) + " left";
        } else {
            return;
        }
        const int percent =
            total == 0 ? 100 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
        const int kWidth = 24;
        std::string meter(static_cast<size_t>(percent * kWidth / 100), '#');
        meter.append(static_cast<size_t>(kWidth) - meter.size(), '-');
        const char* label = progress.phase == rp::RepairPhase::kChecking ? "checking" : "fetching";
        std::lock_guard<std::mutex> hold(mutex_);
        std::fprintf(stderr, "\r%-9s[%s] %3d%%  %-40s", label, meter.c_str(), percent, line.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

    void EndBar() {
        std::lock_guard<std::mutex> hold(mutex_);
        ClearBar();
    }

private:
    void ClearBar() {
        if (!drawn_) return;
        std::fprintf(stderr, "\r%-90s\r", "");
        drawn_ = false;
    }

    const bool bar_;
    std::mutex mutex_;
    bool drawn_ = false;
};

// While the repair runs on the calling thread: turns a stop signal into a
// stop within a tenth of a second and redraws the bar five times a second.
class Watcher {
public:
    Watcher(rp::ArchiveRepair& repair, Console& console) : repair_(repair), console_(console) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Watcher() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
        console_.EndBar();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (unsigned tick = 0; !done_; ++tick) {
            wake_.wait_for(hold, std::chrono::milliseconds(100), [this] { return done_; });
            if (g_stopSignal && !stopped_) {
                stopped_ = true;
                repair_.Stop();
            }
            if (tick % 2 == 0) console_.Draw(repair_.Progress());
        }
    }

    rp::ArchiveRepair& repair_;
    Console& console_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool stopped_ = false;
    std::thread thread_;
};

//-----------------------------------------------------------------------------
// Output.

const char* OutcomeName(rp::RepairOutcome outcome) {
    switch (outcome) {
        case rp::RepairOutcome::kRepaired:
            return "repaired";
        case rp::RepairOutcome::kIncomplete:
            return "incomplete";
        case rp::RepairOutcome::kUnusable:
            return "unusable";
        case rp::RepairOutcome::kStopped:
            return "stopped";
    }
    return "unusable";
}

int ExitCodeOf(rp::RepairOutcome outcome) {
    switch (outcome) {
        case rp::RepairOutcome::kRepaired:
            return kExitOk;
        case rp::RepairOutcome::kIncomplete:
            return kExitFailure;
        case rp::RepairOutcome::kUnusable:
            return kExitUsage;
        case rp::RepairOutcome::kStopped:
            return kExitStopped;
    }
    return kExitUsage;
}

// "1 piece", "2 pieces".
std::string Count(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string PieceList(const std::vector<uint32_t>& pieces) {
    std::string text;
    for (size_t n = 0; n < pieces.size() && n < kFilesShown; ++n)
        text += (n ? ", " : "") + std::to_string(pieces[n]);
    if (pieces.size() > kFilesShown) text += ", ...";
    return text;
}

void PrintPlan(const rp::RepairPlan& plan) {
    if (plan.archiveMissing) {
        std::printf("the archive is missing: it is made from the source\n");
    } else if (plan.rebuild) {
        std::printf("the archive's header or tables cannot be read: they come from the source first\n");
    }
    std::printf("plan: %s, %s to fetch, ", Count(plan.pieces.size(), "piece", "pieces").c_str(),
                Count(plan.bytes, "byte", "bytes").c_str());
    if (plan.filesKnown) {
        std::printf("%s affected\n", Count(plan.files.size(), "file", "files").c_str());
        for (size_t n = 0; n < plan.files.size() && n < kFilesShown; ++n)
            std::printf("  %s\n", plan.files[n].c_str());
        if (plan.files.size() > kFilesShown)
            std::printf("  ... and %zu more\n", plan.files.size() - kFilesShown);
    } else {
        std::printf("files affected not known until the tables are rebuilt\n");
    }
    std::fflush(stdout);
}

void PrintResult(const rp::RepairResult& result, bool hadWork) {
    switch (result.outcome) {
        case rp::RepairOutcome::kRepaired:
            if (hadWork)
                std::printf("repaired: %s, %s in %.2f s\n",
                            Count(result.piecesStored, "piece", "pieces").c_str(),
                            Count(result.bytesStored, "byte", "bytes").c_str(), result.seconds);
            std::printf("the archive is intact\n");
            break;
        case rp::RepairOutcome::kIncomplete:
            std::printf("not repaired: %s could not be had: %s\n",
                        Count(result.piecesLeft.size(), "piece", "pieces").c_str(),
                        PieceList(result.piecesLeft).c_str());
            for (size_t n = 0; n < result.filesLeft.size() && n < kFilesShown; ++n)
                std::printf("  file %s\n", result.filesLeft[n].c_str());
            if (!result.error.empty()) Report(result.error);
            break;
        case rp::RepairOutcome::kStopped:
            std::printf("stopped: %s stored and kept, %zu left; run the repair again to finish\n",
                        Count(result.piecesStored, "piece", "pieces").c_str(), result.piecesLeft.size());
            break;
        case rp::RepairOutcome::kUnusable:
            if (result.piecesStored > 0)
                std::printf("%s stored and kept, %zu left\n",
                            Count(result.piecesStored, "piece", "pieces").c_str(), result.piecesLeft.size());
            Report(result.error);
            break;
    }
}

std::string JsonOf(const RepairArgs& args, const rp::RepairPlan* plan, const rp::RepairResult* result) {
    JsonWriter out;
    out.BeginObject().Key("archive").String(args.archive);
    if (plan != nullptr) {
        out.Key("source").String(plan->source);
        out.Key("plan").BeginObject();
        out.Key("pieces").Number(plan->pieces.size()).Key("bytes").Number(plan->bytes);
        out.Key("files_affected");
        if (plan->filesKnown)
            out.Number(plan->files.size());
        else
            out.Raw("null");
        out.Key("files").BeginArray();
        for (const std::string& name : plan->files) out.String(name);
        out.EndArray();
        out.Key("piece_list").BeginArray();
        for (uint32_t piece : plan->pieces) out.Number(piece);
        out.EndArray();
        out.Key("rebuild").Bool(plan->rebuild).Key("archive_missing").Bool(plan->archiveMissing).EndObject();
    }
    if (result != nullptr) {
        const auto decimal = [](double value) {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", value);
            return std::string(text);
        };
        out.Key("result").BeginObject();
        out.Key("outcome").String(OutcomeName(result->outcome)).Key("error").String(result->error);
        out.Key("pieces_stored").Number(result->piecesStored).Key("bytes_stored").Number(result->bytesStored);
        out.Key("bytes_received").Number(result->bytesReceived);
        out.Key("pieces_left").BeginArray();
        for (uint32_t piece : result->piecesLeft) out.Number(piece);
        out.EndArray().Key("files_left").BeginArray();
        for (const std::string& name : result->filesLeft) out.String(name);
        out.EndArray().Key("seconds").Raw(decimal(result->seconds));
        out.Key("prepare_seconds").Raw(decimal(result->prepareSeconds));
        out.Key("fetch_seconds").Raw(decimal(result->fetchSeconds));
        out.Key("first_piece_seconds")
            .Raw(result->firstPieceSeconds < 0 ? "null" : decimal(result->firstPieceSeconds));
        out.EndObject();
    }
    out.EndObject();
    return out.Text();
}

//-----------------------------------------------------------------------------

int RunRepair(const CommandInfo& command, const std::vector<std::string>& argv) {
    RepairArgs args;
    const int early = ParseRepairArgs(command, argv, &args);
    if (early >= 0) return early;

    const bool bar = !args.json && fs::IsTerminal(stderr);
    Console console(bar);
    rp::SourceSettings settings;
    settings.caFile = args.caFile;
    settings.stallSeconds = static_cast<uint32_t>(args.timeout);
    std::vector<std::unique_ptr<rp::PieceSource>> sources;
    for (const std::string& location : args.sources) {
        std::string error;
        std::unique_ptr<rp::PieceSource> source = rp::OpenSource(location, settings, &error);
        if (!source) {
            Report(error);
            if (args.json) {
                rp::RepairResult failed;
                failed.error = error;
                std::printf("%s\n", JsonOf(args, nullptr, &failed).c_str());
            }
            return kExitUsage;
        }
        sources.push_back(std::move(source));
    }
    rp::RepairOptions options;
    options.archive = args.archive;
    options.connections = static_cast<unsigned>(args.jobs);
    options.bytesPerSecond = args.rate;
    options.force = args.force;
    options.onNote = [&console](const std::string& line) { console.Note(line); };
    rp::ArchiveRepair repair(std::move(options), std::move(sources));

    CatchStopSignals();
    bool prepared;
    {
        Watcher watcher(repair, console);
        prepared = repair.Prepare(args.dryRun);
    }
    if (!prepared) {
        const rp::RepairResult& result = repair.Result();
        if (args.json)
            std::printf("%s\n", JsonOf(args, nullptr, &result).c_str());
        else
            PrintResult(result, false);
        return ExitCodeOf(result.outcome);
    }
    const rp::RepairPlan& plan = repair.Plan();
    if (!args.json) {
        std::printf("archive %s\nsource  %s\n", args.archive.c_str(), plan.source.c_str());
        PrintPlan(plan);
    }
    if (args.dryRun) {
        if (args.json) std::printf("%s\n", JsonOf(args, &plan, nullptr).c_str());
        return kExitOk;
    }
    const bool hadWork = !plan.pieces.empty();
    {
        Watcher watcher(repair, console);
        repair.Execute();
    }
    const rp::RepairResult& result = repair.Result();
    if (args.json)
        std::printf("%s\n", JsonOf(args, &plan, &result).c_str());
    else
        PrintResult(result, hadWork);
    return ExitCodeOf(result.outcome);
}

}  // namespace

const CommandInfo kRepairCommand = {"repair", "fetch damaged pieces from a web server or a mirror", kUsage,
                                    RunRepair};

}  // namespace qov
