// UIContainer.cpp - the layouts: children placed one after the other.

#include "UIContainer.h"

#include "UIManager.h"

namespace ui {

//-----------------------------------------------------------------------------
// CContainerUI

CContainerUI::CContainerUI() : m_rcInset(RECT{0, 0, 0, 0}), m_iChildPadding(0) {
    // A layout is found by hit tests (the window is dragged by its caption's
    // layouts) but paints nothing of its own beyond background and border.
}

const wchar_t* CContainerUI::GetClass() const { return L"ContainerUI"; }

void CContainerUI::Add(std::unique_ptr<CControlUI> child) {
    if (!child) return;
    child->SetManager(m_pManager, this);
    m_items.push_back(std::move(child));
    if (m_pManager != nullptr) m_pManager->NeedUpdate();
}

CControlUI* CContainerUI::GetItemAt(int index) const {
    return index >= 0 && index < GetCount() ? m_items[static_cast<size_t>(index)].get() : nullptr;
}

bool CContainerUI::SetAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"inset") return ParseRect(value, &m_rcInset);
    if (name == L"childpadding") return ParseInt(value, &m_iChildPadding) && m_iChildPadding >= 0;
    return CControlUI::SetAttribute(name, value);
}

CControlUI* CContainerUI::FindControl(const std::wstring& name) {
    if (CControlUI* self = CControlUI::FindControl(name)) return self;
    for (auto& item : m_items)
        if (CControlUI* found = item->FindControl(name)) return found;
    return nullptr;
}

CControlUI* CContainerUI::FindControl(POINT pt) {
    if (!IsVisible() || !::PtInRect(&m_rcItem, pt)) return nullptr;
    // Later children are painted over earlier ones: they are on top.
    for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
        if (CControlUI* found = (*it)->FindControl(pt)) return found;
    return CControlUI::FindControl(pt);
}

void CContainerUI::DoPaint(Gdiplus::Graphics& g, const RECT& rcPaint) {
    RECT overlap;
    if (!::IntersectRect(&overlap, &rcPaint, &m_rcItem)) return;
    PaintBackground(g, m_dwBkColor);
    for (auto& item : m_items)
        if (item->IsVisible()) item->DoPaint(g, rcPaint);
    PaintBorder(g, m_dwBorderColor);
}

void CContainerUI::SetManager(CPaintManagerUI* manager, CControlUI* parent) {
    CControlUI::SetManager(manager, parent);
    for (auto& item : m_items) item->SetManager(manager, this);
}

RECT CContainerUI::ClientRect() const {
    RECT rc = m_rcItem;
    rc.left += m_rcInset.left;
    rc.top += m_rcInset.top;
    rc.right -= m_rcInset.right;
    rc.bottom -= m_rcInset.bottom;
    if (rc.right < rc.left) rc.right = rc.left;
    if (rc.bottom < rc.top) rc.bottom = rc.top;
    return rc;
}

//-----------------------------------------------------------------------------
// The two layouts share one algorithm along their main axis.

namespace {

struct AxisSlot {
    CControlUI* control;
    int size;  // along the axis, without the margins
    bool flexible;
};

// Sizes along the axis: fixed ones as wished, the room left shared by the
// flexible ones (the last one takes the rounding remainder).
void ShareRoom(std::vector<AxisSlot>& slots, int room) {
    int flexible = 0;
    for (const AxisSlot& slot : slots) {
        if (slot.flexible)
            flexible++;
        else
            room -= slot.size;
    }
    if (flexible == 0) return;
    const int each = room > 0 ? room / flexible : 0;
    int remainder = room > 0 ? room - each * flexible : 0;
    for (AxisSlot& slot : slots) {
        if (!slot.flexible) continue;
        slot.size = each;
        if (--flexible == 0) slot.size += remainder;
    }
}

}  // namespace

const wchar_t* CVerticalLayoutUI::GetClass() const { return L"VerticalLayoutUI"; }

void CVerticalLayoutUI::SetPos(const RECT& rc) {
    CControlUI::SetPos(rc);
    const RECT client = ClientRect();
    const int width = client.right - client.left;
    std::vector<AxisSlot> slots;
    int room = client.bottom - client.top;
    for (auto& item : m_items) {
        if (!item->IsVisible()) continue;
        const RECT& pad = item->GetPadding();
        const int innerWidth =
            item->GetFixedWidth() > 0 ? item->GetFixedWidth() : width - pad.left - pad.right;
        const int wished = item->EstimateHeight(innerWidth);
        const bool flexible = item->GetFixedHeight() == 0 && !item->IsAutoHeight();
        slots.push_back(AxisSlot{item.get(), flexible ? 0 : wished, flexible});
        room -= pad.top + pad.bottom;
    }
    if (!slots.empty()) room -= m_iChildPadding * static_cast<int>(slots.size() - 1);
    ShareRoom(slots, room);

    int y = client.top;
    for (const AxisSlot& slot : slots) {
        const RECT& pad = slot.control->GetPadding();
        int left = client.left + pad.left, right = client.right - pad.right;
        if (slot.control->GetFixedWidth() > 0) right = left + slot.control->GetFixedWidth();
        y += pad.top;
        int height = std::max(slot.size, slot.control->GetMinHeight());
        slot.control->SetPos(RECT{left, y, std::max(left, right), y + height});
        y += height + pad.bottom + m_iChildPadding;
    }
}

const wchar_t* CHorizontalLayoutUI::GetClass() const { return L"HorizontalLayoutUI"; }

void CHorizontalLayoutUI::SetPos(const RECT& rc) {
    CControlUI::SetPos(rc);
    const RECT client = ClientRect();
    std::vector<AxisSlot> slots;
    int room = client.right - client.left;
    for (auto& item : m_items) {
        if (!item->IsVisible()) continue;
        const RECT& pad = item->GetPadding();
        const bool flexible = item->GetFixedWidth() == 0;
        slots.push_back(AxisSlot{item.get(), item->GetFixedWidth(), flexible});
        room -= pad.left + pad.right;
    }
    if (!slots.empty()) room -= m_iChildPadding * static_cast<int>(slots.size() - 1);
    ShareRoom(slots, room);

    int x = client.left;
    for (const AxisSlot& slot : slots) {
        const RECT& pad = slot.control->GetPadding();
        int top = client.top + pad.top, bottom = client.bottom - pad.bottom;
        if (slot.control->GetFixedHeight() > 0) {
            // A control lower than the layout sits in its middle.
            const int free = (bottom - top) - slot.control->GetFixedHeight();
            top += std::max(0, free / 2);
            bottom = top + slot.control->GetFixedHeight();
        }
        x += pad.left;
        slot.control->SetPos(RECT{x, top, x + slot.size, std::max(top, bottom)});
        x += slot.size + pad.right + m_iChildPadding;
    }
}

}  // namespace ui
