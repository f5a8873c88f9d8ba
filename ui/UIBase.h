// UIBase.h - the window wrapper of the UI toolkit and the small helpers the
// rest of the toolkit shares (attribute values).
//
// CWindowWnd owns no window until Create() is called.  Its window procedure
// (fund::win::window_proc) finds the object through GWLP_USERDATA, stored
// at WM_NCCREATE, and hands every message to HandleMessage();
// OnFinalMessage() runs after the window is gone (WM_NCDESTROY), so an
// object may delete itself there.

#ifndef BREVIK_UI_UIBASE_H
#define BREVIK_UI_UIBASE_H

#include <windows.h>

#include <cstdint>
#include <string>

namespace ui {

// Attribute values of a skin.  Each returns false for text it cannot read
// and leaves the output unchanged then.
bool ParseInt(const std::wstring& text, int* value);
bool ParseBool(const std::wstring& text, bool* value);
bool ParseRect(const std::wstring& text, RECT* rect);       // "l,t,r,b"
bool ParseSize(const std::wstring& text, SIZE* size);       // "cx,cy"
bool ParseColor(const std::wstring& text, uint32_t* argb);  // "#RRGGBB" or "#AARRGGBB"

class CWindowWnd {
public:
    CWindowWnd();
    CWindowWnd(const CWindowWnd&) = delete;
    CWindowWnd& operator=(const CWindowWnd&) = delete;

    HWND GetHWND() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // Registers the window class (once per process) and creates the window.
    // Null when either fails; GetLastError() tells why.
    HWND Create(HWND hwndParent, const wchar_t* pstrName, DWORD dwStyle, DWORD dwExStyle,
                int x = CW_USEDEFAULT, int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT);
    void ShowWindow(bool bShow = true, bool bTakeFocus = true);
    // Centres the window on the work area of its monitor.
    void CenterWindow();
    void Close(UINT nRet = 0);
    // Whether the window procedure has seen WM_NCCREATE: from then on
    // OnFinalMessage() runs when the window goes away.
    bool WasCreated() const { return m_bCreated; }

    // Virtual operations, in this order.
    virtual const wchar_t* GetWindowClassName() const = 0;
    virtual const wchar_t* GetSuperClassName() const;
    virtual UINT GetClassStyle() const;
    virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    virtual void OnFinalMessage(HWND hWnd);
    virtual ~CWindowWnd();

    // The window procedure's dispatch (see fund/win/window.h): keeps the
    // handle and the final message, and lets no exception reach the
    // system's frames.
    LRESULT handle_message(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept;

protected:
    // The procedure the window had before ours took over: DefWindowProcW for
    // a class of our own, the system class's procedure for a superclass.
    LRESULT CallOldWndProc(UINT uMsg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd;
    WNDPROC m_OldWndProc;

private:
    bool RegisterWindowClass();
    bool RegisterSuperclass();

    bool m_bCreated;
};

}  // namespace ui

#endif  // BREVIK_UI_UIBASE_H
