// MORLRepairTools.cpp - program entry of the repair tool: COM and GDI+
// start-up, the main window, the message loop.

#include "ContainerWnd.h"

#include <fund/guard.h>

#include <objbase.h>

namespace {

// COM for the thread of the window, undone at the end.
class CComScope {
public:
    CComScope() : m_ok(SUCCEEDED(::CoInitialize(nullptr))) {}
    ~CComScope() {
        if (m_ok) ::CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    bool IsOk() const { return m_ok; }

private:
    bool m_ok;
};

class CGdiplusScope {
public:
    CGdiplusScope() : m_token(0) {
        Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread
        m_ok = Gdiplus::GdiplusStartup(&m_token, &input, nullptr) == Gdiplus::Ok;
    }
    ~CGdiplusScope() {
        if (m_ok) Gdiplus::GdiplusShutdown(m_token);
    }
    CGdiplusScope(const CGdiplusScope&) = delete;
    CGdiplusScope& operator=(const CGdiplusScope&) = delete;
    bool IsOk() const { return m_ok; }

private:
    ULONG_PTR m_token;
    bool m_ok;
};

constexpr wchar_t kWindowTitle[] = L"Orvane游戏修复器";
constexpr DWORD kWindowStyle = WS_VISIBLE | WS_OVERLAPPEDWINDOW;  // 0x10CF0000
constexpr DWORD kWindowExStyle = WS_EX_WINDOWEDGE;                // 0x100

int RunWindow() {
    // The window object deletes itself once its window is gone.
    CContainerWnd* frame = new CContainerWnd();
    if (frame->Create(nullptr, kWindowTitle, kWindowStyle, kWindowExStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT) == nullptr) {
        if (!frame->WasCreated()) delete frame;
        return 0;
    }
    frame->CenterWindow();
    frame->ShowWindow(true);
    ui::CPaintManagerUI::MessageLoop();
    return 0;
}

int Run(HINSTANCE instance) {
    ui::CPaintManagerUI::SetInstance(instance);
    const std::wstring folder = GetProgramDirectory();
    ui::CPaintManagerUI::SetResourcePath(folder.empty() ? folder : folder + L"\\");
    ui::CPaintManagerUI::SetResourceZip(L"MORLRepairTools.zip");

    CComScope com;
    if (!com.IsOk()) return 0;
    CGdiplusScope gdiplus;
    if (!gdiplus.IsOk()) return 0;  // nothing could be painted
    return RunWindow();
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
    // An exception (out of memory) ends the program with an error code, not
    // with the run-time's abort.
    int result = 1;
    fund::guarded(L"MORLRepairTools", [&] { result = Run(hInstance); });
    return result;
}
