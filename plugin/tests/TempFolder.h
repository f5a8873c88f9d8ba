// TempFolder.h - a scratch folder for one test, removed with its contents.

#ifndef BREVIK_PLUGIN_TESTS_TEMPFOLDER_H
#define BREVIK_PLUGIN_TESTS_TEMPFOLDER_H

#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Absolute, backslash-separated, without a trailing backslash.
    const std::string& Path() const { return m_path; }
    std::wstring WidePath() const { return std::wstring(m_path.begin(), m_path.end()); }

    // Writes `content` to Path() + "\" + relative, creating folders.
    std::string Write(const std::string& relative, const std::string& content) const;
    std::string Read(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    void Remove(const std::string& relative) const;

private:
    std::string m_path;
};

#endif  // BREVIK_PLUGIN_TESTS_TEMPFOLDER_H
