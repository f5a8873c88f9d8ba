// The restore manager against a fake engine: extraction of missing files,
// files kept when their MD5 matches, the destination folder's backslash,
// names and folders that would leave the game folder, failures, progress
// and stopping.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "AllocationCounter.h"
#include "CRestoreFileMgr.h"
#include "fund/lock.h"
#include "test_download_fake_engine.h"
#include "test_lists_support.h"

namespace {

// MD5 of "abc" and of a million 'a' (RFC 1321's test suite and its usual
// companion).
const char kMd5Abc[] = "900150983CD24FB0D6963F7D28E17F72";
const char kMd5Abc_lower[] = "900150983cd24fb0d6963f7d28e17f72";
const char kMd5MillionA[] = "7707D6AE4E027C70EEA2A935C2296F21";

class RecordingCallback : public IRestoreCallback {
public:
    RecordingCallback() : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RecordingCallback() { CloseHandle(m_done); }

    void OnRestoreFail(const wchar_t*, int code) override {
        fund::lock::scoped_lock hold(m_lock);
        failures.push_back(code);
        SetEvent(m_done);
    }
    void OnRestoreSuccess() override {
        fund::lock::scoped_lock hold(m_lock);
        ++successes;
        SetEvent(m_done);
    }
    bool WaitForEnd(DWORD ms = 10000) { return WaitForSingleObject(m_done, ms) == WAIT_OBJECT_0; }

    std::vector<int> failures;
    int successes = 0;

private:
    fund::lock::critical_section m_lock;
    HANDLE m_done;
};

class RestoreManager : public ::testing::Test {
protected:
    void SetUp() override {
        CreateDirectoryW((folder / L"bin").c_str(), nullptr);
        CreateDirectoryW((folder / L"data").c_str(), nullptr);
    }
    std::string FolderUtf8(const std::wstring& relative) {
        return fund::win::wide_to_utf8(folder / relative);
    }
    static FakeFile File(const char* name, uint32_t size, const char* md5 = nullptr) {
        FakeFile file;
        file.name = name;
        file.size = size;
        file.md5 = md5;
        file.content = "abc";
        return file;
    }

    ScratchFolder folder;
    FakeEngine engine;
    RecordingCallback callback;
};

TEST_F(RestoreManager, EmptyListSucceedsAtOnce) {
    CRestoreFileMgr manager(&callback, folder.Path());
    EXPECT_EQ(manager.GetRestoreProgress(), 0);
    EXPECT_EQ(manager.BeginRestore(&engine, RestoreFileList()), 1);
    ASSERT_TRUE(callback.WaitForEnd());
    manager.Stop();
    EXPECT_EQ(callback.successes, 1);
    EXPECT_TRUE(callback.failures.empty());
}

TEST_F(RestoreManager, MissingTargetsAreExtractedWithoutOverwrite) {
    engine.Add(1, File("a.dll", 300));
    engine.Add(2, File("b.dat", 100));
    CRestoreFileMgr manager(&callback, folder.Path());
    // "bin" lacks the trailing backslash, "data\" has one.
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"a.dll", L"bin"}, {L"b.dat", L"data\\"}}), 1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(callback.successes, 1);
    EXPECT_EQ(manager.GetRestoreProgress(), 1000);

    const std::vector<FakeExtraction> extractions = engine.Extractions();
    ASSERT_EQ(extractions.size(), 2u);
    EXPECT_EQ(extractions[0].index, 1u);
    EXPECT_EQ(extractions[0].folder, FolderUtf8(L"bin\\"));
    EXPECT_EQ(extractions[0].overwrite, 0u);
    EXPECT_EQ(extractions[1].folder, FolderUtf8(L"data\\"));
    EXPECT_NE(GetFileAttributesW((folder / L"bin\\a.dll").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(RestoreManager, ExistingFileWithMatchingMd5IsKept) {
    engine.Add(1, File("a.dll", 3, kMd5Abc));
    WriteBytes(folder / L"bin\\a.dll", "abc");
    CRestoreFileMgr manager(&callback, folder.Path());
    // Without the added backslash the check would look at "binA.dll" and
    // extract again.
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"a.dll", L"bin"}}), 1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(callback.successes, 1);
    EXPECT_TRUE(engine.Extractions().empty());
    EXPECT_EQ(manager.GetRestoreProgress(), 1000);
}

TEST_F(RestoreManager, ExistingFileIsExtractedAgainUnlessItsDigestMatchesByteForByte) {
    const struct {
        const char* stored;  // null: the engine gives no digest
        const char* onDisk;
    } cases[] = {
        {kMd5Abc_lower, "abc"},       // a lower-case stored digest never matches
        {kMd5Abc, "abd"},             // different content
        {nullptr, "abc"},             // no stored digest
        {"900150983CD24FB0", "abc"},  // a short stored digest
    };
    for (const auto& c : cases) {
        FakeEngine local;
        RecordingCallback done;
        local.Add(7, File("f.bin", 3, c.stored));
        WriteBytes(folder / L"data\\f.bin", c.onDisk);
        CRestoreFileMgr manager(&done, folder.Path());
        ASSERT_EQ(manager.BeginRestore(&local, {{L"f.bin", L"data"}}), 1);
        ASSERT_TRUE(done.WaitForEnd());
        const std::vector<FakeExtraction> extractions = local.Extractions();
        ASSERT_EQ(extractions.size(), 1u) << (c.stored ? c.stored : "(none)");
        EXPECT_EQ(extractions[0].overwrite, 1u);
        EXPECT_EQ(done.successes, 1);
    }
}

TEST_F(RestoreManager, DigestOfAFileLargerThanOneBlock) {
    engine.Add(1, File("big.pak", 1000000, kMd5MillionA));
    WriteBytes(folder / L"data\\big.pak", std::string(1000000, 'a'));
    CRestoreFileMgr manager(&callback, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"big.pak", L"data"}}), 1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_TRUE(engine.Extractions().empty());
}

TEST_F(RestoreManager, AFailedExtractionEndsTheRestoreWith11) {
    engine.Add(1, File("ok.dat", 10));
    FakeFile broken = File("broken.dat", 10);
    broken.extracts = false;
    engine.Add(2, broken);
    engine.Add(3, File("later.dat", 10));
    CRestoreFileMgr manager(&callback, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine,
                                   {{L"ok.dat", L"data"}, {L"broken.dat", L"data"}, {L"later.dat", L"data"}}),
              1);
    ASSERT_TRUE(callback.WaitForEnd());
    manager.Stop();
    EXPECT_EQ(callback.failures, std::vector<int>{11});
    EXPECT_EQ(callback.successes, 0);
    EXPECT_EQ(engine.Extractions().size(), 2u);  // later.dat untouched
}

TEST_F(RestoreManager, WithoutACallbackAFailureMovesOnToTheNextEntry) {
    FakeFile broken = File("broken.dat", 10);
    broken.extracts = false;
    engine.Add(1, broken);
    engine.Add(2, File("later.dat", 30));
    CRestoreFileMgr manager(nullptr, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"broken.dat", L"data"}, {L"later.dat", L"data"}}), 1);
    for (int i = 0; i < 1000 && manager.GetRestoreProgress() < 750; ++i) Sleep(5);
    EXPECT_EQ(manager.GetRestoreProgress(), 750);  // 30 of 40 bytes
    manager.Stop();
    EXPECT_EQ(engine.Extractions().size(), 2u);
}

TEST_F(RestoreManager, UnresolvedIncompleteAndErroneousEntriesAreSkipped) {
    engine.Add(1, File("good.dat", 10));
    FakeFile partial = File("partial.dat", 1000);
    partial.complete = false;
    engine.Add(2, partial);
    FakeFile erroneous = File("erroneous.dat", 1000);
    erroneous.errorAfterCheck = MORL_ERROR_FILE_NOT_PRESENT;
    engine.Add(3, erroneous);
    CRestoreFileMgr manager(&callback, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"unknown.dat", L"data"},
                                             {L"partial.dat", L"data"},
                                             {L"erroneous.dat", L"data"},
                                             {L"good.dat", L"data"}}),
              1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(callback.successes, 1);
    ASSERT_EQ(engine.Extractions().size(), 1u);
    EXPECT_EQ(engine.Extractions()[0].index, 1u);
    EXPECT_EQ(manager.GetRestoreProgress(), 1000);  // the skipped sizes are not in the total
}

// The names in a folder, "." and ".." left out.
std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// Names from the archive (the engine's GetFileName) and destination folders
// from the list that would leave the game folder: the entry fails the
// restore with 11 and the engine is never asked to extract it.  The base
// folder is the plug-in's folder "game\\plug"; one leading ".." reaches the
// game folder, which is allowed.
TEST_F(RestoreManager, NamesAndFoldersLeavingTheGameFolderFailTheRestore) {
    const struct {
        const char* name;  // in the archive, UTF-8
        const wchar_t* destination;
    } refused[] = {
        {"..\\evil.dat", L"data"},
        {"..\\..\\..\\evil.dat", L"..\\"},
        {"data\\..\\..\\..\\evil.dat", L"data"},
        {"../../evil.dat", L"data"},
        {"\\evil.dat", L"data"},
        {"C:\\evil.dat", L"data"},
        {"x.dat:stream", L"data"},
        {"nul.txt", L"data"},
        {"sub\\Com1.dat", L"data"},
        {"AUX", L"data"},
        {"ok.dat", L"..\\..\\"},
        {"ok.dat", L"..\\.."},
        {"ok.dat", L"../.."},
        {"ok.dat", L"data\\..\\..\\.."},
        {"ok.dat", L"..\\..\\evil"},
        {"ok.dat", L"C:\\"},
        {"ok.dat", L"\\\\server\\share"},
        {"ok.dat", L"data:stream"},
        {"ok.dat", L"data\\nul"},
        {"ok.dat", L"lpt1.dat\\x"},
    };
    CreateDirectoryW((folder / L"game").c_str(), nullptr);
    CreateDirectoryW((folder / L"game\\plug").c_str(), nullptr);
    for (const auto& c : refused) {
        FakeEngine local;
        RecordingCallback done;
        local.Add(1, File("fine.dat", 3));
        local.Add(2, File(c.name, 3));
        local.Add(3, File("later.dat", 3));
        const std::wstring source = fund::win::utf8_to_wide(c.name);
        CRestoreFileMgr manager(&done, folder / L"game\\plug");
        ASSERT_EQ(manager.BeginRestore(
                      &local, {{L"fine.dat", L"..\\"}, {source, c.destination}, {L"later.dat", L"..\\"}}),
                  1);
        ASSERT_TRUE(done.WaitForEnd());
        manager.Stop();
        EXPECT_EQ(done.failures, std::vector<int>{11})
            << c.name << " " << fund::win::wide_to_utf8(c.destination);
        ASSERT_EQ(local.Extractions().size(), 1u) << c.name << " " << fund::win::wide_to_utf8(c.destination);
        EXPECT_EQ(local.Extractions()[0].index, 1u);
        std::vector<std::wstring> names = Names(folder / L"game");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, std::vector<std::wstring>({L"fine.dat", L"plug"})) << c.name;
        EXPECT_TRUE(Names(folder / L"game\\plug").empty()) << c.name;
        DeleteFileW((folder / L"game\\fine.dat").c_str());
    }
    std::vector<std::wstring> names = Names(folder.Path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, std::vector<std::wstring>({L"bin", L"data", L"game"}))
        << "nothing beside the game folder";
    EXPECT_TRUE(Names(folder / L"data").empty());
}

TEST_F(RestoreManager, FoldersInsideTheGameFolderAreRestoredTo) {
    CreateDirectoryW((folder / L"game").c_str(), nullptr);
    CreateDirectoryW((folder / L"game\\plug").c_str(), nullptr);
    CreateDirectoryW((folder / L"game\\plug\\sub").c_str(), nullptr);
    engine.Add(1, File("one.dat", 3));
    engine.Add(2, File("two.dat", 3));
    engine.Add(3, File("three.dat", 3));
    CRestoreFileMgr manager(&callback, folder / L"game\\plug");
    ASSERT_EQ(manager.BeginRestore(&engine,
                                   {{L"one.dat", L"..\\"}, {L"two.dat", L".."}, {L"three.dat", L"sub\\."}}),
              1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(callback.successes, 1);
    EXPECT_NE(GetFileAttributesW((folder / L"game\\one.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW((folder / L"game\\two.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW((folder / L"game\\plug\\sub\\three.dat").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(RestoreManager, NamesOutsideAsciiReachTheEngineAsUtf8) {
    engine.Add(1, File("\xE6\x95\xB0\xE6\x8D\xAE.dat", 3, kMd5Abc));
    CreateDirectoryW((folder / L"\x76EE\x5F55").c_str(), nullptr);
    WriteBytes(folder / L"\x76EE\x5F55\\\x6570\x636E.dat", "abc");
    CRestoreFileMgr manager(&callback, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"\x6570\x636E.dat", L"\x76EE\x5F55"}}), 1);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(callback.successes, 1);
    EXPECT_TRUE(engine.Extractions().empty());  // found and kept
}

TEST_F(RestoreManager, StopWaitsForTheExtractionInProgressAndReportsNothing) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    engine.extractGate = gate;
    engine.extractEntered = entered;
    // The extraction under way fails as the stop comes: that is not
    // reported as a failure of the restore.
    FakeFile one = File("one.dat", 10);
    one.extracts = false;
    engine.Add(1, one);
    engine.Add(2, File("two.dat", 10));
    {
        CRestoreFileMgr manager(&callback, folder.Path());
        ASSERT_EQ(manager.BeginRestore(&engine, {{L"one.dat", L"data"}, {L"two.dat", L"data"}}), 1);
        ASSERT_EQ(WaitForSingleObject(entered, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        // Let the extraction finish a moment after Stop has begun waiting.
        HANDLE opener = CreateThread(
            nullptr, 0,
            [](void* event) -> DWORD {
                Sleep(100);
                SetEvent(static_cast<HANDLE>(event));
                return 0;
            },
            gate, 0, nullptr);
        manager.Stop();
        WaitForSingleObject(opener, INFINITE);
        CloseHandle(opener);
        EXPECT_EQ(manager.GetRestoreProgress(), 0);
        EXPECT_EQ(manager.BeginRestore(&engine, {{L"two.dat", L"data"}}), 0);  // not again after Stop
    }
    EXPECT_EQ(engine.Extractions().size(), 1u);
    EXPECT_EQ(callback.successes, 0);
    EXPECT_TRUE(callback.failures.empty());
    CloseHandle(gate);
    CloseHandle(entered);
}

TEST_F(RestoreManager, WithoutAnEngineNothingStarts) {
    CRestoreFileMgr manager(&callback, folder.Path());
    EXPECT_EQ(manager.BeginRestore(nullptr, {{L"a", L"b"}}), 0);
    EXPECT_FALSE(callback.WaitForEnd(50));
}

TEST_F(RestoreManager, ProgressIsInTenthsOfThePercentOfBytes) {
    HANDLE gate = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // lets one extraction through
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    engine.Add(1, File("one.dat", 1));
    engine.Add(2, File("two.dat", 2));
    engine.extractEntered = entered;
    engine.extractGate = gate;
    CRestoreFileMgr manager(&callback, folder.Path());
    ASSERT_EQ(manager.BeginRestore(&engine, {{L"one.dat", L"data"}, {L"two.dat", L"data"}}), 1);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(manager.GetRestoreProgress(), 0);
    ResetEvent(entered);
    SetEvent(gate);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(manager.GetRestoreProgress(), 333);
    SetEvent(gate);
    ASSERT_TRUE(callback.WaitForEnd());
    EXPECT_EQ(manager.GetRestoreProgress(), 1000);
    manager.Stop();
    CloseHandle(gate);
    CloseHandle(entered);
}

// Each allocation of the restore thread fails in turn: the restore ends in
// success or in failure 11, never in silence.
TEST_F(RestoreManager, EachFailingAllocationOfTheRestoreThreadEndsTheRestore) {
    engine.Add(1, File("a.dll", 300));
    engine.Add(2, File("b.dat", 100));
    const RestoreFileList list = {{L"a.dll", L"bin"}, {L"b.dat", L"bin"}};
    int ends[2] = {0, 0};
    long long nth = 1;
    for (; nth < 500; ++nth) {
        RecordingCallback ending;
        ending.failures.reserve(4);  // recording allocates nothing on the restore thread
        CRestoreFileMgr manager(&ending, folder.Path());
        const long long failedBefore = FailedAllocations();
        FailNthAllocation(nth, AllocatingThreads::Others);
        ASSERT_EQ(manager.BeginRestore(&engine, list), 1);
        const bool ended = ending.WaitForEnd();
        StopFailingAllocations();
        manager.Stop();
        EXPECT_TRUE(ended) << "allocation " << nth;
        EXPECT_EQ(ending.successes + static_cast<int>(ending.failures.size()), 1) << "allocation " << nth;
        for (int code : ending.failures) EXPECT_EQ(code, 11);
        DeleteFileW((folder / L"bin\\a.dll").c_str());
        DeleteFileW((folder / L"bin\\b.dat").c_str());
        if (FailedAllocations() == failedBefore) break;
        ++ends[ending.successes];
    }
    std::printf("%lld allocations of the restore thread failed in turn: %d restores failed, %d succeeded\n",
                nth - 1, ends[0], ends[1]);
    EXPECT_GT(ends[0], 0);
}

}  // namespace
