// engine/EngineWindow.h - the engine thread's hidden window: hands each
// message to the first handler (the engine thread) and, when that leaves
// it, to the second (the sync manager).  The window is a dialog made from
// a template; Attach makes fund::win::window_proc its procedure, which
// finds this object in the window's user data.

#ifndef BREVIK_ENGINE_ENGINEWINDOW_H
#define BREVIK_ENGINE_ENGINEWINDOW_H

#include "IWndProcCallback.h"

// Handed straight to the first handler (never posted) when the second
// handler's work on a message ended by an exception: the engine thread
// then fails.
const UINT WM_ENGINE_WINDOW_FAULT = WM_APP + 0x100;

class EngineWindow {
public:
    EngineWindow(HWND window, IWndProcCallback* first);
    // Detaches from the window (the window itself is not destroyed).
    ~EngineWindow();

    EngineWindow(const EngineWindow&) = delete;
    EngineWindow& operator=(const EngineWindow&) = delete;

    // Stores this object in the window's user data and takes over the
    // window's procedure.  False, with the last error, on failure.
    bool Attach();
    // Messages reach only the default procedure afterwards.
    void Detach();

    void SetSecondHandler(IWndProcCallback* second) { m_second = second; }
    HWND GetWindow() const { return m_window; }

    // The dispatch of one message of this window (see fund/win/window.h).
    LRESULT handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

private:
    HWND m_window;
    IWndProcCallback* m_first;
    IWndProcCallback* m_second;
};

#endif  // BREVIK_ENGINE_ENGINEWINDOW_H
