// RepairChannel.cpp - the queue between the pass and the window.

#include "RepairChannel.h"

#include <algorithm>

#include <fund/guard.h>

CRepairChannel::CRepairChannel(HWND target, UINT message)
    : m_target(target),
      m_message(message),
      m_stopRequested(false),
      m_closed(false),
      m_announced(false),
      m_finished(false),
      m_stopFlag(false),
      m_lastProgress(-1) {}

void CRepairChannel::ShowStatus(const std::wstring& text) { Push(TUpdate{TUpdate::Status, text, 0, {}}); }

void CRepairChannel::ShowProgress(int percent) {
    Push(TUpdate{TUpdate::Progress, std::wstring(), percent, {}});
}

void CRepairChannel::ShowResult(const std::wstring& text, const std::wstring& summary) {
    Push(TUpdate{TUpdate::Result, text, 0, summary});
}

void CRepairChannel::Finish() noexcept {
    m_finished = true;
    if (fund::guarded(L"CRepairChannel::Finish", [&] {
            Push(TUpdate{TUpdate::Ended, std::wstring(), 0, {}});
        }))
        return;
    // The end could not be queued: the window still hears of it.
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_closed && !m_announced) m_announced = ::PostMessageW(m_target, m_message, 0, 0) != FALSE;
}

bool CRepairChannel::IsStopRequested() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_stopRequested || m_closed;
}

void CRepairChannel::Push(TUpdate update) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed || (m_stopRequested && update.kind != TUpdate::Ended)) return;
    // A big archive reports thousands of pieces a second, but the bar moves
    // a hundred times at most: a value equal to the last one is dropped, and
    // one the window has not shown yet gives way to the newer one.  The
    // window's thread stays free for the user's clicks.
    if (update.kind == TUpdate::Progress) {
        if (update.value == m_lastProgress) return;
        m_lastProgress = update.value;
        if (!m_updates.empty() && m_updates.back().kind == TUpdate::Progress) {
            m_updates.back().value = update.value;
            return;
        }
    }
    m_updates.push_back(std::move(update));
    if (!m_announced) m_announced = ::PostMessageW(m_target, m_message, 0, 0) != FALSE;
}

std::vector<CRepairChannel::TUpdate> CRepairChannel::TakeUpdates() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_announced = false;
    std::vector<TUpdate> taken(std::make_move_iterator(m_updates.begin()),
                               std::make_move_iterator(m_updates.end()));
    m_updates.clear();
    return taken;
}

void CRepairChannel::RequestStop() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopRequested = true;
    m_stopFlag = true;
    // What the pass showed but the window has not taken is dropped too.
    m_updates.erase(std::remove_if(m_updates.begin(), m_updates.end(),
                                   [](const TUpdate& update) { return update.kind != TUpdate::Ended; }),
                    m_updates.end());
}

void CRepairChannel::Close() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
    m_stopFlag = true;
    m_target = nullptr;
    m_updates.clear();
}
