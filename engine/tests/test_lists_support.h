// A scratch folder per test, and list files written into it.

#ifndef BREVIK_ENGINE_TESTS_TEST_LISTS_SUPPORT_H
#define BREVIK_ENGINE_TESTS_TEST_LISTS_SUPPORT_H

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

// A fresh, empty folder named after the running test, inside the working
// folder.  Files left from an earlier run are removed first.
class ScratchFolder {
public:
    ScratchFolder() {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        wchar_t cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        m_path = std::wstring(cwd) + L"\\" + std::wstring(name.begin(), name.end());
        RemoveTree(m_path);
        CreateDirectoryW(m_path.c_str(), nullptr);
    }
    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

    static void RemoveTree(const std::wstring& path) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring child = path + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(child);
                else
                    DeleteFileW(child.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
    }

private:
    std::wstring m_path;
};

// Writes `bytes` to `path` as they are.
inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// The [ListConfig] head of a list with FileCount `count` (as written).
inline std::string ListHead(const std::string& count) {
    return "[ListConfig]\r\nFileCount=" + count + "\r\n";
}

// An entry section; `dst` empty leaves the key out.
inline std::string ListEntry(long number, const std::string& src, const std::string& dst = std::string()) {
    std::string text = "[" + std::to_string(number) + "]\r\n";
    if (!src.empty()) text += "Src=" + src + "\r\n";
    if (!dst.empty()) text += "Dst=" + dst + "\r\n";
    return text;
}

#endif  // BREVIK_ENGINE_TESTS_TEST_LISTS_SUPPORT_H
