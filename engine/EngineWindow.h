// engine/EngineWindow.h - the engine thread's hidden window: hands each
// message to the first handler (the engine thread) and, when that leaves
// it, to the second (the sync manager).  The window procedure finds this
// object in the window's user data.

#ifndef BREVIK_ENGINE_ENGINEWINDOW_H
#define BREVIK_ENGINE_ENGINEWINDOW_H

#include "IWndProcCallback.h"

class EngineWindow {
public:
    EngineWindow(HWND window, IWndProcCallback* first);
    // Detaches from the window (the window itself is not destroyed).
    ~EngineWindow();

    EngineWindow(const EngineWindow&) = delete;
    EngineWindow& operator=(const EngineWindow&) = delete;

    // Stores this object in the window's user data and makes WindowProc the
    // window's procedure.  False, with the last error, on failure.
    bool Attach();
    // Messages reach only the default procedure afterwards.
    void Detach();

    void SetSecondHandler(IWndProcCallback* second) { m_second = second; }
    HWND GetWindow() const { return m_window; }

    // The dispatch of one message of this window.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    HWND m_window;
    IWndProcCallback* m_first;
    IWndProcCallback* m_second;
};

#endif  // BREVIK_ENGINE_ENGINEWINDOW_H
