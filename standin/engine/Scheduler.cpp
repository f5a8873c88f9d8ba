// standin/engine/Scheduler.cpp - delayed actions on one thread.

#include "Scheduler.h"

#include <utility>

namespace standin {

Scheduler::Scheduler() : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (m_wake) m_thread.start([this] { Run(); });
}

Scheduler::~Scheduler() { Stop(); }

void Scheduler::At(uint32_t delayMs, std::function<void()> action) {
    fund::lock::scoped_lock hold(m_lock);
    if (m_stopping || !m_thread.joinable()) return;
    m_due.emplace(GetTickCount64() + delayMs, std::move(action));
    SetEvent(m_wake.get());
}

void Scheduler::Stop() {
    {
        fund::lock::scoped_lock hold(m_lock);
        m_stopping = true;
        m_due.clear();
    }
    if (!m_thread.joinable()) return;
    SetEvent(m_wake.get());
    m_thread.join();
}

void Scheduler::Run() {
    for (;;) {
        DWORD wait = INFINITE;
        std::function<void()> action;
        {
            fund::lock::scoped_lock hold(m_lock);
            if (m_stopping) return;
            if (!m_due.empty()) {
                const ULONGLONG now = GetTickCount64();
                auto first = m_due.begin();
                if (first->first <= now) {
                    action = std::move(first->second);
                    m_due.erase(first);
                } else {
                    wait = static_cast<DWORD>(first->first - now);
                }
            }
        }
        if (action) {
            action();
            continue;
        }
        WaitForSingleObject(m_wake.get(), wait);
    }
}

}  // namespace standin
