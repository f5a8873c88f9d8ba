// UIBase.cpp - the window wrapper and the shared helpers of the UI toolkit.

#include "UIBase.h"

#include "UIManager.h"

#include <fund/win/window.h>

#include <cwchar>
#include <cwctype>

namespace ui {

//-----------------------------------------------------------------------------
// Attribute values

namespace {

// Reads a comma-separated list of exactly `count` integers.
bool ParseInts(const std::wstring& text, long* values, int count) {
    const wchar_t* p = text.c_str();
    for (int i = 0; i < count; i++) {
        while (*p == L' ') p++;
        wchar_t* end = nullptr;
        const long value = std::wcstol(p, &end, 10);
        if (end == p) return false;
        values[i] = value;
        p = end;
        while (*p == L' ') p++;
        if (i + 1 < count) {
            if (*p != L',') return false;
            p++;
        }
    }
    return *p == L'\0';
}

}  // namespace

bool ParseInt(const std::wstring& text, int* value) {
    long v = 0;
    if (!ParseInts(text, &v, 1) || v < -1000000 || v > 1000000) return false;
    *value = static_cast<int>(v);
    return true;
}

bool ParseBool(const std::wstring& text, bool* value) {
    if (text == L"true") {
        *value = true;
        return true;
    }
    if (text == L"false") {
        *value = false;
        return true;
    }
    return false;
}

bool ParseRect(const std::wstring& text, RECT* rect) {
    long v[4];
    if (!ParseInts(text, v, 4)) return false;
    *rect = RECT{v[0], v[1], v[2], v[3]};
    return true;
}

bool ParseSize(const std::wstring& text, SIZE* size) {
    long v[2];
    if (!ParseInts(text, v, 2) || v[0] < 0 || v[1] < 0) return false;
    *size = SIZE{v[0], v[1]};
    return true;
}

bool ParseColor(const std::wstring& text, uint32_t* argb) {
    if ((text.size() != 7 && text.size() != 9) || text[0] != L'#') return false;
    uint32_t value = 0;
    for (size_t i = 1; i < text.size(); i++) {
        if (!std::iswxdigit(text[i])) return false;
        const wchar_t c = static_cast<wchar_t>(std::towlower(text[i]));
        value = value * 16 + static_cast<uint32_t>(c <= L'9' ? c - L'0' : c - L'a' + 10);
    }
    if (text.size() == 7) value |= 0xFF000000u;
    *argb = value;
    return true;
}

//-----------------------------------------------------------------------------
// CWindowWnd

CWindowWnd::CWindowWnd() : m_hWnd(nullptr), m_OldWndProc(::DefWindowProcW), m_bCreated(false) {}

CWindowWnd::~CWindowWnd() {}

const wchar_t* CWindowWnd::GetSuperClassName() const { return nullptr; }

UINT CWindowWnd::GetClassStyle() const { return 0; }

HWND CWindowWnd::Create(HWND hwndParent, const wchar_t* pstrName, DWORD dwStyle, DWORD dwExStyle, int x,
                        int y, int cx, int cy) {
    const bool registered = GetSuperClassName() != nullptr ? RegisterSuperclass() : RegisterWindowClass();
    if (!registered) return nullptr;
    return ::CreateWindowExW(dwExStyle, GetWindowClassName(), pstrName, dwStyle, x, y, cx, cy, hwndParent,
                             nullptr, CPaintManagerUI::GetInstance(), this);
}

bool CWindowWnd::RegisterWindowClass() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = GetClassStyle();
    wc.lpfnWndProc = &fund::win::window_proc<CWindowWnd>;
    wc.hInstance = CPaintManagerUI::GetInstance();
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = nullptr;  // the paint manager paints every pixel
    wc.lpszClassName = GetWindowClassName();
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool CWindowWnd::RegisterSuperclass() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    if (!::GetClassInfoExW(nullptr, GetSuperClassName(), &wc) &&
        !::GetClassInfoExW(CPaintManagerUI::GetInstance(), GetSuperClassName(), &wc))
        return false;
    m_OldWndProc = wc.lpfnWndProc;
    wc.lpfnWndProc = &fund::win::window_proc<CWindowWnd>;
    wc.hInstance = CPaintManagerUI::GetInstance();
    wc.lpszClassName = GetWindowClassName();
    return ::RegisterClassExW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

LRESULT CWindowWnd::handle_message(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept {
    if (uMsg == WM_NCCREATE) {
        m_hWnd = hWnd;
        m_bCreated = true;
    } else if (uMsg == WM_NCDESTROY) {
        // Already detached from the window: the object may go now.
        const LRESULT result = ::CallWindowProcW(m_OldWndProc, hWnd, uMsg, wParam, lParam);
        m_hWnd = nullptr;
        OnFinalMessage(hWnd);
        return result;
    }
    // No exception may unwind through the system's frames.
    try {
        return HandleMessage(uMsg, wParam, lParam);
    } catch (...) {
        ::OutputDebugStringW(L"[ui] a message handler threw; the message gets the default handling\n");
        return ::CallWindowProcW(m_OldWndProc, hWnd, uMsg, wParam, lParam);
    }
}

LRESULT CWindowWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return CallOldWndProc(uMsg, wParam, lParam);
}

LRESULT CWindowWnd::CallOldWndProc(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return ::CallWindowProcW(m_OldWndProc, m_hWnd, uMsg, wParam, lParam);
}

void CWindowWnd::OnFinalMessage(HWND) {}

void CWindowWnd::ShowWindow(bool bShow, bool bTakeFocus) {
    if (m_hWnd == nullptr) return;
    ::ShowWindow(m_hWnd, bShow ? (bTakeFocus ? SW_SHOW : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CWindowWnd::CenterWindow() {
    if (m_hWnd == nullptr) return;
    RECT window = {};
    ::GetWindowRect(m_hWnd, &window);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    RECT area = {};
    if (::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &monitor))
        area = monitor.rcWork;
    else
        ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    const int width = window.right - window.left, height = window.bottom - window.top;
    int x = area.left + ((area.right - area.left) - width) / 2;
    int y = area.top + ((area.bottom - area.top) - height) / 2;
    if (x < area.left) x = area.left;
    if (y < area.top) y = area.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::Close(UINT nRet) {
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd)) ::PostMessageW(m_hWnd, WM_CLOSE, nRet, 0);
}

}  // namespace ui
