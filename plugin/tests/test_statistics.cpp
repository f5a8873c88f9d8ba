// The statistics the plug-in sends, checked on the wire: a receiver on the
// loopback interface decodes the reports.  The server's lookup runs on the
// reporter's own thread: BeginMORLRepair does not wait for it.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "PluginTestSupport.h"
#include "QosTransport.h"
#include "QosWire.h"

namespace {

// A UDP socket on 127.0.0.1 that decodes what arrives.
class Receiver {
public:
    Receiver() {
        WSADATA data;
        m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof(local));
        int length = sizeof(local);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~Receiver() {
        closesocket(m_socket);
        if (m_started) WSACleanup();
    }
    unsigned short Port() const { return m_port; }

    // The values of the next report within timeoutMs; empty when none came.
    std::vector<int32_t> Next(int timeoutMs = 5000) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(m_socket, &set);
        timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        if (select(0, &set, nullptr, nullptr, &tv) != 1) return {};
        std::vector<unsigned char> buffer(65536);
        const int n =
            recv(m_socket, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        qos::QOSCSPkgHead head;
        auto body = std::make_unique<qos::QOSRep>();
        if (n <= 0 || qos::UnpackReport(buffer.data(), static_cast<size_t>(n), &head, body.get()) !=
                          qos::WireResult::Ok)
            return {};
        const qos::QOSAppendDescComm& comm = body->QosList[0].AppendDesc.Comm;
        return std::vector<int32_t>(comm.IntList, comm.IntList + comm.IntNum);
    }

private:
    bool m_started = false;
    SOCKET m_socket = INVALID_SOCKET;
    unsigned short m_port = 0;
};

const int32_t kKindFull = 1;
const int32_t kKindStart = 2;
const int32_t kKindEnd = 3;

void SendTo(PluginQos& qos, const PluginHarness& h, const Receiver& receiver) {
    qos.SetServer("127.0.0.1", receiver.Port());
    qos.SetCommonIniPath(h.base.WidePath() + L"\\Common.ini");
}

// Value 12 follows the restore timer; value 17 is the stage at the stop.  The harness's window belongs to the
// test's thread, which drives every step.
TEST(PluginStatistics, ProgressValuesAndTheStopStageReachTheWire) {
    PluginHarness h;
    h.WriteSettings("version=1.0\r\n");
    Receiver receiver;
    h.ToDownloading();
    SendTo(h.plugin->GetQos(), h, receiver);
    ASSERT_TRUE(h.plugin->GetQos().Init());
    h.Send(WM_MORL_DOWNLOAD_SUCCESS);
    h.TakePosted();
    ASSERT_EQ(CMORLPlugin::STATUS_RESTORING, h.Status());

    // Two files of 1000 bytes: the second extraction waits, so the restore
    // stands at half way when the timer ticks.
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    h.engine.gateFrom = 2;
    h.engine.extractGate = gate;
    h.Send(WM_MORL_RESTORE_LIST, 1);
    const DWORD start = GetTickCount();
    while (h.engine.extractions.load() < 2 && GetTickCount() - start < 5000) Sleep(5);
    h.Send(WM_TIMER, TIMER_RESTORE_PROGRESS);
    SetEvent(gate);
    EXPECT_EQ(1, h.plugin->StopMORLRepair());
    h.engine.extractGate = nullptr;
    CloseHandle(gate);

    const std::vector<int32_t> full = receiver.Next();
    ASSERT_EQ(30u, full.size());
    EXPECT_EQ(kKindFull, full[2]);
    EXPECT_EQ(500, full[12]);  // restore progress, not divided
    EXPECT_EQ(STAGE_RESTORING, full[17]);
    EXPECT_EQ(1, full[18]);
    EXPECT_EQ(100, full[20]);
}

// A real download through the engine stand-in: the timer's last tick saw
// progress 1000 (value 9 is 10, kept as a version is recorded), and
// 2,048,000 bytes synced in about a second and a half give values 22
// (kilobytes), 23 (kilobytes per second) and 24 (seconds); the full report
// follows a whole repair (stage 6), and the end report comes last.
TEST(PluginStatistics, DownloadFiguresReachTheWireAfterARealRepair) {
    PluginHarness h;
    h.WriteSettings("version=1.0\r\n");
    const std::string script =
        "[Engine]\r\nBehaviour=scripted\r\n"
        "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n"
        "[Files]\r\nCount=3\r\n"
        "[File1]\r\nName=f0\r\nSize=2048000\r\nSync=1:1024000@300,2@1500\r\n"
        "[File2]\r\nName=f1\r\nSize=1000\r\nComplete=1\r\n"
        "[File3]\r\nName=f2\r\nSize=1000\r\nComplete=1\r\n";
    if (!InstallStandins(h, script)) GTEST_SKIP() << "the engine stand-ins are not built";
    Receiver receiver;
    {
        CMORLPlugin plugin(h.Folders());
        SendTo(plugin.GetQos(), h, receiver);
        plugin.SetPluginEvent(&h.sink);
        ASSERT_EQ(1, plugin.BeginMORLRepair());
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 30000) {
            const std::vector<std::wstring> calls = h.sink.Calls();
            if (!calls.empty() && (calls.back() == L"success" || calls.back().find(L"fail") == 0)) break;
            Sleep(10);
        }
        ASSERT_EQ(L"success", h.sink.Calls().back());
        EXPECT_EQ(1, plugin.StopMORLRepair());
    }
    const std::vector<int32_t> started = receiver.Next();
    ASSERT_EQ(3u, started.size());
    EXPECT_EQ(kKindStart, started[2]);
    const std::vector<int32_t> full = receiver.Next();
    ASSERT_EQ(30u, full.size());
    EXPECT_EQ(kKindFull, full[2]);
    EXPECT_EQ(10, full[9]);
    EXPECT_EQ(STAGE_SUCCESS, full[17]);
    const int32_t kilobytes = full[22];
    const int32_t perSecond = full[23];
    const int32_t seconds = full[24];
    std::printf("download: %d KB in %d s (%d KB/s)\n", kilobytes, seconds, perSecond);
    EXPECT_EQ(2000, kilobytes);
    EXPECT_GE(seconds, 1);
    // value 23 = kilobytes * 1000 / elapsed ms, and value 24 = elapsed / 1000.
    EXPECT_LE(perSecond, kilobytes * 1000 / (seconds * 1000));
    EXPECT_GE(perSecond, kilobytes * 1000 / (seconds * 1000 + 999));
    EXPECT_EQ(0, full[25]);
    const std::vector<int32_t> ended = receiver.Next();
    ASSERT_EQ(4u, ended.size());
    EXPECT_EQ(kKindEnd, ended[2]);
    EXPECT_EQ(STAGE_SUCCESS, ended[3]);
}

// A lookup that waits until the test lets it go.
class HeldLookup {
public:
    HeldLookup() : m_go(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~HeldLookup() {
        Let();
        while (m_running.load() != 0) Sleep(1);
        CloseHandle(m_go);
    }
    QosSender::Opener Opener() {
        return [this](const std::string& host, unsigned short port, std::string* failure) {
            ++m_running;
            m_thread = GetCurrentThreadId();
            WaitForSingleObject(m_go, INFINITE);
            std::unique_ptr<QosTransport> transport = OpenQosTransport(host, port, failure);
            --m_running;
            return transport;
        };
    }
    void Let() { SetEvent(m_go); }
    DWORD Thread() const { return m_thread.load(); }

private:
    HANDLE m_go;
    std::atomic<DWORD> m_thread{0};
    std::atomic<int> m_running{0};
};

TEST(PluginStatistics, BeginDoesNotWaitForTheServersLookup) {
    PluginHarness h;
    Receiver receiver;
    HeldLookup lookup;
    std::atomic<DWORD> beginThread{0};
    {
        CMORLPlugin plugin(h.Folders());
        SendTo(plugin.GetQos(), h, receiver);
        plugin.GetQos().SetTransportOpener(lookup.Opener());
        plugin.SetPluginEvent(&h.sink);
        // Begin on a thread of its own: a Begin that waited for the lookup
        // would not return while the lookup is held.
        std::atomic<bool> begun{false};
        std::thread caller([&] {
            beginThread = GetCurrentThreadId();
            plugin.BeginMORLRepair();
            begun = true;
        });
        const DWORD start = GetTickCount();
        while (!begun && GetTickCount() - start < 10000) Sleep(5);
        const bool returnedWhileHeld = begun.load();
        lookup.Let();
        caller.join();
        EXPECT_TRUE(returnedWhileHeld);
        EXPECT_NE(0u, lookup.Thread());
        EXPECT_NE(beginThread.load(), lookup.Thread());
        WaitForCalls(h.sink, 1, 10000);  // no engine: the repair fails
        EXPECT_EQ(1, plugin.StopMORLRepair());
    }
    // The reports waited for the lookup, in their order.
    const std::vector<int32_t> kinds[] = {receiver.Next(), receiver.Next(), receiver.Next()};
    ASSERT_EQ(3u, kinds[0].size());
    EXPECT_EQ(kKindStart, kinds[0][2]);
    ASSERT_EQ(30u, kinds[1].size());
    EXPECT_EQ(kKindFull, kinds[1][2]);
    ASSERT_EQ(4u, kinds[2].size());
    EXPECT_EQ(kKindEnd, kinds[2][2]);
}

TEST(PluginStatistics, WithoutAServerNoNameIsLookedUp) {
    PluginHarness h;
    int lookups = 0;
    {
        CMORLPlugin plugin(h.Folders());
        plugin.GetQos().SetCommonIniPath(h.base.WidePath() + L"\\Common.ini");
        plugin.GetQos().SetTransportOpener([&](const std::string&, unsigned short, std::string*) {
            ++lookups;
            return std::unique_ptr<QosTransport>();
        });
        plugin.SetPluginEvent(&h.sink);
        ASSERT_EQ(1, plugin.BeginMORLRepair());
        WaitForCalls(h.sink, 1, 10000);
        EXPECT_FALSE(plugin.GetQos().IsInitialised());
        EXPECT_EQ(1, plugin.StopMORLRepair());
    }
    EXPECT_EQ(0, lookups);
    EXPECT_FALSE(h.base.Exists("Common.ini"));
}

}  // namespace
