// main_windows.cpp - the program entry on Windows: the command line arrives
// as UTF-16 and becomes UTF-8 strings here, so that archive and file names
// outside the ANSI code page work.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <fund/win/text.h>

#include "qov.h"

int wmain(int argc, wchar_t** argv) {
    // Names are printed as UTF-8; a console shows them as such.  Lines end in
    // a bare newline on every platform, so scripts read the same output.
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.push_back(fund::win::wide_to_utf8(argv[i]));
    return qov::Run(args);
}
