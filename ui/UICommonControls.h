// UICommonControls.h - the controls a skin can hold: text, button and
// progress bar.

#ifndef BREVIK_UI_UICOMMONCONTROLS_H
#define BREVIK_UI_UICOMMONCONTROLS_H

#include "UIControl.h"

namespace ui {

// A text: background, border and text (wrapped with "wordwrap").
class CTextUI : public CControlUI {
public:
    const wchar_t* GetClass() const override;
};

// A button: sends "click" when the left button goes down and up on it.
// Its background and text follow its state: "normalcolor", "hotcolor" (the
// mouse is over it), "pushedcolor" (pressed) and "disabledcolor", with
// "hottextcolor" and "pushedtextcolor" for the text.
class CButtonUI : public CControlUI {
public:
    CButtonUI();

    const wchar_t* GetClass() const override;
    bool SetAttribute(const std::wstring& name, const std::wstring& value) override;
    void DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) override;

    bool IsClickable() const override { return true; }
    void OnMouseEnter() override;
    void OnMouseLeave() override;
    void OnButtonDown(POINT pt) override;
    void OnButtonUp(POINT pt) override;
    void OnCaptureLost() override;

    bool IsHot() const { return m_bHot; }
    bool IsPushed() const { return m_bPushed; }

private:
    bool m_bHot;
    bool m_bPushed;
    uint32_t m_dwNormalColor;
    uint32_t m_dwHotColor;
    uint32_t m_dwPushedColor;
    uint32_t m_dwDisabledColor;
    uint32_t m_dwHotTextColor;
    uint32_t m_dwPushedTextColor;
};

// A progress bar from "min" to "max" (0 to 100 unless the skin says
// otherwise) showing "value".  The filled part uses "forecolor" (a gradient
// to "forecolor2" when that is set).  With "isstretchfore" the gradient is
// stretched over the filled part; without it, it spans the whole bar and
// the filled part shows its share of it.
class CProgressUI : public CControlUI {
public:
    CProgressUI();

    const wchar_t* GetClass() const override;
    bool SetAttribute(const std::wstring& name, const std::wstring& value) override;
    void DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) override;

    int GetMinValue() const { return m_nMin; }
    int GetMaxValue() const { return m_nMax; }
    int GetValue() const { return m_nValue; }
    // Clamped to the range.
    void SetValue(int value);
    bool IsStretchForeImage() const { return m_bStretchForeImage; }
    void SetStretchForeImage(bool stretch);

private:
    int m_nMin;
    int m_nMax;
    int m_nValue;
    bool m_bStretchForeImage;
    uint32_t m_dwForeColor;
    uint32_t m_dwForeColor2;
};

}  // namespace ui

#endif  // BREVIK_UI_UICOMMONCONTROLS_H
