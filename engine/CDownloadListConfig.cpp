// engine/CDownloadListConfig.cpp - see CDownloadListConfig.h.

#include "CDownloadListConfig.h"

#include <utility>

namespace {
const wchar_t kFileStem[] = L"DLList_";
const char kSourceKey[] = "Src";
}  // namespace

CDownloadListConfig::CDownloadListConfig() : CListConfig(kFileStem) {}

CDownloadListConfig::CDownloadListConfig(std::wstring folder) : CListConfig(kFileStem, std::move(folder)) {}

int CDownloadListConfig::Parse() {
    if (!m_parsing) {
        if (!m_file.Load(GetFilePath())) return Finish(kParseFailed);
        m_entryNumbers = m_file.PresentEntries(m_file.FileCount());
        m_resume = 0;
        m_parsing = true;
    }

    size_t handled = 0;
    while (m_resume < m_entryNumbers.size()) {
        std::wstring name;
        if (m_file.EntryValue(m_entryNumbers[m_resume], kSourceKey, name))
            m_entries.push_back(std::move(name));
        ++m_resume;
        ++handled;
        if (handled >= kBatchEntries && m_resume < m_entryNumbers.size()) return kParseMore;
        if (IsQuit()) {
            m_entries.clear();
            return Finish(kParseQuit);
        }
    }
    return Finish(m_entries.empty() ? kParseFailed : kParseDone);
}

int CDownloadListConfig::Finish(int result) {
    m_parsing = false;
    m_resume = 0;
    m_entryNumbers.clear();
    m_file.Close();
    return result;
}
