// engine/EngineWindow.cpp - the engine window's dispatch.

#include "EngineWindow.h"

#include "fund/win/window.h"

EngineWindow::EngineWindow(HWND window, IWndProcCallback* first)
    : m_window(window), m_first(first), m_second(nullptr) {}

EngineWindow::~EngineWindow() { Detach(); }

bool EngineWindow::Attach() { return fund::win::attach_window(m_window, this); }

void EngineWindow::Detach() { fund::win::detach_window(m_window, this); }

LRESULT EngineWindow::handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (m_first != nullptr && m_first->ProcessMsg(message, wParam, lParam) != 0) return 1;
    if (m_second != nullptr && m_second->ProcessMsg(message, wParam, lParam) != 0) return 1;
    return DefWindowProcW(window, message, wParam, lParam);
}
