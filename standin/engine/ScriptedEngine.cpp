// standin/engine/ScriptedEngine.cpp - every answer from the settings file.

#include "ScriptedEngine.h"

#include <cstring>
#include <vector>

#include <fund/win/handle.h>
#include <fund/win/text.h>

namespace standin {

using fund::win::utf8_to_wide;
using fund::win::wide_to_utf8;

namespace {

const wchar_t kEngine[] = L"Engine";
const wchar_t kFiles[] = L"Files";
const uint32_t kDefaultStartSyncError = 0xE0000001u;

struct MessageName {
    const wchar_t* name;
    UINT message;
};

const MessageName kMessageNames[] = {
    {L"WM_ENGINE_SYNC_EVENT", WM_ENGINE_SYNC_EVENT},
    {L"WM_ENGINE_INIT_RETURN", WM_ENGINE_INIT_RETURN},
    {L"WM_ENGINE_GAME_SPEED", WM_ENGINE_GAME_SPEED},
    {L"WM_ENGINE_REPAIR_PROGRESS", WM_ENGINE_REPAIR_PROGRESS},
    {L"WM_ENGINE_REPAIR_RETURN", WM_ENGINE_REPAIR_RETURN},
    {L"WM_ENGINE_GAME_SPEED2", WM_ENGINE_GAME_SPEED2},
    {L"WM_ENGINE_HOST_KILLED", WM_ENGINE_HOST_KILLED},
    {L"WM_ENGINE_HOST_RESTART", WM_ENGINE_HOST_RESTART},
    {L"WM_ENGINE_USER_SPEED", WM_ENGINE_USER_SPEED},
    {L"WM_ENGINE_BITMAP_FINISH", WM_ENGINE_BITMAP_FINISH},
    {L"WM_ENGINE_STOP_READY", WM_ENGINE_STOP_READY},
};

bool ParseMessage(const std::wstring& text, UINT* message) {
    for (const MessageName& entry : kMessageNames) {
        if (text == entry.name) {
            *message = entry.message;
            return true;
        }
    }
    uint32_t value = 0;
    if (!ParseNumber(text, &value)) return false;
    *message = value;
    return true;
}

std::string Num(uint32_t value) { return std::to_string(value); }

// Creates every folder on the way to `path` (a file path).
void CreateFoldersFor(const std::wstring& path) {
    for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos;
         slash = path.find(L'\\', slash + 1)) {
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
    }
}

bool WriteWholeFile(const std::wstring& path, const std::string& content) {
    CreateFoldersFor(path);
    fund::win::unique_hfile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    return ok && written == content.size();
}

}  // namespace

ScriptedEngine::ScriptedEngine(const ScriptFile& script, const CallLog& log) : m_script(script), m_log(log) {
    m_nextSyncId = m_script.Number(kEngine, L"FirstSyncId", 1);
    m_syncIdStep = m_script.Number(kEngine, L"SyncIdStep", 1);
    LoadFiles();
}

ScriptedEngine::~ScriptedEngine() { m_scheduler.Stop(); }

void ScriptedEngine::LoadFiles() {
    const uint32_t count = m_script.Number(kFiles, L"Count", 0);
    for (uint32_t n = 1; n <= count; ++n) {
        File file;
        file.keys = m_script.ReadSection(L"File" + std::to_wstring(n));
        const Section& keys = file.keys;
        file.index = keys.Number(L"Index", n - 1);
        file.name = wide_to_utf8(keys.String(L"Name", L"file" + std::to_wstring(n)));
        file.size = keys.Number(L"Size", 0);
        file.downloadSize = keys.Number(L"DownloadSize", file.size);
        file.complete = keys.Number(L"Complete", 0) != 0;
        file.completeError = keys.Number(L"CompleteError", 0);
        file.hasMd5 = keys.Has(L"MD5");
        file.md5 = wide_to_utf8(keys.String(L"MD5"));
        m_byName[file.name] = file.index;
        m_files[file.index] = file;
    }
}

const ScriptedEngine::File* ScriptedEngine::FindFile(uint32_t index) {
    std::map<uint32_t, File>::const_iterator found = m_files.find(index);
    if (found == m_files.end()) {
        m_lastError = MORL_ERROR_FILE_NOT_PRESENT;
        return nullptr;
    }
    return &found->second;
}

//-----------------------------------------------------------------------------
// Posted messages

void ScriptedEngine::SchedulePost(uint32_t delayMs, UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = m_notify;
    m_scheduler.At(delayMs,
                   [window, message, wParam, lParam]() { PostMessageW(window, message, wParam, lParam); });
}

void ScriptedEngine::SchedulePosts(const std::wstring& section, const std::wstring& fallback) {
    std::vector<std::wstring> lines;
    if (m_script.HasSection(section)) {
        for (uint32_t n = 1;; ++n) {
            std::wstring line = m_script.String(section.c_str(), std::to_wstring(n));
            if (line.empty()) break;
            lines.push_back(line);
        }
    } else if (!fallback.empty()) {
        lines.push_back(fallback);
    }
    for (const std::wstring& line : lines) {
        std::vector<std::wstring> parts = Split(line, L',');
        uint32_t delay = 0, wParam = 0, lParam = 0;
        UINT message = 0;
        if (parts.size() != 4 || !ParseNumber(parts[0], &delay) || !ParseMessage(parts[1], &message) ||
            !ParseNumber(parts[2], &wParam) || !ParseNumber(parts[3], &lParam)) {
            Log("bad post line in [" + wide_to_utf8(section) + "]: " + wide_to_utf8(line));
            continue;
        }
        SchedulePost(delay, message, wParam, static_cast<LPARAM>(static_cast<int32_t>(lParam)));
    }
}

//-----------------------------------------------------------------------------
// State

bool ScriptedEngine::Initialize(const char* key) {
    fund::lock::scoped_lock hold(m_lock);
    const uint32_t call = ++m_initializeCalls;
    const bool ok = m_script.NumberForCall(kEngine, L"InitializeResult", call, 1) != 0;
    m_lastError = m_script.NumberForCall(kEngine, L"InitializeError", call, 0);
    Log(std::string("Initialize ") + (key != nullptr ? key : "(null)") + " -> " + Num(ok));
    std::wstring own = L"Post.Initialize" + std::to_wstring(call);
    SchedulePosts(m_script.HasSection(own) ? own : L"Post.Initialize", ok ? L"0,0x506D,1,0" : L"");
    return ok;
}

bool ScriptedEngine::Uninitialize() {
    fund::lock::scoped_lock hold(m_lock);
    const uint32_t call = ++m_uninitializeCalls;
    const bool ok = m_script.NumberForCall(kEngine, L"UninitializeResult", call, 1) != 0;
    m_lastError = m_script.NumberForCall(kEngine, L"UninitializeError", call, 0);
    Log("Uninitialize -> " + Num(ok));
    SchedulePosts(L"Post.Uninitialize", L"");
    return ok;
}

void ScriptedEngine::SetNotifyWindow(HWND window) {
    fund::lock::scoped_lock hold(m_lock);
    m_notify = window;
    Log("SetNotifyWindow");
    SchedulePosts(L"Post.SetNotifyWindow", L"");
}

void ScriptedEngine::SetHostAction(uint32_t action, uint32_t value, bool wait) {
    fund::lock::scoped_lock hold(m_lock);
    Log("SetHostAction " + Num(action) + " " + Num(value) + " " + Num(wait));
    const uint32_t error = m_script.Number(kEngine, L"BitmapFinishError", 0);
    SchedulePosts(L"Post.SetHostAction", L"0,0x5075," + std::to_wstring(error) + L",0");
}

uint32_t ScriptedEngine::GetLastErrorCode(uint32_t reserved1, uint32_t reserved2) {
    fund::lock::scoped_lock hold(m_lock);
    Log("GetLastErrorCode " + Num(reserved1) + " " + Num(reserved2) + " -> " + Num(m_lastError));
    return m_lastError;
}

uint32_t ScriptedEngine::GetErrorText(uint32_t code, uint32_t, wchar_t* buffer, uint32_t length) {
    fund::lock::scoped_lock hold(m_lock);
    std::wstring text = m_script.String(kEngine, L"ErrorText", L"engine error 0x%08X");
    size_t mark = text.find(L"%08X");
    if (mark != std::wstring::npos) {
        wchar_t hex[16];
        swprintf(hex, 16, L"%08X", code);
        text.replace(mark, 4, hex);
    }
    const uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (buffer != nullptr && length > 0) {
        size_t copy = text.size() < length - 1 ? text.size() : length - 1;
        std::memcpy(buffer, text.data(), copy * sizeof(wchar_t));
        buffer[copy] = L'\0';
    }
    Log("GetErrorText " + Num(code) + " -> " + Num(needed));
    return needed;
}

uint32_t ScriptedEngine::GetDownloadSpeed() {
    fund::lock::scoped_lock hold(m_lock);
    uint32_t speed = m_script.NumberForCall(kEngine, L"DownloadSpeed", ++m_speedCalls, 0);
    Log("GetDownloadSpeed -> " + Num(speed));
    return speed;
}

uint32_t ScriptedEngine::GetPreDownloadSpeed() {
    fund::lock::scoped_lock hold(m_lock);
    uint32_t speed = m_script.Number(kEngine, L"PreDownloadSpeed", 0);
    Log("GetPreDownloadSpeed -> " + Num(speed));
    return speed;
}

//-----------------------------------------------------------------------------
// Files

const char* ScriptedEngine::GetFileName(uint32_t index) {
    fund::lock::scoped_lock hold(m_lock);
    const File* file = FindFile(index);
    Log("GetFileName " + Num(index) + " -> " + (file != nullptr ? file->name : "(null)"));
    return file != nullptr ? file->name.c_str() : nullptr;
}

uint32_t ScriptedEngine::GetFileIndex(const char* name) {
    fund::lock::scoped_lock hold(m_lock);
    std::string key = name != nullptr ? name : "";
    std::map<std::string, uint32_t>::const_iterator found = m_byName.find(key);
    uint32_t index = MORL_INVALID_INDEX;
    if (found != m_byName.end()) {
        index = found->second;
        m_lastError = 0;
    } else {
        m_lastError = MORL_ERROR_FILE_NOT_PRESENT;
    }
    Log("GetFileIndex " + key + " -> " + Num(index));
    return index;
}

bool ScriptedEngine::GetFileSize(uint32_t index, uint32_t* size) {
    fund::lock::scoped_lock hold(m_lock);
    const File* file = FindFile(index);
    if (size != nullptr) *size = file != nullptr ? file->size : 0;
    Log("GetFileSize " + Num(index) + " -> " + Num(file != nullptr ? file->size : 0));
    return file != nullptr;
}

bool ScriptedEngine::GetFileDownloadSize(uint32_t index, uint32_t* size) {
    fund::lock::scoped_lock hold(m_lock);
    const File* file = FindFile(index);
    if (size != nullptr) *size = file != nullptr ? file->downloadSize : 0;
    Log("GetFileDownloadSize " + Num(index) + " -> " + Num(file != nullptr ? file->downloadSize : 0));
    return file != nullptr;
}

bool ScriptedEngine::GetFileMD5(uint32_t index, char* md5) {
    fund::lock::scoped_lock hold(m_lock);
    const File* file = FindFile(index);
    const bool ok = file != nullptr && file->hasMd5 && md5 != nullptr;
    if (ok) {
        size_t copy = file->md5.size() < 32 ? file->md5.size() : 32;
        std::memcpy(md5, file->md5.data(), copy);
        md5[copy] = '\0';
    }
    Log("GetFileMD5 " + Num(index) + " -> " + Num(ok));
    return ok;
}

bool ScriptedEngine::IsFileComplete(uint32_t index) {
    fund::lock::scoped_lock hold(m_lock);
    const File* file = FindFile(index);
    bool complete = false;
    if (file != nullptr) {
        complete = file->complete;
        m_lastError = complete ? 0 : file->completeError;
    }
    Log("IsFileComplete " + Num(index) + " -> " + Num(complete));
    return complete;
}

bool ScriptedEngine::ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) {
    fund::lock::scoped_lock hold(m_lock);
    const std::string folder = destFolder != nullptr ? destFolder : "";
    const File* file = FindFile(index);
    bool ok = false;
    if (file != nullptr) {
        const Section& keys = file->keys;
        ok = keys.Number(L"Extract", 1) != 0;
        m_lastError = ok ? 0 : keys.Number(L"ExtractError", 0);
        if (ok && keys.Has(L"ExtractWrite")) {
            std::wstring target = utf8_to_wide(folder);
            if (!target.empty() && target.back() != L'\\' && target.back() != L'/') target += L'\\';
            std::wstring name = utf8_to_wide(file->name);
            for (wchar_t& c : name) {
                if (c == L'/') c = L'\\';
            }
            ok = WriteWholeFile(target + name, wide_to_utf8(keys.String(L"ExtractWrite")));
        }
    }
    Log("ExtractFile " + Num(index) + " " + folder + " " + Num(overwrite) + " -> " + Num(ok));
    return ok;
}

//-----------------------------------------------------------------------------
// Syncs

bool ScriptedEngine::ParseStep(const std::wstring& text, uint32_t downloadSize, Step* step) const {
    size_t at = text.find(L'@');
    if (at == std::wstring::npos || !ParseNumber(text.substr(at + 1), &step->delayMs)) return false;
    std::vector<std::wstring> fields = Split(text.substr(0, at), L':');
    uint32_t status = 0;
    if (fields.empty() || fields.size() > 3 || !ParseNumber(fields[0], &status)) return false;
    step->status = static_cast<int32_t>(status);
    step->total = downloadSize;
    if (fields.size() == 3 && !ParseNumber(fields[2], &step->total)) return false;
    step->done = step->status == MORL_SYNC_STATUS_SYNCED ? step->total : 0;
    if (fields.size() >= 2 && !ParseNumber(fields[1], &step->done)) return false;
    return true;
}

void ScriptedEngine::ScheduleSync(uint32_t syncId, const std::wstring& course, uint32_t downloadSize) {
    for (const std::wstring& text : Split(course, L',')) {
        Step step;
        if (!ParseStep(text, downloadSize, &step)) {
            Log("bad sync step: " + wide_to_utf8(text));
            continue;
        }
        m_scheduler.At(step.delayMs, [this, syncId, step]() { ApplyStep(syncId, step); });
    }
}

void ScriptedEngine::ApplyStep(uint32_t syncId, const Step& step) {
    HWND notify = nullptr;
    {
        fund::lock::scoped_lock hold(m_lock);
        std::map<uint32_t, Sync>::iterator found = m_syncs.find(syncId);
        if (found == m_syncs.end() || found->second.cancelled) return;
        found->second.record.status = step.status;
        found->second.record.done = step.done;
        found->second.record.total = step.total;
        notify = found->second.notify;
    }
    PostMessageW(notify, WM_ENGINE_SYNC_EVENT, static_cast<WPARAM>(syncId), 0);
}

uint32_t ScriptedEngine::StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any,
                                   uint8_t flag) {
    fund::lock::scoped_lock hold(m_lock);
    std::string args = Num(index) + " " + Num(priority) + " " + Num(any) + " " + Num(flag);
    std::map<uint32_t, File>::iterator found = m_files.find(index);
    if (found == m_files.end()) {
        m_lastError = MORL_ERROR_FILE_NOT_PRESENT;
        Log("StartSync " + args + " -> " + Num(MORL_INVALID_SYNC_ID));
        return MORL_INVALID_SYNC_ID;
    }
    File& file = found->second;
    const Section& keys = file.keys;
    if (keys.Number(L"StartSyncFail", 0) != 0) {
        m_lastError = keys.Number(L"StartSyncError", kDefaultStartSyncError);
        Log("StartSync " + args + " -> " + Num(MORL_INVALID_SYNC_ID));
        return MORL_INVALID_SYNC_ID;
    }
    m_lastError = 0;
    const uint32_t start = ++file.syncsStarted;
    const uint32_t syncId = m_nextSyncId;
    m_nextSyncId += m_syncIdStep;
    if (m_nextSyncId == MORL_INVALID_SYNC_ID) m_nextSyncId += m_syncIdStep;

    Sync sync;
    sync.fileIndex = index;
    sync.notify = notify;
    std::memset(&sync.record, 0, sizeof(sync.record));
    const std::string name = wide_to_utf8(keys.String(L"SyncName", utf8_to_wide(file.name)));
    std::memcpy(sync.record.fileName, name.data(),
                name.size() < sizeof(sync.record.fileName) ? name.size() : sizeof(sync.record.fileName));
    sync.record.total = file.downloadSize;
    sync.record.status = MORL_SYNC_STATUS_RUNNING;
    sync.resultFails = keys.Number(L"SyncResultFail", 0) != 0;
    m_syncs[syncId] = sync;

    const std::wstring ownKey = L"Sync" + std::to_wstring(start);
    const std::wstring course = keys.Has(ownKey) ? keys.String(ownKey) : keys.String(L"Sync", L"2@0");
    ScheduleSync(syncId, course, file.downloadSize);
    Log("StartSync " + args + " -> " + Num(syncId));
    return syncId;
}

void ScriptedEngine::CancelSync(uint32_t syncId) {
    fund::lock::scoped_lock hold(m_lock);
    std::map<uint32_t, Sync>::iterator found = m_syncs.find(syncId);
    if (found != m_syncs.end()) found->second.cancelled = true;
    Log("CancelSync " + Num(syncId));
}

bool ScriptedEngine::GetSyncResult(uint32_t syncId, SyncResult* result) {
    fund::lock::scoped_lock hold(m_lock);
    std::map<uint32_t, Sync>::const_iterator found = m_syncs.find(syncId);
    bool ok = found != m_syncs.end() && !found->second.resultFails && result != nullptr;
    if (ok) {
        *result = found->second.record;
    } else {
        m_lastError = MORL_ERROR_FILE_NOT_PRESENT;
    }
    Log("GetSyncResult " + Num(syncId) + " -> " + Num(ok));
    return ok;
}

}  // namespace standin
