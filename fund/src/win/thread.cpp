// thread.cpp - fund::win::thread over _beginthreadex.

#include "fund/win/thread.h"

#include "fund/trace.h"

#include <process.h>

#include <exception>
#include <memory>
#include <utility>

namespace fund {
namespace win {

thread::~thread() { join(); }

thread::thread(thread&& other) noexcept
    : m_handle(std::move(other.m_handle)), m_id(std::exchange(other.m_id, 0u)) {}

thread& thread::operator=(thread&& other) noexcept {
    if (this != &other) {
        join();
        m_handle = std::move(other.m_handle);
        m_id = std::exchange(other.m_id, 0u);
    }
    return *this;
}

bool thread::start(std::function<void()> body) {
    if (m_handle) {
        ::SetLastError(ERROR_BUSY);
        return false;
    }
    if (!body) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The new thread owns the body (and what it holds) and ends it itself.
    std::unique_ptr<std::function<void()>> owned(new std::function<void()>(std::move(body)));
    unsigned id = 0;
    const uintptr_t started = _beginthreadex(nullptr, 0, &thread::main, owned.get(), 0, &id);
    if (started == 0) {
        // _beginthreadex keeps the system's reason as the last error.
        const DWORD error = ::GetLastError();
        owned.reset();
        ::SetLastError(error);
        return false;
    }
    owned.release();
    m_handle.reset(reinterpret_cast<HANDLE>(started));
    m_id = id;
    return true;
}

void thread::join() noexcept {
    if (!m_handle) return;
    ::WaitForSingleObject(m_handle.get(), INFINITE);
    m_handle.reset();
    m_id = 0;
}

void thread::detach() noexcept {
    m_handle.reset();
    m_id = 0;
}

unsigned __stdcall thread::main(void* body) noexcept {
    std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(body));
    // The last line of defence: an exception must not end a process that
    // merely loaded this code.
    try {
        (*owned)();
    } catch (const std::exception& error) {
        Trace(L"error: a thread ended by an exception: %hs", error.what());
        return 1;
    } catch (...) {
        Trace(L"error: a thread ended by an exception");
        return 1;
    }
    return 0;
}

}  // namespace win
}  // namespace fund
