// standin/engine/WinSync.cpp - the worker thread.

#include "WinSync.h"

#include <utility>

namespace standin {

bool WorkerThread::Start(std::function<void()> body) {
    if (m_handle != nullptr) return false;
    m_body = std::move(body);
    m_handle = CreateThread(nullptr, 0, &WorkerThread::Main, this, 0, nullptr);
    return m_handle != nullptr;
}

void WorkerThread::Join() {
    if (m_handle == nullptr) return;
    WaitForSingleObject(m_handle, INFINITE);
    CloseHandle(m_handle);
    m_handle = nullptr;
    m_body = nullptr;
}

DWORD WINAPI WorkerThread::Main(void* self) {
    static_cast<WorkerThread*>(self)->m_body();
    return 0;
}

}  // namespace standin
