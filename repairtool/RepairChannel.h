// RepairChannel.h - carries a pass's updates from its thread to the window's.
//
// The pass (on its own thread) queues status texts, progress values and its
// end; the window's thread takes them in the same order when the message
// posted with them arrives, and only then touches its controls.  Once the
// window closes the channel, the pass is told to stop and nothing more is
// queued or posted, so the pass never reaches a window that is gone.

#ifndef BREVIK_REPAIRTOOL_REPAIRCHANNEL_H
#define BREVIK_REPAIRTOOL_REPAIRCHANNEL_H

#include "RepairPass.h"

#include <UIBase.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

class CRepairChannel final : public IRepairView {
public:
    struct TUpdate {
        enum Kind { Status, Progress, Result, Ended } kind;
        std::wstring text;     // Status, Result
        int value;             // Progress
        std::wstring summary;  // Result
    };

    // Updates are announced to target with message (wParam and lParam 0).
    CRepairChannel(HWND target, UINT message);
    CRepairChannel(const CRepairChannel&) = delete;
    CRepairChannel& operator=(const CRepairChannel&) = delete;

    // The pass's side.
    void ShowStatus(const std::wstring& text) override;
    void ShowProgress(int percent) override;
    void ShowResult(const std::wstring& text, const std::wstring& summary) override;
    bool IsStopRequested() const override;
    const std::atomic<bool>& StopFlag() const override { return m_stopFlag; }
    // The pass has ended: announced even when no update can be queued any
    // more (out of memory).  Never throws.
    void Finish() noexcept;
    bool IsFinished() const { return m_finished.load(); }

    // The window's side.
    std::vector<TUpdate> TakeUpdates();
    void RequestStop();
    void Close();

private:
    void Push(TUpdate update);

    mutable std::mutex m_lock;
    HWND m_target;
    UINT m_message;
    bool m_stopRequested;
    bool m_closed;
    bool m_announced;  // a message is on its way that has not been taken yet
    std::atomic<bool> m_finished;
    std::atomic<bool> m_stopFlag;  // set with m_stopRequested or m_closed
    int m_lastProgress;            // the last progress value queued, -1 before the first
    std::deque<TUpdate> m_updates;
};

#endif  // BREVIK_REPAIRTOOL_REPAIRCHANNEL_H
