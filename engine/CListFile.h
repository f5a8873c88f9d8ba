// engine/CListFile.h - one loaded download or restore list file:
//
//   [ListConfig]
//   FileCount=3          ; decimal, or hexadecimal after 0x / 0X
//   [0]
//   Src=data\a.dat       ; a file inside the archive
//   Dst=bin              ; restore list only: folder under the plug-in's
//
// Values are text in the ANSI code page (UTF-8 when the file starts with
// the UTF-8 signature).  Shared by both list configurations.

#ifndef BREVIK_ENGINE_CLISTFILE_H
#define BREVIK_ENGINE_CLISTFILE_H

#include <memory>
#include <string>
#include <vector>

class CListFile {
public:
    // Values this long or longer (in UTF-16 units) are refused: the list's
    // names and folders are paths, which the system limits to 259 units.
    static constexpr size_t kMaxValueLength = 260;

    CListFile();
    ~CListFile();
    CListFile(const CListFile&) = delete;
    CListFile& operator=(const CListFile&) = delete;

    // Loads the file; false when it is missing, unreadable or not a list.
    bool Load(const std::wstring& path);
    // Forgets the loaded file.
    void Close();

    // FileCount as a whole number (decimal or 0x-hexadecimal); when that
    // gives 0, the value's leading decimal digits as atoi takes them.
    // 0 when the key is missing.
    long FileCount() const;

    // The entry numbers below `count` whose section exists ("0", "1", ...,
    // written as %d writes them), ascending.  Numbers without a section
    // are incomplete entries; leaving them out keeps a huge FileCount over
    // a small file from taking forever.
    std::vector<long> PresentEntries(long count) const;

    // The value of `key` in the section of entry `entry`, in UTF-16.  False
    // (an incomplete entry) when the key is absent, its value empty, not
    // convertible, or kMaxValueLength units or longer.
    bool EntryValue(long entry, const char* key, std::wstring& value) const;

private:
    struct Document;
    std::unique_ptr<Document> m_document;
};

#endif  // BREVIK_ENGINE_CLISTFILE_H
