// qos/ClientGuid.cpp - the machine's GUID in Common.ini.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

#include "ClientGuid.h"
#include "fund/trace.h"
#include "fund/win/text.h"

namespace {

const wchar_t kSection[] = L"QOS";
const wchar_t kKey[] = L"GUID";
const DWORD kGuidChars = 1024;  // read at most 1023 characters

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ReadGuid(const std::wstring& path) {
    std::vector<wchar_t> buffer(kGuidChars, L'\0');
    GetPrivateProfileStringW(kSection, kKey, L"", buffer.data(), kGuidChars, path.c_str());
    return std::wstring(buffer.data());
}

std::wstring NewGuid() {
    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return std::wstring();
    wchar_t text[40] = {};
    if (StringFromGUID2(guid, text, 40) != 39) return std::wstring();
    return std::wstring(text);
}

// Creates every folder above the file at path.
bool CreateFoldersOf(const std::wstring& path) {
    if (path.find_first_of(L"<>\"|*?") != std::wstring::npos) return false;
    size_t pos = path.find_first_of(L"\\/");
    // Skip the drive ("C:\") or the server and share of a UNC path.
    if (path.compare(0, 2, L"\\\\") == 0) {
        pos = path.find_first_of(L"\\/", 2);
        if (pos != std::wstring::npos) pos = path.find_first_of(L"\\/", pos + 1);
    }
    while (pos != std::wstring::npos) {
        std::wstring folder = path.substr(0, pos);
        if (!folder.empty() && folder.back() != L':') {
            if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return false;
            }
        }
        pos = path.find_first_of(L"\\/", pos + 1);
    }
    return true;
}

}  // namespace

std::wstring DefaultCommonIniPath() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder))) {
        Trace(L"error: DefaultCommonIniPath no application data folder");
        return std::wstring();
    }
    return std::wstring(folder) + L"\\Orvane\\KestrumDL\\Common.ini";
}

std::string GetClientGuid(const std::wstring& commonIniPath) {
    const bool exists = FileExists(commonIniPath);
    std::wstring guid = exists ? ReadGuid(commonIniPath) : std::wstring();
    if (!guid.empty()) return fund::win::wide_to_utf8(guid);

    guid = NewGuid();
    if (guid.empty()) {
        Trace(L"error: GetClientGuid CoCreateGuid failed");
        return std::string();
    }
    if (!exists && !CreateFoldersOf(commonIniPath)) {
        Trace(L"error: GetClientGuid cannot create the folders of %ls (%lu)", commonIniPath.c_str(),
              GetLastError());
    } else if (!WritePrivateProfileStringW(kSection, kKey, guid.c_str(), commonIniPath.c_str())) {
        Trace(L"error: GetClientGuid cannot write %ls (%lu)", commonIniPath.c_str(), GetLastError());
    }
    return fund::win::wide_to_utf8(guid);
}
