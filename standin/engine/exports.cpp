// standin/engine/exports.cpp - the exports of the morl.dll stand-in.  The
// settings file beside the DLL chooses the behaviour of the engine object
// ([Engine] Behaviour): "scripted" or "archive".

#include "ArchiveEngine.h"
#include "MORLEngineApi.h"
#include "ScriptFile.h"
#include "ScriptedEngine.h"
#include "StandinEngine.h"
#include "fund/guard.h"
#include "fund/win/text.h"

namespace {

standin::StandinEngine* CreateEngine(const standin::ScriptFile& script, const standin::CallLog& log,
                                     const std::wstring& folder) {
    const std::wstring behaviour = script.String(L"Engine", L"Behaviour", L"scripted");
    if (behaviour == L"scripted") return new standin::ScriptedEngine(script, log);
    if (behaviour == L"archive") return new standin::ArchiveEngine(script, log, folder);
    log.Write("unknown behaviour: " + fund::win::wide_to_utf8(behaviour));
    return nullptr;
}

}  // namespace

// No exception leaves an export: a host would not survive it.  A failure
// (out of memory) is the export's failure: no engine object.
extern "C" __declspec(dllexport) IResourceManager* GetResourceManagerII() {
    IResourceManager* engine = nullptr;
    fund::guarded(L"GetResourceManagerII", [&] {
        const std::wstring folder = standin::ModuleFolder();
        const standin::ScriptFile script(folder + L"\\" + standin::kScriptFileName);
        const standin::CallLog log = standin::OpenCallLog(script, folder);
        log.Write("GetResourceManagerII");
        if (script.Number(L"Engine", L"Create", 1) != 0) engine = CreateEngine(script, log, folder);
    });
    return engine;
}

extern "C" __declspec(dllexport) void ReleaseResourceManagerII(IResourceManager* engine) {
    if (engine == nullptr) return;
    fund::guarded(L"ReleaseResourceManagerII", [&] {
        const std::wstring folder = standin::ModuleFolder();
        const standin::ScriptFile script(folder + L"\\" + standin::kScriptFileName);
        standin::OpenCallLog(script, folder).Write("ReleaseResourceManagerII");
    });
    delete static_cast<standin::StandinEngine*>(engine);
}
