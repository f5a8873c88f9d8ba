// The engine window's dispatch: the first handler, then the second, then
// the default procedure; the object found through the window's user data.

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "EngineSupport.h"
#include "EngineWindow.h"
#include "IWndProcCallback.h"
#include "fund/win/module.h"

namespace {

class Handler : public IWndProcCallback {
public:
    explicit Handler(int answer) : answer(answer) {}
    int ProcessMsg(UINT message, WPARAM, LPARAM) override {
        seen.push_back(message);
        return answer;
    }
    int answer;
    std::vector<UINT> seen;
};

class EngineWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.lpszClassName = L"EngineWindowTestClass";
        RegisterClassW(&wc);
        window = CreateWindowExW(0, L"EngineWindowTestClass", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override { DestroyWindow(window); }

    HWND window = nullptr;
};

const UINT kMessage = WM_USER + 77;

TEST_F(EngineWindowTest, TheFirstHandlerThatHandlesAMessageEndsItsDispatch) {
    Handler first(1), second(1);
    EngineWindow object(window, &first);
    object.SetSecondHandler(&second);
    ASSERT_TRUE(object.Attach());
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 1);
    EXPECT_EQ(first.seen, std::vector<UINT>{kMessage});
    EXPECT_TRUE(second.seen.empty());

    first.answer = 0;
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 1);
    EXPECT_EQ(second.seen, std::vector<UINT>{kMessage});

    // Neither handles it: the default procedure answers (0 for a user
    // message).
    second.answer = 0;
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 0);
    EXPECT_EQ(second.seen.size(), 2u);
}

TEST_F(EngineWindowTest, AnAbsentHandlerIsSkipped) {
    Handler first(0);
    EngineWindow object(window, &first);
    ASSERT_TRUE(object.Attach());
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 0);
    EXPECT_EQ(first.seen.size(), 1u);

    EngineWindow none(window, nullptr);
    Handler second(1);
    none.SetSecondHandler(&second);
    ASSERT_TRUE(none.Attach());
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 1);
    EXPECT_EQ(second.seen.size(), 1u);
}

TEST_F(EngineWindowTest, ADetachedWindowReachesNoHandler) {
    Handler first(1);
    {
        EngineWindow object(window, &first);
        ASSERT_TRUE(object.Attach());
    }  // detaches
    EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), 0);
    EXPECT_EQ(SendMessageW(window, kMessage, 0, 0), 0);
    EXPECT_TRUE(first.seen.empty());
}

TEST(ProcessCheck, FindsARunningProgramWhateverTheCase) {
    std::wstring self = fund::win::module_path(nullptr);
    self = self.substr(self.find_last_of(L'\\') + 1);
    EXPECT_TRUE(IsProcessRunning(self.c_str()));
    for (wchar_t& c : self) c = static_cast<wchar_t>(towupper(c));
    EXPECT_TRUE(IsProcessRunning(self.c_str()));
    EXPECT_FALSE(IsProcessRunning(L"no-such-program-here.exe"));
    EXPECT_FALSE(IsProcessRunning(nullptr));
}

}  // namespace
