// engine/CDownloadListConfig.h - the download list "DLList_<N>.ini": the
// names of the archive members that a repair brings up to date.  Parsed in
// batches on the plug-in thread, so that it can show progress and notice a
// stop between two calls.

#ifndef BREVIK_ENGINE_CDOWNLOADLISTCONFIG_H
#define BREVIK_ENGINE_CDOWNLOADLISTCONFIG_H

#include <string>
#include <vector>

#include "CListConfig.h"
#include "CListFile.h"

// Names of files inside the archive, in list order.
typedef std::vector<std::wstring> DownloadFileList;

class CDownloadListConfig : public CListConfig {
public:
    // Parse results.
    static constexpr int kParseDone = 1;     // every entry read, at least one name
    static constexpr int kParseMore = 0;     // a batch read: call again
    static constexpr int kParseFailed = -1;  // no file, or no complete entry
    static constexpr int kParseQuit = -2;    // the quit flag was set; entries cleared
    // Entries read by one call at most.
    static constexpr size_t kBatchEntries = 500;

    CDownloadListConfig();
    // The list file lies in `folder` instead of the plug-in's folder.
    explicit CDownloadListConfig(std::wstring folder);

    // Reads the next batch of entries; see the results above.  After a
    // result other than kParseMore the next call starts at entry 0 again.
    int Parse();

    const DownloadFileList& GetEntries() const { return m_entries; }
    // Hands the parsed names over (the plug-in leaves this object empty).
    void SwapEntries(DownloadFileList& other) { m_entries.swap(other); }

private:
    int Finish(int result);

    DownloadFileList m_entries;
    CListFile m_file;                  // loaded while a parse is in progress
    std::vector<long> m_entryNumbers;  // entries present in the file
    size_t m_resume = 0;               // next index into m_entryNumbers
    bool m_parsing = false;
};

#endif  // BREVIK_ENGINE_CDOWNLOADLISTCONFIG_H
