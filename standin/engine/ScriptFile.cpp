// standin/engine/ScriptFile.cpp - reading morl_script.ini and writing the
// call log.

#include "ScriptFile.h"

#include <cwctype>

#include <fund/win/handle.h>
#include <fund/win/module.h>

namespace standin {

std::wstring ModuleFolder() {
    std::wstring folder = fund::win::module_folder(fund::win::this_module());
    if (!folder.empty()) folder.pop_back();  // the trailing backslash
    return folder;
}

namespace {

std::wstring Trim(const std::wstring& text) {
    size_t first = 0;
    while (first < text.size() && std::iswspace(text[first])) ++first;
    size_t last = text.size();
    while (last > first && std::iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

}  // namespace

bool ParseNumber(const std::wstring& raw, uint32_t* value) {
    const std::wstring text = Trim(raw);
    if (text.empty()) return false;
    uint64_t result = 0;
    size_t pos = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        pos = 2;
    }
    for (; pos < text.size(); ++pos) {
        wchar_t c = text[pos];
        unsigned digit;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<unsigned>(c - L'0');
        else if (base == 16 && c >= L'a' && c <= L'f')
            digit = static_cast<unsigned>(c - L'a' + 10);
        else if (base == 16 && c >= L'A' && c <= L'F')
            digit = static_cast<unsigned>(c - L'A' + 10);
        else
            return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(Trim(text.substr(start, end == std::wstring::npos ? end : end - start)));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return parts;
}

std::wstring ScriptFile::String(const wchar_t* section, const std::wstring& key,
                                const std::wstring& fallback) const {
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        DWORD length = GetPrivateProfileStringW(section, key.c_str(), fallback.c_str(), buffer.data(),
                                                static_cast<DWORD>(buffer.size()), m_path.c_str());
        if (length + 1 < buffer.size() || buffer.size() >= (1u << 20)) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 4);
    }
}

bool ScriptFile::HasKey(const wchar_t* section, const std::wstring& key) const {
    // A value no file holds tells an absent key from an empty one.
    const std::wstring absent = L"\x01absent\x01";
    return String(section, key, absent) != absent;
}

uint32_t ScriptFile::Number(const wchar_t* section, const std::wstring& key, uint32_t fallback) const {
    uint32_t value = 0;
    return ParseNumber(String(section, key), &value) ? value : fallback;
}

uint32_t ScriptFile::NumberForCall(const wchar_t* section, const std::wstring& key, uint32_t call,
                                   uint32_t fallback) const {
    const std::wstring text = String(section, key);
    if (text.empty()) return fallback;
    std::vector<std::wstring> parts = Split(text, L',');
    size_t pick = call == 0 ? 0 : call - 1;
    if (pick >= parts.size()) pick = parts.size() - 1;
    uint32_t value = 0;
    return ParseNumber(parts[pick], &value) ? value : fallback;
}

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

}  // namespace

bool Section::Has(const std::wstring& key) const { return m_values.count(Lower(key)) != 0; }

std::wstring Section::String(const std::wstring& key, const std::wstring& fallback) const {
    std::map<std::wstring, std::wstring>::const_iterator found = m_values.find(Lower(key));
    return found == m_values.end() ? fallback : found->second;
}

uint32_t Section::Number(const std::wstring& key, uint32_t fallback) const {
    uint32_t value = 0;
    return ParseNumber(String(key), &value) ? value : fallback;
}

Section ScriptFile::ReadSection(const std::wstring& section) const {
    std::vector<wchar_t> buffer(4096);
    DWORD length = 0;
    for (;;) {
        length = GetPrivateProfileSectionW(section.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                           m_path.c_str());
        // A full buffer is reported as its size less two.
        if (length + 2 < buffer.size() || buffer.size() >= (1u << 22)) break;
        buffer.resize(buffer.size() * 4);
    }
    std::map<std::wstring, std::wstring> values;
    size_t start = 0;
    while (start < length) {
        std::wstring line(buffer.data() + start);
        start += line.size() + 1;
        if (line.empty() || line[0] == L';') continue;
        size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        std::wstring key = Lower(Trim(line.substr(0, equals)));
        if (values.count(key) == 0) values[key] = Trim(line.substr(equals + 1));
    }
    return Section(std::move(values));
}

bool ScriptFile::HasSection(const std::wstring& section) const {
    wchar_t buffer[64];
    return GetPrivateProfileSectionW(section.c_str(), buffer, 64, m_path.c_str()) > 0;
}

void CallLog::Write(const std::string& line) const {
    if (m_path.empty()) return;
    fund::win::unique_hfile file(CreateFileW(m_path.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

CallLog OpenCallLog(const ScriptFile& script, const std::wstring& folder) {
    std::wstring name = script.String(L"Engine", L"CallLog");
    if (name.empty()) return CallLog();
    bool absolute = name.size() > 1 && (name[1] == L':' || (name[0] == L'\\' && name[1] == L'\\'));
    return CallLog(absolute ? name : folder + L"\\" + name);
}

}  // namespace standin
