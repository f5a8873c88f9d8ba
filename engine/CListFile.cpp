// engine/CListFile.cpp - see CListFile.h.

#include "CListFile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <windows.h>

#include <SimpleIni.h>

#include "fund/win/text.h"

namespace {

const char kListSection[] = "ListConfig";
const char kCountKey[] = "FileCount";

// The section name of an entry if `name` is one: the decimal form of a
// number 0..LONG_MAX exactly as %d writes it (no sign, no leading zero).
bool EntryNumberOf(const char* name, long& number) {
    if (name == nullptr || name[0] < '0' || name[0] > '9') return false;
    if (name[0] == '0' && name[1] != '\0') return false;
    long value = 0;
    for (const char* digit = name; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        const long next = *digit - '0';
        if (value > (LONG_MAX - next) / 10) return false;
        value = value * 10 + next;
    }
    number = value;
    return true;
}

// atoi's reading of the leading digits, clamped instead of overflowing.
long LeadingNumber(const char* text) { return std::strtol(text, nullptr, 10); }

}  // namespace

struct CListFile::Document {
    CSimpleIniA ini;  // default settings: ANSI text, single keys
};

CListFile::CListFile() = default;
CListFile::~CListFile() = default;

bool CListFile::Load(const std::wstring& path) {
    m_document.reset();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;

    // Closed however the load ends (it throws when memory runs out).
    std::unique_ptr<FILE, int (*)(FILE*)> file(_wfopen(path.c_str(), L"rb"), &std::fclose);
    if (!file) return false;
    std::unique_ptr<Document> document(new Document());
    const SI_Error loaded = document->ini.LoadFile(file.get());
    file.reset();
    if (loaded < 0) return false;
    m_document = std::move(document);
    return true;
}

void CListFile::Close() { m_document.reset(); }

long CListFile::FileCount() const {
    if (!m_document) return 0;
    const long count = m_document->ini.GetLongValue(kListSection, kCountKey, 0);
    if (count != 0) return count;
    const char* text = m_document->ini.GetValue(kListSection, kCountKey, nullptr);
    return text == nullptr ? 0 : LeadingNumber(text);
}

std::vector<long> CListFile::PresentEntries(long count) const {
    std::vector<long> entries;
    if (!m_document || count <= 0) return entries;
    CSimpleIniA::TNamesDepend sections;
    m_document->ini.GetAllSections(sections);
    for (const CSimpleIniA::Entry& section : sections) {
        long number = 0;
        if (EntryNumberOf(section.pItem, number) && number < count) entries.push_back(number);
    }
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}

bool CListFile::EntryValue(long entry, const char* key, std::wstring& value) const {
    value.clear();
    if (!m_document) return false;
    char section[32];
    std::snprintf(section, sizeof(section), "%ld", entry);
    const char* text = m_document->ini.GetValue(section, key, nullptr);
    if (text == nullptr || text[0] == '\0') return false;
    const unsigned codePage = m_document->ini.IsUnicode() ? CP_UTF8 : CP_ACP;
    std::wstring wide = fund::win::code_page_to_wide(text, codePage);
    if (wide.empty() || wide.size() >= kMaxValueLength) return false;
    value.swap(wide);
    return true;
}
