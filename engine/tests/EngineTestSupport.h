// Helpers of the engine tests: a scratch plug-in folder holding copies of
// the stand-in DLLs and their script, a recorder of IMORLInitCallback
// calls, waiting with a time limit, and a message pump.

#ifndef BREVIK_ENGINE_TESTS_ENGINETESTSUPPORT_H
#define BREVIK_ENGINE_TESTS_ENGINETESTSUPPORT_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "IMORLInitCallback.h"
#include "MORLEngineApi.h"

namespace enginetest {

// <working folder>\<name>\plugin with morl.dll, MORLCheck.dll and
// morl_script.ini; the base folder is <working folder>\<name>.
class PluginFolder {
public:
    // `script` is the text of morl_script.ini (ASCII).
    PluginFolder(const std::string& name, const std::string& script, bool withEngine = true,
                 bool withChecker = true);
    ~PluginFolder();

    const std::wstring& Folder() const { return m_plugin; }
    const std::wstring& Base() const { return m_base; }
    std::wstring Path(const std::wstring& name) const { return m_plugin + L"\\" + name; }
    // The lines of the call log ("calls.log", set by the script's CallLog).
    std::vector<std::string> Calls() const;
    bool Called(const std::string& line) const;
    size_t CountCalls(const std::string& prefix) const;

private:
    std::wstring m_base;
    std::wstring m_plugin;
};

// The folder of the running test program.
std::wstring ProgramFolder();
std::string ReadFileText(const std::wstring& path);
void WriteFileText(const std::wstring& path, const std::string& text);
void RemoveTree(const std::wstring& path);

// The open handles of the process.  Wine answers GetProcessHandleCount
// with 0, so then the handle values are probed (multiples of 4 on both
// systems).
DWORD OpenHandleCount();

// Waits, pumping the thread's messages, until `done` holds or `ms` passed.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000);
// Handles every message already queued for this thread.
void PumpPending();

// Records every report of the engine thread as a line.
class RecordingCallback : public IMORLInitCallback {
public:
    void InitOK(IMORLMgr* mgr) override;
    void InitFail(IMORLMgr* mgr, int canRead, int errorCode) override;
    void MORLHostKilled() override;
    void MORLHostRestarted() override;
    void MORLRepairProgress(int progress) override;
    void OnSetBitMapFinishState(int error) override;
    int OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) override;

    std::vector<std::string> Events() const;
    // Waits until a line equal to `event` is recorded.
    bool WaitFor(const std::string& event, int ms = 5000) const;
    size_t Count(const std::string& event) const;
    // Repair progress of kMarker and above is a test's marker, not an
    // event: Settle posts one and waits for it, so everything posted to
    // the engine window before has been handled.
    static const int kMarker = 1000000;
    bool Settle(HWND engineWindow, int ms = 5000);

    IMORLMgr* mgr = nullptr;
    std::wstring lastText;
    std::wstring lastCaption;

private:
    void Add(const std::string& event);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_events;
    int m_markersSent = 0;
    int m_markersSeen = 0;
};

}  // namespace enginetest

#endif  // BREVIK_ENGINE_TESTS_ENGINETESTSUPPORT_H
