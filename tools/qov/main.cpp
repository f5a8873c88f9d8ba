// main.cpp - the program entry: turns the command line into UTF-8 strings.
//
// This is the only place that knows how the system delivers arguments.  On
// POSIX systems argv already holds the user's bytes (UTF-8 in practice), so
// they are taken as they are.  A Windows build replaces this file with
// main_windows.cpp: a wmain that converts each UTF-16 argument to UTF-8 and
// calls qov::Run in the same way.  Everything behind qov::Run works with
// UTF-8 only.

#include <string>
#include <vector>

#include "qov.h"

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.emplace_back(argv[i]);
    return qov::Run(args);
}
