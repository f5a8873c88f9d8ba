// UIControl.h - the base of every control of the toolkit.
//
// A control is a rectangle of the window (controls have no windows of their
// own) with a name, a text and the looks set by its skin attributes.  The
// paint manager owns the tree; a control knows its manager and parent.
// Everything here runs on the window's thread.

#ifndef BREVIK_UI_UICONTROL_H
#define BREVIK_UI_UICONTROL_H

#include "UIRender.h"

#include <string>

namespace ui {

class CPaintManagerUI;

enum class HAlign { Left, Center, Right };
enum class VAlign { Top, Center, Bottom };

class CControlUI {
public:
    CControlUI();
    CControlUI(const CControlUI&) = delete;
    CControlUI& operator=(const CControlUI&) = delete;
    virtual ~CControlUI();

    // "ControlUI", "ButtonUI", "ProgressUI", ...
    virtual const wchar_t* GetClass() const;

    const std::wstring& GetName() const { return m_sName; }
    void SetName(const std::wstring& name) { m_sName = name; }
    const std::wstring& GetText() const { return m_sText; }
    virtual void SetText(const std::wstring& text);

    const RECT& GetPos() const { return m_rcItem; }
    virtual void SetPos(const RECT& rc);

    bool IsVisible() const { return m_bVisible; }
    void SetVisible(bool visible);
    bool IsEnabled() const { return m_bEnabled; }
    void SetEnabled(bool enabled);
    // Whether the control takes part in hit tests (attribute "mouse").
    bool IsMouseEnabled() const { return m_bMouseEnabled; }

    // Layout wishes: fixed size (0 = as the layout gives), the margin around
    // the control inside its layout ("padding"), the least height.
    int GetFixedWidth() const { return m_cxyFixed.cx; }
    int GetFixedHeight() const { return m_cxyFixed.cy; }
    int GetMinHeight() const { return m_nMinHeight; }
    const RECT& GetPadding() const { return m_rcPadding; }
    bool IsAutoHeight() const { return m_bAutoHeight; }
    // The height the control needs at the given width: its text's height
    // for an "autoheight" control, else its fixed or least height.
    virtual int EstimateHeight(int width) const;

    // Sets one skin attribute; false for a name the control does not know
    // or a value it cannot read.
    virtual bool SetAttribute(const std::wstring& name, const std::wstring& value);

    // The control of that name in this subtree, or null.
    virtual CControlUI* FindControl(const std::wstring& name);
    // The topmost visible, mouse-enabled control of this subtree at the
    // point (client coordinates), or null.
    virtual CControlUI* FindControl(POINT pt);

    virtual void DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint);
    // Asks the window to repaint this control's area.
    void Invalidate();

    // Whether the text needs more room than the control has (it would be
    // cut off or run past the control when painted).
    bool IsTextClipped() const;

    virtual void SetManager(CPaintManagerUI* manager, CControlUI* parent);
    CPaintManagerUI* GetManager() const { return m_pManager; }
    CControlUI* GetParent() const { return m_pParent; }

    // Mouse events from the paint manager.  A clickable control gets the
    // button's down and up (and keeps the mouse captured in between).
    virtual bool IsClickable() const { return false; }
    virtual void OnMouseEnter() {}
    virtual void OnMouseLeave() {}
    virtual void OnButtonDown(POINT) {}
    virtual void OnButtonUp(POINT) {}
    virtual void OnCaptureLost() {}

protected:
    void PaintBackground(Gdiplus::Graphics& g, uint32_t color);
    void PaintText(Gdiplus::Graphics& g, uint32_t color);
    void PaintBorder(Gdiplus::Graphics& g, uint32_t color);
    // The rectangle the text is laid out in: the control less "textpadding".
    Gdiplus::RectF TextRect() const;
    void MakeStringFormat(Gdiplus::StringFormat& format) const;
    // Height of the text laid out at the given width, in pixels.
    int MeasureTextHeight(int width) const;

    CPaintManagerUI* m_pManager;
    CControlUI* m_pParent;
    std::wstring m_sName;
    std::wstring m_sText;
    RECT m_rcItem;
    RECT m_rcPadding;
    RECT m_rcTextPadding;
    SIZE m_cxyFixed;
    int m_nMinHeight;
    bool m_bVisible;
    bool m_bEnabled;
    bool m_bMouseEnabled;
    bool m_bAutoHeight;
    bool m_bWordWrap;
    HAlign m_hAlign;
    VAlign m_vAlign;
    int m_iFont;  // font id of the skin, -1 = the manager's default
    uint32_t m_dwBkColor;
    uint32_t m_dwTextColor;
    uint32_t m_dwDisabledTextColor;
    uint32_t m_dwBorderColor;
    int m_nBorderSize;
    int m_nBorderRound;
};

}  // namespace ui

#endif  // BREVIK_UI_UICONTROL_H
