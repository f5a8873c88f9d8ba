// standin/checker/exports.cpp - the MORLCheck.dll stand-in: a checker
// object whose BeginCheck answers from morl_script.ini ([Checker]).

#include <string>

#include "MORLEngineApi.h"
#include "fund/guard.h"
#include "ScriptFile.h"

namespace {

class ScriptedChecker final : public ICheckHandle {
public:
    ScriptedChecker(bool result, const standin::CallLog& log) : m_result(result), m_log(log) {}
    ~ScriptedChecker() = default;

    bool BeginCheck(uint32_t mode, uint32_t timeoutMs) override {
        fund::guarded(L"BeginCheck", [&] {
            m_log.Write("BeginCheck " + std::to_string(mode) + " " + std::to_string(timeoutMs) + " -> " +
                        std::to_string(m_result));
        });
        return m_result;
    }

private:
    const bool m_result;
    const standin::CallLog m_log;
};

}  // namespace

// No exception leaves an export: a host would not survive it.
extern "C" __declspec(dllexport) ICheckHandle* CreateCheckHandle() {
    ICheckHandle* checker = nullptr;
    fund::guarded(L"CreateCheckHandle", [&] {
        const std::wstring folder = standin::ModuleFolder();
        const standin::ScriptFile script(folder + L"\\" + standin::kScriptFileName);
        const standin::CallLog log = standin::OpenCallLog(script, folder);
        log.Write("CreateCheckHandle");
        if (script.Number(L"Checker", L"Create", 1) != 0)
            checker = new ScriptedChecker(script.Number(L"Checker", L"BeginCheckResult", 1) != 0, log);
    });
    return checker;
}

extern "C" __declspec(dllexport) void ReleaseCheckHandle(ICheckHandle* checker) {
    if (checker == nullptr) return;
    fund::guarded(L"ReleaseCheckHandle", [&] {
        const std::wstring folder = standin::ModuleFolder();
        const standin::ScriptFile script(folder + L"\\" + standin::kScriptFileName);
        standin::OpenCallLog(script, folder).Write("ReleaseCheckHandle");
    });
    delete static_cast<ScriptedChecker*>(checker);
}
