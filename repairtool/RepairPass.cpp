// RepairPass.cpp - the check pass: list file, open, verify, close.

#include "RepairPass.h"

#include "Verify_CB.h"

#include <fund/win/handle.h>
#include <fund/win/module.h>
#include <fund/win/text.h>

#include <sstream>
#include <vector>

const wchar_t kRepairOpenFailedText[] = L"打开包失败！继续修复中";
const wchar_t kRepairSucceededText[] = L"修复成功！";
const wchar_t kRepairFailedPrefixText[] = L"修复包失败：";
const wchar_t kRepairResultFileName[] = L"MORLRepairResult.txt";
const wchar_t kRepairPassFailedText[] = L"修复中断：内存不足，请重新启动修复器";

std::wstring FailedSummaryText(size_t count) {
    return kRepairFailedPrefixText + std::to_wstring(count) + L" 个资源包，完整列表见程序目录下的 " +
           kRepairResultFileName;
}

namespace {

constexpr wchar_t kListFileName[] = L"\\MORLFilelist.ini";
constexpr char kDownloadFolder[] = "\\MORLDownload\\";
// A FileName is read into this many UTF-16 units, its terminator included.
constexpr DWORD kFileNameUnits = 256;

std::wstring ItemSection(int index) {
    std::wostringstream section;
    section << L"FileItem" << index;
    return section.str();
}

std::wstring ReadFileName(const std::wstring& listFile, int index) {
    std::vector<wchar_t> name(kFileNameUnits, L'\0');
    ::GetPrivateProfileStringW(ItemSection(index).c_str(), L"FileName", L"", name.data(), kFileNameUnits,
                               listFile.c_str());
    name.back() = L'\0';
    return std::wstring(name.data());
}

// Opens, verifies and closes one archive; true when it opened and every
// piece verified.
bool CheckArchive(const std::string& path, Verify_CB& callback, IRepairView& view) {
    TNQOVArchive* archive = nullptr;
    const bool opened = OpenArchiveIfWritable(&archive, path.c_str());
    // A stop (the window closes) ends the verification within a piece.
    const bool verified = opened && SFileVerifyAllUntil(archive, &callback, &view.StopFlag());
    if (!opened) view.ShowStatus(kRepairOpenFailedText);
    // A pass changes nothing, so the flush writes nothing.
    if (archive != nullptr) SFileCloseArchive(archive, true);
    return verified;
}

// The failed list, one UTF-8 path a line, replacing an older result.
void WriteResultFile(const std::wstring& programDirectory, const std::vector<std::string>& failed) {
    std::string text;
    for (const std::string& path : failed) text += path + "\r\n";
    const std::wstring file = programDirectory + L"\\" + kRepairResultFileName;
    fund::win::unique_hfile out(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!out || !::WriteFile(out.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        ::OutputDebugStringW((L"[MORLRepairTools] cannot write " + file + L"\n").c_str());
}

}  // namespace

std::wstring GetProgramDirectory() {
    std::wstring folder = fund::win::module_folder(nullptr);
    if (!folder.empty()) folder.pop_back();  // the trailing backslash
    return folder;
}

bool RunRepairPass(const std::wstring& programDirectory, IRepairView& view) {
    const std::wstring listFile = programDirectory + kListFileName;
    const int count =
        static_cast<int>(::GetPrivateProfileIntW(L"FileList", L"FileCount", 0, listFile.c_str()));
    if (count == 0) return false;

    Verify_CB callback(&view);
    const std::string folder = fund::win::wide_to_utf8(programDirectory) + kDownloadFolder;
    std::vector<std::string> failed;
    for (int i = 0; i < count; i++) {
        if (view.IsStopRequested()) return true;
        const std::string path = folder + fund::win::wide_to_utf8(ReadFileName(listFile, i));
        view.ShowStatus(fund::win::utf8_to_wide(path));
        if (!CheckArchive(path, callback, view)) failed.push_back(path);
    }
    if (view.IsStopRequested()) return true;
    WriteResultFile(programDirectory, failed);
    if (failed.empty()) {
        view.ShowResult(kRepairSucceededText, kRepairSucceededText);
        return true;
    }
    std::string list;
    for (const std::string& path : failed) list += path + ' ';
    view.ShowResult(kRepairFailedPrefixText + fund::win::utf8_to_wide(list),
                    FailedSummaryText(failed.size()));
    return true;
}
