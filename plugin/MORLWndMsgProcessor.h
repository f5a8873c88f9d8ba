// MORLWndMsgProcessor.h - a hidden message-only window whose messages go to
// a virtual handler.
//
// Each processor registers a window class of its own ("_MORL_WND_CLASS_"
// with the tick count and the object's address), so that two processors in
// one process never share one.  The window is created later, on the thread
// that is to own it, and the processor is attached to it once it exists;
// the window procedure (fund::win::window_proc) finds the processor through
// the window's user data and hands it every message before the default
// procedure runs.

#ifndef BREVIK_PLUGIN_MORLWNDMSGPROCESSOR_H
#define BREVIK_PLUGIN_MORLWNDMSGPROCESSOR_H

#include <windows.h>

#include <atomic>
#include <string>

class MORLWndMsgProcessor {
public:
    MORLWndMsgProcessor();
    // Destroys a remaining window (only its own thread can) and unregisters
    // the class.
    virtual ~MORLWndMsgProcessor();

    MORLWndMsgProcessor(const MORLWndMsgProcessor&) = delete;
    MORLWndMsgProcessor& operator=(const MORLWndMsgProcessor&) = delete;

    // Every message of the window once its user data is set; the default
    // window procedure runs afterwards whatever this returns.
    virtual void OnRecvWndMsg(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // Creates the hidden window on the calling thread; null on failure
    // (traced).  The caller stores the handle with SetWnd.
    HWND CreateWnd();

    // Destroys the window on its own thread and clears the handle; false
    // (traced) when there is a handle the system refuses to destroy.
    bool DestroyWnd();

    const std::string& GetWndClassName() const { return m_className; }
    HWND GetWnd() const { return m_wnd.load(); }
    void SetWnd(HWND window) { m_wnd.store(window); }

    // The window procedure's dispatch (see fund/win/window.h).
    LRESULT handle_message(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

private:
    std::string m_className;
    std::wstring m_wideClassName;
    // Written by the window's thread, read by threads that post to it.
    std::atomic<HWND> m_wnd;
};

#endif  // BREVIK_PLUGIN_MORLWNDMSGPROCESSOR_H
