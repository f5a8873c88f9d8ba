// Trace on Windows: the line goes to the debugger output without a newline
// (and to standard output with one).  The probe program runs under a small
// debugger loop that collects its debug strings.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::wstring ProbePath() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"fund_trace_probe.exe";
}

struct ProbeRun {
    std::wstring debugText;
    std::string output;
    DWORD exitCode = 0;
};

bool RunProbeUnderDebugger(int count, ProbeRun* run) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 1 << 16)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = L"\"" + ProbePath() + L"\" " + std::to_wstring(count);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return false;
    }
    CloseHandle(writeEnd);
    for (bool running = true; running;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, 20000)) break;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                const size_t unit = info.fUnicode ? sizeof(wchar_t) : 1;
                std::string raw(info.nDebugStringLength * unit, '\0');
                SIZE_T got = 0;
                ReadProcessMemory(process.hProcess, info.lpDebugStringData, &raw[0], raw.size(), &got);
                raw.resize(got);
                if (info.fUnicode) {
                    run->debugText.assign(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / 2);
                } else {
                    run->debugText.clear();
                    const int n =
                        MultiByteToWideChar(CP_ACP, 0, raw.data(), static_cast<int>(raw.size()), nullptr, 0);
                    run->debugText.resize(static_cast<size_t>(n));
                    MultiByteToWideChar(CP_ACP, 0, raw.data(), static_cast<int>(raw.size()),
                                        &run->debugText[0], n);
                }
                while (!run->debugText.empty() && run->debugText.back() == L'\0') run->debugText.pop_back();
                break;
            }
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                    status = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                running = false;
                break;
            case CREATE_PROCESS_DEBUG_EVENT:
                CloseHandle(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                CloseHandle(event.u.LoadDll.hFile);
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        run->output.append(buffer, got);
    WaitForSingleObject(process.hProcess, 20000);
    GetExitCodeProcess(process.hProcess, &run->exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return true;
}

TEST(TraceDebuggerTest, TheDebuggerSeesTheLineWithoutANewline) {
    ProbeRun run;
    ASSERT_TRUE(RunProbeUnderDebugger(5, &run));
    EXPECT_EQ(run.exitCode, 0u);
    // Standard output is in text mode: the newline is written as CR LF.
    EXPECT_EQ(run.output, "xxxxx\xE4\xBF\xAE\xE5\xA4\x8D\r\n");
    // A narrow debug string may carry the text in the ANSI code page; the
    // ASCII part and the missing newline are what matter here.
    ASSERT_GE(run.debugText.size(), 5u);
    EXPECT_EQ(run.debugText.substr(0, 5), L"xxxxx");
    EXPECT_EQ(run.debugText.find(L'\n'), std::wstring::npos);
}

TEST(TraceDebuggerTest, TheDebuggerSeesTheCutLine) {
    ProbeRun run;
    ASSERT_TRUE(RunProbeUnderDebugger(300, &run));
    EXPECT_EQ(run.output, std::string(260, 'x') + "\r\n");
    EXPECT_EQ(run.debugText, std::wstring(260, L'x'));
}

}  // namespace
