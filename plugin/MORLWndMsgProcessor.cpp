// MORLWndMsgProcessor.cpp - the hidden message window and its class.

#include "MORLWndMsgProcessor.h"

#include <fund/trace.h>
#include <fund/win/window.h>

#include <cstdint>

namespace {

// Every style bit but WS_VISIBLE: the window is never shown.
const DWORD kHiddenStyle = 0xEFFFFFFFu;

}  // namespace

MORLWndMsgProcessor::MORLWndMsgProcessor() : m_wnd(nullptr) {
    m_className = "_MORL_WND_CLASS_" + std::to_string(GetTickCount()) + "_" +
                  std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(this)));
    m_wideClassName.assign(m_className.begin(), m_className.end());  // ASCII
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &fund::win::window_proc<MORLWndMsgProcessor>;
    windowClass.lpszClassName = m_wideClassName.c_str();
    // A failed registration shows later as a window that cannot be created.
    RegisterClassW(&windowClass);
}

MORLWndMsgProcessor::~MORLWndMsgProcessor() {
    DestroyWnd();
    UnregisterClassW(m_wideClassName.c_str(), nullptr);
}

HWND MORLWndMsgProcessor::CreateWnd() {
    // Attached once the window exists: the creation messages go to the
    // default procedure, as the processor has no window yet.
    HWND window = CreateWindowExW(0, m_wideClassName.c_str(), L"", kHiddenStyle, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    if (window == nullptr) {
        Trace(L"[MORLWndMsgProcessor::CreateWnd()][CreateWnd error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        return nullptr;
    }
    if (!fund::win::set_window_object(window, this)) {
        Trace(L"[MORLWndMsgProcessor::CreateWnd()][CreateWnd error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        DestroyWindow(window);
        return nullptr;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

bool MORLWndMsgProcessor::DestroyWnd() {
    const HWND window = m_wnd.load();
    if (window == nullptr) return true;
    if (!IsWindow(window)) {
        // The system destroyed it when its thread ended.
        m_wnd.store(nullptr);
        return true;
    }
    // No message reaches the processor from here on.  Only the window's own
    // thread may change or destroy it.
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        fund::win::set_window_object(window, nullptr);
    if (!DestroyWindow(window)) {
        Trace(L"[MORLWndMsgProcessor::Uninitialize()][Uninitialize error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        return false;
    }
    m_wnd.store(nullptr);
    return true;
}

LRESULT MORLWndMsgProcessor::handle_message(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) noexcept {
    OnRecvWndMsg(window, message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}
