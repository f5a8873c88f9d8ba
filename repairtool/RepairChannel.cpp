// RepairChannel.cpp - the queue between the pass and the window.

#include "RepairChannel.h"

CRepairChannel::CRepairChannel(HWND target, UINT message)
    : m_target(target), m_message(message), m_closed(false), m_announced(false) {}

void CRepairChannel::ShowStatus(const std::wstring& text) { Push(TUpdate{TUpdate::Status, text, 0}); }

void CRepairChannel::ShowProgress(int percent) { Push(TUpdate{TUpdate::Progress, std::wstring(), percent}); }

void CRepairChannel::Finish() { Push(TUpdate{TUpdate::Ended, std::wstring(), 0}); }

bool CRepairChannel::IsStopRequested() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_closed;
}

void CRepairChannel::Push(TUpdate update) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed) return;
    // Progress values the window has not shown yet are replaced by newer
    // ones: a big archive reports thousands of pieces a second.
    if (update.kind == TUpdate::Progress && !m_updates.empty() && m_updates.back().kind == TUpdate::Progress)
        m_updates.back().value = update.value;
    else
        m_updates.push_back(std::move(update));
    if (!m_announced) m_announced = ::PostMessageW(m_target, m_message, 0, 0) != FALSE;
}

std::vector<CRepairChannel::TUpdate> CRepairChannel::TakeUpdates() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_announced = false;
    std::vector<TUpdate> taken(std::make_move_iterator(m_updates.begin()), std::make_move_iterator(m_updates.end()));
    m_updates.clear();
    return taken;
}

void CRepairChannel::Close() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
    m_target = nullptr;
    m_updates.clear();
}
