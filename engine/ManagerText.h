// engine/ManagerText.h - text conversions of the list files and managers:
// list values arrive in the ANSI code page (or UTF-8), the engine takes and
// gives UTF-8, the plug-in works in UTF-16.

#ifndef BREVIK_ENGINE_MANAGERTEXT_H
#define BREVIK_ENGINE_MANAGERTEXT_H

#include <cstddef>
#include <string>

namespace brevik {
namespace managers {

// Converts `length` bytes of `text` from code page `codePage` (CP_ACP,
// CP_UTF8) to UTF-16.  Bytes that do not convert give an empty result.
std::wstring ToWide(const char* text, size_t length, unsigned codePage);
std::wstring ToWide(const std::string& text, unsigned codePage);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);

// The folder of the module (DLL or program) that holds this code, without
// a trailing backslash: the plug-in's own folder.  Empty when the system
// cannot tell.
std::wstring ModuleFolder();

}  // namespace managers
}  // namespace brevik

#endif  // BREVIK_ENGINE_MANAGERTEXT_H
