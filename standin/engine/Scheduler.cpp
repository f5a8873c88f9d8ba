// standin/engine/Scheduler.cpp - delayed actions on one thread.

#include "Scheduler.h"

#include <utility>

namespace standin {

Scheduler::Scheduler() : m_thread(&Scheduler::Run, this) {}

Scheduler::~Scheduler() { Stop(); }

void Scheduler::At(uint32_t delayMs, std::function<void()> action) {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_stopping) return;
    m_due.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
    m_wake.notify_one();
}

void Scheduler::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_stopping = true;
        m_due.clear();
        m_wake.notify_one();
    }
    if (m_thread.joinable()) m_thread.join();
}

void Scheduler::Run() {
    std::unique_lock<std::mutex> hold(m_mutex);
    while (!m_stopping) {
        if (m_due.empty()) {
            m_wake.wait(hold);
            continue;
        }
        auto first = m_due.begin();
        if (first->first > Clock::now()) {
            m_wake.wait_until(hold, first->first);
            continue;
        }
        std::function<void()> action = std::move(first->second);
        m_due.erase(first);
        hold.unlock();
        action();
        hold.lock();
    }
}

}  // namespace standin
