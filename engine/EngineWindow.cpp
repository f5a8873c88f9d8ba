// engine/EngineWindow.cpp - the engine window's dispatch.

#include "EngineWindow.h"

#include "fund/guard.h"
#include "fund/win/window.h"

EngineWindow::EngineWindow(HWND window, IWndProcCallback* first)
    : m_window(window), m_first(first), m_second(nullptr) {}

EngineWindow::~EngineWindow() { Detach(); }

bool EngineWindow::Attach() { return fund::win::attach_window(m_window, this); }

void EngineWindow::Detach() { fund::win::detach_window(m_window, this); }

LRESULT EngineWindow::handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    // No exception may leave a window procedure.
    int handled = 0;
    if (m_first != nullptr && !fund::guarded(L"EngineWindow (first handler)",
                                             [&] { handled = m_first->ProcessMsg(message, wParam, lParam); }))
        return 1;
    if (handled != 0) return 1;
    if (m_second != nullptr && !fund::guarded(L"EngineWindow (second handler)", [&] {
            handled = m_second->ProcessMsg(message, wParam, lParam);
        })) {
        if (m_first != nullptr)
            fund::guarded(L"EngineWindow (fault)",
                          [&] { m_first->ProcessMsg(WM_ENGINE_WINDOW_FAULT, 0, 0); });
        return 1;
    }
    if (handled != 0) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}
