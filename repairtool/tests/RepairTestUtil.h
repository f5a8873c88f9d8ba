// RepairTestUtil.h - scratch program folders for the pass's tests: a list
// file, archives in MORLDownload, and a view that records what a pass shows.

#ifndef BREVIK_REPAIRTOOL_TESTS_REPAIRTESTUTIL_H
#define BREVIK_REPAIRTOOL_TESTS_REPAIRTESTUTIL_H

#include <RepairPass.h>

#include <QOVLib.h>
#include <UIBase.h>

#include <string>
#include <utility>
#include <vector>

namespace repairtest {

// Everything a pass showed, in order.
class CRecordingView : public IRepairView {
public:
    void ShowStatus(const std::wstring& text) override { statuses.push_back(text); }
    void ShowProgress(int percent) override { progress.push_back(percent); }
    // The whole text goes with the statuses; the summary apart.
    void ShowResult(const std::wstring& text, const std::wstring& summary) override {
        statuses.push_back(text);
        summaries.push_back(summary);
    }
    bool IsStopRequested() const override { return stopAfterStatuses >= 0 && static_cast<int>(statuses.size()) >= stopAfterStatuses; }

    std::vector<std::wstring> statuses;
    std::vector<int> progress;
    std::vector<std::wstring> summaries;
    int stopAfterStatuses = -1;  // >= 0: ask the pass to stop once it showed this many
};

// A fresh folder standing in for the program's: <cwd>\<name>, emptied.
class CProgramFolder {
public:
    explicit CProgramFolder(const std::string& name);
    ~CProgramFolder();

    const std::wstring& Path() const { return m_path; }
    // UTF-8 path of <folder>\MORLDownload\<fileName>, as the pass builds it.
    std::string ArchivePath(const std::wstring& fileName) const;

    // Writes MORLFilelist.ini in UTF-16 with its byte-order mark, so that
    // names outside the ANSI code page survive.
    void WriteList(const std::wstring& text) const;
    // A list of FileCount = names.size() with FileItem<i> = names[i].
    void WriteList(const std::vector<std::wstring>& names) const;

    // An archive in MORLDownload holding one file of `size` pseudo-random
    // bytes, with pieces of `pieceSize` bytes; returns its piece count.
    uint32_t MakeArchive(const std::wstring& fileName, uint32_t size, uint32_t pieceSize = 65536) const;
    // Flips the byte in the middle of the archive file: inside the stored
    // file data of an archive made by MakeArchive, so one piece goes bad.
    void Damage(const std::wstring& fileName) const;
    std::vector<char> ReadBytes(const std::wstring& fileName) const;
    // A file of the program folder itself, as it is on disk ("" when missing).
    std::string ReadText(const std::wstring& fileName) const;

private:
    std::wstring m_path;
};

}  // namespace repairtest

#endif  // BREVIK_REPAIRTOOL_TESTS_REPAIRTESTUTIL_H
