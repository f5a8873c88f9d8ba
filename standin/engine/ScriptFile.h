// standin/engine/ScriptFile.h - the stand-ins' settings file
// (morl_script.ini beside the DLL) and their call log.

#ifndef BREVIK_STANDIN_SCRIPTFILE_H
#define BREVIK_STANDIN_SCRIPTFILE_H

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace standin {

const wchar_t kScriptFileName[] = L"morl_script.ini";

// The folder of the DLL this code is linked into (no trailing backslash).
std::wstring ModuleFolder();

// Parses a decimal or 0x-hexadecimal number; false when `text` is not one
// or does not fit 32 bits.
bool ParseNumber(const std::wstring& text, uint32_t* value);

// Splits at `separator`, trimming blanks around each part.
std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator);

// The keys of one section, read at once (keys compared without regard to
// case, as the profile routines do).
class Section {
public:
    Section() = default;
    explicit Section(std::map<std::wstring, std::wstring> values) : m_values(std::move(values)) {}

    bool Has(const std::wstring& key) const;
    std::wstring String(const std::wstring& key, const std::wstring& fallback = std::wstring()) const;
    // A malformed value gives the fallback.
    uint32_t Number(const std::wstring& key, uint32_t fallback) const;

private:
    std::map<std::wstring, std::wstring> m_values;  // lower-case keys
};

class ScriptFile {
public:
    explicit ScriptFile(const std::wstring& path) : m_path(path) {}

    const std::wstring& Path() const { return m_path; }
    std::wstring String(const wchar_t* section, const std::wstring& key,
                        const std::wstring& fallback = std::wstring()) const;
    bool HasKey(const wchar_t* section, const std::wstring& key) const;
    // A malformed value gives the fallback.
    uint32_t Number(const wchar_t* section, const std::wstring& key, uint32_t fallback) const;
    // "a,b,c": the value for the 1-based call `call`; the last value
    // repeats; an empty or malformed list gives the fallback.
    uint32_t NumberForCall(const wchar_t* section, const std::wstring& key, uint32_t call,
                           uint32_t fallback) const;
    // True when the section has at least one key.
    bool HasSection(const std::wstring& section) const;
    // Every key of a section in one read.
    Section ReadSection(const std::wstring& section) const;

private:
    std::wstring m_path;
};

// Appends one UTF-8 line per call to a file (none when the path is empty).
class CallLog {
public:
    CallLog() = default;
    explicit CallLog(const std::wstring& path) : m_path(path) {}
    void Write(const std::string& line) const;

private:
    std::wstring m_path;
};

// The call log named by [Engine] CallLog, relative to `folder` unless
// absolute.
CallLog OpenCallLog(const ScriptFile& script, const std::wstring& folder);

}  // namespace standin

#endif  // BREVIK_STANDIN_SCRIPTFILE_H
