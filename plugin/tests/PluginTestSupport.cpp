// PluginTestSupport.cpp - fakes and the harness for the plug-in's tests.

#include "PluginTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>

//-----------------------------------------------------------------------------
// FakeSink

void FakeSink::Add(const std::wstring& call) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.push_back(call);
}

int FakeSink::OnProgress(int percent, const wchar_t* text) {
    Add(L"progress " + std::to_wstring(percent) + L" " + text);
    return 1;
}

int FakeSink::OnSuccess() {
    Add(L"success");
    return 1;
}

int FakeSink::OnFail(const wchar_t* text) {
    Add(std::wstring(L"fail ") + text);
    return 1;
}

int FakeSink::OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) {
    Add(std::wstring(L"message ") + text + L"|" + caption + L"|" + std::to_wstring(flags));
    return messageAnswer;
}

std::vector<std::wstring> FakeSink::Calls() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls;
}

size_t FakeSink::Count() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls.size();
}

void FakeSink::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.clear();
}

//-----------------------------------------------------------------------------
// FakeEngine

void FakeEngine::AddFile(const std::string& name, bool complete, uint32_t size) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_files.push_back(File{name, complete, size});
}

const char* FakeEngine::GetFileName(uint32_t index) {
    std::lock_guard<std::mutex> hold(m_lock);
    return index < m_files.size() ? m_files[index].name.c_str() : nullptr;
}

uint32_t FakeEngine::GetFileIndex(const char* name) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (size_t i = 0; i < m_files.size(); ++i) {
        if (m_files[i].name == name) return static_cast<uint32_t>(i);
    }
    return MORL_INVALID_INDEX;
}

bool FakeEngine::GetFileSize(uint32_t index, uint32_t* size) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (index >= m_files.size() || size == nullptr) return false;
    *size = m_files[index].size;
    return true;
}

bool FakeEngine::GetFileDownloadSize(uint32_t index, uint32_t* size) { return GetFileSize(index, size); }

bool FakeEngine::IsFileComplete(uint32_t index) {
    std::lock_guard<std::mutex> hold(m_lock);
    return index < m_files.size() && m_files[index].complete;
}

uint32_t FakeEngine::StartSync(uint32_t, HWND, uint32_t, uint32_t, uint8_t) { return MORL_INVALID_SYNC_ID; }

uint32_t FakeEngine::GetErrorText(uint32_t, uint32_t, wchar_t* buffer, uint32_t length) {
    if (buffer != nullptr && length > 0) buffer[0] = L'\0';
    return 1;
}

bool FakeEngine::ExtractFile(uint32_t, const char*, uint32_t) {
    const int number = ++extractions;
    const HANDLE gate = extractGate.load();
    if (gate != nullptr && number >= gateFrom.load()) WaitForSingleObject(gate, 10000);
    return extractResult.load();
}

//-----------------------------------------------------------------------------
// PluginHarness

PluginHarness::PluginHarness() {
    WriteClientVersion("2.0.0.1");
    WriteLists(3, 2);
}

PluginHarness::~PluginHarness() { plugin.reset(); }

CMORLPluginFolders PluginHarness::Folders() const {
    CMORLPluginFolders folders;
    folders.baseFolder = base.WidePath();
    folders.pluginFolder = base.WidePath() + L"\\Plugin";
    return folders;
}

void PluginHarness::WriteClientVersion(const std::string& version) {
    base.Write("Sidlo\\mmog_data.xml", "<?xml version=\"1.0\"?>\n<Data><ClientConf><VersionData><Version>" +
                                           version + "</Version></VersionData></ClientConf></Data>\n");
}

void PluginHarness::WriteSettings(const std::string& lines) {
    base.Write("morlfixedconfig.ini", "[MORL]\r\n" + lines);
}

void PluginHarness::WriteLists(int count, int restores) {
    std::string download = "[ListConfig]\r\nFileCount=" + std::to_string(count) + "\r\n";
    for (int i = 0; i < count; ++i) {
        const std::string name = "f" + std::to_string(i);
        download += "[" + std::to_string(i) + "]\r\nSrc=" + name + "\r\n";
        engine.AddFile(name, true, 1000);
    }
    base.Write("Plugin\\DLList_1.ini", download);
    std::string restore = "[ListConfig]\r\nFileCount=" + std::to_string(restores) + "\r\n";
    for (int i = 0; i < restores; ++i) {
        restore += "[" + std::to_string(i) + "]\r\nSrc=f" + std::to_string(i) + "\r\nDst=out\\\r\n";
    }
    base.Write("Plugin\\RTList_1.ini", restore);
}

void PluginHarness::Open() {
    plugin.reset(new CMORLPlugin(Folders()));
    if (!feedbackThroughTheShell)
        plugin->SetFeedbackOpener([this](const wchar_t* url) { feedbackOpened.push_back(url); });
    ASSERT_EQ(1, plugin->SetPluginEvent(&sink));
    plugin->SetWnd(plugin->CreateWnd());
    ASSERT_NE(nullptr, plugin->GetWnd());
}

void PluginHarness::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    plugin->OnRecvWndMsg(Window(), message, wParam, lParam);
}

std::vector<Posted> PluginHarness::TakePosted() {
    std::vector<Posted> posted;
    MSG message;
    while (PeekMessageW(&message, Window(), WM_USER, WM_USER + 100, PM_REMOVE))
        posted.push_back(Posted{message.message, message.wParam, message.lParam});
    return posted;
}

void PluginHarness::DeliverPosted() {
    for (int round = 0; round < 100; ++round) {
        const std::vector<Posted> posted = TakePosted();
        if (posted.empty()) return;
        for (const Posted& p : posted) Send(p.message, p.wParam, p.lParam);
    }
    ADD_FAILURE() << "the plug-in keeps posting";
}

void PluginHarness::ToInitializing() {
    Open();
    Send(WM_MORL_START);
    TakePosted();
    ASSERT_EQ(CMORLPlugin::STATUS_INITIALIZING, Status());
}

void PluginHarness::ToParsingDownloadList() {
    ToInitializing();
    plugin->InitOK(&mgr);
    TakePosted();
    Send(WM_MORL_INIT, 1, 0);
    TakePosted();
    ASSERT_EQ(CMORLPlugin::STATUS_PARSING_DOWNLOAD_LIST, Status());
}

void PluginHarness::ToDownloading() {
    ToParsingDownloadList();
    Send(WM_MORL_DOWNLOAD_LIST, 1);
    TakePosted();
    ASSERT_EQ(CMORLPlugin::STATUS_DOWNLOADING, Status());
}

void PluginHarness::ToRestoring() {
    ToDownloading();
    Send(WM_MORL_DOWNLOAD_SUCCESS);
    TakePosted();
    ASSERT_EQ(CMORLPlugin::STATUS_RESTORING, Status());
}

void PluginHarness::ToSuccess() {
    ToRestoring();
    Send(WM_MORL_RESTORE_SUCCESS);
    ASSERT_EQ(CMORLPlugin::STATUS_SUCCESS, Status());
}

void PluginHarness::ToFail() {
    ToInitializing();
    Send(WM_MORL_INIT, 0, 0);
    ASSERT_EQ(CMORLPlugin::STATUS_FAIL, Status());
}

//-----------------------------------------------------------------------------
// Stand-ins, waiting, hang guard

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = L"";
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.rfind(L'\\'));
}

bool InstallStandins(const PluginHarness& h, const std::string& script) {
    const std::wstring from = ProgramFolder();
    const std::wstring to = h.base.WidePath() + L"\\Plugin";
    for (const wchar_t* dll : {L"\\morl.dll", L"\\MORLCheck.dll"}) {
        if (!CopyFileW((from + dll).c_str(), (to + dll).c_str(), FALSE)) return false;
    }
    h.base.Write("Plugin\\morl_script.ini", script);
    return true;
}

bool WaitForCalls(const FakeSink& sink, size_t count, unsigned limitMs) {
    const DWORD start = GetTickCount();
    while (sink.Count() < count) {
        if (GetTickCount() - start > limitMs) return false;
        Sleep(5);
    }
    return true;
}

HangGuard::HangGuard(unsigned limitMs, const char* what)
    : m_disarmed(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_thread(nullptr),
      m_limitMs(limitMs),
      m_what(what) {
    m_thread = CreateThread(nullptr, 0, &HangGuard::Watch, this, 0, nullptr);
}

HangGuard::~HangGuard() {
    SetEvent(m_disarmed);
    if (m_thread != nullptr) {
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    CloseHandle(m_disarmed);
}

DWORD WINAPI HangGuard::Watch(void* self) {
    HangGuard* guard = static_cast<HangGuard*>(self);
    if (WaitForSingleObject(guard->m_disarmed, guard->m_limitMs) == WAIT_TIMEOUT) {
        std::printf("FAILED: hung for %u ms: %s\n", guard->m_limitMs, guard->m_what);
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return 0;
}

//-----------------------------------------------------------------------------
// What the process holds

size_t HeapBusyBytes() {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    size_t busy = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
        }
        HeapUnlock(heaps[i]);
    }
    return busy;
}

DWORD HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    for (uintptr_t value = 4; value < (1u << 18); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}
