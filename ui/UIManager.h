// UIManager.h - the paint manager: the link between one window and its tree
// of controls.
//
// The window offers every message to MessageHandler() first.  The manager
// lays the tree out in the client area, paints it double-buffered with GDI+,
// tracks the mouse over clickable controls and sends "click" notifications
// to the registered sinks.  Everything runs on the window's thread; another
// thread that wants to change a control posts to the window.
//
// The few process-wide settings (instance handle, resource folder, skin
// archive) are static, as every window of the program shares them.

#ifndef BREVIK_UI_UIMANAGER_H
#define BREVIK_UI_UIMANAGER_H

#include "UIControl.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ui {

// A notification: its type ("click") and the control that sent it.
struct TNotifyUI {
    std::wstring sType;
    CControlUI* pSender;
};

class INotifyUI {
public:
    virtual void Notify(TNotifyUI& msg) = 0;

protected:
    ~INotifyUI() = default;
};

// A font of the skin (attribute "font" of a control names its id).
struct TFontInfo {
    std::wstring sFamily;
    int nSize;  // pixels
    bool bBold;
};

class CPaintManagerUI {
public:
    CPaintManagerUI();
    CPaintManagerUI(const CPaintManagerUI&) = delete;
    CPaintManagerUI& operator=(const CPaintManagerUI&) = delete;
    ~CPaintManagerUI();

    static void SetInstance(HINSTANCE hInst);
    static HINSTANCE GetInstance();
    // The folder skins are read from, with a trailing backslash.
    static void SetResourcePath(const std::wstring& path);
    static const std::wstring& GetResourcePath();
    // The zip archive, inside the resource folder, that holds the skins.
    static void SetResourceZip(const std::wstring& name);
    static const std::wstring& GetResourceZip();
    // Runs the thread's message loop until WM_QUIT.
    static void MessageLoop();

    void Init(HWND hWnd);
    HWND GetPaintWindow() const { return m_hWnd; }

    // Takes the tree; the window gets the skin's initial size.
    bool AttachDialog(std::unique_ptr<CControlUI> root);
    CControlUI* GetRoot() const { return m_root.get(); }
    void AddNotifier(INotifyUI* notifier);

    CControlUI* FindControl(const std::wstring& name) const;
    CControlUI* FindControl(POINT pt) const;

    // The caption area (left, top, right, bottom): left and right are
    // distances from the client's edges, top and bottom from its top.
    const RECT& GetCaptionRect() const { return m_rcCaption; }
    void SetCaptionRect(const RECT& rc) { m_rcCaption = rc; }
    SIZE GetInitSize() const { return m_szInitWindowSize; }
    void SetInitSize(int cx, int cy);

    // Fonts by id; id -1 (or an unknown id) is the default font.
    void AddFont(int id, const TFontInfo& info, bool isDefault);
    Gdiplus::Font* GetFont(int id);

    // Handles the message if it concerns the controls: true, with its result.
    bool MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lRes);

    void Invalidate(const RECT& rc);
    // The tree is laid out again before the next paint.
    void NeedUpdate();
    // Lays the tree out now if it needs it (the window must have its size).
    void UpdateLayout();

    void SendNotify(CControlUI* sender, const wchar_t* type);
    // A control going away: the manager drops every pointer it holds to it.
    void ForgetControl(CControlUI* control);

private:
    void OnPaint();
    void PaintTo(HDC hdc, const RECT& rcPaint);
    void OnMouseMove(POINT pt);
    void OnMouseLeave();
    void OnButtonDown(POINT pt);
    void OnButtonUp(POINT pt);
    void SetHot(CControlUI* control);
    CControlUI* FindClickable(POINT pt) const;

    HWND m_hWnd;
    std::unique_ptr<CControlUI> m_root;
    std::vector<INotifyUI*> m_notifiers;
    RECT m_rcCaption;
    SIZE m_szInitWindowSize;
    bool m_bUpdateNeeded;
    bool m_bMouseTracking;
    CControlUI* m_pHot;       // clickable control under the mouse
    CControlUI* m_pCaptured;  // clickable control the button went down on

    std::map<int, TFontInfo> m_fontInfo;
    std::map<int, std::unique_ptr<Gdiplus::Font>> m_fonts;
    int m_iDefaultFont;
    std::unique_ptr<Gdiplus::Font> m_fallbackFont;
};

}  // namespace ui

#endif  // BREVIK_UI_UIMANAGER_H
