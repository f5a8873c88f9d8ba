// fund/win/handle.h - owners of Win32 handles.  Each kind of handle has a
// policy that knows its invalid value and its close function, so a file
// handle (invalid at INVALID_HANDLE_VALUE) and an event (invalid at null)
// can never be mixed up.

#ifndef FUND_WIN_HANDLE_H
#define FUND_WIN_HANDLE_H

#include <windows.h>

#include <utility>

namespace fund {
namespace win {

// Owns one value of Policy::value_type and closes it with Policy::close
// when it is valid (not Policy::invalid()).  Move only.  Closing keeps the
// thread's last error, so an owner that goes out of scope between a failed
// call and GetLastError() does not hide the failure.
template <typename Policy>
class unique_any {
public:
    using value_type = typename Policy::value_type;

    unique_any() noexcept : m_value(Policy::invalid()) {}
    explicit unique_any(value_type value) noexcept : m_value(value) {}
    unique_any(unique_any&& other) noexcept : m_value(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    value_type get() const noexcept { return m_value; }
    bool valid() const noexcept { return m_value != Policy::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Takes `value` and closes the old value when it was valid.
    void reset(value_type value = Policy::invalid()) noexcept {
        const value_type old = std::exchange(m_value, value);
        if (old != Policy::invalid()) {
            const DWORD error = ::GetLastError();
            Policy::close(old);
            ::SetLastError(error);
        }
    }

    // Gives the value up without closing it.
    value_type release() noexcept { return std::exchange(m_value, Policy::invalid()); }

    // Closes the value, then gives its address, for calls that hand a new
    // value back through an out-parameter.
    value_type* put() noexcept {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

namespace policy {

// Kernel objects whose creating calls answer null on failure: events,
// threads, file mappings, processes.
struct handle {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE value) noexcept { ::CloseHandle(value); }
};

// Files and the other handles whose creating calls answer
// INVALID_HANDLE_VALUE on failure (CreateFileW, CreateToolhelp32Snapshot).
struct hfile {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE value) noexcept { ::CloseHandle(value); }
};

// Searches of FindFirstFileW.
struct hfind {
    using value_type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE value) noexcept { ::FindClose(value); }
};

// Libraries of LoadLibraryW.
struct hmodule {
    using value_type = HMODULE;
    static HMODULE invalid() noexcept { return nullptr; }
    static void close(HMODULE value) noexcept { ::FreeLibrary(value); }
};

// Windows; DestroyWindow works only on the window's own thread.
struct hwnd {
    using value_type = HWND;
    static HWND invalid() noexcept { return nullptr; }
    static void close(HWND value) noexcept { ::DestroyWindow(value); }
};

// Views of MapViewOfFile.
struct view {
    using value_type = void*;
    static void* invalid() noexcept { return nullptr; }
    static void close(void* value) noexcept { ::UnmapViewOfFile(value); }
};

}  // namespace policy

using unique_handle = unique_any<policy::handle>;
using unique_hfile = unique_any<policy::hfile>;
using unique_hfind = unique_any<policy::hfind>;
using unique_hmodule = unique_any<policy::hmodule>;
using unique_hwnd = unique_any<policy::hwnd>;
using unique_view = unique_any<policy::view>;

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_HANDLE_H
