// UIManager.cpp - the paint manager: layout, double-buffered painting, mouse
// tracking and notifications.

#include "UIManager.h"

#include <windowsx.h>

namespace ui {

namespace {

HINSTANCE g_hInstance = nullptr;

std::wstring& ResourcePath() {
    static std::wstring path;
    return path;
}

std::wstring& ResourceZip() {
    static std::wstring name;
    return name;
}

POINT PointFromLParam(LPARAM lParam) { return POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; }

// A GDI device context with a bitmap the size of the client area: the
// whole paint happens here and reaches the screen in one copy.
class CMemoryCanvas {
public:
    CMemoryCanvas(HDC hdcScreen, int cx, int cy)
        : m_hdc(::CreateCompatibleDC(hdcScreen)),
          m_hBitmap(::CreateCompatibleBitmap(hdcScreen, cx, cy)),
          m_hOld(nullptr) {
        if (m_hdc != nullptr && m_hBitmap != nullptr) m_hOld = ::SelectObject(m_hdc, m_hBitmap);
    }
    ~CMemoryCanvas() {
        if (m_hOld != nullptr) ::SelectObject(m_hdc, m_hOld);
        if (m_hBitmap != nullptr) ::DeleteObject(m_hBitmap);
        if (m_hdc != nullptr) ::DeleteDC(m_hdc);
    }
    CMemoryCanvas(const CMemoryCanvas&) = delete;
    CMemoryCanvas& operator=(const CMemoryCanvas&) = delete;

    bool IsValid() const { return m_hOld != nullptr; }
    HDC GetDC() const { return m_hdc; }

private:
    HDC m_hdc;
    HBITMAP m_hBitmap;
    HGDIOBJ m_hOld;
};

}  // namespace

//-----------------------------------------------------------------------------
// Process-wide settings

void CPaintManagerUI::SetInstance(HINSTANCE hInst) { g_hInstance = hInst; }

HINSTANCE CPaintManagerUI::GetInstance() {
    return g_hInstance != nullptr ? g_hInstance : ::GetModuleHandleW(nullptr);
}

void CPaintManagerUI::SetResourcePath(const std::wstring& path) { ResourcePath() = path; }
const std::wstring& CPaintManagerUI::GetResourcePath() { return ResourcePath(); }
void CPaintManagerUI::SetResourceZip(const std::wstring& name) { ResourceZip() = name; }
const std::wstring& CPaintManagerUI::GetResourceZip() { return ResourceZip(); }

void CPaintManagerUI::MessageLoop() {
    MSG msg = {};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

//-----------------------------------------------------------------------------
// The manager of one window

CPaintManagerUI::CPaintManagerUI()
    : m_hWnd(nullptr),
      m_rcCaption(RECT{0, 0, 0, 0}),
      m_szInitWindowSize(SIZE{0, 0}),
      m_bUpdateNeeded(true),
      m_bMouseTracking(false),
      m_pHot(nullptr),
      m_pCaptured(nullptr),
      m_iDefaultFont(-1) {}

CPaintManagerUI::~CPaintManagerUI() {
    // The controls call ForgetControl() as they go: nothing dangles.
    m_root.reset();
}

void CPaintManagerUI::Init(HWND hWnd) { m_hWnd = hWnd; }

void CPaintManagerUI::SetInitSize(int cx, int cy) { m_szInitWindowSize = SIZE{cx, cy}; }

bool CPaintManagerUI::AttachDialog(std::unique_ptr<CControlUI> root) {
    if (!root) return false;
    m_pHot = m_pCaptured = nullptr;
    m_root = std::move(root);
    m_root->SetManager(this, nullptr);
    if (m_hWnd != nullptr && m_szInitWindowSize.cx > 0 && m_szInitWindowSize.cy > 0)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, m_szInitWindowSize.cx, m_szInitWindowSize.cy,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    NeedUpdate();
    return true;
}

void CPaintManagerUI::AddNotifier(INotifyUI* notifier) {
    if (notifier != nullptr) m_notifiers.push_back(notifier);
}

CControlUI* CPaintManagerUI::FindControl(const std::wstring& name) const {
    return m_root && !name.empty() ? m_root->FindControl(name) : nullptr;
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
    return m_root ? m_root->FindControl(pt) : nullptr;
}

void CPaintManagerUI::AddFont(int id, const TFontInfo& info, bool isDefault) {
    m_fontInfo[id] = info;
    m_fonts.erase(id);
    if (isDefault || m_iDefaultFont < 0) m_iDefaultFont = id;
}

Gdiplus::Font* CPaintManagerUI::GetFont(int id) {
    if (m_fontInfo.find(id) == m_fontInfo.end()) id = m_iDefaultFont;
    auto made = m_fonts.find(id);
    if (made != m_fonts.end()) return made->second.get();
    auto info = m_fontInfo.find(id);
    if (info != m_fontInfo.end()) {
        const int style = info->second.bBold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular;
        std::unique_ptr<Gdiplus::Font> font(new Gdiplus::Font(info->second.sFamily.c_str(),
                                                              static_cast<Gdiplus::REAL>(info->second.nSize),
                                                              style, Gdiplus::UnitPixel));
        if (font->GetLastStatus() == Gdiplus::Ok) {
            Gdiplus::Font* result = font.get();
            m_fonts[id] = std::move(font);
            return result;
        }
        ::OutputDebugStringW((L"[ui] font family not found: " + info->second.sFamily + L"\n").c_str());
    }
    // No skin font, or its family is missing: the system's sans-serif face.
    if (!m_fallbackFont) {
        const int size = info != m_fontInfo.end() ? info->second.nSize : 12;
        m_fallbackFont.reset(new Gdiplus::Font(Gdiplus::FontFamily::GenericSansSerif(),
                                               static_cast<Gdiplus::REAL>(size), Gdiplus::FontStyleRegular,
                                               Gdiplus::UnitPixel));
    }
    return m_fallbackFont->GetLastStatus() == Gdiplus::Ok ? m_fallbackFont.get() : nullptr;
}

void CPaintManagerUI::Invalidate(const RECT& rc) {
    if (m_hWnd != nullptr) ::InvalidateRect(m_hWnd, &rc, FALSE);
}

void CPaintManagerUI::NeedUpdate() {
    m_bUpdateNeeded = true;
    if (m_hWnd != nullptr) ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CPaintManagerUI::UpdateLayout() {
    if (!m_bUpdateNeeded || !m_root || m_hWnd == nullptr) return;
    RECT client = {};
    ::GetClientRect(m_hWnd, &client);
    if (client.right <= client.left || client.bottom <= client.top) return;
    m_bUpdateNeeded = false;
    m_root->SetPos(client);
}

void CPaintManagerUI::SendNotify(CControlUI* sender, const wchar_t* type) {
    TNotifyUI msg{type, sender};
    // A copy: a sink may register another while it is told.
    const std::vector<INotifyUI*> notifiers = m_notifiers;
    for (INotifyUI* notifier : notifiers) notifier->Notify(msg);
}

void CPaintManagerUI::ForgetControl(CControlUI* control) {
    if (m_pHot == control) m_pHot = nullptr;
    if (m_pCaptured == control) m_pCaptured = nullptr;
}

//-----------------------------------------------------------------------------
// Messages

bool CPaintManagerUI::MessageHandler(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lRes) {
    (void)wParam;
    if (m_hWnd == nullptr) return false;
    switch (uMsg) {
        case WM_ERASEBKGND:
            // Every pixel is painted in WM_PAINT: erasing first would flicker.
            lRes = 1;
            return true;
        case WM_PAINT:
            OnPaint();
            lRes = 0;
            return true;
        case WM_SIZE:
            // Laid out at once: hit tests may come before the next paint.
            NeedUpdate();
            UpdateLayout();
            return false;
        case WM_MOUSEMOVE:
            OnMouseMove(PointFromLParam(lParam));
            return false;
        case WM_MOUSELEAVE:
            OnMouseLeave();
            return false;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:  // the second press of a double click is a press too
            OnButtonDown(PointFromLParam(lParam));
            lRes = 0;
            return m_pCaptured != nullptr;
        case WM_LBUTTONUP:
            if (m_pCaptured == nullptr) return false;
            OnButtonUp(PointFromLParam(lParam));
            lRes = 0;
            return true;
        case WM_CAPTURECHANGED:
            if (m_pCaptured != nullptr && reinterpret_cast<HWND>(lParam) != m_hWnd) {
                CControlUI* lost = m_pCaptured;
                m_pCaptured = nullptr;
                lost->OnCaptureLost();
            }
            return false;
        default:
            return false;
    }
}

void CPaintManagerUI::OnPaint() {
    PAINTSTRUCT ps = {};
    HDC hdc = ::BeginPaint(m_hWnd, &ps);
    if (hdc == nullptr) return;
    UpdateLayout();
    PaintTo(hdc, ps.rcPaint);
    ::EndPaint(m_hWnd, &ps);
}

void CPaintManagerUI::PaintTo(HDC hdc, const RECT& rcPaint) {
    RECT client = {};
    ::GetClientRect(m_hWnd, &client);
    const int cx = client.right - client.left, cy = client.bottom - client.top;
    if (cx <= 0 || cy <= 0 || ::IsRectEmpty(&rcPaint)) return;
    CMemoryCanvas canvas(hdc, cx, cy);
    if (!canvas.IsValid()) return;
    {
        Gdiplus::Graphics g(canvas.GetDC());
        g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
        g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
        g.SetClip(ToRectF(rcPaint));
        Gdiplus::SolidBrush white(Gdiplus::Color(255, 255, 255, 255));
        g.FillRectangle(&white, ToRectF(rcPaint));
        if (m_root) m_root->DoPaint(g, rcPaint);
    }
    ::BitBlt(hdc, rcPaint.left, rcPaint.top, rcPaint.right - rcPaint.left, rcPaint.bottom - rcPaint.top,
             canvas.GetDC(), rcPaint.left, rcPaint.top, SRCCOPY);
}

CControlUI* CPaintManagerUI::FindClickable(POINT pt) const {
    CControlUI* control = FindControl(pt);
    return control != nullptr && control->IsClickable() && control->IsEnabled() ? control : nullptr;
}

void CPaintManagerUI::SetHot(CControlUI* control) {
    if (control == m_pHot) return;
    CControlUI* old = m_pHot;
    m_pHot = control;
    if (old != nullptr) old->OnMouseLeave();
    if (control != nullptr) control->OnMouseEnter();
}

void CPaintManagerUI::OnMouseMove(POINT pt) {
    if (!m_bMouseTracking) {
        TRACKMOUSEEVENT track = {};
        track.cbSize = sizeof(track);
        track.dwFlags = TME_LEAVE;
        track.hwndTrack = m_hWnd;
        m_bMouseTracking = ::TrackMouseEvent(&track) != FALSE;
    }
    // While the button is down over a control, only that control can be hot.
    CControlUI* hit = FindClickable(pt);
    if (m_pCaptured != nullptr && hit != m_pCaptured) hit = nullptr;
    SetHot(hit);
}

void CPaintManagerUI::OnMouseLeave() {
    m_bMouseTracking = false;
    if (m_pCaptured == nullptr) SetHot(nullptr);
}

void CPaintManagerUI::OnButtonDown(POINT pt) {
    CControlUI* hit = FindClickable(pt);
    if (hit == nullptr) return;
    m_pCaptured = hit;
    ::SetCapture(m_hWnd);
    SetHot(hit);
    hit->OnButtonDown(pt);
}

void CPaintManagerUI::OnButtonUp(POINT pt) {
    CControlUI* control = m_pCaptured;
    m_pCaptured = nullptr;
    if (::GetCapture() == m_hWnd) ::ReleaseCapture();
    SetHot(FindClickable(pt));
    // Last: the control may send a notification whose sink changes the tree.
    control->OnButtonUp(pt);
}

}  // namespace ui
