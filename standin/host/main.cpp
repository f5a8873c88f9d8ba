// main.cpp: MORLHost.exe, the launcher host stand-in.
//
// Loads Brevik.dll, hands it a sink that prints every call, starts one repair
// and waits for its verdict (or a time limit), then stops and frees the
// repair object the way the launcher does.  The command line is in
// HostOptions.cpp, the sink in PrintingSink.cpp.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <fund/win/handle.h>
#include <fund/win/text.h>
#include <fund/win/thread.h>

#include "HostOptions.h"
#include "LineWriter.h"
#include "MORLRepair.h"
#include "PrintingSink.h"

using fund::win::wide_to_utf8;

namespace {

enum ExitCode {
    kExitSuccess = 0,
    kExitFailure = 1,
    kExitTimeout = 2,
    kExitStopped = 3,
    kExitCannotRun = 4,
    kExitStopHangs = 5,
};

// How long StopMORLRepair and RealeaseMORLRepair may take together.  The
// plug-in's own stop waits up to three seconds for the engine, so a minute
// means it hangs: the host then ends the process rather than wait forever.
constexpr DWORD kStopLimitMs = 60000;

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Waits for one of the handles, running the thread's messages meanwhile (a
// host is a window program: whatever the plug-in sends it must be answered).
// Returns the index of the signalled handle, or -1 after timeout_ms.
int WaitPumping(const std::vector<HANDLE>& handles, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        const DWORD count = static_cast<DWORD>(handles.size());
        const DWORD result = MsgWaitForMultipleObjects(count, handles.data(), FALSE, left, QS_ALLINPUT);
        if (result < WAIT_OBJECT_0 + count) return static_cast<int>(result - WAIT_OBJECT_0);
        if (result == WAIT_OBJECT_0 + count) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            continue;
        }
        return -1;  // time-out (or a failed wait, which ends the same way)
    }
}

// Ends the process if the plug-in does not stop in time.
class StopWatchdog {
public:
    explicit StopWatchdog(LineWriter& out) : out_(out), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (done_) thread_.start([this] { Run(); });
    }
    StopWatchdog(const StopWatchdog&) = delete;
    StopWatchdog& operator=(const StopWatchdog&) = delete;
    ~StopWatchdog() {
        if (!thread_.joinable()) return;
        SetEvent(done_.get());
        thread_.join();
    }

private:
    void Run() {
        if (WaitForSingleObject(done_.get(), kStopLimitMs) == WAIT_TIMEOUT) {
            out_.Write("host: the plug-in did not stop within " + std::to_string(kStopLimitMs / 1000) + " s");
            TerminateProcess(GetCurrentProcess(), kExitStopHangs);
        }
    }

    LineWriter& out_;
    fund::win::unique_handle done_;
    fund::win::thread thread_;
};

// Sends the process's standard output (the handle and the C run-time's
// descriptor 1, which the plug-in's trace writes to) into a file, and returns
// a handle that still reaches the original output, for the host's own lines:
// so a trace line can never land in the middle of a host line.
fund::win::unique_handle RedirectStandardOutput(const std::wstring& path, std::string* error) {
    fund::win::unique_handle kept;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                         kept.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        *error = "cannot keep standard output, error " + std::to_string(GetLastError());
        return fund::win::unique_handle();
    }
    fund::win::unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        *error = "cannot create the trace file, error " + std::to_string(GetLastError());
        return fund::win::unique_handle();
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_WRONLY);
    if (descriptor < 0) {
        *error = "cannot open the trace file as a descriptor";
        return fund::win::unique_handle();
    }
    file.release();  // the descriptor owns it now
    fflush(stdout);
    const bool moved = _dup2(descriptor, _fileno(stdout)) == 0;
    _close(descriptor);  // descriptor 1 holds its own duplicate now
    if (!moved) {
        *error = "cannot redirect standard output";
        return fund::win::unique_handle();
    }
    SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
    return kept;
}

template <typename Function>
Function FindExport(HMODULE module, const char* name) {
    // Through the generic function type: the export's real type is known to us,
    // not to GetProcAddress.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The patch engine stand-in leaves what it fetched in this file beside it
// (written when the engine is released); the host shows it with the time
// the repair took.
constexpr wchar_t kEngineStatisticsFile[] = L"morl_stats.ini";

std::wstring EngineStatisticsPath(const std::wstring& plugin_path) {
    const size_t slash = plugin_path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : plugin_path.substr(0, slash + 1)) +
           kEngineStatisticsFile;
}

std::string StatisticsLine(const std::wstring& statistics_path, ULONGLONG elapsed_ms) {
    char elapsed[32];
    snprintf(elapsed, sizeof elapsed, "%llu.%03llu s", elapsed_ms / 1000, elapsed_ms % 1000);
    if (GetFileAttributesW(statistics_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return std::string("host: elapsed ") + elapsed + " (the engine left no statistics)";
    }
    wchar_t files[32] = L"", bytes[32] = L"";
    GetPrivateProfileStringW(L"Statistics", L"FilesFetched", L"0", files, 32, statistics_path.c_str());
    GetPrivateProfileStringW(L"Statistics", L"BytesFetched", L"0", bytes, 32, statistics_path.c_str());
    return "host: fetched " + wide_to_utf8(files) + " files, " + wide_to_utf8(bytes) + " bytes; elapsed " +
           elapsed;
}

const char* OutcomeName(int code) {
    switch (code) {
        case kExitSuccess:
            return "success";
        case kExitFailure:
            return "failure";
        case kExitTimeout:
            return "time-out";
        case kExitStopped:
            return "stopped";
        default:
            return "error";
    }
}

int RunRepair(const HostOptions& options, LineWriter& out) {
    const std::wstring statistics_path = EngineStatisticsPath(options.plugin_path);
    DeleteFileW(statistics_path.c_str());  // figures of an earlier run are not this run's
    out.Write("host: loading " + wide_to_utf8(options.plugin_path));
    fund::win::unique_hmodule plugin(LoadLibraryW(options.plugin_path.c_str()));
    if (!plugin) {
        out.Write("host: cannot load the plug-in, error " + std::to_string(GetLastError()));
        return kExitCannotRun;
    }
    auto create = FindExport<PFN_CreateMORLRepair>(plugin.get(), BREVIK_CREATE_EXPORT);
    auto release = FindExport<PFN_RealeaseMORLRepair>(plugin.get(), BREVIK_RELEASE_EXPORT);
    if (!create || !release) {
        out.Write("host: the plug-in lacks " BREVIK_CREATE_EXPORT " or " BREVIK_RELEASE_EXPORT);
        return kExitCannotRun;
    }

    PrintingSink sink(out, options.message_answer, options.stop_on, options.stop_exact);
    if (!sink.Ready()) {
        out.Write("host: cannot create events, error " + std::to_string(GetLastError()));
        return kExitCannotRun;
    }

    Kestrum::IPluginEvent* repair = create();
    if (!repair) {
        out.Write("host: " BREVIK_CREATE_EXPORT " returned null");
        return kExitCannotRun;
    }
    out.Write("host: SetPluginEvent -> " + std::to_string(repair->SetPluginEvent(&sink)));
    const ULONGLONG started = GetTickCount64();
    const int begun = repair->BeginMORLRepair();
    out.Write("host: BeginMORLRepair -> " + std::to_string(begun));

    int code = kExitFailure;
    ULONGLONG elapsed_ms = 0;
    if (begun) {
        const int which = WaitPumping({sink.FinishedEvent(), sink.StopRequestedEvent()}, options.timeout_ms);
        elapsed_ms = GetTickCount64() - started;
        if (which == 0) {
            code = sink.Outcome() == RepairOutcome::kSuccess ? kExitSuccess : kExitFailure;
            if (options.linger_ms) WaitPumping({}, options.linger_ms);
        } else if (which == 1) {
            code = kExitStopped;
        } else {
            out.Write("host: no verdict within " + std::to_string(options.timeout_ms / 1000) + " s");
            code = kExitTimeout;
        }
    }

    {
        StopWatchdog watchdog(out);
        out.Write("host: StopMORLRepair -> " + std::to_string(repair->StopMORLRepair()));
        release(repair);
        out.Write("host: RealeaseMORLRepair");
    }
    out.Write(StatisticsLine(statistics_path, elapsed_ms));
    return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    LineWriter err(GetStdHandle(STD_ERROR_HANDLE), false);

    std::vector<std::wstring> args(argv + 1, argv + argc);
    const ParsedCommandLine parsed = ParseHostCommandLine(args, &IsFile);
    if (!parsed.options) {
        if (parsed.help) {
            LineWriter(GetStdHandle(STD_OUTPUT_HANDLE), false).Write(wide_to_utf8(parsed.message));
            return kExitSuccess;
        }
        err.Write("MORLHost: " + wide_to_utf8(parsed.message));
        err.Write(wide_to_utf8(HostUsage()));
        return kExitCannotRun;
    }

    fund::win::unique_handle host_output;
    if (!parsed.options->trace_path.empty()) {
        std::string error;
        host_output = RedirectStandardOutput(parsed.options->trace_path, &error);
        if (!host_output) {
            err.Write("MORLHost: " + error);
            return kExitCannotRun;
        }
    }
    LineWriter out(host_output ? host_output.get() : GetStdHandle(STD_OUTPUT_HANDLE),
                   parsed.options->timestamps);
    const int code = RunRepair(*parsed.options, out);
    out.Write(std::string("host: result ") + OutcomeName(code));
    return code;
}
