// engine/IWndProcCallback.h - a handler of the engine window's messages.
// The engine thread and the sync manager share the window: the first
// handler sees each message first, the second only what the first left.

#ifndef BREVIK_ENGINE_IWNDPROCCALLBACK_H
#define BREVIK_ENGINE_IWNDPROCCALLBACK_H

#include <windows.h>

class IWndProcCallback {
public:
    // Non-zero when the message was handled.  wParam and lParam are full
    // width: some messages carry pointers.
    virtual int ProcessMsg(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    // Never deleted through this interface.
    ~IWndProcCallback() = default;
};

#endif  // BREVIK_ENGINE_IWNDPROCCALLBACK_H
