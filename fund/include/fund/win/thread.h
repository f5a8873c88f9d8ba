// fund/win/thread.h - a thread of the C run-time library (_beginthreadex)
// that runs one function.  Built on the system's own thread rather than
// std::thread: DLLs that are loaded and freed again and again (the plug-in,
// morl.dll) must leave no run-time thread state behind when they go.

#ifndef FUND_WIN_THREAD_H
#define FUND_WIN_THREAD_H

#include <windows.h>

#include <functional>

#include "fund/win/handle.h"

namespace fund {
namespace win {

class thread {
public:
    thread() noexcept = default;
    // Joins a thread that was started and not yet joined.
    ~thread();
    thread(thread&& other) noexcept;
    // Joins this object's own thread first.
    thread& operator=(thread&& other) noexcept;
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Runs `body` on a new thread.  An exception that leaves the body ends
    // the body, never the process: it is traced and the thread ends with
    // exit code 1 (catch it in the body to handle it).  False, with the
    // reason as the thread's
    // last error, when the system cannot start one, when `body` is empty
    // (ERROR_INVALID_PARAMETER) or when this object holds a thread that was
    // not joined yet (ERROR_BUSY); the body does not run then.
    bool start(std::function<void()> body);

    // Waits for the end of the thread and closes its handle; nothing when no
    // thread was started.  Never call it on the thread itself.
    void join() noexcept;

    // Lets the thread run on by itself: closes the handle without waiting.
    // The body must own everything it touches (the code too: see
    // pin_this_module in fund/win/module.h for a DLL that may be freed).
    void detach() noexcept;

    // True from a successful start until join(), even after the body ended.
    bool joinable() const noexcept { return m_handle.valid(); }
    // The thread's id; 0 when not started.
    unsigned id() const noexcept { return m_id; }
    // For waits on the thread's end; null when not started.
    HANDLE native_handle() const noexcept { return m_handle.get(); }

private:
    static unsigned __stdcall main(void* body) noexcept;

    unique_handle m_handle;
    unsigned m_id = 0;
};

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_THREAD_H
