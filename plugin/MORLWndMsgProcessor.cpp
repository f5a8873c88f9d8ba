// MORLWndMsgProcessor.cpp - the hidden message window and its class.

#include "MORLWndMsgProcessor.h"

#include <fund/trace.h>

#include <cstdint>

namespace {

// Every style bit but WS_VISIBLE: the window is never shown.
const DWORD kHiddenStyle = 0xEFFFFFFFu;

}  // namespace

MORLWndMsgProcessor::MORLWndMsgProcessor() : m_wnd(nullptr)
{
    m_className = "_MORL_WND_CLASS_" + std::to_string(GetTickCount()) + "_" +
                  std::to_string(static_cast<long long>(reinterpret_cast<intptr_t>(this)));
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = &MORLWndMsgProcessor::WindowProc;
    windowClass.lpszClassName = m_className.c_str();
    // A failed registration shows later as a window that cannot be created.
    RegisterClassA(&windowClass);
}

MORLWndMsgProcessor::~MORLWndMsgProcessor()
{
    DestroyWnd();
    UnregisterClassA(m_className.c_str(), nullptr);
}

HWND MORLWndMsgProcessor::CreateWnd()
{
    HWND window = CreateWindowExA(0, m_className.c_str(), "", kHiddenStyle, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (window == nullptr) {
        Trace(L"[MORLWndMsgProcessor::CreateWnd()][CreateWnd error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        return nullptr;
    }
    SetLastError(0);
    const LONG_PTR previous =
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (previous == 0 && GetLastError() != 0) {
        Trace(L"[MORLWndMsgProcessor::CreateWnd()][CreateWnd error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        DestroyWindow(window);
        return nullptr;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
}

bool MORLWndMsgProcessor::DestroyWnd()
{
    const HWND window = m_wnd.load();
    if (window == nullptr)
        return true;
    if (!IsWindow(window)) {
        // The system destroyed it when its thread ended.
        m_wnd.store(nullptr);
        return true;
    }
    // No message reaches the processor from here on.  Only the window's own
    // thread may change or destroy it.
    if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (!DestroyWindow(window)) {
        Trace(L"[MORLWndMsgProcessor::Uninitialize()][Uninitialize error][errorid %d][this %p]",
              static_cast<int>(GetLastError()), static_cast<void*>(this));
        return false;
    }
    m_wnd.store(nullptr);
    return true;
}

LRESULT CALLBACK MORLWndMsgProcessor::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam)
{
    MORLWndMsgProcessor* processor =
        reinterpret_cast<MORLWndMsgProcessor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (processor != nullptr)
        processor->OnRecvWndMsg(window, message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}
