// ContainerWnd.h - the repair tool's one window: a borderless skinned window
// with a close button ("ButtonUI1"), a start button ("ButtonUI2"), a
// progress bar ("ProgressUI1") and a status text ("TextUI1").
//
// The start button runs a check pass (RepairPass.h) on a thread of its own.
// The pass reaches the window only through a CRepairChannel: its updates are
// posted to the window's thread and applied there in order.  Closed while a
// pass runs, the window hides, tells the pass to stop before its next
// archive and is destroyed once the pass has ended, so the pass never meets
// a destroyed window.  The window object deletes itself after its window is
// destroyed.

#ifndef BREVIK_REPAIRTOOL_CONTAINERWND_H
#define BREVIK_REPAIRTOOL_CONTAINERWND_H

#include "RepairChannel.h"

#include <UIlib.h>

#include <memory>
#include <thread>

class CContainerWnd : public ui::CWindowWnd, public ui::INotifyUI {
public:
    CContainerWnd();
    ~CContainerWnd() override;

    const wchar_t* GetWindowClassName() const override;
    const wchar_t* GetSuperClassName() const override;
    UINT GetClassStyle() const override;
    LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void OnFinalMessage(HWND hWnd) override;

    void Notify(ui::TNotifyUI& msg) override;

    // The repair thread's body: one pass that reports through the channel.
    // It touches no window object, only the channel it shares.
    static void DoRepair(std::shared_ptr<CRepairChannel> channel);

    // Shows a pass's outcome in `status`: `text`, or `summary` when `text`
    // does not fit the control.
    static void ShowResultIn(ui::CControlUI* status, const std::wstring& text, const std::wstring& summary);

private:
    LRESULT OnCreate();
    LRESULT OnClose(WPARAM wParam, LPARAM lParam);
    LRESULT OnNcHitTest(LPARAM lParam);
    LRESULT DefaultPath(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void StartRepair();
    // Tells a running pass to stop and waits for it to leave.
    void StopRepair();
    void OnRepairUpdates();

    ui::CPaintManagerUI m_paintManager;
    ui::CControlUI* m_pCloseBtn;
    ui::CControlUI* m_pRepairBtn;
    ui::CProgressUI* m_pProgress;
    ui::CControlUI* m_pStatusText;
    std::thread m_repairThread;
    std::shared_ptr<CRepairChannel> m_repairChannel;
    bool m_bClosing;  // closed while a pass ran: destroyed when it ends
};

#endif  // BREVIK_REPAIRTOOL_CONTAINERWND_H
