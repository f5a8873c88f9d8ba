// engine/CListConfig.h - what the download and restore list configurations
// share: the list file's name and folder, and the quit flag that makes a
// parse in progress give up.

#ifndef BREVIK_ENGINE_CLISTCONFIG_H
#define BREVIK_ENGINE_CLISTCONFIG_H

#include <atomic>
#include <string>

class CListConfig {
public:
    // `fileName` is the name's stem ("DLList_", "RTList_"); the file lies in
    // `folder` (no trailing backslash), by default the plug-in's own folder.
    explicit CListConfig(const wchar_t* fileName);
    CListConfig(const wchar_t* fileName, std::wstring folder);
    CListConfig(const CListConfig&) = delete;
    CListConfig& operator=(const CListConfig&) = delete;

    // The version step appends the micro version type and ".ini".
    void AppendFileName(const std::wstring& suffix) { m_fileName += suffix; }
    const std::wstring& GetFileName() const { return m_fileName; }
    // folder + "\" + file name.
    std::wstring GetFilePath() const;

    // Set from the host's thread while a parse runs on the plug-in thread;
    // never cleared.
    void SetQuit() { m_quit.store(true); }
    bool IsQuit() const { return m_quit.load(); }

protected:
    ~CListConfig() = default;

private:
    std::wstring m_fileName;
    std::wstring m_folder;
    std::atomic<bool> m_quit{false};
};

#endif  // BREVIK_ENGINE_CLISTCONFIG_H
