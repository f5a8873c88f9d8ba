// Linked into the Windows test programs (test equipment only): the first
// thing such a program does is to create the file named by
// BREVIK_WINE_START_FILE.  Now and then Wine ends a program before any of
// its code runs; wine-run tells that case from a real failure by this file
// and runs the program once more.
#include <cstdio>
#include <cstdlib>

namespace {

struct StartMarker {
    StartMarker() {
        const char* path = std::getenv("BREVIK_WINE_START_FILE");
        if (path == nullptr || *path == '\0') return;
        if (std::FILE* file = std::fopen(path, "wb")) std::fclose(file);
    }
};

// Constructed before the other static objects of the program.
__attribute__((init_priority(101))) StartMarker marker;

}  // namespace
