// SystemFaults.h - system calls of the plug-in that fail while an object of
// these classes lives (through fundtest::ImportPatch: the plug-in is linked
// into the test program).  Each failure sets the last error as the system
// would.

#ifndef BREVIK_PLUGIN_TESTS_SYSTEMFAULTS_H
#define BREVIK_PLUGIN_TESTS_SYSTEMFAULTS_H

#include <windows.h>

#include "ImportPatch.h"

// CreateDialogParamW finds no template: the engine window cannot be made.
class NoDialogs {
public:
    NoDialogs();
    bool active() const { return m_patch.active(); }

private:
    fundtest::ImportPatch m_patch;
};

// SetWindowLongPtrW refuses a new window procedure: the engine window
// cannot be subclassed (user data is still stored).
class NoSubclassing {
public:
    NoSubclassing();
    ~NoSubclassing();
    bool active() const { return m_patch.active(); }

private:
    fundtest::ImportPatch m_patch;
};

// PostMessageW refuses `message` to windows whose class name begins with
// `classPrefix` ("#32770" for the engine's dialog, "_MORL_WND_CLASS_" for
// the plug-in window); every other post goes through.
class NoPostOf {
public:
    NoPostOf(UINT message, const wchar_t* classPrefix);
    ~NoPostOf();
    bool active() const { return m_patch.active(); }

private:
    fundtest::ImportPatch m_patch;
};

// CreateEventW fails on the thread that made this object.
class NoEventsOnThisThread {
public:
    NoEventsOnThisThread();
    ~NoEventsOnThisThread();
    bool active() const { return m_patch.active(); }

private:
    fundtest::ImportPatch m_patch;
};

#endif  // BREVIK_PLUGIN_TESTS_SYSTEMFAULTS_H
