// UICommonControls.cpp - text, button and progress bar.

#include "UICommonControls.h"

#include "UIManager.h"

namespace ui {

//-----------------------------------------------------------------------------
// CTextUI

const wchar_t* CTextUI::GetClass() const { return L"TextUI"; }

//-----------------------------------------------------------------------------
// CButtonUI

CButtonUI::CButtonUI()
    : m_bHot(false),
      m_bPushed(false),
      m_dwNormalColor(0),
      m_dwHotColor(0),
      m_dwPushedColor(0),
      m_dwDisabledColor(0),
      m_dwHotTextColor(0),
      m_dwPushedTextColor(0) {
    m_hAlign = HAlign::Center;
}

const wchar_t* CButtonUI::GetClass() const { return L"ButtonUI"; }

bool CButtonUI::SetAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"normalcolor") return ParseColor(value, &m_dwNormalColor);
    if (name == L"hotcolor") return ParseColor(value, &m_dwHotColor);
    if (name == L"pushedcolor") return ParseColor(value, &m_dwPushedColor);
    if (name == L"disabledcolor") return ParseColor(value, &m_dwDisabledColor);
    if (name == L"hottextcolor") return ParseColor(value, &m_dwHotTextColor);
    if (name == L"pushedtextcolor") return ParseColor(value, &m_dwPushedTextColor);
    return CControlUI::SetAttribute(name, value);
}

void CButtonUI::DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) {
    RECT overlap;
    if (!::IntersectRect(&overlap, &rcPaint, &m_rcItem)) return;
    // The most specific look the skin gives for the state, else the plainer one.
    uint32_t back = m_dwNormalColor != 0 ? m_dwNormalColor : m_dwBkColor;
    uint32_t text = m_dwTextColor;
    if (!IsEnabled()) {
        if (m_dwDisabledColor != 0) back = m_dwDisabledColor;
        text = m_dwDisabledTextColor;
    } else if (m_bPushed && m_bHot) {
        if (m_dwPushedColor != 0)
            back = m_dwPushedColor;
        else if (m_dwHotColor != 0)
            back = m_dwHotColor;
        if (m_dwPushedTextColor != 0)
            text = m_dwPushedTextColor;
        else if (m_dwHotTextColor != 0)
            text = m_dwHotTextColor;
    } else if (m_bHot) {
        if (m_dwHotColor != 0) back = m_dwHotColor;
        if (m_dwHotTextColor != 0) text = m_dwHotTextColor;
    }
    PaintBackground(g, back);
    PaintText(g, text);
    PaintBorder(g, m_dwBorderColor);
}

void CButtonUI::OnMouseEnter() {
    m_bHot = true;
    Invalidate();
}

void CButtonUI::OnMouseLeave() {
    m_bHot = false;
    Invalidate();
}

void CButtonUI::OnButtonDown(POINT) {
    m_bPushed = true;
    Invalidate();
}

void CButtonUI::OnButtonUp(POINT pt) {
    const bool click = m_bPushed && IsEnabled() && ::PtInRect(&m_rcItem, pt);
    m_bPushed = false;
    Invalidate();
    if (click && m_pManager != nullptr) m_pManager->SendNotify(this, L"click");
}

void CButtonUI::OnCaptureLost() {
    m_bPushed = false;
    m_bHot = false;
    Invalidate();
}

//-----------------------------------------------------------------------------
// CProgressUI

CProgressUI::CProgressUI()
    : m_nMin(0),
      m_nMax(100),
      m_nValue(0),
      m_bStretchForeImage(true),
      m_dwForeColor(0xFF2B7CD3u),
      m_dwForeColor2(0) {}

const wchar_t* CProgressUI::GetClass() const { return L"ProgressUI"; }

bool CProgressUI::SetAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"min") return ParseInt(value, &m_nMin);
    if (name == L"max") return ParseInt(value, &m_nMax);
    if (name == L"value") {
        int v = 0;
        if (!ParseInt(value, &v)) return false;
        m_nValue = v;
        return true;
    }
    if (name == L"isstretchfore") return ParseBool(value, &m_bStretchForeImage);
    if (name == L"forecolor") return ParseColor(value, &m_dwForeColor);
    if (name == L"forecolor2") return ParseColor(value, &m_dwForeColor2);
    return CControlUI::SetAttribute(name, value);
}

void CProgressUI::SetValue(int value) {
    if (value < m_nMin) value = m_nMin;
    if (value > m_nMax) value = m_nMax;
    if (value == m_nValue) return;
    m_nValue = value;
    Invalidate();
}

void CProgressUI::SetStretchForeImage(bool stretch) {
    if (stretch == m_bStretchForeImage) return;
    m_bStretchForeImage = stretch;
    Invalidate();
}

void CProgressUI::DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) {
    RECT overlap;
    if (!::IntersectRect(&overlap, &rcPaint, &m_rcItem)) return;
    PaintBackground(g, m_dwBkColor);
    const int range = m_nMax - m_nMin;
    const int value = std::min(std::max(m_nValue, m_nMin), m_nMax);
    if (range > 0 && value > m_nMin) {
        const Gdiplus::RectF bar = ToRectF(m_rcItem);
        Gdiplus::RectF filled = bar;
        filled.Width = bar.Width * static_cast<float>(value - m_nMin) / static_cast<float>(range);
        const Gdiplus::RectF& span = m_bStretchForeImage ? filled : bar;
        const uint32_t end = m_dwForeColor2 != 0 ? m_dwForeColor2 : m_dwForeColor;
        // The gradient's rectangle is widened by a pixel: GDI+ repeats it
        // and would show a seam at the far edge otherwise.
        Gdiplus::RectF gradientRect(span.X - 1.0f, span.Y, span.Width + 2.0f, span.Height);
        Gdiplus::LinearGradientBrush brush(gradientRect, ToColor(m_dwForeColor), ToColor(end),
                                           Gdiplus::LinearGradientModeHorizontal);
        FillRoundRect(g, filled, std::min(static_cast<float>(m_nBorderRound), filled.Width / 2.0f), brush);
    }
    PaintText(g, m_dwTextColor);
    PaintBorder(g, m_dwBorderColor);
}

}  // namespace ui
