// main_windows.cpp - the program entry on Windows: the command line arrives
// as UTF-16 and becomes UTF-8 strings here, so that archive and file names
// outside the ANSI code page work.

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "qov.h"

namespace {

std::string Utf8(const wchar_t* wide) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string text(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], needed, nullptr, nullptr);
    text.resize(static_cast<size_t>(needed - 1));
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Names are printed as UTF-8; a console shows them as such.  Lines end in
    // a bare newline on every platform, so scripts read the same output.
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) args.push_back(Utf8(argv[i]));
    return qov::Run(args);
}
