// engine/CRestoreListConfig.cpp - see CRestoreListConfig.h.

#include "CRestoreListConfig.h"

#include "CListFile.h"

namespace {
const wchar_t kFileStem[] = L"RTList_";
const char kSourceKey[] = "Src";
const char kDestinationKey[] = "Dst";
}  // namespace

CRestoreListConfig::CRestoreListConfig() : CListConfig(kFileStem) {}

CRestoreListConfig::CRestoreListConfig(std::wstring folder) : CListConfig(kFileStem, std::move(folder)) {}

int CRestoreListConfig::Parse() {
    CListFile file;
    if (!file.Load(GetFilePath())) return kParseFailed;
    for (long entry : file.PresentEntries(file.FileCount())) {
        std::wstring source;
        std::wstring destination;
        if (file.EntryValue(entry, kSourceKey, source) &&
            file.EntryValue(entry, kDestinationKey, destination))
            m_entries.emplace_back(std::move(source), std::move(destination));
        if (IsQuit()) {
            m_entries.clear();
            return kParseQuit;
        }
    }
    return m_entries.empty() ? kParseFailed : kParseDone;
}
