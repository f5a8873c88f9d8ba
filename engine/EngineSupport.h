// engine/EngineSupport.h - small helpers of the engine thread and the sync
// manager: the folders of the plug-in, and the trace of an engine error's
// text.

#ifndef BREVIK_ENGINE_ENGINESUPPORT_H
#define BREVIK_ENGINE_ENGINESUPPORT_H

#include <cstdint>
#include <string>

#include "MORLEngineApi.h"

// The folder of the module this code is linked into (Brevik.dll in the
// plug-in), without a trailing backslash; empty when the system cannot
// tell.
std::wstring PluginFolder();

// The part of a path before its last backslash; empty when it has none.
std::wstring ParentFolder(const std::wstring& path);

// The game client's executable name.
const wchar_t kGameClientExe[] = L"DravikClient.exe";

// True when a process whose executable name equals `exeName` (compared
// without regard to case) is running.
bool IsProcessRunning(const wchar_t* exeName);

// Traces "error: MORL Error Msg! Error: <text>" with the engine's text of
// `code`.
void TraceEngineErrorText(IResourceManager* engine, uint32_t code);

// The same for the engine's last error code.
void TraceEngineLastError(IResourceManager* engine);

#endif  // BREVIK_ENGINE_ENGINESUPPORT_H
