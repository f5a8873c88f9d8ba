// Helpers of the engine tests.

#include "EngineTestSupport.h"

#include <fstream>
#include <sstream>

#include "EngineSupport.h"
#include "fund/win/module.h"

namespace enginetest {

std::wstring ProgramFolder() { return ParentFolder(fund::win::module_path(nullptr)); }

std::string ReadFileText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

void WriteFileText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

PluginFolder::PluginFolder(const std::string& name, const std::string& script, bool withEngine,
                           bool withChecker) {
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    m_base = std::wstring(cwd) + L"\\" + std::wstring(name.begin(), name.end());
    m_plugin = m_base + L"\\plugin";
    RemoveTree(m_base);
    CreateDirectoryW(m_base.c_str(), nullptr);
    CreateDirectoryW(m_plugin.c_str(), nullptr);
    const std::wstring bin = ProgramFolder();
    if (withEngine) CopyFileW((bin + L"\\morl.dll").c_str(), Path(L"morl.dll").c_str(), FALSE);
    if (withChecker) {
        CopyFileW((bin + L"\\MORLCheck.dll").c_str(), Path(L"MORLCheck.dll").c_str(), FALSE);
    }
    WriteFileText(Path(L"morl_script.ini"), "[Engine]\r\nCallLog=calls.log\r\n" + script);
}

PluginFolder::~PluginFolder() { RemoveTree(m_base); }

std::vector<std::string> PluginFolder::Calls() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileText(Path(L"calls.log")));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool PluginFolder::Called(const std::string& line) const {
    for (const std::string& call : Calls()) {
        if (call == line) return true;
    }
    return false;
}

size_t PluginFolder::CountCalls(const std::string& prefix) const {
    size_t count = 0;
    for (const std::string& call : Calls()) {
        if (call.compare(0, prefix.size(), prefix) == 0) ++count;
    }
    return count;
}

DWORD OpenHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    for (uintptr_t value = 4; value < (1u << 18); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

void PumpPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (done()) return true;
        if (GetTickCount() - start > static_cast<DWORD>(ms)) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}

void RecordingCallback::Add(const std::string& event) {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
}

void RecordingCallback::InitOK(IMORLMgr* manager) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        mgr = manager;
    }
    Add("InitOK");
}

void RecordingCallback::InitFail(IMORLMgr* manager, int canRead, int errorCode) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        mgr = manager;
    }
    Add("InitFail " + std::to_string(canRead) + " " + std::to_string(errorCode));
}

void RecordingCallback::MORLHostKilled() { Add("MORLHostKilled"); }

void RecordingCallback::MORLHostRestarted() { Add("MORLHostRestarted"); }

void RecordingCallback::MORLRepairProgress(int progress) {
    if (progress >= kMarker) {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_markersSeen = progress - kMarker;
        m_changed.notify_all();
        return;
    }
    Add("MORLRepairProgress " + std::to_string(progress));
}

void RecordingCallback::OnSetBitMapFinishState(int error) {
    Add("OnSetBitMapFinishState " + std::to_string(error));
}

int RecordingCallback::OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        lastText = text != nullptr ? text : L"";
        lastCaption = caption != nullptr ? caption : L"";
    }
    Add("OnEngineMessage " + std::to_string(flags));
    return 7;
}

std::vector<std::string> RecordingCallback::Events() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_events;
}

bool RecordingCallback::WaitFor(const std::string& event, int ms) const {
    std::unique_lock<std::mutex> hold(m_mutex);
    return m_changed.wait_for(hold, std::chrono::milliseconds(ms), [&]() {
        for (const std::string& e : m_events) {
            if (e == event) return true;
        }
        return false;
    });
}

bool RecordingCallback::Settle(HWND engineWindow, int ms) {
    int marker = 0;
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        marker = ++m_markersSent;
    }
    if (!PostMessageW(engineWindow, WM_ENGINE_REPAIR_PROGRESS, kMarker + marker, 0)) return false;
    std::unique_lock<std::mutex> hold(m_mutex);
    return m_changed.wait_for(hold, std::chrono::milliseconds(ms), [&]() { return m_markersSeen >= marker; });
}

size_t RecordingCallback::Count(const std::string& event) const {
    std::lock_guard<std::mutex> hold(m_mutex);
    size_t count = 0;
    for (const std::string& e : m_events) {
        if (e == event) ++count;
    }
    return count;
}

}  // namespace enginetest
