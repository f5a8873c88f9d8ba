// trace.cpp - the plug-in's debug trace: a wide printf-style line of at most
// 260 units, on standard output and on the debugger output.

#include "fund/trace.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fund {

namespace {

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// UTF-8 of a wide line (UTF-16 on Windows, UTF-32 elsewhere).
std::string Utf8(const std::wstring& wide) {
    std::string out;
    for (size_t i = 0; i < wide.size(); i++) {
        uint32_t cp = static_cast<uint32_t>(wide[i]);
        if (sizeof(wchar_t) == 2 && IsHighSurrogate(wide[i]) && i + 1 < wide.size()) {
            const uint32_t low = static_cast<uint32_t>(wide[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i++;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

}  // namespace

std::wstring FormatTrace(const wchar_t* format, va_list args) {
    if (format == nullptr) return std::wstring();
    std::wstring line;
#if defined(_WIN32)
    // _vsnwprintf writes as much as fits and reports -1 when the line is
    // longer: the cut comes for free.
    wchar_t buffer[kTraceUnits + 1];
    const int written = _vsnwprintf(buffer, kTraceUnits, format, args);
    buffer[written >= 0 && static_cast<size_t>(written) < kTraceUnits ? written : kTraceUnits] = L'\0';
    line = buffer;
#else
    std::vector<wchar_t> buffer(kTraceUnits + 1);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int written = vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0) {
            line.assign(buffer.data(), static_cast<size_t>(written));
            break;
        }
        if (buffer.size() > 4 * 1024 * 1024) break;  // a bad format rather than a long line
        buffer.resize(buffer.size() * 4);
    }
#endif
    if (line.size() > kTraceUnits) line.resize(kTraceUnits);
    if (line.size() == kTraceUnits && sizeof(wchar_t) == 2 && IsHighSurrogate(line.back())) line.pop_back();
    return line;
}

void WriteTrace(const std::wstring& line) {
    const std::string text = Utf8(line) + "\n";
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
#if defined(_WIN32)
    OutputDebugStringW(line.c_str());
#endif
}

}  // namespace fund

void Trace(const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    // Traces run in error paths too, out of memory included: a line that
    // cannot be made is dropped.
    try {
        const std::wstring line = fund::FormatTrace(format, args);
        fund::WriteTrace(line);
    } catch (...) {
    }
    va_end(args);
}
