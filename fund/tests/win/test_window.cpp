// The window procedure of fund/win/window.h: the object from the creation
// parameter or attached later gets every message from then on, answers
// for the window, and is detached at the window's last message.

#include "fund/win/window.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const UINT kPing = WM_USER + 5;

class Recorder {
public:
    LRESULT handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
        seen.push_back(message);
        windows.push_back(window);
        if (message == WM_NCDESTROY) dataAtLastMessage = GetWindowLongPtrW(window, GWLP_USERDATA);
        if (message == kPing) return static_cast<LRESULT>(wParam) + 1;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    bool Saw(UINT message) const {
        for (UINT m : seen) {
            if (m == message) return true;
        }
        return false;
    }
    std::vector<UINT> seen;
    std::vector<HWND> windows;
    LONG_PTR dataAtLastMessage = -1;
};

const wchar_t kClass[] = L"FundWindowTestClass";

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &fund::win::window_proc<Recorder>;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
    }
    static HWND Create(Recorder* object) {
        return CreateWindowExW(0, kClass, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                               object);
    }
};

TEST_F(WindowTest, TheCreationParameterGetsEveryMessageFromNcCreateOn) {
    Recorder object;
    HWND window = Create(&object);
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(object.seen.empty());
    // Messages before WM_NCCREATE (WM_GETMINMAXINFO) went to the default.
    EXPECT_EQ(object.seen.front(), static_cast<UINT>(WM_NCCREATE));
    EXPECT_TRUE(object.Saw(WM_CREATE));
    EXPECT_EQ(fund::win::window_object<Recorder>(window), &object);
    for (HWND seenBy : object.windows) EXPECT_EQ(seenBy, window);

    EXPECT_EQ(SendMessageW(window, kPing, 41, 0), 42);

    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_EQ(object.seen.back(), static_cast<UINT>(WM_NCDESTROY));
    EXPECT_EQ(object.dataAtLastMessage, 0);  // detached before it saw the message
}

TEST_F(WindowTest, WithoutAnObjectTheDefaultProcedureAnswers) {
    HWND window = Create(nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageW(window, kPing, 41, 0), 0);

    // Attached after creation: from then on.
    Recorder object;
    ASSERT_TRUE(fund::win::set_window_object(window, &object));
    EXPECT_EQ(SendMessageW(window, kPing, 1, 0), 2);
    EXPECT_EQ(object.seen, std::vector<UINT>{kPing});
    DestroyWindow(window);
}

TEST_F(WindowTest, AnObjectMayDeleteItselfAtTheLastMessage) {
    struct SelfDeleting {
        explicit SelfDeleting(bool* gone) : gone(gone) {}
        LRESULT handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
            const LRESULT result = DefWindowProcW(window, message, wParam, lParam);
            if (message == WM_NCDESTROY) {
                *gone = true;
                delete this;
            }
            return result;
        }
        bool* gone;
    };
    const wchar_t kSelfClass[] = L"FundWindowSelfDeleting";
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &fund::win::window_proc<SelfDeleting>;
    wc.lpszClassName = kSelfClass;
    RegisterClassW(&wc);
    bool gone = false;
    HWND window = CreateWindowExW(0, kSelfClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  new SelfDeleting(&gone));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(gone);
}

TEST(WindowAttach, AnExistingWindowIsTakenOverAndLetGo) {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    Recorder object;
    ASSERT_TRUE(fund::win::attach_window(window, &object));
    EXPECT_EQ(GetWindowLongPtrW(window, GWLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(&fund::win::window_proc<Recorder>));
    EXPECT_EQ(SendMessageW(window, kPing, 9, 0), 10);
    EXPECT_EQ(object.seen, std::vector<UINT>{kPing});

    // Another object's detach leaves it; its own lets it go.
    Recorder other;
    fund::win::detach_window(window, &other);
    EXPECT_EQ(fund::win::window_object<Recorder>(window), &object);
    fund::win::detach_window(window, &object);
    EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), 0);
    EXPECT_EQ(SendMessageW(window, kPing, 9, 0), 0);
    EXPECT_EQ(object.seen.size(), 1u);
    DestroyWindow(window);
    fund::win::detach_window(window, &object);  // a window that is gone: nothing
    fund::win::detach_window(nullptr, &object);
}

TEST(WindowAttach, AWindowThatIsGoneCannotBeAttached) {
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    DestroyWindow(window);
    Recorder object;
    SetLastError(0);
    EXPECT_FALSE(fund::win::attach_window(window, &object));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

}  // namespace
