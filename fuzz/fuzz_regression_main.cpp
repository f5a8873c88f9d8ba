// fuzz_regression_main.cpp - runs a fuzz target's LLVMFuzzerTestOneInput on
// saved inputs, without libFuzzer: the regression test of the normal builds.
//
//   <program> [--suffix .ext] PATH...
//
// Each PATH is a file or a folder (its regular files, sorted by name, not
// recursive).  --suffix limits the files taken from folders (named files are
// always run).  A crash, a sanitizer report or a broken invariant of the
// target ends the program abnormally; otherwise it prints how many inputs ran
// and exits with 0.  A missing folder counts as empty.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Under AddressSanitizer, a single allocation above 512 MiB is a fault, as
// it is for the fuzzers (libFuzzer's -malloc_limit_mb): a small input must
// not make the library ask for that much.  ASAN_OPTIONS can override it.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=512"; }

namespace {

bool IsFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> FolderFiles(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> files;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return files;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (!suffix.empty() && !EndsWith(name, suffix)) continue;
        const std::string path = folder + "/" + name;
        if (IsRegularFile(path)) files.push_back(path);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* pData) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    pData->clear();
    uint8_t block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), file)) > 0) pData->insert(pData->end(), block, block + got);
    const bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string suffix;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--suffix") == 0 && i + 1 < argc) {
            suffix = argv[++i];
            continue;
        }
        const std::string path = argv[i];
        if (IsFolder(path)) {
            const std::vector<std::string> files = FolderFiles(path, suffix);
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (IsRegularFile(path)) {
            inputs.push_back(path);
        } else {
            printf("(no such file or folder, skipped: %s)\n", path.c_str());
        }
    }

    std::vector<uint8_t> data;
    for (const std::string& path : inputs) {
        if (!ReadWholeFile(path, &data)) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        printf("running %s (%zu bytes)\n", path.c_str(), data.size());
        fflush(stdout);
        static const uint8_t kNothing = 0;
        LLVMFuzzerTestOneInput(data.empty() ? &kNothing : data.data(), data.size());
    }
    printf("%zu inputs ran without a fault\n", inputs.size());
    return 0;
}
