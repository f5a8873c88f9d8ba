// RepairPass.h - one check pass over the archives named in MORLFilelist.ini,
// without any window: what it shows goes to an IRepairView.
//
// The pass reads "FileCount" from section "FileList" and "FileName" from
// sections "FileItem0", "FileItem1", ... of <program folder>\MORLFilelist.ini,
// opens each archive <program folder>\MORLDownload\<FileName> for writing
// (so that an archive another program holds for writing, or a read-only
// one, counts as failed), verifies every piece and closes it again.  Nothing
// is written to the archives.  An archive that cannot be opened or whose
// verification fails goes into the failed list.  A pass that runs to its
// end writes the failed list to <program folder>\MORLRepairResult.txt
// (UTF-8, one path a line; empty when none failed), so that a list longer
// than the window can show is still there whole.

#ifndef BREVIK_REPAIRTOOL_REPAIRPASS_H
#define BREVIK_REPAIRTOOL_REPAIRPASS_H

#include <string>

// Where a pass shows its progress.  Called on the pass's own thread.
class IRepairView {
public:
    virtual void ShowStatus(const std::wstring& text) = 0;
    virtual void ShowProgress(int percent) = 0;
    // The pass's outcome: `text`, or `summary` (the number of failed
    // archives and where their list is) where `text` does not fit.
    virtual void ShowResult(const std::wstring& text, const std::wstring& summary) = 0;
    // True once the pass is to end early (the window is going away): the
    // pass stops before the next archive and shows nothing more.
    virtual bool IsStopRequested() const = 0;

protected:
    ~IRepairView() = default;
};

// The texts a pass shows.
extern const wchar_t kRepairOpenFailedText[];    // "打开包失败！继续修复中"
extern const wchar_t kRepairSucceededText[];     // "修复成功！"
extern const wchar_t kRepairFailedPrefixText[];  // "修复包失败："
extern const wchar_t kRepairResultFileName[];    // "MORLRepairResult.txt"

// "修复包失败：<count> 个资源包，完整列表见程序目录下的 MORLRepairResult.txt"
std::wstring FailedSummaryText(size_t count);

// The folder of the running program, without a trailing backslash; empty
// when the program's path cannot be read.
std::wstring GetProgramDirectory();

// Runs one pass over the list file in programDirectory.  False when there
// was nothing to do (no list file, or a FileCount of 0): nothing was shown.
bool RunRepairPass(const std::wstring& programDirectory, IRepairView& view);

#endif  // BREVIK_REPAIRTOOL_REPAIRPASS_H
