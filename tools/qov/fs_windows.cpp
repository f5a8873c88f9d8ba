// fs_windows.cpp - fs.h over the wide Win32 file calls.  Paths are UTF-8
// here and UTF-16 only at the calls.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>

#include "fs.h"

namespace qov {
namespace fs {

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], needed);
    wide.resize(static_cast<size_t>(needed - 1));
    return wide;
}

std::string Utf8(const wchar_t* wide) {
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string text(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], needed, nullptr, nullptr);
    text.resize(static_cast<size_t>(needed - 1));
    return text;
}

std::string ErrorText(DWORD error) {
    wchar_t* message = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = message != nullptr ? Utf8(message) : std::string();
    if (message != nullptr) LocalFree(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty()) text = "system error " + std::to_string(error);
    return text;
}

bool IsMissingError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME;
}

bool StatusOf(const std::string& path, bool followLinks, Status* status, std::string* error) {
    *status = Status();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
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
    HANDLE find = FindFirstFileW(Wide(JoinPath(path, "*")).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        *error = ErrorText(GetLastError());
        return false;
    }
    do {
        const std::string name = Utf8(found.cFileName);
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(find, &found));
    const DWORD code = GetLastError();
    FindClose(find);
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
        if (CreateDirectoryW(Wide(prefix).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
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
    if (DeleteFileW(Wide(path).c_str()) || IsMissingError(GetLastError())) return true;
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
    if (part.empty() || part == "." || part == "..") return false;
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
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ErrorText(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    return true;
}

bool InputFile::Read(void* buffer, size_t size, size_t* done, std::string* error) {
    *done = 0;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) {
        *error = ErrorText(GetLastError());
        return false;
    }
    *done = got;
    return true;
}

void InputFile::Close() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void SetBinaryMode(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }

}  // namespace fs
}  // namespace qov
