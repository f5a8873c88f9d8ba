// fund/trace.h - the plug-in's debug trace.

#ifndef FUND_TRACE_H
#define FUND_TRACE_H

#include <cstdarg>
#include <cstddef>
#include <string>

namespace fund {

// The longest trace line, in UTF-16 units (wchar_t on Windows).
const size_t kTraceUnits = 260;

// Formats a trace line like Trace: printf-style (use %ls for wide strings),
// cut to kTraceUnits units (never in the middle of a surrogate pair).
std::wstring FormatTrace(const wchar_t* format, va_list args);

// Writes a formatted line: with a newline to standard output (as UTF-8) and,
// without it, to the debugger output (on Windows).
void WriteTrace(const std::wstring& line);

}  // namespace fund

// Formats a trace line and writes it (see fund::FormatTrace, fund::WriteTrace).
// Never throws: a line that cannot be made (out of memory) is dropped.
void Trace(const wchar_t* format, ...) noexcept;

#endif  // FUND_TRACE_H
