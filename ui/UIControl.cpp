// UIControl.cpp - the base control: attributes, layout wishes, hit tests
// and the painting every control shares (background, text, border).

#include "UIControl.h"

#include "UIManager.h"

#include <cmath>

namespace ui {

//-----------------------------------------------------------------------------
// CControlUI

CControlUI::CControlUI()
    : m_pManager(nullptr),
      m_pParent(nullptr),
      m_rcItem(RECT{0, 0, 0, 0}),
      m_rcPadding(RECT{0, 0, 0, 0}),
      m_rcTextPadding(RECT{0, 0, 0, 0}),
      m_cxyFixed(SIZE{0, 0}),
      m_nMinHeight(0),
      m_bVisible(true),
      m_bEnabled(true),
      m_bMouseEnabled(true),
      m_bAutoHeight(false),
      m_bWordWrap(false),
      m_hAlign(HAlign::Left),
      m_vAlign(VAlign::Center),
      m_iFont(-1),
      m_dwBkColor(0),
      m_dwTextColor(0xFF333333u),
      m_dwDisabledTextColor(0xFFA0A0A0u),
      m_dwBorderColor(0),
      m_nBorderSize(0),
      m_nBorderRound(0) {}

CControlUI::~CControlUI() {
    if (m_pManager != nullptr) m_pManager->ForgetControl(this);
}

const wchar_t* CControlUI::GetClass() const { return L"ControlUI"; }

void CControlUI::SetText(const std::wstring& text) {
    if (m_sText == text) return;
    m_sText = text;
    // A control whose height follows its text may need a new layout.
    if (m_bAutoHeight && m_pManager != nullptr) m_pManager->NeedUpdate();
    Invalidate();
}

void CControlUI::SetPos(const RECT& rc) { m_rcItem = rc; }

void CControlUI::SetVisible(bool visible) {
    if (m_bVisible == visible) return;
    m_bVisible = visible;
    if (m_pManager != nullptr) m_pManager->NeedUpdate();
}

void CControlUI::SetEnabled(bool enabled) {
    if (m_bEnabled == enabled) return;
    m_bEnabled = enabled;
    Invalidate();
}

int CControlUI::EstimateHeight(int width) const {
    if (m_cxyFixed.cy > 0) return m_cxyFixed.cy;
    if (!m_bAutoHeight) return m_nMinHeight;
    return std::max(m_nMinHeight, MeasureTextHeight(width));
}

bool CControlUI::SetAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"name") {
        m_sName = value;
        return true;
    }
    if (name == L"text") {
        m_sText = value;
        return true;
    }
    if (name == L"width" || name == L"height") {
        int size = 0;
        if (!ParseInt(value, &size) || size < 0) return false;
        (name == L"width" ? m_cxyFixed.cx : m_cxyFixed.cy) = size;
        return true;
    }
    if (name == L"minheight") return ParseInt(value, &m_nMinHeight) && m_nMinHeight >= 0;
    if (name == L"padding") return ParseRect(value, &m_rcPadding);
    if (name == L"textpadding") return ParseRect(value, &m_rcTextPadding);
    if (name == L"visible") return ParseBool(value, &m_bVisible);
    if (name == L"enabled") return ParseBool(value, &m_bEnabled);
    if (name == L"mouse") return ParseBool(value, &m_bMouseEnabled);
    if (name == L"autoheight") return ParseBool(value, &m_bAutoHeight);
    if (name == L"wordwrap") return ParseBool(value, &m_bWordWrap);
    if (name == L"font") return ParseInt(value, &m_iFont);
    if (name == L"bkcolor") return ParseColor(value, &m_dwBkColor);
    if (name == L"textcolor") return ParseColor(value, &m_dwTextColor);
    if (name == L"disabledtextcolor") return ParseColor(value, &m_dwDisabledTextColor);
    if (name == L"bordercolor") return ParseColor(value, &m_dwBorderColor);
    if (name == L"bordersize") return ParseInt(value, &m_nBorderSize) && m_nBorderSize >= 0;
    if (name == L"borderround") return ParseInt(value, &m_nBorderRound) && m_nBorderRound >= 0;
    if (name == L"align") {
        if (value == L"left")
            m_hAlign = HAlign::Left;
        else if (value == L"center")
            m_hAlign = HAlign::Center;
        else if (value == L"right")
            m_hAlign = HAlign::Right;
        else
            return false;
        return true;
    }
    if (name == L"valign") {
        if (value == L"top")
            m_vAlign = VAlign::Top;
        else if (value == L"center")
            m_vAlign = VAlign::Center;
        else if (value == L"bottom")
            m_vAlign = VAlign::Bottom;
        else
            return false;
        return true;
    }
    return false;
}

CControlUI* CControlUI::FindControl(const std::wstring& name) { return m_sName == name ? this : nullptr; }

CControlUI* CControlUI::FindControl(POINT pt) {
    if (!m_bVisible || !m_bMouseEnabled) return nullptr;
    return ::PtInRect(&m_rcItem, pt) ? this : nullptr;
}

void CControlUI::Invalidate() {
    if (m_pManager != nullptr && m_bVisible) m_pManager->Invalidate(m_rcItem);
}

void CControlUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    m_pManager = manager;
    m_pParent = parent;
}

void CControlUI::DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) {
    RECT overlap;
    if (!::IntersectRect(&overlap, &rcPaint, &m_rcItem)) return;
    PaintBackground(g, m_dwBkColor);
    PaintText(g, m_bEnabled ? m_dwTextColor : m_dwDisabledTextColor);
    PaintBorder(g, m_dwBorderColor);
}

void CControlUI::PaintBackground(Gdiplus::Graphics& g, uint32_t color) {
    if (color == 0) return;
    Gdiplus::SolidBrush brush(ToColor(color));
    FillRoundRect(g, ToRectF(m_rcItem), static_cast<float>(m_nBorderRound), brush);
}

void CControlUI::PaintBorder(Gdiplus::Graphics& g, uint32_t color) {
    DrawRoundRect(g, ToRectF(m_rcItem), static_cast<float>(m_nBorderRound), color, m_nBorderSize);
}

Gdiplus::RectF CControlUI::TextRect() const {
    RECT rc = m_rcItem;
    rc.left += m_rcTextPadding.left;
    rc.top += m_rcTextPadding.top;
    rc.right -= m_rcTextPadding.right;
    rc.bottom -= m_rcTextPadding.bottom;
    if (rc.right < rc.left) rc.right = rc.left;
    if (rc.bottom < rc.top) rc.bottom = rc.top;
    return ToRectF(rc);
}

void CControlUI::MakeStringFormat(Gdiplus::StringFormat& format) const {
    format.SetAlignment(m_hAlign == HAlign::Left     ? Gdiplus::StringAlignmentNear
                        : m_hAlign == HAlign::Center ? Gdiplus::StringAlignmentCenter
                                                     : Gdiplus::StringAlignmentFar);
    format.SetLineAlignment(m_vAlign == VAlign::Top      ? Gdiplus::StringAlignmentNear
                            : m_vAlign == VAlign::Center ? Gdiplus::StringAlignmentCenter
                                                         : Gdiplus::StringAlignmentFar);
    if (m_bWordWrap) {
        format.SetTrimming(Gdiplus::StringTrimmingNone);
    } else {
        format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
        format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    }
}

void CControlUI::PaintText(Gdiplus::Graphics& g, uint32_t color) {
    if (m_sText.empty() || m_pManager == nullptr) return;
    Gdiplus::Font* font = m_pManager->GetFont(m_iFont);
    if (font == nullptr) return;
    Gdiplus::StringFormat format;
    MakeStringFormat(format);
    Gdiplus::SolidBrush brush(ToColor(color));
    g.DrawString(m_sText.c_str(), static_cast<INT>(m_sText.size()), font, TextRect(), &format, &brush);
}

int CControlUI::MeasureTextHeight(int width) const {
    if (m_pManager == nullptr) return 0;
    const int textWidth = width - m_rcTextPadding.left - m_rcTextPadding.right;
    const int padding = m_rcTextPadding.top + m_rcTextPadding.bottom;
    Gdiplus::Font* font = m_pManager->GetFont(m_iFont);
    if (font == nullptr || textWidth <= 0) return padding;
    // A line's height even for an empty text: the control keeps its place.
    const std::wstring text = m_sText.empty() ? std::wstring(L" ") : m_sText;
    Gdiplus::Bitmap scratch(1, 1, PixelFormat32bppARGB);
    Gdiplus::Graphics g(&scratch);
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    Gdiplus::StringFormat format;
    MakeStringFormat(format);
    Gdiplus::RectF bounds;
    const Gdiplus::RectF layout(0.0f, 0.0f, static_cast<Gdiplus::REAL>(textWidth), 100000.0f);
    if (g.MeasureString(text.c_str(), static_cast<INT>(text.size()), font, layout, &format, &bounds) !=
        Gdiplus::Ok)
        return padding;
    return static_cast<int>(std::ceil(bounds.Height)) + padding;
}

bool CControlUI::IsTextClipped() const {
    if (m_sText.empty() || m_pManager == nullptr) return false;
    const Gdiplus::RectF rect = TextRect();
    Gdiplus::Font* font = m_pManager->GetFont(m_iFont);
    if (font == nullptr) return true;
    Gdiplus::Bitmap scratch(1, 1, PixelFormat32bppARGB);
    Gdiplus::Graphics g(&scratch);
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    Gdiplus::StringFormat format;
    MakeStringFormat(format);
    // Laid out without the height limit, the text must fit into the
    // rectangle it is painted in (one pixel of rounding allowed).
    const Gdiplus::RectF unlimited(0.0f, 0.0f, m_bWordWrap ? rect.Width : 100000.0f, 100000.0f);
    Gdiplus::RectF bounds;
    if (g.MeasureString(m_sText.c_str(), static_cast<INT>(m_sText.size()), font, unlimited, &format,
                        &bounds) != Gdiplus::Ok)
        return true;
    return bounds.Height > rect.Height + 1.0f || bounds.Width > rect.Width + 1.0f;
}

}  // namespace ui
