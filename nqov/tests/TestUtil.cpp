// TestUtil.cpp - helpers shared by the archive library's tests.

#include "TestUtil.h"

#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(_WIN32)
#include <direct.h>
#include <process.h>
#define MakeDir(path) _mkdir(path)
#define ProcessId() _getpid()
#else
#define MakeDir(path) mkdir(path, 0755)
#define ProcessId() getpid()
#endif

namespace testutil {

namespace {

void RemoveTree(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st;
            if (stat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveTree(child);
            else
                remove(child.c_str());
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::string TestName() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : std::string("test");
    for (char& ch : name)
        if (ch == '/' || ch == '\\') ch = '_';
    return name;
}

}  // namespace

TempDir::TempDir() {
    static int counter = 0;
    m_path = "tmp." + TestName() + "." + std::to_string(ProcessId()) + "." + std::to_string(counter++);
    RemoveTree(m_path);
    MakeDir(m_path.c_str());
}

TempDir::~TempDir() { RemoveTree(m_path); }

bool ReadFile(const std::string& path, Bytes* pData) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    pData->clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0)
        pData->insert(pData->end(), buffer, buffer + got);
    fclose(file);
    return true;
}

bool MakeFolder(const std::string& path) { return MakeDir(path.c_str()) == 0; }

std::vector<std::string> ListNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes ReadFileOrEmpty(const std::string& path) {
    Bytes data;
    ReadFile(path, &data);
    return data;
}

bool WriteFile(const std::string& path, const Bytes& data) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    // fwrite must not see the null data pointer of an empty vector.
    const bool ok = data.empty() || fwrite(data.data(), 1, data.size(), file) == data.size();
    return fclose(file) == 0 && ok;
}

bool WriteFile(const std::string& path, const std::string& text) {
    return WriteFile(path, Bytes(text.begin(), text.end()));
}

bool CopyFile(const std::string& from, const std::string& to) {
    Bytes data;
    return ReadFile(from, &data) && WriteFile(to, data);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string ReadText(const std::string& path) {
    const Bytes data = ReadFileOrEmpty(path);
    return std::string(data.begin(), data.end());
}

std::string Hex(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; i++) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

std::string Md5Hex(const void* data, size_t size) {
    hash_state state;
    uint8_t digest[16];
    md5_init(&state);
    md5_process(&state, static_cast<const unsigned char*>(data), static_cast<unsigned long>(size));
    md5_done(&state, digest);
    return Hex(digest, 16);
}

std::string Md5Hex(const Bytes& data) { return Md5Hex(data.data(), data.size()); }

std::string Sha256Hex(const void* data, size_t size) {
    hash_state state;
    uint8_t digest[32];
    sha256_init(&state);
    sha256_process(&state, static_cast<const unsigned char*>(data), static_cast<unsigned long>(size));
    sha256_done(&state, digest);
    return Hex(digest, 32);
}

Bytes RandomBytes(size_t size, uint64_t seed) {
    Bytes data(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        data[i] = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

Bytes TextBytes(size_t size, uint64_t seed) {
    static const char* words[] = {"archive ", "piece ", "sector ", "table ", "repair ", "game ",
                                  "data ",    "file ",  "hash ",   "\r\n",   "map ",    "QOV "};
    Bytes data;
    data.reserve(size);
    uint64_t x = seed + 7;
    while (data.size() < size) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const char* word = words[(x >> 33) % 12];
        for (const char* p = word; *p && data.size() < size; p++) data.push_back(static_cast<uint8_t>(*p));
    }
    return data;
}

TNQOVArchive* CreateArchive(const std::string& path, uint32_t capacity, uint16_t sectorShift,
                            uint32_t pieceSize, uint32_t chunkSize, uint64_t headerOffset) {
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, capacity);
    params.wSectorSize = sectorShift;
    params.dwMD5PieceSize = pieceSize;
    params.dwRawChunkSize = chunkSize;
    params.qwHeaderOffset = headerOffset;
    TNQOVArchive* ha = nullptr;
    return SFileCreateArchive(path.c_str(), &params, &ha) ? ha : nullptr;
}

bool AddBytes(TNQOVArchive* ha, const std::string& name, const Bytes& data, uint32_t flags, uint32_t chunk) {
    TNQOVFile* hf = nullptr;
    if (!SFileCreateFileEx(ha, name.c_str(), static_cast<uint32_t>(data.size()), flags, &hf)) return false;
    if (chunk == 0) chunk = static_cast<uint32_t>(data.size());
    for (size_t done = 0; done < data.size();) {
        const uint32_t part = static_cast<uint32_t>(std::min<size_t>(chunk, data.size() - done));
        if (!SFileWriteFile(hf, data.data() + done, part)) {
            const uint32_t error = QOVGetLastError();
            SFileFinishFile(hf);
            QOVSetLastError(error);
            return false;
        }
        done += part;
    }
    return SFileFinishFile(hf);
}

bool ReadWhole(TNQOVArchive* ha, const std::string& name, Bytes* pData, bool checkPieces) {
    TNQOVFile* hf = nullptr;
    if (!NQOVOpenFileEx(ha, name.c_str(), QOV_OPEN_PATCHED, &hf)) return false;
    const uint32_t size = SFileGetFileSize(hf);
    pData->assign(size, 0);
    uint32_t read = 0;
    const bool ok = SFileReadFile(hf, pData->data(), size, &read, checkPieces);
    const uint32_t error = QOVGetLastError();
    SFileCloseFile(hf);
    pData->resize(read);
    QOVSetLastError(error);
    return ok || (size == 0);
}

bool PatchFile(const std::string& path, uint64_t offset, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "r+b");
    if (file == nullptr) return false;
    bool ok = fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
              fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    return ok;
}

namespace {
template <typename T>
bool PatchLE(const std::string& path, uint64_t offset, T value) {
    Bytes bytes(sizeof(T));
    for (size_t i = 0; i < sizeof(T); i++) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return PatchFile(path, offset, bytes);
}
}  // namespace

bool PatchLE16(const std::string& path, uint64_t offset, uint16_t value) {
    return PatchLE(path, offset, value);
}
bool PatchLE32(const std::string& path, uint64_t offset, uint32_t value) {
    return PatchLE(path, offset, value);
}
bool PatchLE64(const std::string& path, uint64_t offset, uint64_t value) {
    return PatchLE(path, offset, value);
}

Bytes ReadRange(const std::string& path, uint64_t offset, size_t size) {
    Bytes data = ReadFileOrEmpty(path);
    if (offset >= data.size()) return Bytes();
    const size_t end = std::min<size_t>(data.size(), static_cast<size_t>(offset) + size);
    return Bytes(data.begin() + static_cast<ptrdiff_t>(offset), data.begin() + static_cast<ptrdiff_t>(end));
}

bool FlipByte(const std::string& path, uint64_t offset) {
    Bytes one = ReadRange(path, offset, 1);
    if (one.size() != 1) return false;
    one[0] = static_cast<uint8_t>(~one[0]);
    return PatchFile(path, offset, one);
}

uint64_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool ResealHeader(const std::string& path, uint64_t headerOffset) {
    const Bytes header = ReadRange(path, headerOffset, 156);
    if (header.size() != 156) return false;
    hash_state state;
    uint8_t digest[16];
    md5_init(&state);
    md5_process(&state, header.data(), 156);
    md5_done(&state, digest);
    return PatchFile(path, headerOffset + 156, Bytes(digest, digest + 16));
}

int FindRecordIndex(TNQOVArchive* ha, const std::string& name) {
    const uint32_t count = SFileGetRecordCount(ha);
    if (count == NQOV_INVALID_SIZE) return -1;
    for (uint32_t i = 0; i < count; i++) {
        QOV_RECORD_INFO info;
        if (SFileGetRecordInfo(ha, i, &info) && info.szFileName != nullptr && name == info.szFileName)
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace testutil
