// engine/MORLEngineApi.h - the contract with the patch engine morl.dll and
// the package checker MORLCheck.dll: their exports, the engine object's
// operations at their fixed vtable positions, the sync record, the error
// codes the plug-in tests and the window messages the engine posts.
//
// Shared by the plug-in and by the stand-in DLLs that play the engine and
// the checker.  Both sides are separate modules with their own C++
// run-time: nothing but plain values, pointers and these interfaces crosses
// the boundary, and memory is never freed by the other module.

#ifndef BREVIK_ENGINE_MORLENGINEAPI_H
#define BREVIK_ENGINE_MORLENGINEAPI_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

//-----------------------------------------------------------------------------
// The sync record filled by IResourceManager::GetSyncResult.

struct SyncResult {
    // The file's UTF-8 name inside the archive.  The engine is meant to end
    // it with a NUL, but a reader must not rely on that: it reads at most
    // the 256 bytes of the field.
    char fileName[256];
    uint32_t total;      // bytes to transfer
    uint32_t done;       // bytes transferred so far
    uint32_t reserved1;  // not read
    uint32_t reserved2;  // not read
    int32_t status;      // MORL_SYNC_STATUS_* and the error statuses 0..12
};

static_assert(offsetof(SyncResult, fileName) == 0, "SyncResult: name at 0");
static_assert(offsetof(SyncResult, total) == 256, "SyncResult: total at 256");
static_assert(offsetof(SyncResult, done) == 260, "SyncResult: done at 260");
static_assert(offsetof(SyncResult, reserved1) == 264, "SyncResult: 264 unused");
static_assert(offsetof(SyncResult, reserved2) == 268, "SyncResult: 268 unused");
static_assert(offsetof(SyncResult, status) == 272, "SyncResult: status at 272");
static_assert(sizeof(SyncResult) == 276, "SyncResult: 276 bytes");

// Engine sync statuses with a meaning of their own; every other value from
// 0 to 12 is an error (the sync is retried), values outside 0..12 are taken
// as still running.
const int32_t MORL_SYNC_STATUS_RUNNING = 1;
const int32_t MORL_SYNC_STATUS_SYNCED = 2;
const int32_t MORL_SYNC_STATUS_ENDED = 7;
const int32_t MORL_SYNC_STATUS_MAX = 12;
// One of the error statuses: the file could not be fetched.
const int32_t MORL_SYNC_STATUS_FAILED = 3;

//-----------------------------------------------------------------------------
// Special values and error codes.

// GetFileIndex: the name is not in the archive.
const uint32_t MORL_INVALID_INDEX = 0xFFFFFFFFu;
// StartSync: no sync was started; also the id of a task never started.
const uint32_t MORL_INVALID_SYNC_ID = 0xFFFFFFFFu;
// The fourth argument of StartSync, always this value.
const uint32_t MORL_SYNC_ANY = 0xFFFFFFFFu;

// After Initialize returned false: the engine repairs its own state first.
const uint32_t MORL_ERROR_NEED_REPAIR = 0x60000026u;
// The engine's package is damaged.
const uint32_t MORL_ERROR_PACKAGE_DAMAGED = 0xE0000028u;
// A listed file is not present in the archive.
const uint32_t MORL_ERROR_FILE_NOT_PRESENT = 0xE0000013u;

// The key passed to Initialize.
#define MORL_INITIALIZE_KEY "test"

//-----------------------------------------------------------------------------
// Window messages posted by the engine to the window given to
// SetNotifyWindow (state) and StartSync (syncs).

const UINT WM_ENGINE_SYNC_EVENT = 0x506B;       // wParam: sync id
const UINT WM_ENGINE_UNUSED_NOTICE = 0x506C;    // carries nothing the plug-in uses
const UINT WM_ENGINE_INIT_RETURN = 0x506D;      // wParam non-zero: initialised
const UINT WM_ENGINE_GAME_SPEED = 0x506E;       // wParam: a speed
const UINT WM_ENGINE_REPAIR_PROGRESS = 0x506F;  // wParam: tenths of a percent
const UINT WM_ENGINE_REPAIR_RETURN = 0x5070;    // wParam non-zero: repaired; lParam: error code
const UINT WM_ENGINE_GAME_SPEED2 = 0x5071;      // wParam: a speed
const UINT WM_ENGINE_HOST_KILLED = 0x5072;
const UINT WM_ENGINE_HOST_RESTART = 0x5073;  // wParam non-zero: restarted, 0: lost
const UINT WM_ENGINE_USER_SPEED = 0x5074;
const UINT WM_ENGINE_BITMAP_FINISH = 0x5075;  // wParam: error, 0 for success
const UINT WM_ENGINE_STOP_READY = 0x5076;

//-----------------------------------------------------------------------------
// The engine object.  Positions (0-based, in declaration order) are the
// contract with morl.dll; the Reserved operations keep the positions that
// the plug-in never calls.  No overloads and no virtual destructor, so the
// declaration order is the slot order; the object is released through the
// ReleaseResourceManagerII export only.

class IResourceManager {
public:
    virtual void Reserved0() {}
    // 1: true when initialisation proceeds asynchronously (WM_ENGINE_INIT_RETURN
    // follows); false: ask GetLastErrorCode.
    virtual bool Initialize(const char* key) = 0;
    // 2: false when it failed; ask GetLastErrorCode.
    virtual bool Uninitialize() = 0;
    // 3: the UTF-8 name of a file, owned by the engine and valid until the
    // next GetFileName call; null for an unknown index.
    virtual const char* GetFileName(uint32_t index) = 0;
    // 4: the index of a UTF-8 name, or MORL_INVALID_INDEX.
    virtual uint32_t GetFileIndex(const char* name) = 0;
    virtual void Reserved5() {}
    virtual void Reserved6() {}
    // 7: the extracted size of a file.
    virtual bool GetFileSize(uint32_t index, uint32_t* size) = 0;
    // 8: the size a sync of the file transfers.
    virtual bool GetFileDownloadSize(uint32_t index, uint32_t* size) = 0;
    // 9: the stored MD5 as 32 hexadecimal digits and a NUL in md5[33].
    virtual bool GetFileMD5(uint32_t index, char* md5) = 0;
    // 10: true when the file is whole in the local archive; otherwise
    // GetLastErrorCode tells 0 (to download), MORL_ERROR_FILE_NOT_PRESENT or
    // another error.
    virtual bool IsFileComplete(uint32_t index) = 0;
    virtual void Reserved11() {}
    // 12: starts a sync of a file; WM_ENGINE_SYNC_EVENT (wParam: the id)
    // reaches `notify` on each change.  The id, or MORL_INVALID_SYNC_ID.
    virtual uint32_t StartSync(uint32_t index, HWND notify, uint32_t priority, uint32_t any,
                               uint8_t flag) = 0;
    // 13
    virtual void CancelSync(uint32_t syncId) = 0;
    // 14: true when `result` was filled.
    virtual bool GetSyncResult(uint32_t syncId, SyncResult* result) = 0;
    virtual void Reserved15() {}
    // 16: the last error code; both arguments are 0.
    virtual uint32_t GetLastErrorCode(uint32_t reserved1, uint32_t reserved2) = 0;
    // 17: the text of an error code.  Returns the length the text needs in
    // wide characters, its terminating NUL included; with a buffer (of
    // `length` wide characters) it also writes the text, cut to fit and
    // always NUL-terminated.
    virtual uint32_t GetErrorText(uint32_t code, uint32_t reserved, wchar_t* buffer, uint32_t length) = 0;
    virtual void Reserved18() {}
    // 19: the current download speed in bytes per second.
    virtual uint32_t GetDownloadSpeed() = 0;
    // 20: a speed setting.
    virtual uint32_t GetPreDownloadSpeed() = 0;
    // 21: writes the file into the UTF-8 folder `destFolder`; `overwrite` 0
    // or 1.  True on success.
    virtual bool ExtractFile(uint32_t index, const char* destFolder, uint32_t overwrite) = 0;
    virtual void Reserved22() {}
    virtual void Reserved23() {}
    // 24: where the engine posts its state messages.
    virtual void SetNotifyWindow(HWND window) = 0;
    virtual void Reserved25() {}
    virtual void Reserved26() {}
    virtual void Reserved27() {}
    virtual void Reserved28() {}
    virtual void Reserved29() {}
    virtual void Reserved30() {}
    virtual void Reserved31() {}
    virtual void Reserved32() {}
    virtual void Reserved33() {}
    virtual void Reserved34() {}
    // 35: called once, with (1, 1, false), when no sync runs any more; the
    // engine then finishes its bitmap and posts WM_ENGINE_BITMAP_FINISH.
    virtual void SetHostAction(uint32_t action, uint32_t value, bool wait) = 0;

protected:
    ~IResourceManager() = default;
};

// The checker object.  Position 0 is BeginCheck.
class ICheckHandle {
public:
    // 0: checks the engine's package; called with (3, 5000).  True on success.
    virtual bool BeginCheck(uint32_t mode, uint32_t timeoutMs) = 0;

protected:
    ~ICheckHandle() = default;
};

//-----------------------------------------------------------------------------
// Exports, plain C names looked up with GetProcAddress.

#define MORL_ENGINE_DLL L"morl.dll"
#define MORL_CHECK_DLL L"MORLCheck.dll"

#define MORL_EXPORT_GET_RESOURCE_MANAGER "GetResourceManagerII"
#define MORL_EXPORT_RELEASE_RESOURCE_MANAGER "ReleaseResourceManagerII"
#define MORL_EXPORT_CREATE_CHECK_HANDLE "CreateCheckHandle"
#define MORL_EXPORT_RELEASE_CHECK_HANDLE "ReleaseCheckHandle"

extern "C" {
// morl.dll: the engine object; null is a failure.
typedef IResourceManager* (*PFN_GetResourceManagerII)();
typedef void (*PFN_ReleaseResourceManagerII)(IResourceManager* engine);
// MORLCheck.dll: the checker object; null is tolerated.
typedef ICheckHandle* (*PFN_CreateCheckHandle)();
typedef void (*PFN_ReleaseCheckHandle)(ICheckHandle* checker);
}

#endif  // BREVIK_ENGINE_MORLENGINEAPI_H
