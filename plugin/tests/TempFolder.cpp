// TempFolder.cpp - scratch folders under the test's working folder.

#include "TempFolder.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter(0);
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, cwd);
    m_path = std::string(cwd) + "\\tmp_" + std::to_string(GetCurrentProcessId()) + "_" +
             std::to_string(GetTickCount()) + "_" + std::to_string(counter++);
    fs::create_directories(m_path);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

std::string TempFolder::Write(const std::string& relative, const std::string& content) const {
    const fs::path path = fs::path(m_path) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
    return path.string();
}

std::string TempFolder::Read(const std::string& relative) const {
    std::ifstream in(fs::path(m_path) / relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TempFolder::Exists(const std::string& relative) const { return fs::exists(fs::path(m_path) / relative); }

void TempFolder::Remove(const std::string& relative) const {
    std::error_code ignored;
    fs::remove(fs::path(m_path) / relative, ignored);
}
