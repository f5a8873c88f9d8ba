// TestHook.h - TEST HOOK ONLY, no part of the program's behaviour.
//
// When the environment variable MORLREPAIRTOOLS_TEST_LOG names a file, the
// window appends one UTF-8 line per event to it: "status\t<text>",
// "progress\t<n>", "pass\tstart", "pass\tstopping", "pass\tend",
// "control\t<name>\t<l,t,r,b>" and "caption\t<l,t,r,b>", each followed by
// "\t<tick count in ms>".  The window test under Xvfb reads there what the
// window shows, when, and where its buttons are.  Without the variable
// nothing is written.  The program never reads the file and never changes
// what it does because of the variable.

#ifndef BREVIK_REPAIRTOOL_TESTHOOK_H
#define BREVIK_REPAIRTOOL_TESTHOOK_H

#include <string>

void TestHookRecord(const wchar_t* what, const std::wstring& value);

#endif  // BREVIK_REPAIRTOOL_TESTHOOK_H
