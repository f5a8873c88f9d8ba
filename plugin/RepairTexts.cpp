// RepairTexts.cpp - the fixed texts shown to the host, and the status lines.

#include "RepairTexts.h"

#include <cwchar>

namespace {

const wchar_t kRepairFailDefault[] = L"未知修复错误";
const wchar_t kEngineFailDefault[] = L"未知修复错误。";

// The status line format: a progress text, two spaces, "更新进度：", the
// percentage with one decimal and a percent sign.
const wchar_t kProgressLineLabel[] = L"  更新进度：";

std::wstring CutToLineBuffer(std::wstring text) {
    if (text.size() > kProgressLineUnits - 1) text.resize(kProgressLineUnits - 1);
    return text;
}

// Formats one unsigned number into a text with a single "%u".
std::wstring FormatUnsigned(const wchar_t* format, uint32_t value) {
    std::wstring text(format);
    const std::wstring::size_type at = text.find(L"%u");
    if (at != std::wstring::npos) text.replace(at, 2, std::to_wstring(value));
    return text;
}

}  // namespace

const wchar_t* RepairFailText(int code) {
    switch (code) {
        case 0:
            return L"边玩边下模块初始化失败";
        case 1:
            return L"解析下载列表失败";
        case 3:
            return L"获取下载列表失败";
        case 4:
            return L"准备下载文件时失败";
        case 5:
            return L"下载文件设置状态失败";
        case 6:
            return L"下载文件失败";
        case 7:
            return L"解析解压列表失败";
        case 9:
            return L"获取解压列表失败";
        case 10:
            return L"准备解压文件时失败";
        case 11:
            return L"解压文件失败";
        default:
            return kRepairFailDefault;
    }
}

const wchar_t* EngineFailText(int code) {
    switch (code) {
        case 0:
        case 1:
        case 2:
            return L"请重新启动进行修复，若继续失败，请手动修复。";
        case 3:
        case 4:
            return L"磁盘空间不足或文件被占用。请检查磁盘容量或是否有占用进程。";
        case 5:
            return L"硬盘不支持快速安装";
        case 6:
            return L"内部异常错误。请重新启动进行修复";
        case 7:
            return L"文件被占用。";
        case 8:
            return L"加载文件出错，请重新启动进行修复。";
        case 9:
            return L"MORL进程被强制关闭。";
        default:
            return kEngineFailDefault;
    }
}

const wchar_t* ProgressText(int entry) {
    switch (entry) {
        case PROGRESS_TEXT_ENGINE_REPAIR:
            return L"正在修复损坏的数据文件";
        case PROGRESS_TEXT_SPEED_KB:
            return L"正在更新数据文件... 更新速度：%u KB/s";
        case PROGRESS_TEXT_SPEED_B:
            return L"正在更新数据文件... 更新速度：%u B/s";
        case PROGRESS_TEXT_SPEED_NONE:
            return L"正在更新数据文件... 更新速度：10 B/s";
        case PROGRESS_TEXT_UPDATING:
            return L"正在更新数据文件...";
        case PROGRESS_TEXT_DONE:
            return L"校验数据完成";
        default:
            return L"";
    }
}

std::wstring SpeedText(uint32_t bytesPerSecond) {
    if (bytesPerSecond > 1024)
        return CutToLineBuffer(FormatUnsigned(ProgressText(PROGRESS_TEXT_SPEED_KB), bytesPerSecond / 1024));
    if (bytesPerSecond > 0)
        return CutToLineBuffer(FormatUnsigned(ProgressText(PROGRESS_TEXT_SPEED_B), bytesPerSecond));
    return ProgressText(PROGRESS_TEXT_SPEED_NONE);
}

std::wstring ProgressLine(const std::wstring& text, int tenths) {
    wchar_t percent[32];
    std::swprintf(percent, sizeof percent / sizeof percent[0], L"%0.1f", static_cast<double>(tenths) / 10.0);
    return CutToLineBuffer(text + kProgressLineLabel + percent + L"%");
}

ProgressReport DownloadProgressReport(int tenths, uint32_t bytesPerSecond) {
    return ProgressReport{tenths < 1000, tenths / 10, ProgressLine(SpeedText(bytesPerSecond), tenths)};
}

ProgressReport RestoreProgressReport(int tenths) {
    return ProgressReport{true, tenths / 10, ProgressLine(ProgressText(PROGRESS_TEXT_UPDATING), tenths)};
}
