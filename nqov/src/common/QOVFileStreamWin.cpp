// QOVFileStreamWin.cpp - file-stream backend for Windows: UTF-8 names become
// UTF-16 for the wide-character file calls.

#include "common/QOVFileStreamBackend.h"
#include "common/QOVPlatform.h"
#include "common/QOVCommon.h"

#include "fund/win/handle.h"
#include "fund/win/text.h"

#include <string>

namespace qovfs {

namespace {

std::wstring Wide(const char* szUtf8) { return fund::win::utf8_to_wide(szUtf8); }

HANDLE AsHandle(intptr_t hFile) { return reinterpret_cast<HANDLE>(hFile); }

// Records the system's error of a failed call as the library's own.
bool Fail() {
    QOVSetLastError(GetLastError());
    return false;
}

bool Fail(DWORD error) {
    QOVSetLastError(error);
    return false;
}

bool IsReadOnlyFile(const std::wstring& name) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

bool OpenHandle(const char* szFileName, OpenMode mode, intptr_t* phFile) {
    const std::wstring name = Wide(szFileName);
    if (name.empty()) return Fail(ERROR_INVALID_PARAMETER);
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case OpenMode::ExistingRead:
            access = GENERIC_READ;
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        case OpenMode::ExistingReadWrite:
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        case OpenMode::ExclusiveWrite:
            break;
        case OpenMode::CreateAlways:
            disposition = CREATE_ALWAYS;
            break;
        case OpenMode::CreateNew:
            disposition = CREATE_NEW;
            break;
    }
    // The read-only attribute refuses writers even where the account could
    // override it.
    const bool opensExisting = mode == OpenMode::ExistingReadWrite || mode == OpenMode::ExclusiveWrite;
    if (opensExisting && IsReadOnlyFile(name)) return Fail(ERROR_ACCESS_DENIED);
    HANDLE hFile =
        CreateFileW(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        // An existing file is reported like the other platforms do.
        const DWORD error = GetLastError();
        return Fail(error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error);
    }
    *phFile = reinterpret_cast<intptr_t>(hFile);
    return true;
}

void CloseFile(intptr_t hFile) {
    // The owner closes what it was given, and never the invalid value.
    fund::win::unique_hfile owner(AsHandle(hFile));
}

bool ReadAt(intptr_t hFile, uint64_t qwPosition, void* pvBuffer, uint32_t dwLength, uint32_t* pdwDone) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(qwPosition);
    at.OffsetHigh = static_cast<DWORD>(qwPosition >> 32);
    DWORD done = 0;
    if (!ReadFile(AsHandle(hFile), pvBuffer, dwLength, &done, &at)) {
        *pdwDone = 0;
        if (GetLastError() == ERROR_HANDLE_EOF) return true;
        return Fail();
    }
    *pdwDone = done;
    return true;
}

bool WriteAt(intptr_t hFile, uint64_t qwPosition, const void* pvBuffer, uint32_t dwLength,
             uint32_t* pdwDone) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(qwPosition);
    at.OffsetHigh = static_cast<DWORD>(qwPosition >> 32);
    DWORD done = 0;
    if (!WriteFile(AsHandle(hFile), pvBuffer, dwLength, &done, &at)) {
        *pdwDone = 0;
        return Fail();
    }
    *pdwDone = done;
    return true;
}

bool GetSize(intptr_t hFile, uint64_t* pqwSize) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(AsHandle(hFile), &size)) return Fail();
    *pqwSize = static_cast<uint64_t>(size.QuadPart);
    return true;
}

bool SetSize(intptr_t hFile, uint64_t qwSize) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(qwSize);
    if (!SetFilePointerEx(AsHandle(hFile), position, nullptr, FILE_BEGIN)) return Fail();
    return SetEndOfFile(AsHandle(hFile)) ? true : Fail();
}

bool RenameReplace(const char* szFrom, const char* szTo) {
    return MoveFileExW(Wide(szFrom).c_str(), Wide(szTo).c_str(), MOVEFILE_REPLACE_EXISTING) ? true : Fail();
}

bool RemoveFile(const char* szFileName) { return DeleteFileW(Wide(szFileName).c_str()) ? true : Fail(); }

bool CreateFolder(const char* szPath) {
    const std::wstring path = Wide(szPath);
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
        return Fail(ERROR_ALREADY_EXISTS);
    }
    return Fail();
}

bool MapView(intptr_t hFile, uint64_t qwOffset, uint64_t qwFileSize, bool bWritable, TFileMapping* pMapping) {
    if (qwOffset >= qwFileSize || qwFileSize - qwOffset > SIZE_MAX) return Fail(ERROR_INVALID_PARAMETER);
    fund::win::unique_handle mapping(CreateFileMappingW(
        AsHandle(hFile), nullptr, bWritable ? PAGE_READWRITE : PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return Fail();
    const size_t cbView = static_cast<size_t>(qwFileSize - qwOffset);
    void* view = MapViewOfFile(mapping.get(), bWritable ? FILE_MAP_WRITE : FILE_MAP_READ,
                               static_cast<DWORD>(qwOffset >> 32), static_cast<DWORD>(qwOffset), cbView);
    if (view == nullptr) return Fail();  // closing the mapping keeps the thread's error
    pMapping->pvView = view;
    pMapping->cbView = cbView;
    pMapping->hMapping = reinterpret_cast<intptr_t>(mapping.release());
    return true;
}

void UnmapView(TFileMapping* pMapping) {
    {
        // Declared in this order, the view goes before its mapping.
        fund::win::unique_handle mapping(reinterpret_cast<HANDLE>(pMapping->hMapping));
        fund::win::unique_view view(pMapping->pvView);
    }
    *pMapping = TFileMapping();
}

uint32_t AllocationGranularity() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

}  // namespace qovfs
