// engine/CRestoreListConfig.h - the restore list "RTList_<N>.ini": which
// archive members are written out into which folder after the download.

#ifndef BREVIK_ENGINE_CRESTORELISTCONFIG_H
#define BREVIK_ENGINE_CRESTORELISTCONFIG_H

#include <string>
#include <utility>
#include <vector>

#include "CListConfig.h"

// (name inside the archive, destination folder relative to the plug-in's
// folder), in list order.
typedef std::vector<std::pair<std::wstring, std::wstring>> RestoreFileList;

class CRestoreListConfig : public CListConfig {
public:
    // Parse results (not those of the download list).
    static constexpr int kParseDone = 0;     // at least one complete entry
    static constexpr int kParseFailed = -1;  // no file, or no complete entry
    static constexpr int kParseQuit = -2;    // the quit flag was set; entries cleared

    CRestoreListConfig();
    // The list file lies in `folder` instead of the plug-in's folder.
    explicit CRestoreListConfig(std::wstring folder);

    // Reads every entry in one call; an entry needs both Src and Dst.
    int Parse();

    const RestoreFileList& GetEntries() const { return m_entries; }
    // Hands the parsed pairs over (the plug-in leaves this object empty).
    void SwapEntries(RestoreFileList& other) { m_entries.swap(other); }

private:
    RestoreFileList m_entries;
};

#endif  // BREVIK_ENGINE_CRESTORELISTCONFIG_H
