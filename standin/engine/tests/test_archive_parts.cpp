// The archive-backed engine through morl.dll on real archives: what it
// tells of a damaged game archive (damaged and whole files, download
// sizes), a sync that mends a file, extraction (also of archived names that
// would leave the folder, and of "a" beside "a.part"), the piece-state map
// it leaves, mirrors it refuses, and ten lives of the DLL that leave no
// handles.  Its parts (pieces fetched on request, the archive's files, the
// mirror source, the rate limit) are the repair core's, tested in
// repair/tests.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "MORLEngineApi.h"
#include "QOVLib.h"

namespace standin {
namespace {

typedef std::vector<uint8_t> Bytes;
const uint32_t kPiece = 4096;
const uint32_t kArchiveErrorNoMirror = 0xE0000020u;

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes data(size);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(rng());
    return data;
}

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

void WriteText(const std::string& path, const std::string& text) {
    WriteAll(path, Bytes(text.begin(), text.end()));
}

std::wstring ExeFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// Open handles of the process.  Wine answers GetProcessHandleCount with 0,
// so the handle values themselves are probed as well (both systems hand
// out multiples of 4).
DWORD HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    for (uintptr_t value = 4; value < (1u << 18); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// morl.dll loaded from a folder of its own, its engine made; released and
// freed at the end.
class LoadedEngine {
public:
    explicit LoadedEngine(const std::wstring& dll) : m_module(LoadLibraryW(dll.c_str())) {
        if (m_module == nullptr) return;
        auto get = reinterpret_cast<PFN_GetResourceManagerII>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_module, MORL_EXPORT_GET_RESOURCE_MANAGER)));
        m_release = reinterpret_cast<PFN_ReleaseResourceManagerII>(
            reinterpret_cast<void (*)()>(GetProcAddress(m_module, MORL_EXPORT_RELEASE_RESOURCE_MANAGER)));
        if (get != nullptr && m_release != nullptr) engine = get();
    }
    ~LoadedEngine() {
        if (engine != nullptr) m_release(engine);
        if (m_module != nullptr) FreeLibrary(m_module);
    }
    LoadedEngine(const LoadedEngine&) = delete;
    LoadedEngine& operator=(const LoadedEngine&) = delete;

    // After Initialize: waits until the check is done and the files are
    // known (the engine has no window to tell).
    uint32_t WaitForFile(const char* name) {
        uint32_t index = MORL_INVALID_INDEX;
        for (int n = 0; n < 2000 && index == MORL_INVALID_INDEX; ++n) {
            index = engine->GetFileIndex(name);
            if (index == MORL_INVALID_INDEX) Sleep(5);
        }
        return index;
    }

    // Starts a sync of the file and waits for its end; the final status.
    uint32_t Sync(uint32_t index) {
        const uint32_t sync = engine->StartSync(index, nullptr, 50, MORL_SYNC_ANY, 0);
        if (sync == MORL_INVALID_SYNC_ID) return 0;
        SyncResult result{};
        for (int n = 0; n < 2000; ++n) {
            if (!engine->GetSyncResult(sync, &result)) return 0;
            if (result.status != MORL_SYNC_STATUS_RUNNING) break;
            Sleep(5);
        }
        return result.status;
    }

    IResourceManager* engine = nullptr;

private:
    HMODULE m_module;
    PFN_ReleaseResourceManagerII m_release = nullptr;
};

struct Stored {
    std::string name;
    uint32_t flags;
    size_t size;
};

// A mirror of plain, compressed and encrypted files in 4 KiB pieces, the
// game (a copy with one byte flipped in the middle of "comp\b.dat"), and
// morl.dll in a folder of its own with settings over both.
class ArchivePartsTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string prefix = testing::UnitTest::GetInstance()->current_test_info()->name();
        mirror = prefix + "-mirror.qov";
        folder = prefix + "-engine";
        game = folder + "\\game.qov";
        std::remove(mirror.c_str());
        QOV_CREATE_PARAMS params;
        SFileInitCreateParams(&params, 64);
        params.dwMD5PieceSize = kPiece;
        TNQOVArchive* archive = nullptr;
        ASSERT_TRUE(SFileCreateArchive(mirror.c_str(), &params, &archive));
        const Stored files[] = {{"plain\\a.dat", 0, 10000},
                                {"comp\\b.dat", NQOV_FILE_COMPRESS, 20000},
                                {"enc\\c.dat", NQOV_FILE_COMPRESS | NQOV_FILE_ENCRYPTED, 9000},
                                {"plain\\d.dat", 0, 5000}};
        uint32_t seed = 1;
        for (const Stored& file : files) {
            contents[file.name] = RandomBytes(file.size, seed++);
            TNQOVFile* handle = nullptr;
            ASSERT_TRUE(SFileCreateFileEx(archive, file.name.c_str(), static_cast<uint32_t>(file.size),
                                          file.flags, &handle));
            ASSERT_TRUE(SFileWriteFile(handle, contents[file.name].data(), static_cast<uint32_t>(file.size)));
            ASSERT_TRUE(SFileFinishFile(handle));
        }
        ASSERT_TRUE(SFileCloseArchive(archive, true));

        damaged = ReadAll(mirror);
        ASSERT_TRUE(SFileOpenArchive(mirror.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        TFileEntry* entry = archive->RecordByName("comp\\b.dat");
        ASSERT_NE(entry, nullptr);
        flipped = entry->GetFilePosition() + entry->GetCompressedSize() / 2;
        SFileCloseArchive(archive, false);
        damaged[flipped] ^= 0x5A;

        CreateDirectoryA(folder.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\morl.dll").c_str(), Dll().c_str(), FALSE));
        Settings("Mirror=..\\" + mirror);
        WriteAll(game, damaged);
    }

    std::wstring Dll() const { return std::wstring(folder.begin(), folder.end()) + L"\\morl.dll"; }
    void Settings(const std::string& mirrorLine) {
        WriteText(folder + "\\morl_script.ini",
                  "[Engine]\r\nBehaviour=archive\r\n[Archive]\r\nGame=game.qov\r\n" + mirrorLine + "\r\n");
    }
    uint32_t FlippedPiece() const { return static_cast<uint32_t>(flipped / kPiece); }

    std::vector<uint8_t> MapOnDisk() {
        TNQOVArchive* archive = nullptr;
        EXPECT_TRUE(SFileOpenArchive(game.c_str(), &archive, NQOV_OPEN_READ_ONLY));
        if (archive == nullptr) return {};
        uint32_t size = 0;
        const uint8_t* map = SFileGetBitmap(archive, &size);
        std::vector<uint8_t> states(map, map + (map != nullptr ? size : 0));
        SFileCloseArchive(archive, false);
        return states;
    }

    std::string mirror, folder, game;
    std::map<std::string, Bytes> contents;
    Bytes damaged;
    uint64_t flipped = 0;
};

TEST_F(ArchivePartsTest, TheEngineFindsTheDamagedFileAndASyncMendsIt) {
    LoadedEngine loaded(Dll());
    IResourceManager* engine = loaded.engine;
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(engine->Initialize("test"));
    const uint32_t index = loaded.WaitForFile("comp\\b.dat");
    ASSERT_NE(index, MORL_INVALID_INDEX);
    EXPECT_EQ(engine->GetFileIndex("nowhere.dat"), MORL_INVALID_INDEX);
    EXPECT_STREQ(engine->GetFileName(index), "comp\\b.dat");
    uint32_t size = 0;
    ASSERT_TRUE(engine->GetFileSize(index, &size));
    EXPECT_EQ(size, 20000u);
    EXPECT_FALSE(engine->IsFileComplete(index));
    ASSERT_TRUE(engine->GetFileDownloadSize(index, &size));
    EXPECT_EQ(size, kPiece) << "the damaged piece";
    for (const char* whole : {"plain\\a.dat", "enc\\c.dat"}) {
        const uint32_t other = engine->GetFileIndex(whole);
        EXPECT_TRUE(engine->IsFileComplete(other)) << whole;
        ASSERT_TRUE(engine->GetFileDownloadSize(other, &size)) << whole;
        EXPECT_EQ(size, 0u) << whole;
    }

    EXPECT_EQ(loaded.Sync(index), MORL_SYNC_STATUS_SYNCED);
    EXPECT_TRUE(engine->IsFileComplete(index));
    // What a sync of the file fetched stays its download size.
    ASSERT_TRUE(engine->GetFileDownloadSize(index, &size));
    EXPECT_EQ(size, kPiece);
    EXPECT_TRUE(ReadAll(game) == ReadAll(mirror)) << "the game was a copy of the mirror but for one byte";

    ASSERT_TRUE(engine->ExtractFile(index, (folder + "\\out").c_str(), 1));
    EXPECT_EQ(ReadAll(folder + "\\out\\comp\\b.dat"), contents["comp\\b.dat"]);
    EXPECT_FALSE(engine->ExtractFile(index, (folder + "\\out").c_str(), 0)) << "exists, no overwrite";
    EXPECT_TRUE(engine->Uninitialize());
}

TEST_F(ArchivePartsTest, ADamagedPieceLeftAloneIsMarkedDamagedOnDisk) {
    {
        LoadedEngine loaded(Dll());
        ASSERT_NE(loaded.engine, nullptr);
        ASSERT_TRUE(loaded.engine->Initialize("test"));
        ASSERT_NE(loaded.WaitForFile("comp\\b.dat"), MORL_INVALID_INDEX);
        EXPECT_TRUE(loaded.engine->Uninitialize());  // the map goes back
    }
    const std::vector<uint8_t> map = MapOnDisk();
    ASSERT_FALSE(map.empty());
    for (uint32_t n = 0; n < map.size(); ++n) EXPECT_EQ(map[n], n == FlippedPiece() ? 2 : 1) << n;

    // Mended, and written when the host asks: every piece good.
    LoadedEngine loaded(Dll());
    ASSERT_TRUE(loaded.engine->Initialize("test"));
    const uint32_t index = loaded.WaitForFile("comp\\b.dat");
    EXPECT_EQ(loaded.Sync(index), MORL_SYNC_STATUS_SYNCED);
    loaded.engine->SetHostAction(1, 1, false);
    for (uint8_t state : MapOnDisk()) EXPECT_EQ(state, 1);
    TNQOVArchive* archive = nullptr;
    ASSERT_TRUE(SFileOpenArchive(game.c_str(), &archive, NQOV_OPEN_READ_ONLY));
    EXPECT_TRUE(SFileVerifyAll(archive, nullptr));
    SFileCloseArchive(archive, false);
}

TEST_F(ArchivePartsTest, MirrorsThatCannotServeAreRefused) {
    for (const char* line : {"Mirror=..\\missing.qov", "Mirror=", "Mirror=ftp://127.0.0.1/game.qov"}) {
        Settings(line);
        LoadedEngine loaded(Dll());
        ASSERT_NE(loaded.engine, nullptr);
        EXPECT_FALSE(loaded.engine->Initialize("test")) << line;
        EXPECT_EQ(loaded.engine->GetLastErrorCode(0, 0), kArchiveErrorNoMirror) << line;
        EXPECT_EQ(loaded.engine->StartSync(0, nullptr, 50, MORL_SYNC_ANY, 0), MORL_INVALID_SYNC_ID);
        EXPECT_EQ(loaded.engine->GetFileIndex("comp\\b.dat"), MORL_INVALID_INDEX);
    }
    EXPECT_EQ(ReadAll(game), damaged) << "nothing written";
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The names in a folder, "." and ".." left out.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& path) {
    for (const std::string& name : Names(path)) {
        const std::string child = path + "\\" + name;
        if (GetFileAttributesA(child.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(child);
        else
            DeleteFileA(child.c_str());
    }
    RemoveDirectoryA(path.c_str());
}

// A mirror (and a game, its copy) whose list file names files that would
// leave the folder they are extracted to, beside "a" and "a.part".
TEST_F(ArchivePartsTest, ExtractionKeepsArchivedNamesInsideTheFolder) {
    const std::string names = "names-mirror.qov";
    const char* unsafe[] = {"..\\evil.dat", "data\\..\\..\\evil2.dat", "\\rooted.dat", "C:evil3.dat",
                            "nul.txt",      "data\\Com1.dat",          "AUX",          "safe.dat:stream"};
    std::map<std::string, Bytes> stored;
    uint32_t seed = 100;
    for (const char* name : unsafe) stored[name] = RandomBytes(3000, seed++);
    stored["a"] = RandomBytes(50000, seed++);
    stored["a.part"] = RandomBytes(7000, seed++);
    std::remove(names.c_str());
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 64);
    params.dwMD5PieceSize = kPiece;
    TNQOVArchive* archive = nullptr;
    ASSERT_TRUE(SFileCreateArchive(names.c_str(), &params, &archive));
    for (const auto& file : stored) {
        TNQOVFile* handle = nullptr;
        ASSERT_TRUE(SFileCreateFileEx(archive, file.first.c_str(), static_cast<uint32_t>(file.second.size()),
                                      NQOV_FILE_COMPRESS, &handle))
            << file.first;
        ASSERT_TRUE(SFileWriteFile(handle, file.second.data(), static_cast<uint32_t>(file.second.size())));
        ASSERT_TRUE(SFileFinishFile(handle));
    }
    ASSERT_TRUE(SFileCloseArchive(archive, true));
    Settings("Mirror=..\\" + names);
    WriteAll(game, ReadAll(names));

    LoadedEngine loaded(Dll());
    IResourceManager* engine = loaded.engine;
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(engine->Initialize("test"));
    ASSERT_NE(loaded.WaitForFile("a"), MORL_INVALID_INDEX);
    const std::string out = folder + "\\out";
    const char* outside[] = {"evil.dat", "evil2.dat", "evil3.dat", "rooted.dat"};
    RemoveTree(out);  // what an earlier run left
    for (const char* name : outside) DeleteFileA((folder + "\\" + name).c_str());
    for (const char* name : unsafe) {
        const uint32_t index = engine->GetFileIndex(name);
        ASSERT_NE(index, MORL_INVALID_INDEX) << name;
        EXPECT_STREQ(engine->GetFileName(index), name);
        for (uint32_t overwrite : {0u, 1u}) {
            EXPECT_FALSE(engine->ExtractFile(index, out.c_str(), overwrite)) << name;
            EXPECT_EQ(engine->GetLastErrorCode(0, 0), 0xE0000024u) << name;
        }
    }
    // Both orders of "a" and "a.part", each into a folder of its own.
    const std::vector<std::string> orders[] = {{"a", "a.part"}, {"a.part", "a"}};
    for (const std::vector<std::string>& order : orders) {
        const std::string into = out + "\\" + order[0] + "-first";
        for (const std::string& name : order)
            ASSERT_TRUE(engine->ExtractFile(engine->GetFileIndex(name.c_str()), into.c_str(), 0)) << name;
        EXPECT_EQ(Names(into), std::vector<std::string>({"a", "a.part"})) << order[0];
        for (const std::string& name : order) EXPECT_EQ(ReadAll(into + "\\" + name), stored[name]) << name;
    }
    EXPECT_TRUE(engine->Uninitialize());
    EXPECT_EQ(Names(out), std::vector<std::string>({"a-first", "a.part-first"}))
        << "nothing else in the folder";
    for (const char* name : outside) {
        EXPECT_FALSE(Exists(name)) << name;
        EXPECT_FALSE(Exists(folder + "\\" + name)) << name;
        EXPECT_FALSE(Exists(std::string("C:\\") + name)) << name;
    }
}

// One life of morl.dll as the plug-in gives it: loaded, the engine made,
// initialised, one file synced, uninitialised, released, freed.
void EngineLife(const std::wstring& dll) {
    LoadedEngine loaded(dll);
    ASSERT_NE(loaded.engine, nullptr);
    EXPECT_TRUE(loaded.engine->Initialize("test"));
    const uint32_t index = loaded.WaitForFile("comp\\b.dat");
    ASSERT_NE(index, MORL_INVALID_INDEX);
    EXPECT_EQ(loaded.Sync(index), MORL_SYNC_STATUS_SYNCED);
    EXPECT_TRUE(loaded.engine->IsFileComplete(index));
    EXPECT_TRUE(loaded.engine->Uninitialize());
}

TEST_F(ArchivePartsTest, LoadingAndFreeingTheEngineLeavesNoHandles) {
    EngineLife(Dll());  // the first life loads what stays (the C run-time's own)
    const DWORD before = HandleCount();
    for (int life = 0; life < 10; ++life) {
        WriteAll(game, damaged);
        EngineLife(Dll());
    }
    const DWORD after = HandleCount();
    EXPECT_GT(before, 0u);
    EXPECT_LE(after, before + 2) << before << " handles before, " << after << " after";
}

}  // namespace
}  // namespace standin
