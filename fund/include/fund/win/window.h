// fund/win/window.h - one window procedure for windows that belong to a C++
// object.  The object's address lives in the window's user data
// (GWLP_USERDATA); the procedure finds it there and hands it every message:
//
//   class T {
//   public:
//       LRESULT handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
//   };
//
// The object is attached either at WM_NCCREATE, from the creation
// parameter (CreateWindowExW(..., object)), or after creation by
// attach_window() (dialogs made from a template) or set_window_object().
// Messages that arrive while no object is attached go to DefWindowProcW.
// WM_NCDESTROY, the last message of a window, detaches the object before
// the object sees it, so the object may delete itself there.
// For Unicode windows (RegisterClassW, CreateWindowExW, CreateDialogParamW).

#ifndef FUND_WIN_WINDOW_H
#define FUND_WIN_WINDOW_H

#include <windows.h>

namespace fund {
namespace win {

// Stores `object` (or null) in the window's user data.  False, with the
// last error, when the system refuses.
inline bool set_window_object(HWND window, void* object) noexcept {
    ::SetLastError(0);
    return ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(object)) != 0 ||
           ::GetLastError() == 0;
}

template <class T>
T* window_object(HWND window) noexcept {
    return reinterpret_cast<T*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

template <class T>
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (create != nullptr && create->lpCreateParams != nullptr) {
            set_window_object(window, create->lpCreateParams);
        }
    }
    T* object = window_object<T>(window);
    if (object == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) set_window_object(window, nullptr);
    return object->handle_message(window, message, wParam, lParam);
}

// Attaches `object` to a window that exists already and makes
// window_proc<T> its procedure: the object first, so that the procedure
// finds it from its first message on.  False, with the last error, when
// the system refuses either (the window is then left as it was).
template <class T>
bool attach_window(HWND window, T* object) noexcept {
    if (!set_window_object(window, object)) return false;
    ::SetLastError(0);
    if (::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&window_proc<T>)) == 0 &&
        ::GetLastError() != 0) {
        const DWORD error = ::GetLastError();
        set_window_object(window, nullptr);
        ::SetLastError(error);
        return false;
    }
    return true;
}

// Detaches `object` from the window when it is the one attached (the
// window's procedure stays): later messages go to DefWindowProcW.
inline void detach_window(HWND window, const void* object) noexcept {
    if (window == nullptr || !::IsWindow(window)) return;
    if (::GetWindowLongPtrW(window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(object)) {
        set_window_object(window, nullptr);
    }
}

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_WINDOW_H
