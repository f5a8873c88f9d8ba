// standin/engine/ScriptedEngine.h - the patch engine stand-in that answers
// every call from morl_script.ini (see README.md).

#ifndef BREVIK_STANDIN_SCRIPTEDENGINE_H
#define BREVIK_STANDIN_SCRIPTEDENGINE_H

#include <cstdint>
#include <map>
#include <string>

#include "MORLEngineApi.h"
#include "Scheduler.h"
#include "ScriptFile.h"
#include "StandinEngine.h"

namespace standin {

class ScriptedEngine : public StandinEngine {
public:
    ScriptedEngine(const ScriptFile& script, const CallLog& log);
    ~ScriptedEngine() override;

    bool Initialize(const char* key) override;
    bool Uninitialize() override;
    const char* GetFileName(uint32_t index) override;
    uint32_t GetFileIndex(const char* name) override;
    bool GetFileSize(uint32_t index, uint32_t* size) override;
    bool GetFileDownloadSize(uint32_t index, uint32_t* size) override;
    bool GetFileMD5(uint32_t index, char* md5) override;
    bool IsFileComplete(uint32_t index) override;
    uint32_t StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any, uint8_t flag) override;
    void CancelSync(uint32_t syncId) override;
    bool GetSyncResult(uint32_t syncId, SyncResult* result) override;
    uint32_t GetLastErrorCode(uint32_t reserved1, uint32_t reserved2) override;
    uint32_t GetErrorText(uint32_t code, uint32_t reserved, wchar_t* buffer, uint32_t length) override;
    uint32_t GetDownloadSpeed() override;
    uint32_t GetPreDownloadSpeed() override;
    bool ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) override;
    void SetNotifyWindow(HWND window) override;
    void SetHostAction(uint32_t action, uint32_t value, bool wait) override;

private:
    struct File {
        uint32_t index = 0;
        Section keys;
        std::string name;
        uint32_t size = 0;
        uint32_t downloadSize = 0;
        bool complete = false;
        uint32_t completeError = 0;
        bool hasMd5 = false;
        std::string md5;
        uint32_t syncsStarted = 0;
    };

    struct Sync {
        uint32_t fileIndex = 0;
        HWND notify = nullptr;
        SyncResult record;
        bool cancelled = false;
        bool resultFails = false;
    };

    struct Step {
        int32_t status = 0;
        uint32_t done = 0;
        uint32_t total = 0;
        uint32_t delayMs = 0;
    };

    void LoadFiles();
    const File* FindFile(uint32_t index);
    // Queues the posts of a [Post.*] section, or of `fallback` ("delay,
    // message,wParam,lParam" lines) when the section has no key.
    void SchedulePosts(const std::wstring& section, const std::wstring& fallback);
    void SchedulePost(uint32_t delayMs, UINT message, WPARAM wParam, LPARAM lParam);
    bool ParseStep(const std::wstring& text, uint32_t downloadSize, Step* step) const;
    void ScheduleSync(uint32_t syncId, const std::wstring& course, uint32_t downloadSize);
    void ApplyStep(uint32_t syncId, const Step& step);
    void Log(const std::string& line) const { m_log.Write(line); }

    const ScriptFile m_script;
    const CallLog m_log;
    fund::lock::critical_section m_lock;
    HWND m_notify = nullptr;
    uint32_t m_lastError = 0;
    uint32_t m_initializeCalls = 0;
    uint32_t m_uninitializeCalls = 0;
    uint32_t m_speedCalls = 0;
    uint32_t m_nextSyncId = 1;
    uint32_t m_syncIdStep = 1;
    std::map<uint32_t, File> m_files;
    std::map<std::string, uint32_t> m_byName;
    std::map<uint32_t, Sync> m_syncs;
    // Last, so that it stops first: its actions use the members above.
    Scheduler m_scheduler;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_SCRIPTEDENGINE_H
