// A patch engine played by the test: files by index with their names,
// sizes, completeness, stored digests and extraction results; syncs whose
// records the test sets.  Shared by the download and restore tests.  Calls
// may come from the restore thread and the test thread at once.

#ifndef BREVIK_ENGINE_TESTS_TEST_DOWNLOAD_FAKE_ENGINE_H
#define BREVIK_ENGINE_TESTS_TEST_DOWNLOAD_FAKE_ENGINE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "MORLEngineApi.h"
#include "fund/win/text.h"
#include "fund/lock.h"

struct FakeFile {
    std::string name;                 // UTF-8
    uint32_t size = 0;                // GetFileSize
    uint32_t downloadSize = 0;        // GetFileDownloadSize
    bool complete = true;             // IsFileComplete
    uint32_t errorAfterCheck = 0;     // GetLastErrorCode after IsFileComplete
    const char* md5 = nullptr;        // GetFileMD5 (at most 32 digits); null: refused
    bool extracts = true;             // ExtractFile's result
    std::string content = "content";  // what a successful extraction writes
};

struct FakeExtraction {
    uint32_t index;
    std::string folder;
    uint32_t overwrite;
};

class FakeEngine : public IResourceManager {
public:
    // Test side.
    void Add(uint32_t index, const FakeFile& file) {
        fund::lock::scoped_lock hold(m_lock);
        m_files[index] = file;
    }
    FakeFile& File(uint32_t index) { return m_files.at(index); }
    std::vector<FakeExtraction> Extractions() {
        fund::lock::scoped_lock hold(m_lock);
        return m_extractions;
    }
    // ExtractFile waits for this event when it is set (to stop mid-way).
    HANDLE extractGate = nullptr;
    // Signalled when an ExtractFile call begins.
    HANDLE extractEntered = nullptr;

    // Syncs: the record each id reports, the ids started and cancelled.
    void SetSync(uint32_t syncId, uint32_t total, uint32_t done, int32_t status) {
        fund::lock::scoped_lock hold(m_lock);
        SyncResult& record = m_syncResults[syncId];
        record.total = total;
        record.done = done;
        record.status = status;
    }
    std::map<uint32_t, uint32_t> started;  // sync id -> file index
    std::vector<uint32_t> cancelled;
    int hostActions = 0;
    bool syncResultRefused = false;

    // IResourceManager.
    bool Initialize(const char*) override { return true; }
    bool Uninitialize() override { return true; }
    const char* GetFileName(uint32_t index) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_files.find(index);
        if (found == m_files.end()) return nullptr;
        m_nameBuffer = found->second.name;
        return m_nameBuffer.c_str();
    }
    uint32_t GetFileIndex(const char* name) override {
        fund::lock::scoped_lock hold(m_lock);
        for (const auto& file : m_files)
            if (file.second.name == name) return file.first;
        return MORL_INVALID_INDEX;
    }
    bool GetFileSize(uint32_t index, uint32_t* size) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_files.find(index);
        if (found == m_files.end()) return false;
        *size = found->second.size;
        return true;
    }
    bool GetFileDownloadSize(uint32_t index, uint32_t* size) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_files.find(index);
        if (found == m_files.end()) return false;
        *size = found->second.downloadSize;
        return true;
    }
    bool GetFileMD5(uint32_t index, char* md5) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_files.find(index);
        if (found == m_files.end() || found->second.md5 == nullptr) return false;
        std::snprintf(md5, 33, "%s", found->second.md5);
        return true;
    }
    bool IsFileComplete(uint32_t index) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_files.find(index);
        if (found == m_files.end()) return false;
        m_lastError = found->second.errorAfterCheck;
        return found->second.complete;
    }
    uint32_t StartSync(uint32_t index, HWND, uint32_t, uint32_t, uint8_t) override {
        fund::lock::scoped_lock hold(m_lock);
        const uint32_t id = m_nextSyncId++;
        started[id] = index;
        m_syncResults[id].status = MORL_SYNC_STATUS_RUNNING;
        auto found = m_files.find(index);
        if (found != m_files.end())
            std::snprintf(m_syncResults[id].fileName, sizeof(m_syncResults[id].fileName), "%s",
                          found->second.name.c_str());
        return id;
    }
    void CancelSync(uint32_t syncId) override {
        fund::lock::scoped_lock hold(m_lock);
        cancelled.push_back(syncId);
    }
    bool GetSyncResult(uint32_t syncId, SyncResult* result) override {
        fund::lock::scoped_lock hold(m_lock);
        auto found = m_syncResults.find(syncId);
        if (syncResultRefused || found == m_syncResults.end()) return false;
        *result = found->second;
        return true;
    }
    uint32_t GetLastErrorCode(uint32_t, uint32_t) override {
        fund::lock::scoped_lock hold(m_lock);
        return m_lastError;
    }
    uint32_t GetErrorText(uint32_t, uint32_t, wchar_t* buffer, uint32_t length) override {
        if (buffer != nullptr && length > 0) buffer[0] = L'\0';
        return 1;
    }
    uint32_t GetDownloadSpeed() override { return 0; }
    uint32_t GetPreDownloadSpeed() override { return 0; }
    bool ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) override {
        if (extractEntered != nullptr) SetEvent(extractEntered);
        if (extractGate != nullptr) WaitForSingleObject(extractGate, INFINITE);
        fund::lock::scoped_lock hold(m_lock);
        m_extractions.push_back(FakeExtraction{index, destFolder, overwrite});
        auto found = m_files.find(index);
        if (found == m_files.end() || !found->second.extracts) return false;
        const std::wstring path = fund::win::utf8_to_wide(std::string(destFolder) + found->second.name);
        FILE* file = _wfopen(path.c_str(), L"wb");
        if (file == nullptr) return false;
        fwrite(found->second.content.data(), 1, found->second.content.size(), file);
        fclose(file);
        return true;
    }
    void SetNotifyWindow(HWND) override {}
    void SetHostAction(uint32_t, uint32_t, bool) override { ++hostActions; }

private:
    fund::lock::critical_section m_lock;
    std::map<uint32_t, FakeFile> m_files;
    std::map<uint32_t, SyncResult> m_syncResults;
    std::vector<FakeExtraction> m_extractions;
    std::string m_nameBuffer;
    uint32_t m_lastError = 0;
    uint32_t m_nextSyncId = 100;
};

#endif  // BREVIK_ENGINE_TESTS_TEST_DOWNLOAD_FAKE_ENGINE_H
