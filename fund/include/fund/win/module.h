// fund/win/module.h - where a module (program or DLL) lies.

#ifndef FUND_WIN_MODULE_H
#define FUND_WIN_MODULE_H

#include <windows.h>

#include <string>

namespace fund {
namespace win {

// The full path of `module` (null: the program), not cut at MAX_PATH;
// empty on failure.
std::wstring module_path(HMODULE module);

// The folder of module_path(module), with a trailing backslash; empty on
// failure.
std::wstring module_folder(HMODULE module);

// The module (program or DLL) that holds the caller's code: fund is a
// static library, so it is the module this function is linked into.
HMODULE this_module() noexcept;

// Keeps the module that holds the caller's code loaded until the process
// ends, whatever FreeLibrary calls follow: for a thread that is left to
// finish on its own after its owner went.  False when the system refuses.
bool pin_this_module() noexcept;

}  // namespace win
}  // namespace fund

#endif  // FUND_WIN_MODULE_H
