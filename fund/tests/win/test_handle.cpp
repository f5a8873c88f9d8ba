// The handle owners: each kind closes with its own function, never at its
// own invalid value, and ownership moves, is released or is replaced
// exactly once.

#include <winsock2.h>

#include "fund/win/handle.h"
#include "fund/win/socket.h"
#include "fund/win/winhttp_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using fund::win::unique_any;

// A policy with the invalid value of a real kind that records its closes
// instead of making them.
template <class Real>
struct recording {
    using value_type = typename Real::value_type;
    static value_type invalid() noexcept { return Real::invalid(); }
    static void close(value_type value) noexcept { closed().push_back(value); }
    static std::vector<value_type>& closed() {
        static std::vector<value_type> values;
        return values;
    }
};

using file_recorder = recording<fund::win::policy::hfile>;
using handle_recorder = recording<fund::win::policy::handle>;

HANDLE Fake(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

class RecordingPolicyTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_recorder::closed().clear();
        handle_recorder::closed().clear();
    }
};

TEST_F(RecordingPolicyTest, AFileOwnerNeverClosesInvalidHandleValue) {
    {
        unique_any<file_recorder> empty;
        EXPECT_EQ(empty.get(), INVALID_HANDLE_VALUE);
        EXPECT_FALSE(empty.valid());
        EXPECT_FALSE(empty);
        unique_any<file_recorder> failed(INVALID_HANDLE_VALUE);
        EXPECT_FALSE(failed);
        failed.reset();
        failed.reset(INVALID_HANDLE_VALUE);
    }
    EXPECT_TRUE(file_recorder::closed().empty());

    // Null is a valid value for a file owner (no creating call answers it,
    // but it is not the invalid value).
    {
        unique_any<file_recorder> null(nullptr);
        EXPECT_TRUE(null.valid());
    }
    EXPECT_EQ(file_recorder::closed(), std::vector<HANDLE>{nullptr});
}

TEST_F(RecordingPolicyTest, AHandleOwnerIsInvalidAtNullOnly) {
    {
        unique_any<handle_recorder> empty;
        EXPECT_EQ(empty.get(), nullptr);
        EXPECT_FALSE(empty);
        unique_any<handle_recorder> pseudo(INVALID_HANDLE_VALUE);  // the current process
        EXPECT_TRUE(pseudo);
    }
    EXPECT_EQ(handle_recorder::closed(), std::vector<HANDLE>{INVALID_HANDLE_VALUE});
}

TEST_F(RecordingPolicyTest, ResetClosesTheOldValueOnce) {
    {
        unique_any<file_recorder> owner(Fake(10));
        owner.reset(Fake(11));
        EXPECT_EQ(owner.get(), Fake(11));
        EXPECT_EQ(file_recorder::closed(), std::vector<HANDLE>{Fake(10)});
        owner.reset();
        EXPECT_FALSE(owner);
        EXPECT_EQ(file_recorder::closed(), (std::vector<HANDLE>{Fake(10), Fake(11)}));
    }
    EXPECT_EQ(file_recorder::closed().size(), 2u);  // nothing more at the end
}

TEST_F(RecordingPolicyTest, ReleaseGivesUpWithoutClosing) {
    {
        unique_any<file_recorder> owner(Fake(20));
        EXPECT_EQ(owner.release(), Fake(20));
        EXPECT_EQ(owner.get(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(owner.release(), INVALID_HANDLE_VALUE);
    }
    EXPECT_TRUE(file_recorder::closed().empty());
}

TEST_F(RecordingPolicyTest, MovesTransferOwnership) {
    {
        unique_any<file_recorder> first(Fake(30));
        unique_any<file_recorder> second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), Fake(30));

        unique_any<file_recorder> third(Fake(31));
        third = std::move(second);  // closes 31, takes 30
        EXPECT_EQ(file_recorder::closed(), std::vector<HANDLE>{Fake(31)});
        EXPECT_EQ(third.get(), Fake(30));
        EXPECT_FALSE(second);

        unique_any<file_recorder>& alias = third;
        third = std::move(alias);  // moving onto itself keeps the value
        EXPECT_EQ(third.get(), Fake(30));
    }
    EXPECT_EQ(file_recorder::closed(), (std::vector<HANDLE>{Fake(31), Fake(30)}));
}

TEST_F(RecordingPolicyTest, PutClosesThenOffersTheSlot) {
    unique_any<file_recorder> owner(Fake(40));
    HANDLE* slot = owner.put();
    EXPECT_EQ(file_recorder::closed(), std::vector<HANDLE>{Fake(40)});
    EXPECT_EQ(*slot, INVALID_HANDLE_VALUE);
    *slot = Fake(41);
    EXPECT_EQ(owner.get(), Fake(41));
    owner.reset();
    EXPECT_EQ(file_recorder::closed(), (std::vector<HANDLE>{Fake(40), Fake(41)}));
}

TEST_F(RecordingPolicyTest, ClosingKeepsTheLastError) {
    unique_any<file_recorder> owner(Fake(50));
    SetLastError(ERROR_FILE_NOT_FOUND);
    owner.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

//-----------------------------------------------------------------------------
// The real kinds

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

std::wstring ScratchFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    return std::wstring(folder) + L"\\" + name;
}

TEST(HandleKinds, InvalidValuesOfEachKind) {
    EXPECT_EQ(fund::win::unique_handle().get(), nullptr);
    EXPECT_EQ(fund::win::unique_hfile().get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fund::win::unique_hfind().get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fund::win::unique_hmodule().get(), nullptr);
    EXPECT_EQ(fund::win::unique_hwnd().get(), nullptr);
    EXPECT_EQ(fund::win::unique_view().get(), nullptr);
    EXPECT_EQ(fund::win::unique_socket().get(), INVALID_SOCKET);
    EXPECT_EQ(fund::win::unique_hinternet().get(), nullptr);
}

TEST(HandleKinds, AFileIsClosedWithItsOwner) {
    const std::wstring path = ScratchFile(L"handle-kinds.bin");
    HANDLE raw = INVALID_HANDLE_VALUE;
    {
        fund::win::unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        raw = file.get();
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
    // Nobody holds it: it opens without sharing and can be deleted.
    fund::win::unique_hfile again(
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(again);
    again.reset();
    EXPECT_TRUE(DeleteFileW(path.c_str()));

    fund::win::unique_hfile missing(
        CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.get(), INVALID_HANDLE_VALUE);
}

TEST(HandleKinds, AnEventIsClosedOnReset) {
    fund::win::unique_handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    const HANDLE raw = event.get();
    event.reset();
    EXPECT_FALSE(IsOpen(raw));
}

TEST(HandleKinds, AFindHandleEndsItsSearch) {
    const std::wstring path = ScratchFile(L"handle-kinds-find.bin");
    fund::win::unique_hfile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    file.reset();

    WIN32_FIND_DATAW found;
    fund::win::unique_hfind search(FindFirstFileW(path.c_str(), &found));
    EXPECT_TRUE(search);
    search.reset();
    fund::win::unique_hfind none(FindFirstFileW(ScratchFile(L"no-such-file-*.none").c_str(), &found));
    EXPECT_FALSE(none);
    EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(HandleKinds, AModuleIsFreedWithItsOwner) {
    const wchar_t* name = L"cabinet.dll";
    ASSERT_EQ(GetModuleHandleW(name), nullptr) << "the test needs a DLL the program has not loaded";
    {
        fund::win::unique_hmodule module(LoadLibraryW(name));
        ASSERT_TRUE(module);
        EXPECT_EQ(GetModuleHandleW(name), module.get());
    }
    EXPECT_EQ(GetModuleHandleW(name), nullptr);
}

TEST(HandleKinds, AWindowIsDestroyedWithItsOwner) {
    HWND raw = nullptr;
    {
        fund::win::unique_hwnd window(
            CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
        ASSERT_TRUE(window);
        raw = window.get();
        EXPECT_TRUE(IsWindow(raw));
    }
    EXPECT_FALSE(IsWindow(raw));
}

TEST(HandleKinds, AViewIsUnmappedWithItsOwner) {
    fund::win::unique_handle mapping(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, nullptr));
    ASSERT_TRUE(mapping);
    void* address = nullptr;
    {
        fund::win::unique_view view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 65536));
        ASSERT_TRUE(view);
        address = view.get();
        static_cast<char*>(address)[0] = 1;
    }
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_NE(VirtualQuery(address, &info, sizeof(info)), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_FREE));
}

TEST(HandleKinds, ASocketIsClosedWithItsOwner) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET raw = INVALID_SOCKET;
    {
        fund::win::unique_socket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        ASSERT_TRUE(socket);
        raw = socket.get();
    }
    EXPECT_NE(closesocket(raw), 0);  // no longer a socket
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    WSACleanup();
}

TEST(HandleKinds, AWinHttpSessionIsClosedWithItsOwner) {
    HINTERNET raw = nullptr;
    {
        fund::win::unique_hinternet session(WinHttpOpen(L"fund-test", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        ASSERT_TRUE(session);
        raw = session.get();
    }
    EXPECT_FALSE(WinHttpCloseHandle(raw));
}

}  // namespace
