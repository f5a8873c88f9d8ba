// engine/EngineWindow.cpp - the engine window's dispatch.

#include "EngineWindow.h"

EngineWindow::EngineWindow(HWND window, IWndProcCallback* first)
    : m_window(window), m_first(first), m_second(nullptr) {}

EngineWindow::~EngineWindow() { Detach(); }

bool EngineWindow::Attach() {
    // The user data first: the procedure must find the object from its
    // first message on.
    SetLastError(0);
    if (SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this)) == 0 &&
        GetLastError() != 0) {
        return false;
    }
    SetLastError(0);
    if (SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowProc)) == 0 &&
        GetLastError() != 0) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        return false;
    }
    return true;
}

void EngineWindow::Detach() {
    if (m_window == nullptr || !IsWindow(m_window)) return;
    if (GetWindowLongPtrW(m_window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
    }
}

LRESULT EngineWindow::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_first != nullptr && m_first->ProcessMsg(message, wParam, lParam) != 0) return 1;
    if (m_second != nullptr && m_second->ProcessMsg(message, wParam, lParam) != 0) return 1;
    return DefWindowProcW(m_window, message, wParam, lParam);
}

LRESULT CALLBACK EngineWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam) {
    EngineWindow* self = reinterpret_cast<EngineWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr || self->m_window != window) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return self->Dispatch(message, wParam, lParam);
}
