// HostOptions.cpp: parsing MORLHost.exe's command line.
#include "HostOptions.h"

#include <climits>
#include <cwchar>

namespace {

constexpr const wchar_t* kDefaultPluginFolder = L"MORL";
constexpr const wchar_t* kPluginFile = L"Brevik.dll";

// A whole decimal number that fits in 'unsigned', and nothing else.
bool ParseUnsigned(const std::wstring& text, unsigned long long limit, unsigned long long* out) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    if (value > limit) return false;
    *out = value;
    return true;
}

ParsedCommandLine Error(const std::wstring& message) {
    ParsedCommandLine result;
    result.message = message;
    return result;
}

std::wstring JoinPath(std::wstring folder, const std::wstring& name) {
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder + name;
}

}  // namespace

const wchar_t* HostUsage() {
    return L"usage: MORLHost.exe [options] GAME_FOLDER | PATH\\Brevik.dll\n"
           L"  Loads <GAME_FOLDER>\\<plug-in folder>\\Brevik.dll, runs one repair and\n"
           L"  prints every call of the event sink as a UTF-8 line.\n"
           L"options:\n"
           L"  --plugin-dir NAME   the plug-in's folder inside the game folder (default MORL)\n"
           L"  --timeout SECONDS   give up after this long (default 300)\n"
           L"  --answer N          what OnMessage answers (default 1, IDOK)\n"
           L"  --stop-on TEXT      call StopMORLRepair once an OnProgress text contains TEXT\n"
           L"  --stop-on-exact TEXT  the same, once an OnProgress text is exactly TEXT\n"
           L"  --linger MS         after success or failure, listen this long before stopping\n"
           L"  --timestamps        prefix every line with the milliseconds since the start\n"
           L"  --trace FILE        the plug-in's trace (its standard output) goes to FILE\n"
           L"exit code: 0 success, 1 failure, 2 time-out, 3 stopped by --stop-on,\n"
           L"           4 bad command line or the plug-in could not be loaded\n";
}

ParsedCommandLine ParseHostCommandLine(const std::vector<std::wstring>& args,
                                       bool (*is_file)(const std::wstring&)) {
    HostOptions options;
    std::wstring plugin_folder = kDefaultPluginFolder;
    std::wstring target;
    bool plugin_folder_given = false;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--help" || arg == L"-h") {
            ParsedCommandLine result;
            result.help = true;
            result.message = HostUsage();
            return result;
        }
        if (arg == L"--timestamps") {
            options.timestamps = true;
            continue;
        }
        const bool takes_value = arg == L"--plugin-dir" || arg == L"--timeout" || arg == L"--answer" ||
                                 arg == L"--stop-on" || arg == L"--stop-on-exact" || arg == L"--linger" ||
                                 arg == L"--trace";
        if (takes_value) {
            if (i + 1 >= args.size()) return Error(arg + L" needs a value");
            const std::wstring& value = args[++i];
            unsigned long long number = 0;
            if (arg == L"--plugin-dir") {
                plugin_folder = value;
                plugin_folder_given = true;
            } else if (arg == L"--timeout") {
                if (!ParseUnsigned(value, UINT_MAX / 1000, &number) || number == 0)
                    return Error(L"--timeout wants a whole number of seconds above 0: " + value);
                options.timeout_ms = static_cast<unsigned>(number * 1000);
            } else if (arg == L"--answer") {
                if (!ParseUnsigned(value, INT_MAX, &number))
                    return Error(L"--answer wants a whole number: " + value);
                options.message_answer = static_cast<int>(number);
            } else if (arg == L"--stop-on" || arg == L"--stop-on-exact") {
                if (value.empty()) return Error(arg + L" wants a text");
                options.stop_on = value;
                options.stop_exact = arg == L"--stop-on-exact";
            } else if (arg == L"--trace") {
                if (value.empty()) return Error(L"--trace wants a file name");
                options.trace_path = value;
            } else {
                if (!ParseUnsigned(value, UINT_MAX, &number))
                    return Error(L"--linger wants a whole number of milliseconds: " + value);
                options.linger_ms = static_cast<unsigned>(number);
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') return Error(L"unknown option " + arg);
        if (!target.empty()) return Error(L"one game folder only: " + arg);
        target = arg;
    }
    if (target.empty()) return Error(L"no game folder given");

    if (is_file(target)) {
        if (plugin_folder_given) return Error(L"--plugin-dir goes with a game folder, not a file");
        options.plugin_path = target;
    } else {
        options.plugin_path = JoinPath(JoinPath(target, plugin_folder), kPluginFile);
    }
    ParsedCommandLine result;
    result.options = options;
    return result;
}
