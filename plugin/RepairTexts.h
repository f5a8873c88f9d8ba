// RepairTexts.h - every text the host shows about the repair: failure
// messages by code, the progress texts, and the progress and speed lines.
//
// The texts are constant for the life of the process; callers hand them to
// the event sink and the trace without copying.

#ifndef BREVIK_PLUGIN_REPAIRTEXTS_H
#define BREVIK_PLUGIN_REPAIRTEXTS_H

#include <cstdint>
#include <string>

// Message for a repair step failure code; unknown codes, and codes 2 and 8
// (which a failure never shows), give the default "未知修复错误".
const wchar_t* RepairFailText(int code);

// Message for an engine failure code; unknown codes give "未知修复错误。".
const wchar_t* EngineFailText(int code);

// Progress text entries.
enum EProgressText {
    PROGRESS_TEXT_ENGINE_REPAIR = 0,  // the engine repairs its own state
    PROGRESS_TEXT_SPEED_KB = 1,       // format, one %u: kilobytes per second
    PROGRESS_TEXT_SPEED_B = 2,        // format, one %u: bytes per second
    PROGRESS_TEXT_SPEED_NONE = 3,     // fixed text for a speed of 0
    PROGRESS_TEXT_UPDATING = 4,       // list parsing and restore progress
    PROGRESS_TEXT_DONE = 5,           // success, or already up to date
};

// Progress text by entry, 0 to 5; any other entry gives an empty text.
const wchar_t* ProgressText(int entry);

// The status lines are formatted into a buffer of this many UTF-16 units,
// its last one the terminating zero: longer output is cut.
const size_t kProgressLineUnits = 64;

// The speed text for a download speed in bytes per second: above 1024 in
// whole kilobytes (entry 1), 1 to 1024 in bytes (entry 2), 0 as entry 3.
std::wstring SpeedText(uint32_t bytesPerSecond);

// "<text>  更新进度：<percent>%" with the progress given in tenths of a
// percent and shown as a percentage with one decimal.
std::wstring ProgressLine(const std::wstring& text, int tenths);

// What one tick of a progress timer tells the host.
struct ProgressReport {
    bool notify;        // whether the host is told at all
    int percent;        // tenths / 10
    std::wstring line;  // the status line
};

// Download tick: the speed text and the progress; the host is not told at
// 1000 (the end of the download arrives as its own message).
ProgressReport DownloadProgressReport(int tenths, uint32_t bytesPerSecond);

// Restore tick: "正在更新数据文件..." and the progress, whatever it is.
ProgressReport RestoreProgressReport(int tenths);

#endif  // BREVIK_PLUGIN_REPAIRTEXTS_H
