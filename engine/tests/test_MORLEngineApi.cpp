// The engine contract: operation positions in the vtables, the sync
// record's layout and the reading of its name.

#include <gtest/gtest.h>

#include <cstring>

#include "CSyncMgr.h"
#include "CSyncTask.h"
#include "IMORLInitCallback.h"
#include "IMORLMgr.h"
#include "IWndProcCallback.h"
#include "MORLEngineApi.h"

namespace {

// The vtable slot of a virtual member function.  A pointer to a virtual
// member holds 1 + the slot's byte offset in the vtable (Itanium C++ ABI,
// which mingw-w64's g++ follows).
template <typename Member>
size_t Slot(Member member) {
    struct Raw {
        uintptr_t ptr;
        ptrdiff_t adjust;
    } raw;
    static_assert(sizeof(Member) == sizeof(Raw), "a member pointer is two words");
    std::memcpy(&raw, &member, sizeof(raw));
    EXPECT_EQ(raw.ptr % sizeof(void*), 1u) << "not a virtual member";
    return (raw.ptr - 1) / sizeof(void*);
}

TEST(EngineContract, ResourceManagerPositions) {
    EXPECT_EQ(Slot(&IResourceManager::Initialize), 1u);
    EXPECT_EQ(Slot(&IResourceManager::Uninitialize), 2u);
    EXPECT_EQ(Slot(&IResourceManager::GetFileName), 3u);
    EXPECT_EQ(Slot(&IResourceManager::GetFileIndex), 4u);
    EXPECT_EQ(Slot(&IResourceManager::GetFileSize), 7u);
    EXPECT_EQ(Slot(&IResourceManager::GetFileDownloadSize), 8u);
    EXPECT_EQ(Slot(&IResourceManager::GetFileMD5), 9u);
    EXPECT_EQ(Slot(&IResourceManager::IsFileComplete), 10u);
    EXPECT_EQ(Slot(&IResourceManager::StartSync), 12u);
    EXPECT_EQ(Slot(&IResourceManager::CancelSync), 13u);
    EXPECT_EQ(Slot(&IResourceManager::GetSyncResult), 14u);
    EXPECT_EQ(Slot(&IResourceManager::GetLastErrorCode), 16u);
    EXPECT_EQ(Slot(&IResourceManager::GetErrorText), 17u);
    EXPECT_EQ(Slot(&IResourceManager::GetDownloadSpeed), 19u);
    EXPECT_EQ(Slot(&IResourceManager::GetPreDownloadSpeed), 20u);
    EXPECT_EQ(Slot(&IResourceManager::ExtractFile), 21u);
    EXPECT_EQ(Slot(&IResourceManager::SetNotifyWindow), 24u);
    EXPECT_EQ(Slot(&IResourceManager::SetHostAction), 35u);
    EXPECT_EQ(Slot(&ICheckHandle::BeginCheck), 0u);
}

TEST(EngineContract, CallbackPositions) {
    EXPECT_EQ(Slot(&IMORLInitCallback::InitOK), 0u);
    EXPECT_EQ(Slot(&IMORLInitCallback::InitFail), 1u);
    EXPECT_EQ(Slot(&IMORLInitCallback::MORLHostKilled), 2u);
    EXPECT_EQ(Slot(&IMORLInitCallback::MORLHostRestarted), 3u);
    EXPECT_EQ(Slot(&IMORLInitCallback::MORLRepairProgress), 4u);
    EXPECT_EQ(Slot(&IMORLInitCallback::OnSetBitMapFinishState), 5u);
    EXPECT_EQ(Slot(&IMORLInitCallback::OnEngineMessage), 6u);
    EXPECT_EQ(Slot(&IMORLMgr::GetResourceManager), 0u);
    EXPECT_EQ(Slot(&IMORLMgr::GetSyncMgr), 1u);
    EXPECT_EQ(Slot(&IWndProcCallback::ProcessMsg), 0u);
    // The task's destructor takes slots 0 and 1 (complete and deleting).
    EXPECT_EQ(Slot(&CSyncTask::OnSyncResult), 2u);
}

TEST(EngineContract, SyncResultLayout) {
    EXPECT_EQ(sizeof(SyncResult), 276u);
    EXPECT_EQ(offsetof(SyncResult, total), 256u);
    EXPECT_EQ(offsetof(SyncResult, done), 260u);
    EXPECT_EQ(offsetof(SyncResult, status), 272u);
}

TEST(EngineContract, SyncResultNameStaysInsideItsField) {
    SyncResult record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(record.fileName, "data\\a.dat", 10);
    EXPECT_EQ(SyncResultFileName(record), "data\\a.dat");

    // No NUL in the 256 bytes: the name ends at the field's end, not in the
    // numbers after it.
    std::memset(record.fileName, 'n', sizeof(record.fileName));
    record.total = 0x41414141u;
    EXPECT_EQ(SyncResultFileName(record), std::string(256, 'n'));

    std::memset(&record, 0, sizeof(record));
    EXPECT_EQ(SyncResultFileName(record), "");
}

}  // namespace
