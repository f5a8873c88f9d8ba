// standin/engine/Scheduler.cpp - delayed actions on one thread.

#include "Scheduler.h"

#include <utility>

namespace standin {

Scheduler::Scheduler()
    : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_thread(nullptr) {
    if (m_wake != nullptr) m_thread = CreateThread(nullptr, 0, &Scheduler::ThreadMain, this, 0, nullptr);
}

Scheduler::~Scheduler() {
    Stop();
    if (m_wake != nullptr) CloseHandle(m_wake);
}

void Scheduler::At(uint32_t delayMs, std::function<void()> action) {
    fund::lock::scoped_lock hold(m_lock);
    if (m_stopping || m_thread == nullptr) return;
    m_due.emplace(GetTickCount64() + delayMs, std::move(action));
    SetEvent(m_wake);
}

void Scheduler::Stop() {
    {
        fund::lock::scoped_lock hold(m_lock);
        m_stopping = true;
        m_due.clear();
    }
    if (m_thread == nullptr) return;
    SetEvent(m_wake);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    m_thread = nullptr;
}

DWORD WINAPI Scheduler::ThreadMain(void* self) {
    static_cast<Scheduler*>(self)->Run();
    return 0;
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
        WaitForSingleObject(m_wake, wait);
    }
}

}  // namespace standin
