// HostOptions.h: the command line of MORLHost.exe.
//
// The stand-in is test equipment, so unlike the real launcher it takes its
// game folder and its behaviour from the command line.
#ifndef BREVIK_STANDIN_HOST_OPTIONS_H
#define BREVIK_STANDIN_HOST_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

struct HostOptions {
    // Brevik.dll to load: <game folder>\<plug-in folder>\Brevik.dll, or the
    // file itself when the command line names a file.
    std::wstring plugin_path;
    unsigned timeout_ms = 300000;
    // What OnMessage answers (IDOK by default, as a message box would).
    int message_answer = 1;
    // StopMORLRepair as soon as an OnProgress text contains stop_on, or is
    // exactly stop_on when stop_exact is set.
    std::wstring stop_on;
    bool stop_exact = false;
    // After success or failure, keep listening this long before stopping, so
    // that a call arriving too late is printed too.
    unsigned linger_ms = 0;
    // Prefix every line with the milliseconds since the start.
    bool timestamps = false;
    // Where the plug-in's own standard output (its trace) goes; empty: it
    // shares the host's.
    std::wstring trace_path;
};

struct ParsedCommandLine {
    std::optional<HostOptions> options;  // empty: error (or --help)
    std::wstring message;                // what to print when empty
    bool help = false;
};

const wchar_t* HostUsage();

// Parses the arguments after the program name.  is_file tells whether a
// path names an existing file (injected so that the parser stays testable).
ParsedCommandLine ParseHostCommandLine(const std::vector<std::wstring>& args,
                                       bool (*is_file)(const std::wstring&));

#endif  // BREVIK_STANDIN_HOST_OPTIONS_H
