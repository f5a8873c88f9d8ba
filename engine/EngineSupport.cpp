// engine/EngineSupport.cpp - module paths and the engine's error texts.

#include "EngineSupport.h"

#include <tlhelp32.h>

#include <vector>

#include "fund/trace.h"
#include "fund/win/handle.h"
#include "fund/win/module.h"

namespace {

// The engine's texts are short; a longer claimed length is not believed.
const uint32_t kMaxErrorTextUnits = 4096;

}  // namespace

std::wstring PluginFolder() { return ParentFolder(fund::win::module_path(fund::win::this_module())); }

std::wstring ParentFolder(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return path.substr(0, slash);
}

void TraceEngineErrorText(IResourceManager* engine, uint32_t code) {
    if (engine == nullptr) return;
    uint32_t length = engine->GetErrorText(code, 0, nullptr, 0);
    std::wstring text;
    if (length > 0 && length <= kMaxErrorTextUnits) {
        std::vector<wchar_t> buffer(length + 1, L'\0');
        engine->GetErrorText(code, 0, buffer.data(), length);
        buffer[length] = L'\0';  // whatever the engine wrote
        text = buffer.data();
    }
    Trace(L"error: MORL Error Msg! Error: %ls", text.c_str());
}

void TraceEngineLastError(IResourceManager* engine) {
    if (engine == nullptr) return;
    TraceEngineErrorText(engine, engine->GetLastErrorCode(0, 0));
}

bool IsProcessRunning(const wchar_t* exeName) {
    if (exeName == nullptr) return false;
    // INVALID_HANDLE_VALUE on failure, like a file.
    fund::win::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (lstrcmpiW(entry.szExeFile, exeName) == 0) return true;
    }
    return false;
}
