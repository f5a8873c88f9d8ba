// engine/FileMD5.cpp - see FileMD5.h.

#include "FileMD5.h"

#include <cstdio>

#include <windows.h>

#include <tomcrypt.h>

#include "fund/win/handle.h"

namespace brevik {
namespace managers {

bool FileMD5Hex(const std::wstring& path, std::string& hex) {
    hex.clear();
    fund::win::unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;

    hash_state state;
    if (md5_init(&state) != CRYPT_OK) return false;
    unsigned char block[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), block, sizeof(block), &read, nullptr)) return false;
        if (read == 0) break;
        if (md5_process(&state, block, read) != CRYPT_OK) return false;
    }
    unsigned char digest[16];
    if (md5_done(&state, digest) != CRYPT_OK) return false;

    char text[33];
    for (int i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", digest[i]);
    hex.assign(text, 32);
    return true;
}

}  // namespace managers
}  // namespace brevik
