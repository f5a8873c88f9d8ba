// fs_windows.cpp - fs.h over the wide Win32 file calls.  Paths are UTF-8
// here and UTF-16 only at the calls.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include <fund/relative_name.h>
#include <fund/win/text.h>

#include "fs.h"

namespace qov {
namespace fs {

namespace {

using fund::win::utf8_to_wide;
using fund::win::wide_to_utf8;

std::string ErrorText(DWORD error) {
    wchar_t* message = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = message != nullptr ? wide_to_utf8(message) : std::string();
    if (message != nullptr) LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty()) text = "system error " + std::to_string(error);
    return text;
}

bool IsMissingError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
}

bool StatusOf(const std::string& path, bool followLinks, Status* status, std::string* error) {
    *status = Status();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(utf8_to_wide(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        if (IsMissingError(code)) return true;
        *error = ErrorText(code);
        return false;
    }
    if (!followLinks && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        status->kind = Kind::Other;
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        status->kind = Kind::Directory;
    } else {
        status->kind = Kind::File;
        status->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
}

bool IsSeparator(char ch) { return ch == '/' || ch == '\\'; }

}  // namespace

bool GetStatus(const std::string& path, Status* status, std::string* error) {
    return StatusOf(path, true, status, error);
}

bool GetLinkStatus(const std::string& path, Status* status, std::string* error) {
    return StatusOf(path, false, status, error);
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names, std::string* error) {
    names->clear();
    WIN32_FIND_DATAW found;
    fund::win::unique_hfind find(FindFirstFileW(utf8_to_wide(JoinPath(path, "*")).c_str(), &found));
    if (!find) {
        *error = ErrorText(GetLastError());
        return false;
    }
    do {
        const std::string name = wide_to_utf8(found.cFileName);
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(find.get(), &found));
    const DWORD code = GetLastError();
    find.reset();
    if (code != ERROR_NO_MORE_FILES) {
        *error = ErrorText(code);
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

bool MakeDirectories(const std::string& path, std::string* error) {
    if (path.empty()) return true;
    for (size_t i = 1; i <= path.size(); i++) {
        if (i < path.size() && !IsSeparator(path[i])) continue;
        const std::string prefix = path.substr(0, i);
        if (prefix.back() == ':') continue;  // a drive letter
        if (CreateDirectoryW(utf8_to_wide(prefix).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
            continue;
        *error = "cannot create folder '" + prefix + "': " + ErrorText(GetLastError());
        return false;
    }
    Status status;
    std::string ignored;
    if (!GetStatus(path, &status, &ignored) || status.kind != Kind::Directory) {
        *error = "'" + path + "' exists and is not a folder";
        return false;
    }
    return true;
}

bool RemoveFile(const std::string& path, std::string* error) {
    if (DeleteFileW(utf8_to_wide(path).c_str()) || IsMissingError(GetLastError())) return true;
    *error = ErrorText(GetLastError());
    return false;
}

std::string BaseName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && IsSeparator(path[end - 1])) end--;
    size_t start = end;
    while (start > 0 && !IsSeparator(path[start - 1]) && path[start - 1] != ':') start--;
    return path.substr(start, end - start);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (IsSeparator(folder.back())) return folder + name;
    return folder + "/" + name;
}

bool IsSafePathPart(const std::string& part) {
    // Also no device name (nul.txt would write to the null device).
    if (part.empty() || part == "." || !fund::is_contained_relative_name(part)) return false;
    // Characters Windows does not allow in names, and a trailing dot or
    // space, which Windows drops.
    for (char ch : part)
        if (static_cast<unsigned char>(ch) < 0x20 || std::string("<>:\"/\\|?*").find(ch) != std::string::npos)
            return false;
    return part.back() != '.' && part.back() != ' ';
}

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& path, std::string* error) {
    Close();
    file_.reset(CreateFileW(utf8_to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        *error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

bool InputFile::Read(void* buffer, size_t size, size_t* done, std::string* error) {
    *done = 0;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
    if (!ReadFile(file_.get(), buffer, want, &got, nullptr)) {
        *error = ErrorText(GetLastError());
        return false;
    }
    *done = got;
    return true;
}

void InputFile::Close() { file_.reset(); }

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void SetBinaryMode(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

}  // namespace fs
}  // namespace qov
