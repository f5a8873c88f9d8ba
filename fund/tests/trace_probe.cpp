// trace_probe: writes one trace line of N 'x' characters followed by a
// Chinese word, for the test that watches the debugger output.

#include "fund/trace.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 10;
    const std::wstring text(static_cast<size_t>(count), L'x');
    Trace(L"%ls\x4FEE\x590D", text.c_str());
    return 0;
}
