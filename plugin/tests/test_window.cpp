// The hidden message window: class per processor, message-only window,
// every posted message reaches the handler, clean destruction.

#include "MORLWndMsgProcessor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

struct Received {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class Recorder : public MORLWndMsgProcessor {
public:
    void OnRecvWndMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override {
        EXPECT_EQ(GetWnd(), window);
        if (message >= WM_USER && message < WM_USER + 100) received.push_back({message, wParam, lParam});
    }
    std::vector<Received> received;
};

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

TEST(MORLWndMsgProcessor, EachProcessorHasAClassOfItsOwn) {
    Recorder a;
    Recorder b;
    EXPECT_EQ(0u, a.GetWndClassName().find("_MORL_WND_CLASS_"));
    EXPECT_NE(a.GetWndClassName(), b.GetWndClassName());
    const std::string suffix = "_" + std::to_string(static_cast<long long>(
                                         reinterpret_cast<intptr_t>(static_cast<MORLWndMsgProcessor*>(&a))));
    const std::string& name = a.GetWndClassName();
    ASSERT_GT(name.size(), suffix.size());
    EXPECT_EQ(suffix, name.substr(name.size() - suffix.size()));
    a.SetWnd(a.CreateWnd());
    EXPECT_NE(nullptr, a.GetWnd());
}

TEST(MORLWndMsgProcessor, ClassIsUnregisteredWithTheProcessor) {
    std::string name;
    {
        Recorder r;
        name = r.GetWndClassName();
        r.SetWnd(r.CreateWnd());
        ASSERT_NE(nullptr, r.GetWnd());
    }
    // Gone with its processor: no window of that class can be made.
    const HWND window =
        CreateWindowExA(0, name.c_str(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_EQ(nullptr, window);
    if (window != nullptr) DestroyWindow(window);
}

TEST(MORLWndMsgProcessor, HiddenMessageOnlyWindowGetsPostedMessages) {
    Recorder r;
    const HWND window = r.CreateWnd();
    ASSERT_NE(nullptr, window);
    r.SetWnd(window);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(static_cast<MORLWndMsgProcessor*>(&r)),
              GetWindowLongPtrA(window, GWLP_USERDATA));
    // A message-only window does not hang under the desktop.
    EXPECT_NE(GetDesktopWindow(), GetAncestor(window, GA_PARENT));

    ASSERT_TRUE(PostMessageW(window, WM_USER + 9, 0, 0));
    ASSERT_TRUE(PostMessageW(window, WM_USER + 3, 5, 7));
    Pump();
    ASSERT_EQ(2u, r.received.size());
    EXPECT_EQ(WM_USER + 9, r.received[0].message);
    EXPECT_EQ(WM_USER + 3, r.received[1].message);
    EXPECT_EQ(5u, r.received[1].wParam);
    EXPECT_EQ(7, r.received[1].lParam);
}

TEST(MORLWndMsgProcessor, DestroyClearsTheHandleAndStopsDelivery) {
    Recorder r;
    r.SetWnd(r.CreateWnd());
    const HWND window = r.GetWnd();
    ASSERT_NE(nullptr, window);
    EXPECT_TRUE(r.DestroyWnd());
    EXPECT_EQ(nullptr, r.GetWnd());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(r.DestroyWnd());  // nothing left to destroy
}

TEST(MORLWndMsgProcessor, WindowOfAnEndedThreadIsForgotten) {
    Recorder r;
    std::thread owner([&r] { r.SetWnd(r.CreateWnd()); });
    owner.join();
    // The system destroyed the window with its thread.
    EXPECT_TRUE(r.DestroyWnd());
    EXPECT_EQ(nullptr, r.GetWnd());
}

TEST(MORLWndMsgProcessor, AnotherThreadCannotDestroyTheWindow) {
    Recorder r;
    r.SetWnd(r.CreateWnd());
    bool destroyed = true;
    std::thread other([&] { destroyed = r.DestroyWnd(); });
    other.join();
    EXPECT_FALSE(destroyed);
    EXPECT_NE(nullptr, r.GetWnd());
    EXPECT_TRUE(r.DestroyWnd());
}

}  // namespace
