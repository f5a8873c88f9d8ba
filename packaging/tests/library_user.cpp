// library_user.cpp - a tool of a publisher's, built against the packaged
// QOVLib.h and lib/libnqov.a alone: it writes an archive (which needs the
// writer the static library carries), reads it back and verifies it.
// Prints "ok" and exits 0 when everything agrees.

#include "QOVLib.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int Fail(const char* step) {
    std::printf("%s failed: error %u\n", step, QOVGetLastError());
    return 1;
}

std::vector<char> Content(size_t size, unsigned seed) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) & 0xFF);
    return bytes;
}

bool AddFile(TNQOVArchive* ha, const char* name, const std::vector<char>& bytes, uint32_t flags) {
    TNQOVFile* hf = nullptr;
    if (!SFileCreateFileEx(ha, name, static_cast<uint32_t>(bytes.size()), flags, &hf)) return false;
    const bool written = SFileWriteFile(hf, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return SFileFinishFile(hf) && written;
}

bool ReadsBack(TNQOVArchive* ha, const char* name, const std::vector<char>& expected) {
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name, QOV_OPEN_PATCHED, &hf)) return false;
    std::vector<char> read(expected.size() + 1);
    uint32_t got = 0;
    SFileReadFile(hf, read.data(), static_cast<uint32_t>(read.size()), &got, true);
    SFileCloseFile(hf);
    return got == expected.size() && std::memcmp(read.data(), expected.data(), got) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "library-user.qov";
    const std::vector<char> plain = Content(300000, 1), packed = Content(200000, 2);

    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 16);
    params.dwMD5PieceSize = 65536;
    TNQOVArchive* ha = nullptr;
    if (!SFileCreateArchive(path.c_str(), &params, &ha)) return Fail("SFileCreateArchive");
    if (!AddFile(ha, "data\\plain.bin", plain, 0)) return Fail("adding plain.bin");
    if (!AddFile(ha, "data\\packed.bin", packed, NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED))
        return Fail("adding packed.bin");
    if (!SFileCloseArchive(ha, true)) return Fail("SFileCloseArchive");

    if (!SFileOpenArchive(path.c_str(), &ha, 0)) return Fail("SFileOpenArchive");
    if (!ReadsBack(ha, "data\\plain.bin", plain)) return Fail("reading plain.bin");
    if (!ReadsBack(ha, "data\\packed.bin", packed)) return Fail("reading packed.bin");
    if (!SFileVerifyAll(ha, nullptr)) return Fail("SFileVerifyAll");
    SFileCloseArchive(ha, false);
    std::printf("ok\n");
    return 0;
}
