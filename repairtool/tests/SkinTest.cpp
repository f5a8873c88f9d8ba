// The skin as the window lays it out, and the window's own handling of hit
// tests and button clicks, driven by messages on a hidden window.

#include <ContainerWnd.h>

#include <fund/win/text.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// The folder of the built skin archive, as a Windows path.
std::wstring SkinFolder() {
    std::wstring folder = fund::win::utf8_to_wide(MORL_SKIN_ZIP_DIR);
    for (wchar_t& c : folder)
        if (c == L'/') c = L'\\';
    if (!folder.empty() && folder[0] == L'\\') folder = L"Z:" + folder;
    return folder + L"\\";
}

POINT Centre(const RECT& rc) { return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2}; }

bool Overlap(const RECT& a, const RECT& b) {
    RECT both;
    return ::IntersectRect(&both, &a, &b) != FALSE;
}

class SkinTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&s_token, &input, nullptr), Gdiplus::Ok);
        ui::CPaintManagerUI::SetResourcePath(SkinFolder());
        ui::CPaintManagerUI::SetResourceZip(L"MORLRepairTools.zip");
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(s_token); }

    // The skin laid out at its own size, without a window.
    void SetUp() override {
        ui::CDialogBuilder builder;
        std::unique_ptr<ui::CControlUI> root = builder.Create(L"UISkin1.xml", &manager);
        ASSERT_TRUE(root) << fund::win::wide_to_utf8(builder.GetError());
        EXPECT_TRUE(builder.GetError().empty()) << fund::win::wide_to_utf8(builder.GetError());
        ASSERT_TRUE(manager.AttachDialog(std::move(root)));
        const SIZE size = manager.GetInitSize();
        ASSERT_GT(size.cx, 0);
        manager.GetRoot()->SetPos(RECT{0, 0, size.cx, size.cy});
    }

    ui::CControlUI* Find(const wchar_t* name) { return manager.FindControl(name); }

    static ULONG_PTR s_token;
    ui::CPaintManagerUI manager;
};

ULONG_PTR SkinTest::s_token = 0;

TEST_F(SkinTest, HoldsTheFourNamedControls) {
    ASSERT_NE(Find(L"ButtonUI1"), nullptr);
    ASSERT_NE(Find(L"ButtonUI2"), nullptr);
    EXPECT_STREQ(Find(L"ButtonUI1")->GetClass(), L"ButtonUI");
    EXPECT_STREQ(Find(L"ButtonUI2")->GetClass(), L"ButtonUI");
    auto* progress = dynamic_cast<ui::CProgressUI*>(Find(L"ProgressUI1"));
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->GetMinValue(), 0);
    EXPECT_EQ(progress->GetMaxValue(), 100);
    ASSERT_NE(Find(L"TextUI1"), nullptr);
    // The close button sits in the caption, the start button below it.
    const RECT& caption = manager.GetCaptionRect();
    EXPECT_LT(Find(L"ButtonUI1")->GetPos().top, caption.bottom);
    EXPECT_GE(Find(L"ButtonUI2")->GetPos().top, caption.bottom);
}

TEST_F(SkinTest, StatusTextShowsThreeFailedPathsWhole) {
    ui::CControlUI* status = Find(L"TextUI1");
    ASSERT_NE(status, nullptr);
    std::wstring text = L"修复包失败：";
    for (wchar_t tag : {L'a', L'b', L'c'}) {
        std::wstring path = L"C:\\Games\\Orvane\\MORLDownload\\data_000";
        path += tag;
        path += L".qov";
        path.resize(40, L'x');
        text += path + L" ";
    }
    status->SetText(text);
    EXPECT_FALSE(status->IsTextClipped());
    // Nothing else covers the text.
    for (const wchar_t* other : {L"ProgressUI1", L"ButtonUI1", L"ButtonUI2"})
        EXPECT_FALSE(Overlap(status->GetPos(), Find(other)->GetPos())) << fund::win::wide_to_utf8(other);
    EXPECT_FALSE(Overlap(Find(L"ProgressUI1")->GetPos(), Find(L"ButtonUI2")->GetPos()));
}

// Where the controls sit in the window's client area: the window test
// (window_test.py) clicks and looks there.
TEST_F(SkinTest, TheControlsSitWhereTheWindowTestLooks) {
    const struct {
        const wchar_t* name;
        RECT pos;
    } expected[] = {
        {L"ButtonUI1", {454, 0, 500, 44}},
        {L"TextUI1", {28, 94, 472, 240}},
        {L"ProgressUI1", {28, 252, 472, 260}},
        {L"ButtonUI2", {336, 272, 472, 308}},
    };
    for (const auto& control : expected) {
        ASSERT_NE(Find(control.name), nullptr);
        const RECT& pos = Find(control.name)->GetPos();
        EXPECT_TRUE(::EqualRect(&pos, &control.pos))
            << fund::win::wide_to_utf8(control.name) << ": " << pos.left << "," << pos.top << "," << pos.right
            << "," << pos.bottom;
    }
    EXPECT_EQ(manager.GetCaptionRect().bottom, 44);
}

// A failed list that the status box cannot hold gives way to the summary
// (how many failed, and where the whole list is); a short one is shown.
TEST_F(SkinTest, ALongFailedListIsSummedUpInTheStatusText) {
    ui::CControlUI* status = Find(L"TextUI1");
    ASSERT_NE(status, nullptr);
    const std::wstring summary = FailedSummaryText(40);
    std::wstring text = L"修复包失败：";
    for (int i = 0; i < 40; i++)
        text += L"C:\\Games\\Orvane\\MORLDownload\\data_" + std::to_wstring(i) + L".qov ";
    CContainerWnd::ShowResultIn(status, text, summary);
    EXPECT_EQ(status->GetText(), summary);
    EXPECT_FALSE(status->IsTextClipped());

    const std::wstring shortText = L"修复包失败：C:\\Games\\MORLDownload\\a.qov ";
    CContainerWnd::ShowResultIn(status, shortText, summary);
    EXPECT_EQ(status->GetText(), shortText);
    CContainerWnd::ShowResultIn(nullptr, shortText, summary);  // a skin without the box
}

//-----------------------------------------------------------------------------
// The window itself, hidden, at a known place.

class ContainerWndTest : public SkinTest {
protected:
    void SetUp() override {
        SkinTest::SetUp();
        frame = new CContainerWnd();
        ASSERT_NE(frame->Create(nullptr, L"Orvane游戏修复器", WS_OVERLAPPEDWINDOW, WS_EX_WINDOWEDGE, 100, 80,
                                300, 200),
                  nullptr);
        hwnd = frame->GetHWND();
    }
    void TearDown() override {
        if (::IsWindow(hwnd)) ::DestroyWindow(hwnd);  // the object deletes itself
        Pump();
    }

    // Handles what is queued for the window, WM_QUIT included.
    void Pump() {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue;
            ::DispatchMessageW(&msg);
        }
    }

    LRESULT HitTest(POINT client) {
        RECT window;
        ::GetWindowRect(hwnd, &window);
        return ::SendMessageW(hwnd, WM_NCHITTEST, 0,
                              MAKELPARAM(window.left + client.x, window.top + client.y));
    }

    void Click(POINT client) {
        ::SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
        ::SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(client.x, client.y));
        Pump();
    }

    CContainerWnd* frame = nullptr;
    HWND hwnd = nullptr;
};

TEST_F(ContainerWndTest, TakesTheSkinsSizeWithoutFrameOrCaption) {
    RECT client, window;
    ::GetClientRect(hwnd, &client);
    ::GetWindowRect(hwnd, &window);
    EXPECT_EQ(client.right, manager.GetInitSize().cx);
    EXPECT_EQ(client.bottom, manager.GetInitSize().cy);
    EXPECT_EQ(window.right - window.left, client.right) << "no system frame";
    EXPECT_EQ(::GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CAPTION, 0);
    wchar_t title[64] = {};
    ::GetWindowTextW(hwnd, title, 64);
    EXPECT_EQ(std::wstring(title), L"Orvane游戏修复器");
}

TEST_F(ContainerWndTest, CaptionDragsExceptOnItsButton) {
    const RECT& caption = manager.GetCaptionRect();
    EXPECT_EQ(HitTest(POINT{20, caption.bottom / 2}), HTCAPTION) << "the title";
    EXPECT_EQ(HitTest(POINT{200, caption.bottom / 2}), HTCAPTION) << "the caption bar";
    EXPECT_EQ(HitTest(Centre(Find(L"ButtonUI1")->GetPos())), HTCLIENT) << "the close button";
    EXPECT_EQ(HitTest(POINT{200, caption.bottom + 5}), HTCLIENT) << "below the caption";
    EXPECT_EQ(HitTest(Centre(Find(L"ButtonUI2")->GetPos())), HTCLIENT);
    EXPECT_EQ(::SendMessageW(hwnd, WM_NCLBUTTONDBLCLK, HTCAPTION, 0), 0);
    EXPECT_FALSE(::IsZoomed(hwnd));
}

TEST_F(ContainerWndTest, ClicksOutsideTheButtonsDoNothing) {
    Click(Centre(Find(L"TextUI1")->GetPos()));
    Click(Centre(Find(L"ProgressUI1")->GetPos()));
    // Pressed on the close button but released elsewhere: no click.
    const POINT close = Centre(Find(L"ButtonUI1")->GetPos());
    ::SendMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(close.x, close.y));
    ::SendMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(200, 200));
    Pump();
    // A click from a control that is neither button (a third button).
    ui::CButtonUI third;
    ui::TNotifyUI msg{L"click", &third};
    frame->Notify(msg);
    Pump();
    EXPECT_TRUE(::IsWindow(hwnd));
}

TEST_F(ContainerWndTest, StartButtonRunsAPassThatEnds) {
    // The test program's folder has no list file: the pass ends at once.
    Click(Centre(Find(L"ButtonUI2")->GetPos()));
    for (int i = 0; i < 200; i++) {
        Pump();
        ::Sleep(5);
    }
    Click(Centre(Find(L"ButtonUI2")->GetPos()));
    EXPECT_TRUE(::IsWindow(hwnd));
}

TEST_F(ContainerWndTest, CloseButtonDestroysTheWindow) {
    Click(Centre(Find(L"ButtonUI1")->GetPos()));
    EXPECT_FALSE(::IsWindow(hwnd));
}

}  // namespace
