// The UI toolkit: skins parsed into trees (and bad skins refused), layouts,
// hit tests, buttons turning presses into clicks, and the zip reader.

#include <UIlib.h>

#include <fund/win/text.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using ui::CControlUI;

// The test zip's path as Wine sees it.
std::wstring TestZip() {
    std::wstring path = fund::win::utf8_to_wide(UI_TEST_ZIP);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path[0] == L'\\' ? L"Z:" + path : path;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

::testing::AssertionResult RectIs(const CControlUI* control, RECT expected) {
    if (control == nullptr) return ::testing::AssertionFailure() << "no control";
    const RECT& got = control->GetPos();
    if (SameRect(got, expected)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << fund::win::wide_to_utf8(control->GetName()) << " at " << got.left << "," << got.top << ","
           << got.right << "," << got.bottom << ", expected " << expected.left << "," << expected.top << ","
           << expected.right << "," << expected.bottom;
}

class ToolkitTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&s_token, &input, nullptr), Gdiplus::Ok);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(s_token); }

    // Builds a skin of the given body and lays it out at 0,0,width,height.
    CControlUI* Build(const std::string& body, int width = 300, int height = 200) {
        const std::string xml =
            "<Window size=\"" + std::to_string(width) + "," + std::to_string(height) +
            "\" caption=\"0,0,0,30\"><Font id=\"0\" name=\"Microsoft YaHei\" size=\"12\"/>" + body +
            "</Window>";
        std::unique_ptr<CControlUI> root = builder.CreateFromXml(xml, &manager);
        if (!root) return nullptr;
        manager.AttachDialog(std::move(root));
        manager.GetRoot()->SetPos(RECT{0, 0, width, height});
        return manager.GetRoot();
    }

    static ULONG_PTR s_token;
    ui::CDialogBuilder builder;
    ui::CPaintManagerUI manager;
};

ULONG_PTR ToolkitTest::s_token = 0;

TEST(ToolkitValues, AttributeTexts) {
    RECT rc = {};
    EXPECT_TRUE(ui::ParseRect(L"1, 2,3 ,4", &rc));
    EXPECT_TRUE(SameRect(rc, RECT{1, 2, 3, 4}));
    EXPECT_FALSE(ui::ParseRect(L"1,2,3", &rc));
    EXPECT_FALSE(ui::ParseRect(L"1,2,3,4,5", &rc));
    uint32_t color = 0;
    EXPECT_TRUE(ui::ParseColor(L"#2C5F9E", &color));
    EXPECT_EQ(color, 0xFF2C5F9Eu);
    EXPECT_TRUE(ui::ParseColor(L"#802c5f9e", &color));
    EXPECT_EQ(color, 0x802C5F9Eu);
    EXPECT_FALSE(ui::ParseColor(L"2C5F9E", &color));
    EXPECT_FALSE(ui::ParseColor(L"#2C5G9E", &color));
    int value = 7;
    EXPECT_FALSE(ui::ParseInt(L"99999999999999", &value));
    EXPECT_EQ(value, 7) << "a value it cannot read leaves the output alone";
    SIZE size = {};
    EXPECT_FALSE(ui::ParseSize(L"-1,5", &size));
    EXPECT_EQ(fund::win::utf8_to_wide("修复"), L"修复");
    EXPECT_EQ(fund::win::wide_to_utf8(L"修复"), "修复");
}

TEST_F(ToolkitTest, SkinBecomesATreeWithWindowSettings) {
    CControlUI* root = Build(
        "<VerticalLayout name=\"root\"><HorizontalLayout name=\"bar\" height=\"30\"><Text name=\"t\"/>"
        "<Button name=\"b\" width=\"40\"/></HorizontalLayout><Progress name=\"p\" height=\"8\" "
        "value=\"140\"/>"
        "<Control/></VerticalLayout>",
        320, 240);
    ASSERT_NE(root, nullptr) << fund::win::wide_to_utf8(builder.GetError());
    EXPECT_TRUE(builder.GetError().empty()) << fund::win::wide_to_utf8(builder.GetError());
    EXPECT_STREQ(root->GetClass(), L"VerticalLayoutUI");
    EXPECT_STREQ(manager.FindControl(L"bar")->GetClass(), L"HorizontalLayoutUI");
    EXPECT_STREQ(manager.FindControl(L"t")->GetClass(), L"TextUI");
    EXPECT_STREQ(manager.FindControl(L"b")->GetClass(), L"ButtonUI");
    EXPECT_STREQ(manager.FindControl(L"p")->GetClass(), L"ProgressUI");
    EXPECT_EQ(manager.FindControl(L"nothing"), nullptr);
    EXPECT_EQ(manager.FindControl(L""), nullptr) << "unnamed controls are not found by an empty name";
    EXPECT_EQ(manager.GetInitSize().cx, 320);
    EXPECT_EQ(manager.GetCaptionRect().bottom, 30);
    EXPECT_NE(manager.GetFont(0), nullptr);
    EXPECT_NE(manager.GetFont(5), nullptr) << "an unknown id gets the default font";
}

TEST_F(ToolkitTest, BadSkinsAreRefusedOrSkippedWithAReason) {
    EXPECT_EQ(builder.CreateFromXml("<Window><VerticalLayout>", &manager), nullptr);
    EXPECT_NE(builder.GetError().find(L"XML"), std::wstring::npos);
    EXPECT_EQ(builder.CreateFromXml("<Dialog><Text/></Dialog>", &manager), nullptr);
    EXPECT_EQ(builder.CreateFromXml("<Window size=\"1,1\"/>", &manager), nullptr);
    EXPECT_EQ(builder.CreateFromXml("", &manager), nullptr);

    // Unknown elements and attributes are skipped, the rest is built.
    std::unique_ptr<CControlUI> root = builder.CreateFromXml(
        "<Window><VerticalLayout><Slider name=\"s\"/><Text name=\"t\" colour=\"red\" height=\"x\"/>"
        "<Text name=\"u\"><Button name=\"inner\"/></Text></VerticalLayout></Window>",
        &manager);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->FindControl(L"s"), nullptr);
    EXPECT_NE(root->FindControl(L"t"), nullptr);
    EXPECT_EQ(root->FindControl(L"inner"), nullptr) << "a text holds no controls";
    for (const wchar_t* reason : {L"Slider", L"colour", L"height", L"holds no controls"})
        EXPECT_NE(builder.GetError().find(reason), std::wstring::npos) << fund::win::wide_to_utf8(reason);

    // Nesting beyond reason ends in an error, not a deep recursion.
    std::string deep = "<Window>";
    for (int i = 0; i < 5000; i++) deep += "<VerticalLayout>";
    for (int i = 0; i < 5000; i++) deep += "</VerticalLayout>";
    deep += "</Window>";
    root = builder.CreateFromXml(deep, &manager);
    EXPECT_NE(builder.GetError().find(L"deeper"), std::wstring::npos);
}

// Set once the deep skin was refused with a reason (a thread that dies of
// its stack never sets it).
std::atomic<bool> g_deepSkinRefused{false};

// Builds a skin of one megabyte nested 300,000 deep on a thread with the
// program's default stack.
DWORD WINAPI BuildDeepSkin(void*) {
    std::string deep = "<Window>";
    while (deep.size() + 3 <= (1u << 20)) deep += "<a>";
    ui::CDialogBuilder builder;
    g_deepSkinRefused = builder.CreateFromXml(deep, nullptr) == nullptr &&
                        builder.GetError().find(L"deeper") != std::wstring::npos;
    return 0;
}

// A skin of one megabyte nested 300,000 deep is refused with a reason
// before TinyXML recurses into it.  In a child process: without the check
// the parser's recursion overflows the stack, which ends that process only.
TEST(ToolkitDeepSkin, AMegabyteNestedThreeHundredThousandDeepIsRefused) {
    EXPECT_EXIT(
        {
            HANDLE thread = CreateThread(nullptr, 0, &BuildDeepSkin, nullptr, 0, nullptr);
            if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
            std::exit(g_deepSkinRefused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    ui::CDialogBuilder builder;
    EXPECT_EQ(builder.CreateFromXml(std::string((1u << 20) + 1, ' '), nullptr), nullptr);
    EXPECT_NE(builder.GetError().find(L"larger"), std::wstring::npos);
}

TEST_F(ToolkitTest, VerticalLayoutGivesFixedSizesAndSharesTheRest) {
    CControlUI* root = Build(
        "<VerticalLayout inset=\"10,5,10,5\" childpadding=\"4\">"
        "<Text name=\"fixed\" height=\"30\"/>"
        "<Text name=\"flex1\"/>"
        "<Text name=\"narrow\" height=\"20\" width=\"50\" padding=\"6,0,0,2\"/>"
        "<Text name=\"hidden\" height=\"40\" visible=\"false\"/>"
        "<Text name=\"flex2\"/>"
        "</VerticalLayout>",
        300, 200);
    ASSERT_NE(root, nullptr);
    // Room: 190 high less 30 + 20 + 2 (margin) + 3 gaps of 4 = 126, shared by two.
    EXPECT_TRUE(RectIs(manager.FindControl(L"fixed"), RECT{10, 5, 290, 35}));
    EXPECT_TRUE(RectIs(manager.FindControl(L"flex1"), RECT{10, 39, 290, 102}));
    EXPECT_TRUE(RectIs(manager.FindControl(L"narrow"), RECT{16, 106, 66, 126}));
    EXPECT_TRUE(RectIs(manager.FindControl(L"flex2"), RECT{10, 132, 290, 195}));
}

TEST_F(ToolkitTest, HorizontalLayoutCentresLowerControls) {
    CControlUI* root = Build(
        "<HorizontalLayout childpadding=\"10\"><Control name=\"left\"/>"
        "<Button name=\"b\" width=\"80\" height=\"20\"/><Control name=\"right\" "
        "width=\"30\"/></HorizontalLayout>",
        300, 60);
    ASSERT_NE(root, nullptr);
    EXPECT_TRUE(RectIs(manager.FindControl(L"left"), RECT{0, 0, 170, 60}));
    EXPECT_TRUE(RectIs(manager.FindControl(L"b"), RECT{180, 20, 260, 40}));
    EXPECT_TRUE(RectIs(manager.FindControl(L"right"), RECT{270, 0, 300, 60}));
}

TEST_F(ToolkitTest, HitTestFindsTheTopmostVisibleMouseControl) {
    CControlUI* root = Build(
        "<VerticalLayout name=\"root\"><HorizontalLayout name=\"bar\" height=\"30\">"
        "<Text name=\"title\" mouse=\"false\"/><Button name=\"close\" width=\"30\"/></HorizontalLayout>"
        "<Text name=\"body\"/><Button name=\"gone\" height=\"20\" visible=\"false\"/></VerticalLayout>",
        200, 100);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(manager.FindControl(POINT{185, 10}), manager.FindControl(L"close"));
    EXPECT_EQ(manager.FindControl(POINT{20, 10}), manager.FindControl(L"bar"))
        << "the title lets the mouse through";
    EXPECT_EQ(manager.FindControl(POINT{20, 60}), manager.FindControl(L"body"));
    EXPECT_EQ(manager.FindControl(POINT{20, 99}), manager.FindControl(L"body"))
        << "the hidden button takes no room";
    EXPECT_EQ(manager.FindControl(POINT{250, 10}), nullptr);
}

TEST_F(ToolkitTest, ProgressKeepsItsValueInRange) {
    ASSERT_NE(Build("<Progress name=\"p\" min=\"0\" max=\"100\" isstretchfore=\"false\"/>"), nullptr);
    auto* progress = dynamic_cast<ui::CProgressUI*>(manager.FindControl(L"p"));
    ASSERT_NE(progress, nullptr);
    EXPECT_FALSE(progress->IsStretchForeImage());
    progress->SetValue(75);
    EXPECT_EQ(progress->GetValue(), 75);
    progress->SetValue(250);
    EXPECT_EQ(progress->GetValue(), 100);
    progress->SetValue(-3);
    EXPECT_EQ(progress->GetValue(), 0);
}

TEST_F(ToolkitTest, WrappedTextReportsWhetherItFits) {
    ASSERT_NE(
        Build("<VerticalLayout><Text name=\"t\" height=\"40\" wordwrap=\"true\"/><Control/></VerticalLayout>",
              200, 200),
        nullptr);
    CControlUI* text = manager.FindControl(L"t");
    text->SetText(L"修复成功！");
    EXPECT_FALSE(text->IsTextClipped());
    text->SetText(std::wstring(400, L'修'));
    EXPECT_TRUE(text->IsTextClipped());
}

//-----------------------------------------------------------------------------
// Buttons on a real (hidden) window.

class ButtonTest : public ToolkitTest, public ui::INotifyUI {
protected:
    void SetUp() override {
        window = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr, nullptr,
                                   nullptr);
        ASSERT_NE(window, nullptr);
        manager.Init(window);
        ASSERT_NE(
            Build("<VerticalLayout><Button name=\"b\" height=\"40\"/><Button name=\"off\" height=\"40\" "
                  "enabled=\"false\"/><Text name=\"t\"/></VerticalLayout>",
                  200, 100),
            nullptr);
        manager.AddNotifier(this);
    }
    void TearDown() override { ::DestroyWindow(window); }

    void Notify(ui::TNotifyUI& msg) override { clicks.push_back(msg.sType + L":" + msg.pSender->GetName()); }

    bool Send(UINT message, int x, int y) {
        LRESULT result = 0;
        return manager.MessageHandler(message, 0, MAKELPARAM(x, y), result);
    }

    HWND window = nullptr;
    std::vector<std::wstring> clicks;
};

TEST_F(ButtonTest, PressAndReleaseOnTheButtonIsAClick) {
    auto* button = dynamic_cast<ui::CButtonUI*>(manager.FindControl(L"b"));
    ASSERT_NE(button, nullptr);
    Send(WM_MOUSEMOVE, 20, 20);
    EXPECT_TRUE(button->IsHot());
    EXPECT_TRUE(Send(WM_LBUTTONDOWN, 20, 20));
    EXPECT_TRUE(button->IsPushed());
    EXPECT_TRUE(Send(WM_LBUTTONUP, 22, 25));
    EXPECT_FALSE(button->IsPushed());
    // The second press of a double click is a press too.
    Send(WM_LBUTTONDBLCLK, 20, 20);
    Send(WM_LBUTTONUP, 20, 20);
    EXPECT_EQ(clicks, (std::vector<std::wstring>{L"click:b", L"click:b"}));
}

TEST_F(ButtonTest, NoClickWhenReleasedElsewhereDisabledOrNotAButton) {
    Send(WM_LBUTTONDOWN, 20, 20);
    Send(WM_MOUSEMOVE, 20, 90);
    EXPECT_FALSE(dynamic_cast<ui::CButtonUI*>(manager.FindControl(L"b"))->IsHot());
    Send(WM_LBUTTONUP, 20, 90);
    EXPECT_FALSE(Send(WM_LBUTTONDOWN, 20, 60)) << "a disabled button takes no press";
    Send(WM_LBUTTONUP, 20, 60);
    EXPECT_FALSE(Send(WM_LBUTTONDOWN, 20, 90)) << "a text takes no press";
    EXPECT_FALSE(Send(WM_LBUTTONUP, 20, 90));
    EXPECT_TRUE(clicks.empty());
}

//-----------------------------------------------------------------------------
// Skins out of zip archives.

TEST(ToolkitZip, ReadsAnEntryAndRefusesWhatItCannot) {
    std::string content;
    std::wstring error;
    ASSERT_TRUE(ui::ReadFileFromZip(TestZip(), "Small.xml", 1 << 20, &content, &error))
        << fund::win::wide_to_utf8(error);
    EXPECT_NE(content.find("<Window"), std::string::npos);
    EXPECT_NE(content.find("标题"), std::string::npos);

    EXPECT_FALSE(ui::ReadFileFromZip(TestZip(), "Other.xml", 1 << 20, &content, &error));
    EXPECT_NE(error.find(L"holds no"), std::wstring::npos);
    EXPECT_FALSE(ui::ReadFileFromZip(TestZip(), "Small.xml", 16, &content, &error)) << "larger than allowed";
    EXPECT_FALSE(ui::ReadFileFromZip(TestZip() + L".missing", "Small.xml", 1 << 20, &content, &error));
    EXPECT_NE(error.find(L"cannot open"), std::wstring::npos);
}

TEST_F(ToolkitTest, BuilderReadsTheSkinFromTheResourceZip) {
    const std::wstring zip = TestZip();
    const size_t slash = zip.rfind(L'\\');
    ui::CPaintManagerUI::SetResourcePath(zip.substr(0, slash + 1));
    ui::CPaintManagerUI::SetResourceZip(zip.substr(slash + 1));
    std::unique_ptr<CControlUI> root = builder.Create(L"Small.xml", &manager);
    ASSERT_NE(root, nullptr) << fund::win::wide_to_utf8(builder.GetError());
    EXPECT_EQ(root->FindControl(L"title")->GetText(), L"标题");
    EXPECT_EQ(manager.GetInitSize().cx, 200);
    EXPECT_EQ(builder.Create(L"Missing.xml", &manager), nullptr);
    EXPECT_FALSE(builder.GetError().empty());
    ui::CPaintManagerUI::SetResourceZip(L"");
}

}  // namespace
