// RepairTestUtil.cpp - scratch program folders for the pass's tests.

#include "RepairTestUtil.h"

#include <fund/win/text.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace repairtest {

namespace {

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                ::DeleteFileW(child.c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(path.c_str());
}

}  // namespace

CProgramFolder::CProgramFolder(const std::string& name) {
    wchar_t cwd[MAX_PATH * 2] = {};
    ::GetCurrentDirectoryW(MAX_PATH * 2, cwd);
    m_path = std::wstring(cwd) + L"\\" + fund::win::utf8_to_wide(name);
    RemoveTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
    ::CreateDirectoryW((m_path + L"\\MORLDownload").c_str(), nullptr);
}

CProgramFolder::~CProgramFolder() { RemoveTree(m_path); }

std::string CProgramFolder::ArchivePath(const std::wstring& fileName) const {
    return fund::win::wide_to_utf8(m_path + L"\\MORLDownload\\" + fileName);
}

void CProgramFolder::WriteList(const std::wstring& text) const {
    std::wstring content = L"\xFEFF" + text;
    HANDLE file = ::CreateFileW((m_path + L"\\MORLFilelist.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size() * sizeof(wchar_t)), &written,
                nullptr);
    ::CloseHandle(file);
}

void CProgramFolder::WriteList(const std::vector<std::wstring>& names) const {
    std::wstring text = L"[FileList]\r\nFileCount=" + std::to_wstring(names.size()) + L"\r\n";
    for (size_t i = 0; i < names.size(); i++)
        text += L"[FileItem" + std::to_wstring(i) + L"]\r\nFileName=" + names[i] + L"\r\n";
    WriteList(text);
}

uint32_t CProgramFolder::MakeArchive(const std::wstring& fileName, uint32_t size, uint32_t pieceSize) const {
    const std::string path = ArchivePath(fileName);
    ::DeleteFileW(fund::win::utf8_to_wide(path).c_str());
    QOV_CREATE_PARAMS params;
    SFileInitCreateParams(&params, 16);
    params.dwMD5PieceSize = pieceSize;
    TNQOVArchive* ha = nullptr;
    EXPECT_TRUE(SFileCreateArchive(path.c_str(), &params, &ha)) << QOVGetLastError();
    if (ha == nullptr) return 0;
    std::vector<char> data(size);
    std::mt19937 random(size);
    for (char& c : data) c = static_cast<char>(random());
    TNQOVFile* hf = nullptr;
    EXPECT_TRUE(SFileCreateFileEx(ha, "data.bin", size, 0, &hf)) << QOVGetLastError();
    if (hf != nullptr) {
        EXPECT_TRUE(SFileWriteFile(hf, data.data(), size)) << QOVGetLastError();
        EXPECT_TRUE(SFileFinishFile(hf)) << QOVGetLastError();
    }
    EXPECT_TRUE(SFileCloseArchive(ha, true)) << QOVGetLastError();

    ha = nullptr;
    uint32_t lastSize = 0, count = 0, piece = 0;
    EXPECT_TRUE(SFileOpenArchive(path.c_str(), &ha, NQOV_OPEN_READ_ONLY)) << QOVGetLastError();
    if (ha != nullptr) {
        EXPECT_TRUE(SFileGetPieceCount(ha, &lastSize, &count, &piece));
        SFileCloseArchive(ha, false);
    }
    return count;
}

void CProgramFolder::Damage(const std::wstring& fileName) const {
    std::vector<char> bytes = ReadBytes(fileName);
    ASSERT_FALSE(bytes.empty());
    bytes[bytes.size() / 2] ^= 0x5A;
    HANDLE file = ::CreateFileW((m_path + L"\\MORLDownload\\" + fileName).c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::vector<char> CProgramFolder::ReadBytes(const std::wstring& fileName) const {
    std::vector<char> bytes;
    HANDLE file = ::CreateFileW((m_path + L"\\MORLDownload\\" + fileName).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    ::CloseHandle(file);
    return bytes;
}

std::string CProgramFolder::ReadText(const std::wstring& fileName) const {
    std::ifstream in(std::filesystem::path(m_path + L"\\" + fileName), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace repairtest
