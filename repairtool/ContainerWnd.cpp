// ContainerWnd.cpp - the repair tool's window: skin, hit test, buttons, and
// the updates of the repair pass.

#include "ContainerWnd.h"

#include <fund/guard.h>

#include <windowsx.h>

#include <system_error>

namespace {

// Posted by a pass's channel: updates are waiting.
constexpr UINT kRepairUpdateMessage = WM_APP + 1;

constexpr LONG_PTR kCaptionStyleMask = 0xFF3FFFFF;  // without WS_CAPTION

}  // namespace

CContainerWnd::CContainerWnd()
    : m_pCloseBtn(nullptr),
      m_pRepairBtn(nullptr),
      m_pProgress(nullptr),
      m_pStatusText(nullptr),
      m_bClosing(false) {}

CContainerWnd::~CContainerWnd() {
    // The pass is joined when the window is destroyed; a thread still held
    // here would only be released, never waited for.
    if (m_repairThread.joinable()) m_repairThread.detach();
}

const wchar_t* CContainerWnd::GetWindowClassName() const { return L"UIMainFrame"; }

const wchar_t* CContainerWnd::GetSuperClassName() const { return nullptr; }

UINT CContainerWnd::GetClassStyle() const { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS; }

void CContainerWnd::OnFinalMessage(HWND) { delete this; }

LRESULT CContainerWnd::OnCreate() {
    const LONG_PTR style = ::GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, (style & kCaptionStyleMask) | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);

    m_paintManager.Init(m_hWnd);
    ui::CDialogBuilder builder;
    // A skin that cannot be read leaves the window without controls; the
    // builder has said why.
    m_paintManager.AttachDialog(builder.Create(L"UISkin1.xml", &m_paintManager));
    m_paintManager.AddNotifier(this);

    m_pCloseBtn = m_paintManager.FindControl(L"ButtonUI1");
    m_pRepairBtn = m_paintManager.FindControl(L"ButtonUI2");
    m_pProgress = dynamic_cast<ui::CProgressUI*>(m_paintManager.FindControl(L"ProgressUI1"));
    m_pStatusText = m_paintManager.FindControl(L"TextUI1");
    if (m_pProgress != nullptr && m_pProgress->IsStretchForeImage()) {
        m_pProgress->SetStretchForeImage(false);
        m_pProgress->Invalidate();
    }
    // Laid out now: hit tests may come before the first paint.
    m_paintManager.UpdateLayout();
    return 0;
}

LRESULT CContainerWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
        case WM_CREATE:
            return OnCreate();
        case WM_CLOSE:
            return OnClose(wParam, lParam);
        case WM_DESTROY:
            StopRepair();
            ::PostQuitMessage(0);
            return DefaultPath(uMsg, wParam, lParam);
        case WM_NCCALCSIZE:
        case WM_NCPAINT:
        case WM_NCLBUTTONDBLCLK:
            return 0;  // no system frame; a double click on the caption does not maximise
        case WM_NCHITTEST:
            return OnNcHitTest(lParam);
        case WM_NCACTIVATE: {
            const LRESULT result = wParam == 0 ? TRUE : FALSE;
            if (!::IsIconic(m_hWnd)) return result;
            return DefaultPath(uMsg, wParam, lParam);
        }
        case kRepairUpdateMessage:
            OnRepairUpdates();
            return 0;
        default:
            return DefaultPath(uMsg, wParam, lParam);
    }
}

LRESULT CContainerWnd::OnClose(WPARAM wParam, LPARAM lParam) {
    if (!m_repairThread.joinable()) return DefaultPath(WM_CLOSE, wParam, lParam);
    // A pass runs: the window goes out of sight at once and is destroyed
    // when the pass has stopped (OnRepairUpdates).
    if (!m_bClosing) {
        m_bClosing = true;
        m_repairChannel->RequestStop();
        ::ShowWindow(m_hWnd, SW_HIDE);
    }
    return 0;
}

LRESULT CContainerWnd::DefaultPath(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (m_paintManager.MessageHandler(uMsg, wParam, lParam, result)) return result;
    return CallOldWndProc(uMsg, wParam, lParam);
}

LRESULT CContainerWnd::OnNcHitTest(LPARAM lParam) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ::ScreenToClient(m_hWnd, &pt);
    RECT client = {};
    ::GetClientRect(m_hWnd, &client);
    const RECT& caption = m_paintManager.GetCaptionRect();
    const bool inCaption = pt.x >= client.left + caption.left && pt.x < client.right - caption.right &&
                           pt.y >= caption.top && pt.y < caption.bottom;
    if (!inCaption) return HTCLIENT;
    ui::CControlUI* control = m_paintManager.FindControl(pt);
    if (control == nullptr || wcscmp(control->GetClass(), L"ButtonUI") == 0) return HTCLIENT;
    return HTCAPTION;
}

void CContainerWnd::Notify(ui::TNotifyUI& msg) {
    if (msg.sType != L"click") return;
    if (msg.pSender == m_pCloseBtn && m_pCloseBtn != nullptr) {
        if (::IsWindow(m_hWnd)) ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    } else if (msg.pSender == m_pRepairBtn && m_pRepairBtn != nullptr) {
        if (!m_repairThread.joinable() && !m_bClosing) StartRepair();
    }
}

void CContainerWnd::StartRepair() {
    auto channel = std::make_shared<CRepairChannel>(m_hWnd, kRepairUpdateMessage);
    try {
        m_repairThread = std::thread(&CContainerWnd::DoRepair, channel);
    } catch (const std::system_error&) {
        ::OutputDebugStringW(L"[MORLRepairTools] the repair thread cannot be started\n");
        return;
    }
    m_repairChannel = std::move(channel);
}

void CContainerWnd::DoRepair(std::shared_ptr<CRepairChannel> channel) {
    // No exception may leave the thread: a pass that fails that way (out of
    // memory) ends with the failure shown, and the window learns its end.
    if (!fund::guarded(L"the repair pass", [&] { RunRepairPass(GetProgramDirectory(), *channel); }))
        fund::guarded(L"the repair pass's end",
                      [&] { channel->ShowResult(kRepairPassFailedText, kRepairPassFailedText); });
    channel->Finish();
}

// The window is being destroyed (normally no pass runs then: see OnClose).
void CContainerWnd::StopRepair() {
    if (m_repairChannel) m_repairChannel->Close();
    // The pass stops before its next archive; it never waits for this thread.
    if (m_repairThread.joinable()) m_repairThread.join();
    m_repairChannel.reset();
}

void CContainerWnd::OnRepairUpdates() {
    if (!m_repairChannel) return;
    std::vector<CRepairChannel::TUpdate> updates;
    fund::guarded(L"CContainerWnd::OnRepairUpdates", [&] { updates = m_repairChannel->TakeUpdates(); });
    if (updates.empty() && m_repairChannel->IsFinished())
        updates.push_back(CRepairChannel::TUpdate{CRepairChannel::TUpdate::Ended, {}, 0, {}});
    for (CRepairChannel::TUpdate& update : updates) {
        switch (update.kind) {
            case CRepairChannel::TUpdate::Status:
                if (m_pStatusText != nullptr) m_pStatusText->SetText(update.text);
                break;
            case CRepairChannel::TUpdate::Progress:
                if (m_pProgress != nullptr) {
                    m_pProgress->SetValue(update.value);
                    m_pProgress->Invalidate();
                }
                break;
            case CRepairChannel::TUpdate::Result:
                ShowResultIn(m_pStatusText, update.text, update.summary);
                break;
            case CRepairChannel::TUpdate::Ended:
                // The thread has nothing left to do but return.
                if (m_repairThread.joinable()) m_repairThread.join();
                m_repairChannel.reset();
                if (m_bClosing) ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
                return;
        }
    }
}

void CContainerWnd::ShowResultIn(ui::CControlUI* status, const std::wstring& text,
                                 const std::wstring& summary) {
    if (status == nullptr) return;
    status->SetText(text);
    // A long list of failed archives would be cut off without a word.
    if (status->IsTextClipped()) status->SetText(summary);
}
