// The scripted engine stand-in answers as its settings file says: the
// tests of the engine thread and of the plug-in rely on it.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "EngineTestSupport.h"
#include "MORLEngineApi.h"

namespace {

using enginetest::PluginFolder;

class StandinEngineTest : public ::testing::Test {
protected:
    void Load(const std::string& script) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder.reset(new PluginFolder(std::string("standin_") + info->name(), script));
        library = LoadLibraryW(folder->Path(L"morl.dll").c_str());
        ASSERT_NE(library, nullptr);
        auto create = reinterpret_cast<PFN_GetResourceManagerII>(
            reinterpret_cast<void*>(GetProcAddress(library, MORL_EXPORT_GET_RESOURCE_MANAGER)));
        release = reinterpret_cast<PFN_ReleaseResourceManagerII>(
            reinterpret_cast<void*>(GetProcAddress(library, MORL_EXPORT_RELEASE_RESOURCE_MANAGER)));
        ASSERT_NE(create, nullptr);
        ASSERT_NE(release, nullptr);
        engine = create();
        ASSERT_NE(engine, nullptr);

        WNDCLASSW wc = {};
        wc.lpfnWndProc = &StandinEngineTest::Proc;
        wc.lpszClassName = L"StandinEngineTestWindow";
        RegisterClassW(&wc);
        window = CreateWindowExW(0, L"StandinEngineTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }

    void TearDown() override {
        if (engine != nullptr && release != nullptr) release(engine);
        if (window != nullptr) DestroyWindow(window);
        enginetest::PumpPending();
        if (library != nullptr) FreeLibrary(library);
        folder.reset();
    }

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        auto self = reinterpret_cast<StandinEngineTest*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self != nullptr && message >= 0x5000 && message < 0x5100) {
            self->messages.push_back({message, wParam, lParam});
            if (message == WM_ENGINE_SYNC_EVENT) {
                SyncResult record;
                if (self->engine->GetSyncResult(static_cast<uint32_t>(wParam), &record)) {
                    self->syncStates.push_back(std::to_string(record.status) + ":" +
                                               std::to_string(record.done) + "/" +
                                               std::to_string(record.total));
                }
            }
            return 0;
        }
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }

    struct Posted {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    std::unique_ptr<PluginFolder> folder;
    HMODULE library = nullptr;
    PFN_ReleaseResourceManagerII release = nullptr;
    IResourceManager* engine = nullptr;
    HWND window = nullptr;
    std::vector<Posted> messages;
    std::vector<std::string> syncStates;
};

const char kFiles[] =
    "[Files]\r\nCount=2\r\n"
    "[File1]\r\nIndex=7\r\nName=data\\a.dat\r\nSize=1000\r\nDownloadSize=400\r\n"
    "MD5=0123456789ABCDEF0123456789ABCDEF\r\nSync=1:100@0,1:300@10,2@20\r\n"
    "Sync2=5@0\r\nExtractWrite=hello\r\n"
    "[File2]\r\nName=b.dat\r\nCompleteError=0xE0000013\r\nExtract=0\r\nExtractError=0x55\r\n"
    "SyncName=";

TEST_F(StandinEngineTest, FilesAnswerFromTheScript) {
    ASSERT_NO_FATAL_FAILURE(Load(kFiles + std::string(300, 'q') + "\r\n"));
    EXPECT_EQ(engine->GetFileIndex("data\\a.dat"), 7u);
    EXPECT_EQ(engine->GetFileIndex("b.dat"), 1u);
    EXPECT_EQ(engine->GetFileIndex("c.dat"), MORL_INVALID_INDEX);
    EXPECT_STREQ(engine->GetFileName(7), "data\\a.dat");
    uint32_t size = 0;
    EXPECT_TRUE(engine->GetFileSize(7, &size));
    EXPECT_EQ(size, 1000u);
    EXPECT_TRUE(engine->GetFileDownloadSize(7, &size));
    EXPECT_EQ(size, 400u);
    char md5[33];
    EXPECT_TRUE(engine->GetFileMD5(7, md5));
    EXPECT_STREQ(md5, "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_FALSE(engine->GetFileMD5(1, md5));
    EXPECT_FALSE(engine->IsFileComplete(7));
    EXPECT_EQ(engine->GetLastErrorCode(0, 0), 0u);
    EXPECT_FALSE(engine->IsFileComplete(1));
    EXPECT_EQ(engine->GetLastErrorCode(0, 0), MORL_ERROR_FILE_NOT_PRESENT);

    EXPECT_FALSE(engine->ExtractFile(1, "C:\\x", 0));
    EXPECT_EQ(engine->GetLastErrorCode(0, 0), 0x55u);
    const std::string target = enginetest::ReadFileText(folder->Base() + L"\\out\\data\\a.dat");
    EXPECT_EQ(target, "");
    const std::wstring out = folder->Base() + L"\\out";
    std::string outUtf8(out.begin(), out.end());
    EXPECT_TRUE(engine->ExtractFile(7, outUtf8.c_str(), 1));
    EXPECT_EQ(enginetest::ReadFileText(out + L"\\data\\a.dat"), "hello");
    EXPECT_TRUE(folder->Called("ExtractFile 7 " + outUtf8 + " 1 -> 1"));

    wchar_t text[64];
    uint32_t needed = engine->GetErrorText(0xE0000028u, 0, nullptr, 0);
    EXPECT_EQ(needed, 24u);
    engine->GetErrorText(0xE0000028u, 0, text, 10);
    EXPECT_STREQ(text, L"engine er");
}

TEST_F(StandinEngineTest, SyncsFollowTheirCourseAndRetriesTheirOwn) {
    ASSERT_NO_FATAL_FAILURE(Load(kFiles + std::string(300, 'q') + "\r\n"));
    uint32_t first = engine->StartSync(7, window, 50, MORL_SYNC_ANY, 0);
    EXPECT_EQ(first, 1u);
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return syncStates.size() == 3; }));
    EXPECT_EQ(syncStates, (std::vector<std::string>{"1:100/400", "1:300/400", "2:400/400"}));

    syncStates.clear();
    uint32_t second = engine->StartSync(7, window, 50, MORL_SYNC_ANY, 0);
    EXPECT_EQ(second, 2u);
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return syncStates.size() == 1; }));
    EXPECT_EQ(syncStates[0], "5:0/400");

    // A name of 256 bytes or more fills the record without a NUL.
    uint32_t third = engine->StartSync(1, window, 50, MORL_SYNC_ANY, 0);
    SyncResult record;
    ASSERT_TRUE(engine->GetSyncResult(third, &record));
    EXPECT_EQ(std::string(record.fileName, 256), std::string(256, 'q'));
}

TEST_F(StandinEngineTest, InitializeFollowsItsListsAndPostsItsMessages) {
    ASSERT_NO_FATAL_FAILURE(
        Load("InitializeResult=0,1\r\nInitializeError=0x60000026,0\r\nBitmapFinishError=3\r\n"
             "[Post.Initialize1]\r\n1=0,WM_ENGINE_REPAIR_PROGRESS,250,0\r\n"
             "2=5,0x5070,0,9\r\n"));
    engine->SetNotifyWindow(window);
    EXPECT_FALSE(engine->Initialize("test"));
    EXPECT_EQ(engine->GetLastErrorCode(0, 0), MORL_ERROR_NEED_REPAIR);
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return messages.size() == 2; }));
    EXPECT_EQ(messages[0].message, WM_ENGINE_REPAIR_PROGRESS);
    EXPECT_EQ(messages[0].wParam, 250u);
    EXPECT_EQ(messages[1].message, WM_ENGINE_REPAIR_RETURN);
    EXPECT_EQ(messages[1].lParam, 9);

    messages.clear();
    EXPECT_TRUE(engine->Initialize("test"));  // the default: ready at once
    engine->SetHostAction(1, 1, false);
    ASSERT_TRUE(enginetest::PumpUntil([&]() { return messages.size() == 2; }));
    EXPECT_EQ(messages[0].message, WM_ENGINE_INIT_RETURN);
    EXPECT_EQ(messages[0].wParam, 1u);
    EXPECT_EQ(messages[1].message, WM_ENGINE_BITMAP_FINISH);
    EXPECT_EQ(messages[1].wParam, 3u);
}

}  // namespace
