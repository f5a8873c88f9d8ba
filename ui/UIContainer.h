// UIContainer.h - controls that hold controls: the vertical and horizontal
// layouts.
//
// A layout places its children one after the other inside its own rectangle
// less "inset", with "childpadding" between them.  A child with a fixed size
// (or, in a vertical layout, a height that follows its text) gets that size;
// the rest of the room is shared equally by the children without one.  A
// child's "padding" is the margin kept around it.

#ifndef BREVIK_UI_UICONTAINER_H
#define BREVIK_UI_UICONTAINER_H

#include "UIControl.h"

#include <memory>
#include <vector>

namespace ui {

class CContainerUI : public CControlUI {
public:
    CContainerUI();

    const wchar_t* GetClass() const override;

    void Add(std::unique_ptr<CControlUI> child);
    int GetCount() const { return static_cast<int>(m_items.size()); }
    CControlUI* GetItemAt(int index) const;

    bool SetAttribute(const std::wstring& name, const std::wstring& value) override;
    CControlUI* FindControl(const std::wstring& name) override;
    CControlUI* FindControl(POINT pt) override;
    void DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) override;
    void SetManager(CPaintManagerUI* manager, CControlUI* parent) override;

protected:
    // The rectangle the children share: the control less its inset.
    RECT ClientRect() const;

    std::vector<std::unique_ptr<CControlUI>> m_items;
    RECT m_rcInset;
    int m_iChildPadding;
};

class CVerticalLayoutUI : public CContainerUI {
public:
    const wchar_t* GetClass() const override;
    void SetPos(const RECT& rc) override;
};

class CHorizontalLayoutUI : public CContainerUI {
public:
    const wchar_t* GetClass() const override;
    void SetPos(const RECT& rc) override;
};

}  // namespace ui

#endif  // BREVIK_UI_UICONTAINER_H
