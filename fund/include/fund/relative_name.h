// fund/relative_name.h - whether a relative name, joined onto a folder,
// stays inside that folder on every platform the files end up on.
//
// Names read from archives and lists can come from a server: a name is used
// below a destination folder only when it passes this check.

#ifndef FUND_RELATIVE_NAME_H
#define FUND_RELATIVE_NAME_H

#include <string_view>

namespace fund {

// True when `name` (UTF-8, or UTF-16 for the wide form; '\\' and '/' both
// separate folders) is relative and stays below the folder it is joined
// onto: it does not start with a separator (absolute or a network path),
// holds no ':' (drive letters, alternate data streams) and no NUL, no part
// is ".." (nor any other part made only of dots and spaces, which Windows
// shortens), and no part names a Windows device (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$, in any case, with or without an
// extension, with trailing spaces or dots).  Empty parts and "." are
// harmless (the same folder); so is an empty name.
bool is_contained_relative_name(std::string_view name);
bool is_contained_relative_name(std::wstring_view name);

}  // namespace fund

#endif  // FUND_RELATIVE_NAME_H
