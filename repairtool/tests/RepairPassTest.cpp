// The check pass without a window: which list entries it reads, which
// archives it lists as failed, the texts it shows, the progress it reports,
// and that it leaves the archives as they were.

#include "RepairTestUtil.h"

#include <ContainerWnd.h>
#include <RepairChannel.h>

#include "AllocationCounter.h"
#include <Verify_CB.h>

#include <fund/win/text.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using repairtest::CProgramFolder;
using repairtest::CRecordingView;

const std::wstring kOpenFailed = L"打开包失败！继续修复中";
const std::wstring kSucceeded = L"修复成功！";
const std::wstring kFailedPrefix = L"修复包失败：";

std::wstring W(const std::string& utf8) { return fund::win::utf8_to_wide(utf8); }

// The archive paths the pass showed, in order (the texts that are paths).
std::vector<std::wstring> ShownPaths(const CRecordingView& view, const CProgramFolder& folder) {
    std::vector<std::wstring> paths;
    for (const std::wstring& status : view.statuses)
        if (status.rfind(folder.Path(), 0) == 0) paths.push_back(status);
    return paths;
}

TEST(RepairPassList, ReadsExactlyTheCountedItemsInOrder) {
    CProgramFolder folder("ReadsExactlyTheCountedItemsInOrder");
    // Decoys: a zero-padded index, one with a space, and one past the count.
    folder.WriteList(std::wstring(L"[FileList]\r\nFileCount=3\r\n") +
                     L"[FileItem00]\r\nFileName=padded.qov\r\n" + L"[FileItem 1]\r\nFileName=spaced.qov\r\n" +
                     L"[FileItem2]\r\nFileName=c.qov\r\n" + L"[FileItem0]\r\nFileName=a.qov\r\n" +
                     L"[FileItem1]\r\nFileName=b.qov\r\n" + L"[FileItem3]\r\nFileName=beyond.qov\r\n");
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    const std::vector<std::wstring> expected = {
        W(folder.ArchivePath(L"a.qov")), W(folder.ArchivePath(L"b.qov")), W(folder.ArchivePath(L"c.qov"))};
    EXPECT_EQ(ShownPaths(view, folder), expected);
}

TEST(RepairPassList, ElevenItemsEndWithFileItem10) {
    CProgramFolder folder("ElevenItemsEndWithFileItem10");
    std::vector<std::wstring> names;
    for (int i = 0; i < 11; i++) names.push_back(L"item" + std::to_wstring(i) + L".qov");
    folder.WriteList(names);
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    const std::vector<std::wstring> shown = ShownPaths(view, folder);
    ASSERT_EQ(shown.size(), 11u);
    EXPECT_EQ(shown[10], W(folder.ArchivePath(L"item10.qov")));
    EXPECT_EQ(view.statuses.back().find(W(folder.ArchivePath(L"item10.qov")) + L" "),
              view.statuses.back().size() - shown[10].size() - 1)
        << "item10 is the last of the failed list";
}

TEST(RepairPassList, NothingToDoShowsNothing) {
    CProgramFolder folder("NothingToDoShowsNothing");
    CRecordingView view;
    EXPECT_FALSE(RunRepairPass(folder.Path(), view)) << "no list file";
    folder.WriteList(L"[FileList]\r\nFileCount=0\r\n[FileItem0]\r\nFileName=a.qov\r\n");
    EXPECT_FALSE(RunRepairPass(folder.Path(), view));
    folder.WriteList(L"[Other]\r\nFileCount=2\r\n");
    EXPECT_FALSE(RunRepairPass(folder.Path(), view)) << "FileCount outside [FileList]";
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_TRUE(view.progress.empty());
}

TEST(RepairPassList, NegativeCountChecksNothingAndSucceeds) {
    CProgramFolder folder("NegativeCountChecksNothingAndSucceeds");
    folder.WriteList(L"[FileList]\r\nFileCount=-2\r\n[FileItem0]\r\nFileName=a.qov\r\n");
    CRecordingView view;
    // Wine's profile reader gives the negative count; Windows' gives 0 for
    // it, and the pass then does nothing.  Either way no archive is opened.
    if (RunRepairPass(folder.Path(), view))
        EXPECT_EQ(view.statuses, std::vector<std::wstring>{kSucceeded});
    else
        EXPECT_TRUE(view.statuses.empty());
}

TEST(RepairPassOutcome, UnopenableArchivesAreListedWithTrailingSpaces) {
    CProgramFolder folder("UnopenableArchivesAreListed");
    folder.WriteList(std::vector<std::wstring>{L"missing1.qov", L"missing2.qov"});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    const std::wstring p1 = W(folder.ArchivePath(L"missing1.qov")),
                       p2 = W(folder.ArchivePath(L"missing2.qov"));
    const std::vector<std::wstring> expected = {p1, kOpenFailed, p2, kOpenFailed,
                                                kFailedPrefix + p1 + L" " + p2 + L" "};
    EXPECT_EQ(view.statuses, expected);
}

TEST(RepairPassOutcome, MissingItemSectionTriesTheFolderItself) {
    CProgramFolder folder("MissingItemSection");
    folder.WriteList(L"[FileList]\r\nFileCount=1\r\n");
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    const std::wstring folderPath = W(folder.ArchivePath(L""));
    ASSERT_FALSE(view.statuses.empty());
    EXPECT_EQ(view.statuses.back(), kFailedPrefix + folderPath + L" ");
}

TEST(RepairPassOutcome, GoodArchivesSucceedAndStayUnchanged) {
    CProgramFolder folder("GoodArchivesSucceed");
    folder.MakeArchive(L"one.qov", 200000);
    folder.MakeArchive(L"two.qov", 90000, 4096);
    const std::vector<char> before1 = folder.ReadBytes(L"one.qov"), before2 = folder.ReadBytes(L"two.qov");
    folder.WriteList(std::vector<std::wstring>{L"one.qov", L"two.qov"});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    EXPECT_EQ(view.statuses.back(), kSucceeded);
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), kOpenFailed), 0);
    EXPECT_TRUE(folder.ReadBytes(L"one.qov") == before1);
    EXPECT_TRUE(folder.ReadBytes(L"two.qov") == before2);
}

TEST(RepairPassOutcome, DamagedArchiveIsListedAsFailedAndStaysUnchanged) {
    CProgramFolder folder("DamagedArchiveIsListed");
    folder.MakeArchive(L"good.qov", 100000);
    folder.MakeArchive(L"damaged.qov", 300000, 16384);
    folder.Damage(L"damaged.qov");
    const std::vector<char> before = folder.ReadBytes(L"damaged.qov");
    folder.WriteList(std::vector<std::wstring>{L"good.qov", L"damaged.qov"});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    EXPECT_EQ(view.statuses.back(), kFailedPrefix + W(folder.ArchivePath(L"damaged.qov")) + L" ");
    // It opened: the open-failure text is not shown for it.
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), kOpenFailed), 0);
    EXPECT_TRUE(folder.ReadBytes(L"damaged.qov") == before) << "a pass writes nothing";
}

TEST(RepairPassOutcome, NonAsciiNameOpensTheUtf8Path) {
    CProgramFolder folder("NonAsciiName");
    const std::wstring name = L"资源包_é.qov";
    folder.MakeArchive(name, 50000);
    folder.WriteList(std::vector<std::wstring>{name});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    const std::vector<std::wstring> expected = {folder.Path() + L"\\MORLDownload\\" + name, kSucceeded};
    EXPECT_EQ(view.statuses, expected);
}

TEST(RepairPassOutcome, ReadOnlyAndWriterHeldArchivesAreListed) {
    CProgramFolder folder("ReadOnlyAndWriterHeld");
    folder.MakeArchive(L"readonly.qov", 50000);
    folder.MakeArchive(L"held.qov", 50000);
    folder.MakeArchive(L"free.qov", 50000);
    const std::wstring readOnly = W(folder.ArchivePath(L"readonly.qov"));
    const std::wstring held = W(folder.ArchivePath(L"held.qov"));
    ASSERT_TRUE(::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    HANDLE writer =
        ::CreateFileW(held.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    folder.WriteList(std::vector<std::wstring>{L"readonly.qov", L"held.qov", L"free.qov"});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    ::CloseHandle(writer);
    ::SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(view.statuses.back(), kFailedPrefix + readOnly + L" " + held + L" ");
    EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), kOpenFailed), 2);
}

// The whole failed list also goes to MORLRepairResult.txt beside the
// program, one UTF-8 path a line, and a summary goes with the result text
// for a view that cannot show it all.
TEST(RepairPassOutcome, TheFailedListGoesToTheResultFileWithASummary) {
    CProgramFolder folder("ResultFile");
    folder.MakeArchive(L"good.qov", 50000);
    std::vector<std::wstring> names = {L"good.qov"};
    for (int i = 0; i < 40; i++) names.push_back(L"missing_资源_" + std::to_wstring(i) + L".qov");
    folder.WriteList(names);
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    std::string expected;
    for (size_t i = 1; i < names.size(); i++) expected += folder.ArchivePath(names[i]) + "\r\n";
    EXPECT_EQ(folder.ReadText(L"MORLRepairResult.txt"), expected);
    ASSERT_EQ(view.summaries.size(), 1u);
    EXPECT_EQ(view.summaries[0], L"修复包失败：40 个资源包，完整列表见程序目录下的 MORLRepairResult.txt");
    EXPECT_EQ(view.statuses.back().find(kFailedPrefix), 0u);

    // A pass without failures leaves an empty list; a stopped pass none.
    folder.WriteList(std::vector<std::wstring>{L"good.qov"});
    CRecordingView clean;
    ASSERT_TRUE(RunRepairPass(folder.Path(), clean));
    EXPECT_EQ(folder.ReadText(L"MORLRepairResult.txt"), "");
    EXPECT_EQ(clean.summaries, std::vector<std::wstring>{kSucceeded});
    ::DeleteFileW((folder.Path() + L"\\MORLRepairResult.txt").c_str());
    CRecordingView stopped;
    stopped.stopAfterStatuses = 1;
    ASSERT_TRUE(RunRepairPass(folder.Path(), stopped));
    EXPECT_EQ(::GetFileAttributesW((folder.Path() + L"\\MORLRepairResult.txt").c_str()),
              INVALID_FILE_ATTRIBUTES);
}

TEST(RepairPassProgress, FourPiecesGiveZeroToSeventyFive) {
    CProgramFolder folder("FourPieces");
    // Pieces of 64 KiB; grow the content until the archive has four.
    uint32_t pieces = 0;
    for (uint32_t size = 160000; size < 300000 && pieces != 4; size += 8192)
        pieces = folder.MakeArchive(L"four.qov", size);
    ASSERT_EQ(pieces, 4u);
    folder.MakeArchive(L"one.qov", 1000);
    folder.WriteList(std::vector<std::wstring>{L"four.qov", L"four.qov"});
    CRecordingView view;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    // Each archive starts again from 0.
    EXPECT_EQ(view.progress, (std::vector<int>{0, 25, 50, 75, 0, 25, 50, 75}));
}

TEST(RepairPassProgress, StopRequestEndsBeforeTheNextArchiveAndShowsNoResult) {
    CProgramFolder folder("StopRequest");
    folder.WriteList(std::vector<std::wstring>{L"a.qov", L"b.qov", L"c.qov"});
    CRecordingView view;
    view.stopAfterStatuses = 2;  // the first path and its open failure
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    EXPECT_EQ(view.statuses.size(), 2u);
}

// The window closes while an archive is being verified: the verification
// ends within a piece (nothing after the piece being verified is reported),
// the archive is closed and the pass shows nothing more.
TEST(RepairPassProgress, AStopDuringAVerificationEndsItWithinAPiece) {
    CProgramFolder folder("StopWithinAPiece");
    const uint32_t pieces = folder.MakeArchive(L"big.qov", 2000000, 4096);
    ASSERT_GT(pieces, 400u);
    folder.WriteList(std::vector<std::wstring>{L"big.qov", L"big.qov"});
    CRecordingView view;
    view.stopAfterProgress = 3;
    ASSERT_TRUE(RunRepairPass(folder.Path(), view));
    EXPECT_EQ(view.progress.size(), 3u) << "of " << pieces << " pieces";
    EXPECT_EQ(view.statuses, std::vector<std::wstring>{W(folder.ArchivePath(L"big.qov"))});
    EXPECT_TRUE(view.summaries.empty());
    // Closed: another program may open it for writing at once.
    HANDLE writer = ::CreateFileW(W(folder.ArchivePath(L"big.qov")).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
}

TEST(RepairPassProgress, VerifyCallbackPercentages) {
    CRecordingView view;
    Verify_CB callback(&view);
    callback.OnPieceVerified(100, 99);
    callback.OnPieceVerified(1, 0);
    callback.OnPieceVerified(0xFFFFFFFFu, 0xFFFFFFFEu);  // no 32-bit overflow
    callback.OnPieceVerified(0, 0);                      // no piece: nothing, no division by zero
    EXPECT_EQ(view.progress, (std::vector<int>{99, 0, 99}));
    EXPECT_EQ(callback.GetPercent(), 99);
    Verify_CB ownerless(nullptr);
    ownerless.OnPieceVerified(4, 2);
    EXPECT_EQ(ownerless.GetPercent(), 0);
}

//-----------------------------------------------------------------------------
// The channel from the pass's thread to the window's.

class RepairChannelTest : public testing::Test {
protected:
    void SetUp() override {
        window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override { ::DestroyWindow(window); }

    int PendingAnnouncements() {
        int count = 0;
        MSG msg;
        while (::PeekMessageW(&msg, window, WM_APP + 7, WM_APP + 7, PM_REMOVE)) count++;
        return count;
    }

    HWND window = nullptr;
};

TEST_F(RepairChannelTest, KeepsTheOrderAndAnnouncesOncePerBatch) {
    CRepairChannel channel(window, WM_APP + 7);
    channel.ShowStatus(L"first");
    channel.ShowProgress(0);
    channel.ShowProgress(25);
    channel.ShowProgress(50);
    channel.ShowStatus(L"second");
    channel.ShowProgress(75);
    channel.Finish();
    EXPECT_EQ(PendingAnnouncements(), 1);
    const std::vector<CRepairChannel::TUpdate> updates = channel.TakeUpdates();
    ASSERT_EQ(updates.size(), 5u);
    EXPECT_EQ(updates[0].text, L"first");
    EXPECT_EQ(updates[1].kind, CRepairChannel::TUpdate::Progress);
    EXPECT_EQ(updates[1].value, 50) << "values not yet shown give way to newer ones";
    EXPECT_EQ(updates[2].text, L"second");
    EXPECT_EQ(updates[3].value, 75);
    EXPECT_EQ(updates[4].kind, CRepairChannel::TUpdate::Ended);

    channel.ShowStatus(L"again");
    EXPECT_EQ(PendingAnnouncements(), 1) << "a new batch is announced again";
}

TEST_F(RepairChannelTest, UnchangedProgressIsNotSentAgain) {
    CRepairChannel channel(window, WM_APP + 7);
    channel.ShowProgress(3);
    EXPECT_EQ(channel.TakeUpdates().size(), 1u);
    PendingAnnouncements();
    for (int i = 0; i < 1000; i++) channel.ShowProgress(3);
    EXPECT_EQ(PendingAnnouncements(), 0);
    EXPECT_TRUE(channel.TakeUpdates().empty());
    channel.ShowProgress(4);
    EXPECT_EQ(channel.TakeUpdates().size(), 1u);
}

TEST_F(RepairChannelTest, StopRequestDropsWhatIsShownButAnnouncesTheEnd) {
    CRepairChannel channel(window, WM_APP + 7);
    channel.ShowStatus(L"queued before the stop");
    channel.RequestStop();
    EXPECT_TRUE(channel.IsStopRequested());
    channel.ShowStatus(L"after");
    channel.ShowProgress(10);
    channel.Finish();
    const std::vector<CRepairChannel::TUpdate> updates = channel.TakeUpdates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].kind, CRepairChannel::TUpdate::Ended);
    EXPECT_EQ(PendingAnnouncements(), 1);
}

TEST_F(RepairChannelTest, ClosedChannelStopsThePassAndPostsNothing) {
    CRepairChannel channel(window, WM_APP + 7);
    channel.ShowStatus(L"before");
    channel.Close();
    EXPECT_TRUE(channel.IsStopRequested());
    PendingAnnouncements();
    channel.ShowStatus(L"after");
    channel.ShowProgress(10);
    channel.Finish();
    EXPECT_EQ(PendingAnnouncements(), 0);
    EXPECT_TRUE(channel.TakeUpdates().empty());
}

TEST_F(RepairChannelTest, PassOnAnotherThreadArrivesInOrder) {
    CProgramFolder folder("PassOnAnotherThread");
    folder.MakeArchive(L"a.qov", 300000, 4096);
    folder.WriteList(std::vector<std::wstring>{L"a.qov", L"missing.qov"});
    CRepairChannel channel(window, WM_APP + 7);
    std::thread pass([&] {
        RunRepairPass(folder.Path(), channel);
        channel.Finish();
    });
    std::vector<CRepairChannel::TUpdate> all;
    while (all.empty() || all.back().kind != CRepairChannel::TUpdate::Ended) {
        MSG msg;
        if (::GetMessageW(&msg, window, 0, 0) <= 0) break;
        for (auto& update : channel.TakeUpdates()) all.push_back(std::move(update));
    }
    pass.join();
    std::vector<std::wstring> statuses;
    int lastProgress = -1;
    bool progressRises = true;
    for (const auto& update : all) {
        if (update.kind == CRepairChannel::TUpdate::Status || update.kind == CRepairChannel::TUpdate::Result)
            statuses.push_back(update.text);
        if (update.kind == CRepairChannel::TUpdate::Progress) {
            progressRises = progressRises && update.value > lastProgress;
            lastProgress = update.value;
        }
    }
    const std::wstring missing = W(folder.ArchivePath(L"missing.qov"));
    const std::vector<std::wstring> expected = {W(folder.ArchivePath(L"a.qov")), missing, kOpenFailed,
                                                kFailedPrefix + missing + L" "};
    EXPECT_EQ(statuses, expected);
    EXPECT_TRUE(progressRises);
    EXPECT_GT(lastProgress, 90);
}

// The repair thread's body when every allocation fails: it ends without an
// exception (which would end the program) and the window learns its end.
TEST_F(RepairChannelTest, APassWithoutMemoryEndsAndSaysSo) {
    auto channel = std::make_shared<CRepairChannel>(window, WM_APP + 7);
    const long long failedBefore = FailedAllocations();
    std::thread pass([channel] {
        FailAllAllocations(AllocatingThreads::This);
        CContainerWnd::DoRepair(channel);
        StopFailingAllocations();
    });
    pass.join();
    EXPECT_GT(FailedAllocations(), failedBefore);
    EXPECT_TRUE(channel->IsFinished());
    EXPECT_EQ(PendingAnnouncements(), 1);
}

}  // namespace
