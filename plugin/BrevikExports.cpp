// BrevikExports.cpp - the library's entry routine and its two exports.

#define BREVIK_BUILDING_PLUGIN
#include "MORLRepair.h"

#include <fund/guard.h>
#include <fund/trace.h>

#include <new>

#include "CMORLPlugin.h"

namespace {

// The process's one repair object, and whether allocating it ever failed
// (then every later call returns null too).
CMORLPlugin* g_plugin = nullptr;
bool g_allocationFailed = false;

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // The download manager tells the engine once per load of the library
    // that the host has no more syncs to run.
    if (reason == DLL_PROCESS_ATTACH) CDownloadFileMgr::ArmHostAction();
    return TRUE;
}

BREVIK_API Kestrum::IPluginEvent* CreateMORLRepair() {
    Trace(L"Kestrum::CreateMORLRepair");
    if (g_plugin == nullptr && !g_allocationFailed) {
        // No exception leaves an export: a constructor that fails (out of
        // memory) gives null, and the next call tries again.
        fund::guarded(L"Kestrum::CreateMORLRepair", [] {
            g_plugin = new (std::nothrow) CMORLPlugin();
            g_allocationFailed = g_plugin == nullptr;
        });
    }
    return g_plugin;
}

BREVIK_API void RealeaseMORLRepair(Kestrum::IPluginEvent* repair) {
    Trace(L"Kestrum::RealeaseMORLRepair");
    if (repair == nullptr) return;
    // Only the live object is ever freed: a pointer released twice, or one
    // this library never handed out, is left alone.
    if (g_plugin == nullptr || repair != static_cast<Kestrum::IPluginEvent*>(g_plugin)) {
        Trace(L"error: RealeaseMORLRepair of %p, which is not the live repair object",
              static_cast<void*>(repair));
        return;
    }
    CMORLPlugin* plugin = g_plugin;
    if (plugin->IsOwnThread()) {
        // From inside a sink's operation: the object cannot go while its
        // own thread runs in it.  The host's release afterwards frees it.
        Trace(L"error: RealeaseMORLRepair called on a plug-in thread; nothing freed");
        return;
    }
    // A later CreateMORLRepair makes a new object rather than hand out a
    // freed one.
    g_plugin = nullptr;
    fund::guarded(L"Kestrum::RealeaseMORLRepair", [&] { delete plugin; });
}
